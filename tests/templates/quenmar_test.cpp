#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "keyframe_matchers.h"
#include "template_test.h"

namespace {

constexpr double kZoom = 2.77;

using Quenmar = TemplateTest<"Quenmar">;

// A sequence input's keyframes: the four times, then scale 1.0 to 1.3 and opacity
// 0, 1, 1 and `end`.
std::vector<ExpectedKeyFrame> Sequence(double t0, double t1, double t2, double t3, double end = 0.0) {
  return {{t0, 0, 0, 1.0, 0}, {t1, 0, 0, 1.1, 1}, {t2, 0, 0, 1.2, 1}, {t3, 0, 0, 1.3, end}};
}

// The full-frame layer: unchanged until `hold`, then the zoom to time 1.
std::vector<ExpectedKeyFrame> Layer(double hold) { return {{0, 0, 0, 1, 1}, {hold, 0, 0, 1, 1}, {1, 0, 0, kZoom, 1}}; }

TEST_F(Quenmar, KeyFramesMatchTheLayoutTablesToSixDecimals) {
  ExpectInputs(effect_,
               {
                   {5, 0, Sequence(0, 0.133333, 0.266667, 0.4)},
                   {5, 1, Sequence(0.2, 0.333333, 0.466667, 0.6)},
                   {5, 2, Sequence(0.4, 0.533333, 0.666667, 0.8)},
                   {5, 3, Sequence(0.6, 0.733333, 0.866667, 1, 1)},
                   {5, 4, Layer(0.8)},
                   {7, 0, Sequence(0, 0.095238, 0.190476, 0.285714)},
                   {7, 1, Sequence(0.142857, 0.238095, 0.333333, 0.428571)},
                   {7, 2, Sequence(0.285714, 0.380952, 0.47619, 0.571429)},
                   {7, 3, Sequence(0.428571, 0.52381, 0.619048, 0.714286)},
                   {7, 4, Sequence(0.571429, 0.666667, 0.761905, 0.857143)},
                   {7, 5, Sequence(0.714286, 0.809524, 0.904762, 1, 1)},
                   {7, 6, Layer(0.857143)},
               },
               6);
}

TEST_F(Quenmar, BelowTheMinimumTheSameRolesApplyExactly) {
  ExpectInputs(effect_, {
                            // One input is the layer alone; 1 - 1/1 = 0, so it zooms all the way.
                            {1, 0, Layer(0)},
                            // Two inputs: input 0 is the last sequence input and ends visible.
                            {2, 0, Sequence(0, 1.0 / 3.0, 2.0 / 3.0, 1, 1)},
                            {2, 1, Layer(0.5)},
                        });
}

TEST_F(Quenmar, TimesFollowTheEvaluationOrderToTheLastBit) {
  // ((2k) * inv) / 3 + base, unclamped: none of these is the nearest double to the
  // exact fraction.
  ExpectTimes(effect_, {
                           {5, 3, 3, 1.0000000000000002},
                           {5, 0, 3, 0.4000000000000001},
                           {7, 5, 3, 0.9999999999999999},
                       });
}

TEST_F(Quenmar, OnlyTheLastSequenceInputEndsVisible) {
  for (const int count : {3, 5, 6, 50}) {
    for (int index = 0; index < count; ++index) {
      const std::vector<KeyFrame> frames = GenerateKeyFrames(effect_, index, count);
      const bool layer = index == count - 1;
      ASSERT_EQ(frames.size(), layer ? 3u : 4u) << "input " << index << " of " << count;
      if (!layer) {
        EXPECT_EQ(frames[3].Opacity, index == count - 2 ? 1.0 : 0.0) << "input " << index << " of " << count;
      }
    }
  }
}

TEST_F(Quenmar, DirectArgumentsAtTheEdgesOfTheIntRange) {
  // No inputs, no layout: 1 / 0 would make every time infinite or NaN.
  for (const int index : {-1, 0, 1}) EXPECT_TRUE(GenerateKeyFrames(effect_, index, 0).empty()) << index;
  // The roles are found without wrapping count - 1 and count - 2 around.
  EXPECT_EQ(GenerateKeyFrames(effect_, INT_MAX - 1, INT_MAX).size(), 3u);
  EXPECT_EQ(GenerateKeyFrames(effect_, INT_MAX - 2, INT_MAX).back().Opacity, 1.0);
  EXPECT_EQ(GenerateKeyFrames(effect_, INT_MAX, INT_MIN).size(), 4u);
}

}  // namespace
