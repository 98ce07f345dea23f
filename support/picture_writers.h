// PNG and JPEG files of every kind the picture readers handle, written with libpng and
// libjpeg for the tests and the fuzzers' seeds: grey, palette, 16-bit and alpha PNGs,
// interlaced, with a transparent colour or an eXIf chunk; RGB, grey, CMYK and YCCK
// JPEGs, progressive, arithmetic-coded, with restart markers or an EXIF block. Whoever
// includes this links libpng and libjpeg.
#ifndef MONTAGE_SUPPORT_PICTURE_WRITERS_H
#define MONTAGE_SUPPORT_PICTURE_WRITERS_H

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

#include "picture_files.h"

struct PngPicture {
  int width = 0;
  int height = 0;
  int colourType = PNG_COLOR_TYPE_RGB;
  int bitDepth = 8;
  // The rows packed as stored, 16-bit samples big-endian; empty: a pattern of many byte
  // values (for a palette picture, of the first three indices).
  std::vector<Bytes> rows = {};
  std::vector<png_color> palette = {};
  Bytes paletteAlpha = {};                     // tRNS of a palette picture
  std::vector<png_color_16> transparent = {};  // tRNS of a grey or RGB picture: one colour
  bool interlaced = false;
  Bytes exif = {};  // eXIf chunk: a TIFF structure
};

// The rows a PngPicture without rows is written with.
inline std::vector<Bytes> PatternRows(const PngPicture& picture, int channels) {
  const std::size_t rowBytes = (static_cast<std::size_t>(picture.width) * channels * picture.bitDepth + 7) / 8;
  std::vector<Bytes> rows(static_cast<std::size_t>(picture.height), Bytes(rowBytes));
  for (std::size_t y = 0; y < rows.size(); ++y) {
    for (std::size_t x = 0; x < rowBytes; ++x) {
      if (picture.palette.empty()) {
        rows[y][x] = static_cast<unsigned char>((x * 37 + y * 11) & 0xFF);
      } else {
        rows[y][x] = static_cast<unsigned char>(picture.bitDepth == 8 ? x % 3 : 0x1B);
      }
    }
  }
  return rows;
}

// Writes `picture` to `file`; throws std::runtime_error when the file cannot be created.
inline void WritePng(const std::filesystem::path& file, const PngPicture& picture) {
  std::FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) throw std::runtime_error("cannot write " + file.string());
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, out);
  png_set_IHDR(png, info, static_cast<png_uint_32>(picture.width), static_cast<png_uint_32>(picture.height),
               picture.bitDepth, picture.colourType, picture.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!picture.palette.empty())
    png_set_PLTE(png, info, picture.palette.data(), static_cast<int>(picture.palette.size()));
  if (!picture.paletteAlpha.empty()) {
    png_set_tRNS(png, info, picture.paletteAlpha.data(), static_cast<int>(picture.paletteAlpha.size()), nullptr);
  }
  if (!picture.transparent.empty()) png_set_tRNS(png, info, nullptr, 0, picture.transparent.data());
  Bytes exif = picture.exif;
  if (!exif.empty()) png_set_eXIf_1(png, info, static_cast<png_uint_32>(exif.size()), exif.data());
  png_write_info(png, info);
  std::vector<Bytes> rows = picture.rows.empty() ? PatternRows(picture, png_get_channels(png, info)) : picture.rows;
  std::vector<png_bytep> pointers;
  for (Bytes& row : rows) pointers.push_back(row.data());
  png_write_image(png, pointers.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(out);
}

struct JpegPicture {
  int width = 0;
  int height = 0;
  J_COLOR_SPACE input = JCS_RGB;  // JCS_RGB, JCS_GRAYSCALE or JCS_CMYK samples
  J_COLOR_SPACE stored = JCS_YCbCr;
  bool progressive = false;
  bool subsampled = false;  // 4:2:0 chroma; otherwise every component at full size
  bool arithmetic = false;
  unsigned restartInterval = 0;  // in MCU rows; 0: no restart markers
  bool adobeMarker = true;       // for CMYK: written by default, with the ink inverted
  Bytes exif = {};               // APP1 body
  // The samples of pixel (x, y): 1, 3 or 4 of them; empty: a pattern of many values.
  std::function<Bytes(int x, int y)> pixel = {};
};

// Writes `picture` to `file` at quality 100; throws std::runtime_error when the file cannot
// be created.
inline void WriteJpeg(const std::filesystem::path& file, const JpegPicture& picture) {
  std::FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) throw std::runtime_error("cannot write " + file.string());
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, out);
  info.image_width = static_cast<JDIMENSION>(picture.width);
  info.image_height = static_cast<JDIMENSION>(picture.height);
  info.input_components = picture.input == JCS_GRAYSCALE ? 1 : picture.input == JCS_CMYK ? 4 : 3;
  info.in_color_space = picture.input;
  jpeg_set_defaults(&info);
  jpeg_set_colorspace(&info, picture.stored);
  if (!picture.subsampled) {
    for (int c = 0; c < info.num_components; ++c) info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
  }
  info.write_Adobe_marker = picture.adobeMarker && picture.input == JCS_CMYK ? TRUE : FALSE;
  jpeg_set_quality(&info, 100, TRUE);
  if (picture.progressive) jpeg_simple_progression(&info);
  info.arith_code = picture.arithmetic ? TRUE : FALSE;
  info.restart_interval = picture.restartInterval;
  jpeg_start_compress(&info, TRUE);
  if (!picture.exif.empty()) {
    jpeg_write_marker(&info, JPEG_APP0 + 1, picture.exif.data(), static_cast<unsigned>(picture.exif.size()));
  }
  const int components = info.input_components;
  Bytes row(static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(components));
  while (info.next_scanline < info.image_height) {
    const int y = static_cast<int>(info.next_scanline);
    for (int x = 0; x < picture.width; ++x) {
      unsigned char* samples = row.data() + static_cast<std::ptrdiff_t>(x) * components;
      if (picture.pixel) {
        const Bytes given = picture.pixel(x, y);
        std::copy_n(given.begin(), std::min(given.size(), static_cast<std::size_t>(components)), samples);
      } else {
        for (int c = 0; c < components; ++c)
          samples[c] = static_cast<unsigned char>(((x * components + c) * 29 + y * 7) & 0xFF);
      }
    }
    JSAMPROW pointer = row.data();
    jpeg_write_scanlines(&info, &pointer, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::fclose(out);
}

#endif  // MONTAGE_SUPPORT_PICTURE_WRITERS_H
