#include <gtest/gtest.h>

#include <vector>

#include "keyframe_matchers.h"

namespace {

constexpr double kBackX = 0.1472;
constexpr double kBackY = 0.1518;
constexpr double kBackScale = 1.31;
constexpr double kRowY = -0.15;
constexpr double kPicture = 0.3;

class Brisolen : public ::testing::Test {
 protected:
  PluginLibrary library_{FindBuiltPlugin("Brisolen").path};
  EffectPtr effect_ = library_.Create();
};

struct InputCase {
  int count;
  int index;
  std::vector<ExpectedKeyFrame> frames;
};

TEST_F(Brisolen, KeyFramesMatchTheLayoutTables) {
  const std::vector<InputCase> cases = {
      // Five inputs: the step is 1/8, so every value is exact.
      {5, 0, {{0, kBackX, kBackY, kBackScale, 1}, {1, kBackX, kBackY, kBackScale, 1}}},
      {5, 1, {{0.125, -0.3, kRowY, kPicture, 0}, {0.25, -0.3, kRowY, kPicture, 1},
              {0.5, -0.3, kRowY, kPicture, 1}, {0.625, -0.3, kRowY, kPicture, 0}}},
      {5, 2, {{0.25, 0, kRowY, kPicture, 0}, {0.375, 0, kRowY, kPicture, 1},
              {0.625, 0, kRowY, kPicture, 1}, {0.75, 0, kRowY, kPicture, 0}}},
      {5, 3, {{0.375, 0.3, kRowY, kPicture, 0}, {0.5, 0.3, kRowY, kPicture, 1},
              {0.75, 0.3, kRowY, kPicture, 1}, {0.875, 0.3, kRowY, kPicture, 0}}},
      {5, 4, {{0.5, -0.3, kRowY, kPicture, 0}, {0.625, -0.3, kRowY, kPicture, 1},
              {0.875, -0.3, kRowY, kPicture, 1}, {1, -0.3, kRowY, kPicture, 0}}},
      // A single input is the background alone.
      {1, 0, {{0, kBackX, kBackY, kBackScale, 1}, {1, kBackX, kBackY, kBackScale, 1}}},
      {2, 1, {{0.2, -0.3, kRowY, kPicture, 0}, {0.4, -0.3, kRowY, kPicture, 1},
              {0.8, -0.3, kRowY, kPicture, 1}, {1, -0.3, kRowY, kPicture, 0}}},
      // Sixteen inputs (step 1/19): the hold ends at (i + 2) s + s, not at (i + 3) s.
      {16, 1, {{0.05263157894736842, -0.3, kRowY, kPicture, 0}, {0.10526315789473684, -0.3, kRowY, kPicture, 1},
               {0.21052631578947367, -0.3, kRowY, kPicture, 1}, {0.2631578947368421, -0.3, kRowY, kPicture, 0}}},
      {16, 15, {{0.7894736842105263, 0.3, kRowY, kPicture, 0}, {0.8421052631578947, 0.3, kRowY, kPicture, 1},
                {0.9473684210526314, 0.3, kRowY, kPicture, 1}, {1, 0.3, kRowY, kPicture, 0}}},
  };
  for (const InputCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "input " << c.index << " of " << c.count);
    const std::vector<KeyFrame> frames = Generate(*effect_, c.index, c.count);
    ASSERT_EQ(frames.size(), c.frames.size());
    for (std::size_t k = 0; k < frames.size(); ++k) {
      SCOPED_TRACE(testing::Message() << "keyframe " << k);
      ExpectKeyFrame(frames[k], c.frames[k]);
    }
  }
}

TEST_F(Brisolen, TimesFollowTheStepSumsToTheLastBit) {
  struct TimeCase {
    int count, index, keyframe;
    double time;
  };
  for (const TimeCase c : {
           TimeCase{16, 10, 3, 0.7368421052631577},  // 13 s + s
           TimeCase{16, 13, 1, 0.7368421052631579},  // 14 s
           TimeCase{3, 2, 3, 0.9999999999999999},    // the last keyframe is not always 1
           TimeCase{90, 89, 3, 1.0000000000000002},
       }) {
    const std::vector<KeyFrame> frames = Generate(*effect_, c.index, c.count);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_TRUE(SameDouble(frames[c.keyframe].Time, c.time)) << "input " << c.index << " of " << c.count;
  }
}

TEST_F(Brisolen, PicturesCycleThroughTheColumnsAndStartOneStepIn) {
  constexpr double kColumns[3] = {-0.3, 0.0, 0.3};
  for (const int count : {4, 16, 17, 250}) {
    const double step = 1.0 / (count + 3);
    for (int index = 1; index < count; ++index) {
      const std::vector<KeyFrame> frames = Generate(*effect_, index, count);
      ASSERT_EQ(frames.size(), 4u);
      EXPECT_TRUE(SameDouble(frames[0].PosX, kColumns[(index - 1) % 3])) << index << " of " << count;
      EXPECT_GE(frames[0].Time, step);
    }
  }
}

TEST_F(Brisolen, PicturesWithoutAColumnOrStepHaveNoKeyFrames) {
  for (const int index : {-1, -2, -3, -2147483647 - 1}) EXPECT_TRUE(Generate(*effect_, index, 16).empty()) << index;
  // Nor do pictures when the count leaves no time step; the background stays.
  EXPECT_TRUE(Generate(*effect_, 1, -3).empty());
  EXPECT_EQ(Generate(*effect_, 0, -3).size(), 2u);
  // Beyond the count the picture formulas run on, past time 1.
  const std::vector<KeyFrame> beyond = Generate(*effect_, 20, 16);
  ASSERT_EQ(beyond.size(), 4u);
  EXPECT_GT(beyond[3].Time, 1.0);
}

}  // namespace
