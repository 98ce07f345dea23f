// Pictures in memory, read from PNG and JPEG files (montage/pictures.h) and written as PNG.
#include <cairo.h>

#include <algorithm>

#include "cairo_support.h"
#include "montage/drawing.h"
#include "montage/pictures.h"

namespace montage {

namespace fs = std::filesystem;

Image::Image(int width, int height) {
  if (width < 1 || height < 1 || width > kMaxFrameSide || height > kMaxFrameSide) {
    throw HostError("an image must be 1 to " + std::to_string(kMaxFrameSide) + " pixels wide and high, not " +
                    std::to_string(width) + "x" + std::to_string(height));
  }
  width_ = width;
  height_ = height;
  pixels_.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
}

Image Image::Read(const fs::path& file) { return ReadPicture(file); }

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
  // Under a temporary name, renamed when complete: a full disk leaves no cut-off PNG
  // that looks finished, and a link planted at the name is replaced, not followed.
  OutputFile out(file);
  CairoSink sink{&out, nullptr};
  const SurfacePtr surface = SurfaceOf(const_cast<Image&>(*this));  // cairo only reads it here
  sink.Check(cairo_surface_write_to_png_stream(surface.get(), &CairoSink::Write, &sink));
  out.Commit();
}

}  // namespace montage
