#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <vector>

#include "keyframe_matchers.h"
#include "template_test.h"

namespace {

constexpr double kPosY = -0.04;
constexpr double kScale = 0.67;

using Keluvo = TemplateTest<"Keluvo">;

// A sequence input at times t0..t3: fades in, holds and fades out at one place.
std::vector<ExpectedKeyFrame> Sequence(double t0, double t1, double t2, double t3) {
  return {{t0, 0, kPosY, kScale, 0}, {t1, 0, kPosY, kScale, 1}, {t2, 0, kPosY, kScale, 1}, {t3, 0, kPosY, kScale, 0}};
}

TEST_F(Keluvo, InputsCrossFadeAtOnePlaceOverTheFullFrameLayer) {
  // Times to six decimals.
  ExpectInputs(effect_,
               {
                   // The minimum, half-step 0.1.
                   {5, 0, Sequence(0, 0.1, 0.2, 0.3)},
                   {5, 1, Sequence(0.2, 0.3, 0.4, 0.5)},
                   {5, 2, Sequence(0.4, 0.5, 0.6, 0.7)},
                   {5, 3, Sequence(0.6, 0.7, 0.8, 0.9)},
                   {5, 4, kFullFrameLayer},
                   // Half-step 1/12.
                   {6, 0, Sequence(0, 0.083333, 0.166667, 0.25)},
                   {6, 1, Sequence(0.166667, 0.25, 0.333333, 0.416667)},
                   {6, 2, Sequence(0.333333, 0.416667, 0.5, 0.583333)},
                   {6, 3, Sequence(0.5, 0.583333, 0.666667, 0.75)},
                   {6, 4, Sequence(0.666667, 0.75, 0.833333, 0.916667)},
                   {6, 5, kFullFrameLayer},
                   // Below the minimum the same rules apply; a single input is the layer alone.
                   {2, 0, Sequence(0, 0.25, 0.5, 0.75)},
                   {2, 1, kFullFrameLayer},
                   {1, 0, kFullFrameLayer},
               },
               6);
}

TEST_F(Keluvo, TimesAreOneProductOfTheHalfStepToTheLastBit) {
  // (2 index + i) * V with V = 1 / (2 count) rounded first: 3 * 0.1 is not 0.3, and
  // 5 * (1/12) is not 5/12.
  // Every sequence input has four keyframes.
  ExpectTimes(effect_,
              {
                  {5, 0, 3, 0.30000000000000004},
                  {5, 1, 1, 0.30000000000000004},
                  {5, 2, 2, 0.6000000000000001},
                  {5, 3, 0, 0.6000000000000001},
                  {5, 2, 3, 0.7000000000000001},
                  {5, 3, 1, 0.7000000000000001},
                  {5, 3, 3, 0.9},
                  {2, 0, 3, 0.75},
                  {6, 1, 3, 0.41666666666666663},
                  {7, 5, 3, 0.9285714285714285},
                  {100, 17, 1, 0.17500000000000002},
              },
              kByBits, 4);
}

TEST_F(Keluvo, NeighboursMeetBitForBitAndOnlyTheLastInputIsTheLayer) {
  for (const int count : {1, 2, 3, 5, 6, 7, 16, 100, 1000}) {
    std::vector<std::vector<KeyFrame>> inputs;
    for (int index = 0; index < count; ++index) inputs.push_back(GenerateKeyFrames(effect_, index, count));
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
    const std::vector<KeyFrame> frames = GenerateKeyFrames(effect_, c.index, c.count);
    ASSERT_EQ(frames.size(), c.frames) << "input " << c.index << " of " << c.count;
    for (const KeyFrame& frame : frames) EXPECT_TRUE(std::isfinite(frame.Time)) << c.index << " of " << c.count;
  }
  // Past the count the windows run on beyond the end of the effect.
  EXPECT_TRUE(SameDouble(GenerateKeyFrames(effect_, 5, 5)[3].Time, 1.3));
}

}  // namespace
