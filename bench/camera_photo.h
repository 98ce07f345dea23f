// A camera-size photo for the benchmarks that draw photos, made in memory.
#ifndef MONTAGE_BENCH_CAMERA_PHOTO_H
#define MONTAGE_BENCH_CAMERA_PHOTO_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

#include "montage/drawing.h"
#include "montage/pictures.h"

// A photo-like picture: light across the frame, fine detail and sensor grain, so that it
// costs to decode, and its frames to encode, what a camera's JPEG costs.
// A 4032x3024 JPEG (a 12-megapixel camera's size), different for every `seed`.
inline std::string CameraJpeg(int seed) {
  const int width = 4032;
  const int height = 3024;
  montage::Image image(width, height);
  std::mt19937 random(static_cast<unsigned>(seed));
  std::uniform_int_distribution<int> grain(-6, 6);
  const double hue = seed * 0.39;
  for (int y = 0; y < height; ++y) {
    std::uint32_t* row = image.Data() + static_cast<std::size_t>(y) * width;
    for (int x = 0; x < width; ++x) {
      const double u = static_cast<double>(x) / width;
      const double v = static_cast<double>(y) / height;
      // Light, and detail at the scale a frame shows it (foliage, fabric, edges).
      const double light = 0.5 + 0.5 * std::sin(9 * u + 5 * v + hue) * std::cos(4 * v - 3 * u);
      const double detail = std::sin(0.11 * x + 3 * std::sin(0.013 * y)) * std::sin(0.07 * y + 2 * std::cos(0.009 * x));
      const double wave = std::clamp(light + 0.25 * detail, 0.0, 1.0);
      auto channel = [&](double phase) {
        const double value = 255 * (0.25 + 0.6 * wave * (0.6 + 0.4 * std::sin(hue + phase + 3 * u)));
        return static_cast<std::uint32_t>(std::clamp(static_cast<int>(value) + grain(random), 0, 255));
      };
      row[x] = 0xFF000000u | (channel(0) << 16) | (channel(2.1) << 8) | channel(4.2);
    }
  }
  return montage::EncodeJpeg(image, 90);
}

#endif  // MONTAGE_BENCH_CAMERA_PHOTO_H
