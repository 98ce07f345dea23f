// The drawing library in process: geometry of the frames and pictures read from files.
#include "montage/drawing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "host_test_support.h"

namespace {

const auto* const kDrawingCaches = ::testing::AddGlobalTestEnvironment(new DrawingCachesEnvironment);

// An animation of one input that holds `pose` from time 0 to 1.
montage::Animation Holding(const montage::Pose& pose) {
  KeyFrame frame;
  frame.PosX = pose.posX;
  frame.PosY = pose.posY;
  frame.Scale = pose.scale;
  frame.Opacity = pose.opacity;
  frame.Rotation = pose.rotation;
  KeyFrame end = frame;
  end.Time = 1.0;
  montage::Animation animation;
  animation.inputCount = 1;
  animation.settings = {{frame, end}};
  animation.tracks = {montage::Track(animation.settings[0])};
  return animation;
}

TEST(Renderer, PlacesInputsWithPositiveYUpAndScaleInFrameSizes) {
  montage::Image red(10, 10);
  red.Fill({255, 0, 0, 255});
  // A half-size input at (0.25, 0.25) fills exactly the top-right quadrant.
  montage::Renderer renderer(Holding({0.25, 0.25, 0.5, 1.0, 0.0}), {red});
  const montage::Image frame = renderer.Render(0.5, 200, 100);
  const montage::Colour kRed{255, 0, 0, 255};
  EXPECT_EQ(frame.At(150, 25), kRed);
  EXPECT_EQ(frame.At(101, 1), kRed);
  EXPECT_EQ(frame.At(198, 48), kRed);
  EXPECT_NE(frame.At(98, 25), kRed);
  EXPECT_NE(frame.At(150, 52), kRed);
  EXPECT_NE(frame.At(50, 75), kRed);
  // Outside its keyframes nothing is drawn.
  EXPECT_NE(renderer.Render(1.5, 200, 100).At(150, 25), kRed);
}

TEST(Renderer, RotationTurnsCounterClockwiseAndPicturesCoverTheirRectangle) {
  // Left half red, right half blue; a quarter turn counter-clockwise brings the left
  // half to the bottom.
  montage::Image picture(40, 20);
  picture.Fill({255, 0, 0, 255});
  montage::Image blue(1, 1);
  blue.Fill({0, 0, 255, 255});
  for (int y = 0; y < 20; ++y) std::fill_n(picture.Data() + y * 40 + 20, 20, blue.Data()[0]);
  montage::Renderer turned(Holding({0.0, 0.0, 0.5, 1.0, std::numbers::pi / 2}), {picture});
  const montage::Image frame = turned.Render(0.0, 200, 200);
  EXPECT_EQ(frame.At(100, 130), (montage::Colour{255, 0, 0, 255}));
  EXPECT_EQ(frame.At(100, 70), (montage::Colour{0, 0, 255, 255}));
  // The 100x100 rectangle is covered: the wide picture is cropped, not letterboxed.
  EXPECT_EQ(frame.At(100, 51), (montage::Colour{0, 0, 255, 255}));
  EXPECT_EQ(frame.At(51, 70), (montage::Colour{0, 0, 255, 255}));
  EXPECT_NE(frame.At(100, 48), (montage::Colour{0, 0, 255, 255}));
}

TEST(Renderer, ContainShowsTheWholePictureWithTransparentMargins) {
  // A 4:1 picture in the full 2:1 frame: contained, it spans the width and a quarter of
  // the height in the middle; the background shows above and below. Covered, it fills
  // the frame.
  montage::Image wide(40, 10);
  wide.Fill({255, 0, 0, 255});
  const montage::Colour kRed{255, 0, 0, 255};
  for (const auto& [fit, margin] : {std::pair{montage::Fit::kContain, true}, std::pair{montage::Fit::kCover, false}}) {
    montage::Renderer renderer(Holding({0, 0, 1, 1, 0}), std::vector<montage::Image>{wide},
                               montage::RenderSettings{2.0, fit});
    const montage::Image frame = renderer.Render(0.5, 200, 100);
    EXPECT_EQ(frame.At(100, 50), kRed);
    EXPECT_EQ(frame.At(2, 50), kRed);
    EXPECT_EQ(frame.At(100, 10) != kRed, margin);
    EXPECT_EQ(frame.At(100, 90) != kRed, margin);
  }
}

TEST(Renderer, SkipsPosesCairoCannotPlace) {
  const double kInf = std::numeric_limits<double>::infinity();
  for (const montage::Pose& pose :
       {montage::Pose{0, 0, 0.0, 1, 0}, montage::Pose{0, 0, 1e-300, 1, 0}, montage::Pose{kInf, 0, 1, 1, 0},
        montage::Pose{0, 0, 1e12, 1, 0}, montage::Pose{0, 0, 1, 1, kInf}, montage::Pose{0, 0, -0.5, 1, 0}}) {
    montage::Renderer renderer(Holding(pose));
    EXPECT_NO_THROW((void)renderer.Render(0.5, 64, 36));
  }
}

TEST(Image, ReadNamesTheFileThatFails) {
  const ScratchFolder scratch("image");
  try {
    (void)montage::Image::Read(scratch.Path() / "absent.png");
    FAIL() << "no error";
  } catch (const montage::HostError& error) {
    EXPECT_NE(std::string(error.what()).find("absent.png"), std::string::npos) << error.what();
  }
  // A JPEG cut short is reported, not decoded into garbage or a crash.
  const std::filesystem::path jpeg = WriteSolidJpeg(scratch.Path() / "whole.jpg", 32, 32, {1, 2, 3, 255});
  const auto size = std::filesystem::file_size(jpeg);
  std::filesystem::resize_file(jpeg, size / 3);
  EXPECT_THROW((void)montage::Image::Read(jpeg), montage::HostError);
}

}  // namespace
