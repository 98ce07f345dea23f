// In-memory encoders of montage/pictures.h, read back with the library's own readers.
#include <gtest/gtest.h>

#include <string>

#include "montage/pictures.h"
#include "studio_test_support.h"

namespace {

namespace fs = std::filesystem;

montage::Image ReadBack(const std::string& bytes, const std::string& name) {
  const ScratchFolder folder("encode");
  WriteBytes(folder.Path() / name, bytes);
  return montage::ReadPicture(folder.Path() / name);
}

TEST(PictureEncode, PngKeepsOpaquePixelsExactlyAndTranslucentOnesToARoundingStep) {
  montage::Image picture = TestPicture(37, 23, 2);  // odd sizes: no row padding assumed
  // A translucent band: 50% red, 25% white, and a fully transparent pixel.
  for (int x = 0; x < picture.Width(); ++x) picture.Data()[x] = 0x80800000u;
  for (int x = 0; x < picture.Width(); ++x) picture.Data()[picture.Width() + x] = 0x40404040u;
  picture.Data()[2 * picture.Width()] = 0;
  const montage::Image back = ReadBack(montage::EncodePng(picture), "picture.png");
  ASSERT_EQ(back.Width(), 37);
  ASSERT_EQ(back.Height(), 23);
  for (int y = 0; y < 23; ++y) {
    for (int x = 0; x < 37; ++x) {
      const std::uint32_t a = picture.Data()[y * 37 + x];
      const std::uint32_t b = back.Data()[y * 37 + x];
      if ((a >> 24) == 255) {
        ASSERT_EQ(a, b) << x << "," << y;
      } else {
        for (int shift = 0; shift < 32; shift += 8) {
          ASSERT_LE(std::abs(static_cast<int>((a >> shift) & 255) - static_cast<int>((b >> shift) & 255)), 1)
              << x << "," << y;
        }
      }
    }
  }
}

TEST(PictureEncode, JpegIsTheColourOverBlackAtTheAskedQuality) {
  struct Case {
    montage::Colour colour;
    montage::Colour seen;  // JPEG has no alpha: premultiplied colour over black
  };
  const Case cases[] = {
      {{200, 40, 90, 255}, {200, 40, 90, 255}},
      {{255, 255, 255, 128}, {128, 128, 128, 255}},
      {{0, 0, 255, 0}, {0, 0, 0, 255}},
  };
  for (const Case& c : cases) {
    montage::Image picture(48, 32);
    picture.Fill(c.colour);
    const std::string best = montage::EncodeJpeg(picture, 95);
    ASSERT_EQ(best.substr(0, 3), "\xFF\xD8\xFF");
    const montage::Image back = ReadBack(best, "picture.jpg");
    ASSERT_EQ(back.Width(), 48);
    ASSERT_EQ(back.Height(), 32);
    const montage::Colour seen = back.At(24, 16);
    EXPECT_NEAR(seen.r, c.seen.r, 3);
    EXPECT_NEAR(seen.g, c.seen.g, 3);
    EXPECT_NEAR(seen.b, c.seen.b, 3);
    EXPECT_EQ(seen.a, 255);
  }
  // Lower quality, fewer bytes, for a picture with detail.
  const montage::Image detailed = TestPicture(320, 240, 1);
  EXPECT_LT(montage::EncodeJpeg(detailed, 20).size(), montage::EncodeJpeg(detailed, 95).size());
}

TEST(PictureEncode, RefusesWhatItCannotEncode) {
  const montage::Image picture(8, 8);
  for (const int quality : {0, -5, 101}) EXPECT_THROW((void)montage::EncodeJpeg(picture, quality), montage::HostError);
  EXPECT_THROW((void)montage::EncodeJpeg(montage::Image(), 80), montage::HostError);
  EXPECT_THROW((void)montage::EncodePng(montage::Image()), montage::HostError);
}

}  // namespace
