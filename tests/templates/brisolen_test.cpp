#include <gtest/gtest.h>

#include <vector>

#include "keyframe_matchers.h"
#include "template_test.h"

namespace {

constexpr double kBackX = 0.1472;
constexpr double kBackY = 0.1518;
constexpr double kBackScale = 1.31;
constexpr double kRowY = -0.15;
constexpr double kPicture = 0.3;

using Brisolen = TemplateTest<"Brisolen">;

// The background: enlarged, off centre, for the whole effect.
const std::vector<ExpectedKeyFrame> kBackground = {{0, kBackX, kBackY, kBackScale, 1},
                                                   {1, kBackX, kBackY, kBackScale, 1}};

// A picture in the column at `x`: fades in, holds and fades out at times t0..t3.
std::vector<ExpectedKeyFrame> Picture(double x, double t0, double t1, double t2, double t3) {
  return {{t0, x, kRowY, kPicture, 0},
          {t1, x, kRowY, kPicture, 1},
          {t2, x, kRowY, kPicture, 1},
          {t3, x, kRowY, kPicture, 0}};
}

TEST_F(Brisolen, KeyFramesMatchTheLayoutTables) {
  ExpectInputs(
      effect_,
      {
          // Five inputs: the step is 1/8, so every value is exact.
          {5, 0, kBackground},
          {5, 1, Picture(-0.3, 0.125, 0.25, 0.5, 0.625)},
          {5, 2, Picture(0, 0.25, 0.375, 0.625, 0.75)},
          {5, 3, Picture(0.3, 0.375, 0.5, 0.75, 0.875)},
          {5, 4, Picture(-0.3, 0.5, 0.625, 0.875, 1)},
          // A single input is the background alone.
          {1, 0, kBackground},
          {2, 1, Picture(-0.3, 0.2, 0.4, 0.8, 1)},
          // Sixteen inputs (step 1/19): the hold ends at (i + 2) s + s, not at (i + 3) s.
          {16, 1, Picture(-0.3, 0.05263157894736842, 0.10526315789473684, 0.21052631578947367, 0.2631578947368421)},
          {16, 15, Picture(0.3, 0.7894736842105263, 0.8421052631578947, 0.9473684210526314, 1)},
      });
}

TEST_F(Brisolen, TimesFollowTheStepSumsToTheLastBit) {
  // Every picture has four keyframes.
  ExpectTimes(effect_,
              {
                  {16, 10, 3, 0.7368421052631577},  // 13 s + s
                  {16, 13, 1, 0.7368421052631579},  // 14 s
                  {3, 2, 3, 0.9999999999999999},    // the last keyframe is not always 1
                  {90, 89, 3, 1.0000000000000002},
              },
              kByBits, 4);
}

TEST_F(Brisolen, PicturesCycleThroughTheColumnsAndStartOneStepIn) {
  constexpr double kColumns[3] = {-0.3, 0.0, 0.3};
  for (const int count : {4, 16, 17, 250}) {
    const double step = 1.0 / (count + 3);
    for (int index = 1; index < count; ++index) {
      const std::vector<KeyFrame> frames = GenerateKeyFrames(effect_, index, count);
      ASSERT_EQ(frames.size(), 4u);
      EXPECT_TRUE(SameDouble(frames[0].PosX, kColumns[(index - 1) % 3])) << index << " of " << count;
      EXPECT_GE(frames[0].Time, step);
    }
  }
}

TEST_F(Brisolen, PicturesWithoutAColumnOrStepHaveNoKeyFrames) {
  for (const int index : {-1, -2, -3, -2147483647 - 1})
    EXPECT_TRUE(GenerateKeyFrames(effect_, index, 16).empty()) << index;
  // Nor do pictures when the count leaves no time step; the background stays.
  EXPECT_TRUE(GenerateKeyFrames(effect_, 1, -3).empty());
  EXPECT_EQ(GenerateKeyFrames(effect_, 0, -3).size(), 2u);
  // Beyond the count the picture formulas run on, past time 1.
  const std::vector<KeyFrame> beyond = GenerateKeyFrames(effect_, 20, 16);
  ASSERT_EQ(beyond.size(), 4u);
  EXPECT_GT(beyond[3].Time, 1.0);
}

}  // namespace
