// Pictures in memory, read from PNG and JPEG files and written as PNG.
#include <cairo.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

// jpeglib.h needs size_t and FILE declared before it.
#include <jerror.h>
#include <jpeglib.h>

#include "cairo_support.h"
#include "montage/drawing.h"

namespace montage {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void CannotDecode(const fs::path& file, const std::string& reason) {
  throw HostError("cannot decode image " + file.string() + ": " + reason);
}

Image ReadPng(const fs::path& file) {
  const SurfacePtr surface(cairo_image_surface_create_from_png(file.c_str()));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
    CannotDecode(file, cairo_status_to_string(cairo_surface_status(surface.get())));
  }
  const int width = cairo_image_surface_get_width(surface.get());
  const int height = cairo_image_surface_get_height(surface.get());
  if (width > kMaxFrameSide || height > kMaxFrameSide) {
    CannotDecode(file, "larger than " + std::to_string(kMaxFrameSide) + " pixels");
  }
  Image image(width, height);
  const SurfacePtr target = SurfaceOf(image);
  const ContextPtr cr(cairo_create(target.get()));
  cairo_set_source_surface(cr.get(), surface.get(), 0, 0);
  cairo_set_operator(cr.get(), CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr.get());
  return image;
}

// libjpeg reports a fatal error by calling error_exit, which must not return: it jumps
// back to DecodeJpeg with the message kept.
struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void JpegFail(j_common_ptr info) {
  auto* errors = reinterpret_cast<JpegErrors*>(info->err);
  info->err->format_message(info, errors->message);
  std::longjmp(errors->jump, 1);
}

// Warnings are ignored, except the one for a file that ends early: what a viewer would
// fill in there is not the picture.
void JpegWarning(j_common_ptr info, int level) {
  if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF) JpegFail(info);
}

// Decodes into `rgb` (3 bytes a pixel). Every object that lives across the setjmp is
// created before it, so the jump skips no destructor. Returns false with
// `errors.message` set on failure.
bool DecodeJpeg(const std::vector<unsigned char>& bytes, std::vector<unsigned char>& rgb, int& width, int& height,
                JpegErrors& errors) {
  jpeg_decompress_struct info{};
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = JpegFail;
  errors.manager.emit_message = JpegWarning;
  errors.message[0] = '\0';
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  if (info.image_width > kMaxFrameSide || info.image_height > kMaxFrameSide) {
    std::snprintf(errors.message, sizeof errors.message, "larger than %d pixels", kMaxFrameSide);
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_start_decompress(&info);
  width = static_cast<int>(info.output_width);
  height = static_cast<int>(info.output_height);
  rgb.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = rgb.data() + static_cast<std::size_t>(info.output_scanline) * static_cast<std::size_t>(width) * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

Image ReadJpeg(const fs::path& file, const std::vector<unsigned char>& bytes) {
  std::vector<unsigned char> rgb;
  int width = 0;
  int height = 0;
  auto errors = std::make_unique<JpegErrors>();
  if (!DecodeJpeg(bytes, rgb, width, height, *errors)) CannotDecode(file, errors->message);
  Image image(width, height);
  std::uint32_t* pixel = image.Data();
  for (std::size_t i = 0; i + 2 < rgb.size(); i += 3) {
    *pixel++ = 0xFF000000u | (std::uint32_t{rgb[i]} << 16) | (std::uint32_t{rgb[i + 1]} << 8) | rgb[i + 2];
  }
  return image;
}

}  // namespace

Image::Image(int width, int height) {
  if (width < 1 || height < 1 || width > kMaxFrameSide || height > kMaxFrameSide) {
    throw HostError("an image must be 1 to " + std::to_string(kMaxFrameSide) + " pixels wide and high, not " +
                    std::to_string(width) + "x" + std::to_string(height));
  }
  width_ = width;
  height_ = height;
  pixels_.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
}

Image Image::Read(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) throw HostError("cannot read image " + file.string() + ": " + std::strerror(errno));
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  if (stream.bad()) throw HostError("cannot read image " + file.string() + ": " + std::strerror(errno));
  static constexpr unsigned char kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  static constexpr unsigned char kJpeg[] = {0xFF, 0xD8, 0xFF};
  if (bytes.size() >= sizeof kPng && std::equal(std::begin(kPng), std::end(kPng), bytes.begin())) return ReadPng(file);
  if (bytes.size() >= sizeof kJpeg && std::equal(std::begin(kJpeg), std::end(kJpeg), bytes.begin())) {
    return ReadJpeg(file, bytes);
  }
  CannotDecode(file, "not a PNG or JPEG file");
}

Colour Image::At(int x, int y) const {
  const std::uint32_t pixel =
      pixels_.at(static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x));
  const auto alpha = static_cast<std::uint8_t>(pixel >> 24);
  auto channel = [&](int shift) {
    const std::uint32_t value = (pixel >> shift) & 0xFFu;
    if (alpha == 0) return std::uint8_t{0};
    return static_cast<std::uint8_t>(std::min<std::uint32_t>(255, (value * 255 + alpha / 2) / alpha));
  };
  return {channel(16), channel(8), channel(0), alpha};
}

void Image::Fill(Colour colour) {
  auto premultiply = [&](std::uint8_t value) { return (std::uint32_t{value} * colour.a + 127) / 255; };
  const std::uint32_t pixel = (std::uint32_t{colour.a} << 24) | (premultiply(colour.r) << 16) |
                              (premultiply(colour.g) << 8) | premultiply(colour.b);
  std::ranges::fill(pixels_, pixel);
}

void Image::WritePng(const fs::path& file) const {
  const SurfacePtr surface = SurfaceOf(const_cast<Image&>(*this));  // cairo only reads it here
  const cairo_status_t status = cairo_surface_write_to_png(surface.get(), file.c_str());
  if (status != CAIRO_STATUS_SUCCESS) {
    throw HostError("cannot write " + file.string() + ": " + cairo_status_to_string(status));
  }
}

}  // namespace montage
