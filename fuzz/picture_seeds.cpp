// Writes the seeds of fuzz/picture_corpus/ into the folder given: a tiny picture of every
// PNG and JPEG kind the readers handle, JPEGs with an EXIF orientation in either byte
// order, and a few broken files (cut short, a bad CRC, a zero or a huge declared size).
// Regression inputs found by fuzzing are kept in the same folder under names starting
// with "crash-"; this program leaves them alone.
//   montage_picture_seeds fuzz/picture_corpus
#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

#include "picture_files.h"

namespace {

namespace fs = std::filesystem;

fs::path g_folder;

void Save(const std::string& name, const Bytes& bytes) { WriteBytes(g_folder / name, bytes); }

Bytes Load(const std::string& name) { return ReadBytes(g_folder / name); }

struct Png {
  int width;
  int height;
  int colourType;
  int bitDepth;
  bool interlaced = false;
  std::vector<png_color> palette = {};
  Bytes paletteAlpha = {};
  bool transparentColour = false;
  Bytes exif = {};  // eXIf: a TIFF structure
};

void WritePng(const std::string& name, const Png& spec) {
  std::FILE* out = std::fopen((g_folder / name).c_str(), "wb");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, out);
  png_set_IHDR(png, info, static_cast<png_uint_32>(spec.width), static_cast<png_uint_32>(spec.height), spec.bitDepth,
               spec.colourType, spec.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!spec.palette.empty()) png_set_PLTE(png, info, spec.palette.data(), static_cast<int>(spec.palette.size()));
  if (!spec.paletteAlpha.empty()) {
    png_set_tRNS(png, info, spec.paletteAlpha.data(), static_cast<int>(spec.paletteAlpha.size()), nullptr);
  }
  png_color_16 transparent{0, 3, 3, 3, 3};
  if (spec.transparentColour) png_set_tRNS(png, info, nullptr, 0, &transparent);
  Bytes exif = spec.exif;
  if (!exif.empty()) png_set_eXIf_1(png, info, static_cast<png_uint_32>(exif.size()), exif.data());
  png_write_info(png, info);
  const int channels = png_get_channels(png, info);
  const std::size_t rowBytes = (static_cast<std::size_t>(spec.width) * channels * spec.bitDepth + 7) / 8;
  std::vector<Bytes> rows(static_cast<std::size_t>(spec.height), Bytes(rowBytes));
  std::vector<png_bytep> pointers;
  for (std::size_t y = 0; y < rows.size(); ++y) {
    for (std::size_t x = 0; x < rowBytes; ++x) rows[y][x] = static_cast<unsigned char>((x * 37 + y * 11) & 0xFF);
    if (!spec.palette.empty()) {
      const int perByte = 8 / spec.bitDepth;
      for (std::size_t x = 0; x < rowBytes; ++x) rows[y][x] = static_cast<unsigned char>(perByte == 1 ? x % 3 : 0x1B);
    }
    pointers.push_back(rows[y].data());
  }
  png_write_image(png, pointers.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(out);
}

struct Jpeg {
  int width;
  int height;
  J_COLOR_SPACE input;  // JCS_RGB, JCS_GRAYSCALE or JCS_CMYK samples
  J_COLOR_SPACE stored;
  bool progressive = false;
  bool subsampled = true;  // 4:2:0 chroma
  bool arithmetic = false;
  unsigned restartInterval = 0;
  Bytes exif = {};
};

void WriteJpeg(const std::string& name, const Jpeg& spec) {
  std::FILE* out = std::fopen((g_folder / name).c_str(), "wb");
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, out);
  info.image_width = static_cast<JDIMENSION>(spec.width);
  info.image_height = static_cast<JDIMENSION>(spec.height);
  info.input_components = spec.input == JCS_GRAYSCALE ? 1 : spec.input == JCS_CMYK ? 4 : 3;
  info.in_color_space = spec.input;
  jpeg_set_defaults(&info);
  jpeg_set_colorspace(&info, spec.stored);
  if (!spec.subsampled) {
    for (int c = 0; c < info.num_components; ++c) info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
  }
  jpeg_set_quality(&info, 75, TRUE);
  if (spec.progressive) jpeg_simple_progression(&info);
  info.arith_code = spec.arithmetic ? TRUE : FALSE;
  info.restart_interval = spec.restartInterval;
  jpeg_start_compress(&info, TRUE);
  if (!spec.exif.empty()) {
    jpeg_write_marker(&info, JPEG_APP0 + 1, spec.exif.data(), static_cast<unsigned>(spec.exif.size()));
  }
  Bytes row(static_cast<std::size_t>(spec.width * info.input_components));
  while (info.next_scanline < info.image_height) {
    for (std::size_t x = 0; x < row.size(); ++x)
      row[x] = static_cast<unsigned char>((x * 29 + info.next_scanline * 7) & 0xFF);
    JSAMPROW pointer = row.data();
    jpeg_write_scanlines(&info, &pointer, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::fclose(out);
}

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

  WritePng("png_grey1", {9, 5, PNG_COLOR_TYPE_GRAY, 1});
  WritePng("png_grey8_trns", {6, 4, PNG_COLOR_TYPE_GRAY, 8, false, {}, {}, true});
  WritePng("png_grey16", {6, 4, PNG_COLOR_TYPE_GRAY, 16});
  WritePng("png_grey_alpha", {6, 4, PNG_COLOR_TYPE_GRAY_ALPHA, 8});
  WritePng("png_palette2_trns",
           {7, 3, PNG_COLOR_TYPE_PALETTE, 2, false, {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}}, {255, 0, 128}});
  WritePng("png_palette8", {5, 5, PNG_COLOR_TYPE_PALETTE, 8, false, {{9, 8, 7}, {6, 5, 4}, {3, 2, 1}}});
  WritePng("png_rgb8", {6, 4, PNG_COLOR_TYPE_RGB, 8});
  WritePng("png_rgb16_trns", {4, 4, PNG_COLOR_TYPE_RGB, 16, false, {}, {}, true});
  WritePng("png_rgba8_interlaced", {9, 9, PNG_COLOR_TYPE_RGBA, 8, true});
  WritePng("png_rgba16", {4, 3, PNG_COLOR_TYPE_RGBA, 16});
  WritePng("png_exif_orientation6", {6, 4, PNG_COLOR_TYPE_RGB, 8, false, {}, {}, false, tiff6});

  WriteJpeg("jpeg_baseline", {24, 16, JCS_RGB, JCS_YCbCr});
  WriteJpeg("jpeg_rgb_444", {16, 8, JCS_RGB, JCS_RGB, false, false});
  WriteJpeg("jpeg_progressive", {24, 16, JCS_RGB, JCS_YCbCr, true});
  WriteJpeg("jpeg_grey", {16, 16, JCS_GRAYSCALE, JCS_GRAYSCALE});
  WriteJpeg("jpeg_cmyk", {16, 8, JCS_CMYK, JCS_CMYK, false, false});
  WriteJpeg("jpeg_ycck_progressive", {16, 16, JCS_CMYK, JCS_YCCK, true});
  WriteJpeg("jpeg_arithmetic", {16, 16, JCS_RGB, JCS_YCbCr, false, true, true});
  WriteJpeg("jpeg_restarts", {32, 16, JCS_RGB, JCS_YCbCr, false, true, false, 1});
  WriteJpeg("jpeg_exif_orientation6_le", {24, 16, JCS_RGB, JCS_YCbCr, false, true, false, 0, ExifBlock(6, false)});
  WriteJpeg("jpeg_exif_orientation3_be", {24, 16, JCS_RGB, JCS_YCbCr, false, true, false, 0, ExifBlock(3, true)});
  WriteJpeg("jpeg_exif_orientation7_progressive",
            {24, 16, JCS_RGB, JCS_YCbCr, true, true, false, 0, ExifBlock(7, true)});

  const Bytes png = Load("png_rgb8");
  const Bytes jpeg = Load("jpeg_baseline");
  Save("broken_png_cut", Bytes(png.begin(), png.begin() + static_cast<std::ptrdiff_t>(png.size() / 2)));
  Bytes badCrc = png;
  badCrc[29] ^= 0x40;  // the CRC of IHDR
  Save("broken_png_bad_crc", badCrc);
  Save("broken_png_zero_width", DeclaredPng(0, 4));
  Save("broken_png_huge", DeclaredPng(20000, 20000));
  Save("broken_jpeg_cut", Bytes(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() * 2 / 3)));
  return 0;
}
