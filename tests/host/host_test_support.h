// Scratch folders and test pictures for the host tests.
#ifndef MONTAGE_TESTS_HOST_TEST_SUPPORT_H
#define MONTAGE_TESTS_HOST_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "montage/drawing.h"
#include "montage/pictures.h"

// A fresh folder under the system's temporary folder, removed with everything in it.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& label) {
    std::string pattern = (std::filesystem::temp_directory_path() / ("montage-host-" + label + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Opaque colours far apart, one per test picture.
inline montage::Colour SolidColour(int k) {
  static constexpr montage::Colour kColours[] = {
      {230, 25, 75, 255}, {60, 180, 75, 255}, {255, 225, 25, 255}, {0, 130, 200, 255}, {245, 130, 48, 255}};
  return kColours[k % 5];
}

inline std::filesystem::path WriteSolidPng(const std::filesystem::path& file, int k) {
  montage::Image image(48, 32);
  image.Fill(SolidColour(k));
  image.WritePng(file);
  return file;
}

inline std::filesystem::path WriteSolidJpeg(const std::filesystem::path& file, int width, int height,
                                            montage::Colour colour) {
  montage::Image image(width, height);
  image.Fill(colour);
  const std::string bytes = montage::EncodeJpeg(image, 100);
  std::ofstream out(file, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
  return file;
}

inline double Hue(montage::Colour c) { return std::atan2(std::sqrt(3.0) * (c.g - c.b), 2.0 * c.r - c.g - c.b); }

// The input among 0..count-1 whose placeholder colour is nearest in hue to `seen`.
inline int NearestPlaceholder(montage::Colour seen, int count) {
  int best = -1;
  double bestDistance = 10;
  for (int index = 0; index < count; ++index) {
    double distance = std::abs(Hue(seen) - Hue(montage::PlaceholderColour(index)));
    distance = std::min(distance, 2 * M_PI - distance);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = index;
    }
  }
  return best;
}

// Frees the drawing caches after the tests, so that the leak checker sees none.
class DrawingCachesEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { montage::ReleaseDrawingCaches(); }
};

#endif  // MONTAGE_TESTS_HOST_TEST_SUPPORT_H
