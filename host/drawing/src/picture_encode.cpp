// Pictures encoded in memory: JPEG through libjpeg, PNG through libpng, for frames that
// are sent rather than written to files.
#include <png.h>

#include <bit>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

#include "jpeg_errors.h"
#include "montage/pictures.h"

namespace montage {

namespace {

// ---- JPEG ---------------------------------------------------------------------------------

using pictures::JpegErrors;
using pictures::JpegFail;

void JpegIgnore(j_common_ptr /*info*/, int /*level*/) {}

// libjpeg-turbo reads the native ARGB words of a little-endian machine as B, G, R, X
// bytes directly; elsewhere each row is converted to RGB first.
#if defined(JCS_EXTENSIONS)
constexpr bool kDirectRows = std::endian::native == std::endian::little;
constexpr J_COLOR_SPACE kDirectSpace = JCS_EXT_BGRX;
#else
constexpr bool kDirectRows = false;
constexpr J_COLOR_SPACE kDirectSpace = JCS_RGB;
#endif

// The encode itself, behind its own setjmp: every object that lives across the jump
// (the row buffer, the output buffer) is created by the caller, so the jump skips no
// destructor. Returns false when libjpeg failed, with the message in `errors`.
bool CompressPhase(jpeg_compress_struct& info, JpegErrors& errors, const Image& picture, int quality,
                   std::vector<unsigned char>& row, unsigned char** buffer, unsigned long* size) {
  if (setjmp(errors.jump) != 0) return false;
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, buffer, size);
  info.image_width = static_cast<JDIMENSION>(picture.Width());
  info.image_height = static_cast<JDIMENSION>(picture.Height());
  info.input_components = kDirectRows ? 4 : 3;
  info.in_color_space = kDirectRows ? kDirectSpace : JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  const auto width = static_cast<std::size_t>(picture.Width());
  while (info.next_scanline < info.image_height) {
    const std::uint32_t* pixels = picture.Data() + static_cast<std::size_t>(info.next_scanline) * width;
    JSAMPROW rows[1];
    if (kDirectRows) {
      // libjpeg reads the rows only; its interface has no const.
      rows[0] = const_cast<JSAMPROW>(reinterpret_cast<const JSAMPLE*>(pixels));
    } else {
      // Premultiplied channels are the colour over black already.
      for (std::size_t x = 0; x < width; ++x) {
        row[3 * x] = static_cast<unsigned char>(pixels[x] >> 16);
        row[3 * x + 1] = static_cast<unsigned char>(pixels[x] >> 8);
        row[3 * x + 2] = static_cast<unsigned char>(pixels[x]);
      }
      rows[0] = row.data();
    }
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  return true;
}

// ---- PNG ----------------------------------------------------------------------------------

struct PngState {
  std::string* out = nullptr;
  bool outOfMemory = false;
  char error[256] = {};
};

void PngError(png_structp png, png_const_charp message) {
  auto* state = static_cast<PngState*>(png_get_error_ptr(png));
  std::snprintf(state->error, sizeof state->error, "%s", message);
  png_longjmp(png, 1);
}

void PngWarning(png_structp /*png*/, png_const_charp /*message*/) {}

void PngWrite(png_structp png, png_bytep data, std::size_t length) {
  auto* state = static_cast<PngState*>(png_get_io_ptr(png));
  try {
    state->out->append(reinterpret_cast<const char*>(data), length);
  } catch (const std::bad_alloc&) {
    state->outOfMemory = true;
    png_error(png, "out of memory");
  }
}

void PngFlush(png_structp /*png*/) {}

// One row of premultiplied ARGB words as RGBA bytes, not premultiplied.
void UnpremultiplyRow(const std::uint32_t* in, std::size_t width, unsigned char* out) {
  for (std::size_t x = 0; x < width; ++x, out += 4) {
    const std::uint32_t pixel = in[x];
    const std::uint32_t a = pixel >> 24;
    auto channel = [&](int shift) -> unsigned char {
      const std::uint32_t value = (pixel >> shift) & 0xFFu;
      if (a == 255) return static_cast<unsigned char>(value);
      if (a == 0) return 0;
      const std::uint32_t straight = (value * 255 + a / 2) / a;
      return static_cast<unsigned char>(straight > 255 ? 255 : straight);
    };
    out[0] = channel(16);
    out[1] = channel(8);
    out[2] = channel(0);
    out[3] = static_cast<unsigned char>(a);
  }
}

bool WritePhase(png_structp png, png_infop info, const Image& picture, std::vector<unsigned char>& row) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_set_IHDR(png, info, static_cast<png_uint_32>(picture.Width()), static_cast<png_uint_32>(picture.Height()), 8,
               PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  // Frames and charts are sent once and looked at: speed matters more than the last
  // kilobytes.
  png_set_compression_level(png, 3);
  png_write_info(png, info);
  const auto width = static_cast<std::size_t>(picture.Width());
  for (int y = 0; y < picture.Height(); ++y) {
    UnpremultiplyRow(picture.Data() + static_cast<std::size_t>(y) * width, width, row.data());
    png_write_row(png, row.data());
  }
  png_write_end(png, info);
  return true;
}

}  // namespace

std::string EncodeJpeg(const Image& picture, int quality) {
  if (quality < 1 || quality > 100) {
    throw HostError("JPEG quality must be 1 to 100, not " + std::to_string(quality));
  }
  if (picture.Width() < 1 || picture.Height() < 1) throw HostError("cannot encode JPEG: the picture is empty");
  const auto errors = std::make_unique<JpegErrors>();  // on the heap: libjpeg keeps its address
  errors->message[0] = '\0';
  jpeg_compress_struct info{};
  info.err = jpeg_std_error(&errors->manager);
  errors->manager.error_exit = JpegFail;
  errors->manager.emit_message = JpegIgnore;
  std::vector<unsigned char> row(kDirectRows ? 0 : static_cast<std::size_t>(picture.Width()) * 3);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  const bool done = CompressPhase(info, *errors, picture, quality, row, &buffer, &size);
  jpeg_destroy_compress(&info);
  // jpeg_mem_dest's buffer is libjpeg's, allocated with malloc.
  const std::unique_ptr<unsigned char, decltype(&std::free)> owned(buffer, &std::free);
  if (!done) throw HostError(std::string("cannot encode JPEG: ") + errors->message);
  return std::string(reinterpret_cast<const char*>(buffer), size);
}

std::string EncodePng(const Image& picture) {
  if (picture.Width() < 1 || picture.Height() < 1) throw HostError("cannot encode PNG: the picture is empty");
  std::string out;
  PngState state;
  state.out = &out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, PngError, PngWarning);
  if (png == nullptr) throw std::bad_alloc();
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    throw std::bad_alloc();
  }
  png_set_write_fn(png, &state, PngWrite, PngFlush);
  std::vector<unsigned char> row(static_cast<std::size_t>(picture.Width()) * 4);
  const bool done = WritePhase(png, info, picture, row);
  png_destroy_write_struct(&png, &info);
  if (state.outOfMemory) throw std::bad_alloc();
  if (!done) throw HostError(std::string("cannot encode PNG: ") + state.error);
  return out;
}

}  // namespace montage
