#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <vector>

#include "keyframe_matchers.h"

namespace {

constexpr double kPosY = -0.04;
constexpr double kScale = 0.67;
// Sequence inputs fade in, hold and fade out.
constexpr double kOpacity[4] = {0, 1, 1, 0};

class Keluvo : public ::testing::Test {
 protected:
  PluginLibrary library_{FindBuiltPlugin("Keluvo").path};
  EffectPtr effect_ = library_.Create();
};

// One input's keyframe times; the pose follows from its role (4 times: a sequence input,
// 2 times: the full-frame layer in the default pose).
struct InputTimes {
  int count;
  int index;
  std::vector<double> times;
};

// Times to six decimals, every other field to the bit.
void ExpectInput(const std::vector<KeyFrame>& frames, const InputTimes& expected) {
  ASSERT_EQ(frames.size(), expected.times.size());
  const bool layer = expected.times.size() == 2;
  for (std::size_t k = 0; k < frames.size(); ++k) {
    SCOPED_TRACE(testing::Message() << "keyframe " << k);
    EXPECT_NEAR(frames[k].Time, expected.times[k], 5e-7);
    ExpectKeyFrame(frames[k], layer ? ExpectedKeyFrame{frames[k].Time, 0, 0, 1, 1}
                                    : ExpectedKeyFrame{frames[k].Time, 0, kPosY, kScale, kOpacity[k]});
  }
}

TEST_F(Keluvo, InputsCrossFadeAtOnePlaceOverTheFullFrameLayer) {
  const std::vector<InputTimes> cases = {
      // The minimum, half-step 0.1.
      {5, 0, {0, 0.1, 0.2, 0.3}},
      {5, 1, {0.2, 0.3, 0.4, 0.5}},
      {5, 2, {0.4, 0.5, 0.6, 0.7}},
      {5, 3, {0.6, 0.7, 0.8, 0.9}},
      {5, 4, {0, 1}},
      // Half-step 1/12.
      {6, 0, {0, 0.083333, 0.166667, 0.25}},
      {6, 1, {0.166667, 0.25, 0.333333, 0.416667}},
      {6, 2, {0.333333, 0.416667, 0.5, 0.583333}},
      {6, 3, {0.5, 0.583333, 0.666667, 0.75}},
      {6, 4, {0.666667, 0.75, 0.833333, 0.916667}},
      {6, 5, {0, 1}},
      // Below the minimum the same rules apply; a single input is the layer alone.
      {2, 0, {0, 0.25, 0.5, 0.75}},
      {2, 1, {0, 1}},
      {1, 0, {0, 1}},
  };
  for (const InputTimes& c : cases) {
    SCOPED_TRACE(testing::Message() << "input " << c.index << " of " << c.count);
    ExpectInput(Generate(*effect_, c.index, c.count), c);
  }
}

TEST_F(Keluvo, TimesAreOneProductOfTheHalfStepToTheLastBit) {
  // (2 index + i) * V with V = 1 / (2 count) rounded first: 3 * 0.1 is not 0.3, and
  // 5 * (1/12) is not 5/12.
  struct TimeCase {
    int count, index, keyframe;
    double time;
  };
  for (const TimeCase c : {
           TimeCase{5, 0, 3, 0.30000000000000004},
           TimeCase{5, 1, 1, 0.30000000000000004},
           TimeCase{5, 2, 2, 0.6000000000000001},
           TimeCase{5, 3, 0, 0.6000000000000001},
           TimeCase{5, 2, 3, 0.7000000000000001},
           TimeCase{5, 3, 1, 0.7000000000000001},
           TimeCase{5, 3, 3, 0.9},
           TimeCase{2, 0, 3, 0.75},
           TimeCase{6, 1, 3, 0.41666666666666663},
           TimeCase{7, 5, 3, 0.9285714285714285},
           TimeCase{100, 17, 1, 0.17500000000000002},
       }) {
    const std::vector<KeyFrame> frames = Generate(*effect_, c.index, c.count);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_TRUE(SameDouble(frames[c.keyframe].Time, c.time)) << "input " << c.index << " of " << c.count;
  }
}

TEST_F(Keluvo, NeighboursMeetBitForBitAndOnlyTheLastInputIsTheLayer) {
  for (const int count : {1, 2, 3, 5, 6, 7, 16, 100, 1000}) {
    std::vector<std::vector<KeyFrame>> inputs;
    for (int index = 0; index < count; ++index) inputs.push_back(Generate(*effect_, index, count));
    ASSERT_EQ(inputs.back().size(), 2u) << count;
    EXPECT_TRUE(SameDouble(inputs.back()[1].Time, 1.0)) << count;
    for (int index = 0; index + 1 < count; ++index) {
      const std::vector<KeyFrame>& frames = inputs[static_cast<std::size_t>(index)];
      ASSERT_EQ(frames.size(), 4u) << "input " << index << " of " << count;
      EXPECT_LT(frames[3].Time, 1.0) << "input " << index << " of " << count;
      if (index + 2 < count) {
        const std::vector<KeyFrame>& next = inputs[static_cast<std::size_t>(index) + 1];
        EXPECT_TRUE(SameDouble(next[0].Time, frames[2].Time)) << "input " << index << " of " << count;
        EXPECT_TRUE(SameDouble(next[1].Time, frames[3].Time)) << "input " << index << " of " << count;
      }
    }
  }
}

TEST_F(Keluvo, DirectArgumentsOutsideTheInputs) {
  struct DirectCase {
    int index, count;
    std::size_t frames;
  };
  for (const DirectCase c : {
           DirectCase{0, 0, 0},  // no inputs, no half-step: nothing, never NaN
           DirectCase{-1, 0, 0},
           DirectCase{INT_MAX, INT_MIN, 4},  // count - 1 does not wrap round to INT_MAX
           DirectCase{INT_MIN, INT_MIN + 1, 2},
           DirectCase{-1, 5, 4},  // any index but the last is a sequence input
           DirectCase{5, 5, 4},
           DirectCase{INT_MAX, INT_MAX, 4},
       }) {
    const std::vector<KeyFrame> frames = Generate(*effect_, c.index, c.count);
    ASSERT_EQ(frames.size(), c.frames) << "input " << c.index << " of " << c.count;
    for (const KeyFrame& frame : frames) EXPECT_TRUE(std::isfinite(frame.Time)) << c.index << " of " << c.count;
  }
  // Past the count the windows run on beyond the end of the effect.
  EXPECT_TRUE(SameDouble(Generate(*effect_, 5, 5)[3].Time, 1.3));
}

}  // namespace
