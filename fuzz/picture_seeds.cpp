// Writes the seeds of fuzz/picture_corpus/ into the folder given: a tiny picture of every
// PNG and JPEG kind the readers handle, JPEGs with an EXIF orientation in either byte
// order, and a few broken files (cut short, a bad CRC, a zero or a huge declared size).
// Regression inputs found by fuzzing are kept in the same folder under names starting
// with "crash-"; this program leaves them alone.
//   montage_picture_seeds fuzz/picture_corpus
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "picture_files.h"
#include "picture_writers.h"

namespace {

namespace fs = std::filesystem;

fs::path g_folder;

void Save(const std::string& name, const Bytes& bytes) { WriteBytes(g_folder / name, bytes); }

Bytes Load(const std::string& name) { return ReadBytes(g_folder / name); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  g_folder = argv[1];
  fs::create_directories(g_folder);
  const Bytes exif6 = ExifBlock(6, false);
  const Bytes tiff6(exif6.begin() + 6, exif6.end());  // eXIf holds the TIFF structure alone

  const png_color_16 grey3 = {0, 3, 3, 3, 3};
  const auto png = [](const std::string& name, const PngPicture& picture) { WritePng(g_folder / name, picture); };
  png("png_grey1", {9, 5, PNG_COLOR_TYPE_GRAY, 1});
  png("png_grey8_trns", {.width = 6, .height = 4, .colourType = PNG_COLOR_TYPE_GRAY, .transparent = {grey3}});
  png("png_grey16", {6, 4, PNG_COLOR_TYPE_GRAY, 16});
  png("png_grey_alpha", {6, 4, PNG_COLOR_TYPE_GRAY_ALPHA, 8});
  png("png_palette2_trns", {.width = 7,
                            .height = 3,
                            .colourType = PNG_COLOR_TYPE_PALETTE,
                            .bitDepth = 2,
                            .palette = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}},
                            .paletteAlpha = {255, 0, 128}});
  png("png_palette8",
      {.width = 5, .height = 5, .colourType = PNG_COLOR_TYPE_PALETTE, .palette = {{9, 8, 7}, {6, 5, 4}, {3, 2, 1}}});
  png("png_rgb8", {6, 4, PNG_COLOR_TYPE_RGB, 8});
  png("png_rgb16_trns", {.width = 4, .height = 4, .bitDepth = 16, .transparent = {grey3}});
  png("png_rgba8_interlaced", {.width = 9, .height = 9, .colourType = PNG_COLOR_TYPE_RGBA, .interlaced = true});
  png("png_rgba16", {4, 3, PNG_COLOR_TYPE_RGBA, 16});
  png("png_exif_orientation6", {.width = 6, .height = 4, .exif = tiff6});

  // 4:2:0 chroma unless said otherwise, as cameras write them.
  const auto jpeg = [](const std::string& name, const JpegPicture& picture) { WriteJpeg(g_folder / name, picture); };
  jpeg("jpeg_baseline", {.width = 24, .height = 16, .subsampled = true});
  jpeg("jpeg_rgb_444", {.width = 16, .height = 8, .stored = JCS_RGB});
  jpeg("jpeg_progressive", {.width = 24, .height = 16, .progressive = true, .subsampled = true});
  jpeg("jpeg_grey", {16, 16, JCS_GRAYSCALE, JCS_GRAYSCALE});
  jpeg("jpeg_cmyk", {16, 8, JCS_CMYK, JCS_CMYK});
  jpeg("jpeg_ycck_progressive", {16, 16, JCS_CMYK, JCS_YCCK, true, true});
  jpeg("jpeg_arithmetic", {.width = 16, .height = 16, .subsampled = true, .arithmetic = true});
  jpeg("jpeg_restarts", {.width = 32, .height = 16, .subsampled = true, .restartInterval = 1});
  jpeg("jpeg_exif_orientation6_le", {.width = 24, .height = 16, .subsampled = true, .exif = ExifBlock(6, false)});
  jpeg("jpeg_exif_orientation3_be", {.width = 24, .height = 16, .subsampled = true, .exif = ExifBlock(3, true)});
  jpeg("jpeg_exif_orientation7_progressive",
       {.width = 24, .height = 16, .progressive = true, .subsampled = true, .exif = ExifBlock(7, true)});

  const Bytes goodPng = Load("png_rgb8");
  const Bytes goodJpeg = Load("jpeg_baseline");
  Save("broken_png_cut", Bytes(goodPng.begin(), goodPng.begin() + static_cast<std::ptrdiff_t>(goodPng.size() / 2)));
  Bytes badCrc = goodPng;
  badCrc[29] ^= 0x40;  // the CRC of IHDR
  Save("broken_png_bad_crc", badCrc);
  Save("broken_png_zero_width", DeclaredPng(0, 4));
  Save("broken_png_huge", DeclaredPng(20000, 20000));
  Save("broken_jpeg_cut",
       Bytes(goodJpeg.begin(), goodJpeg.begin() + static_cast<std::ptrdiff_t>(goodJpeg.size() * 2 / 3)));
  return 0;
}
