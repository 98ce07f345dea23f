#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "keyframe_matchers.h"
#include "template_test.h"

namespace {

constexpr double kOuterScale = 1.87;
constexpr double kOuterY = -0.1;
constexpr double kInnerScale = 0.85;
constexpr double kInnerY = -0.074;

using Fendral = TemplateTest<"Fendral">;

// An outer input: the default pose at t0, then zoomed and lowered at t1 and t2.
std::vector<ExpectedKeyFrame> Outer(double t0, double t1, double t2) {
  return {{t0, 0, 0, 1, 1}, {t1, 0, kOuterY, kOuterScale, 1}, {t2, 0, kOuterY, kOuterScale, 1}};
}

// An inner input: reduced and lowered, opaque at keyframes 1 and 2 only.
std::vector<ExpectedKeyFrame> Inner(double t0, double t1, double t2, double t3) {
  return {{t0, 0, kInnerY, kInnerScale, 0},
          {t1, 0, kInnerY, kInnerScale, 1},
          {t2, 0, kInnerY, kInnerScale, 1},
          {t3, 0, kInnerY, kInnerScale, 0}};
}

TEST_F(Fendral, KeyFramesMatchTheLayoutTables) {
  ExpectInputs(
      effect_,
      {
          // Seven inputs (r = 1/15): the zoom ends at 4r, where inner input 1 starts.
          {7, 0, Outer(0, 0.26666666666666666, 1)},
          {7, 1, Inner(0.26666666666666666, 0.3333333333333333, 0.4, 0.4666666666666667)},
          {7, 2, Inner(0.4, 0.4666666666666667, 0.5333333333333333, 0.6)},
          {7, 3, Inner(0.5333333333333333, 0.6, 0.6666666666666666, 0.7333333333333333)},
          {7, 4, Inner(0.6666666666666666, 0.7333333333333333, 0.8, 0.8666666666666667)},
          {7, 5, Inner(0.8, 0.8666666666666667, 0.9333333333333333, 1)},
          {7, 6, Outer(0, 0.26666666666666666, 1)},
          // Nine inputs (r = 1/19).
          {9, 0, Outer(0, 0.21052631578947367, 1)},
          {9, 1, Inner(0.21052631578947367, 0.2631578947368421, 0.3157894736842105, 0.3684210526315789)},
          {9, 2, Inner(0.3157894736842105, 0.3684210526315789, 0.42105263157894735, 0.47368421052631576)},
          {9, 3, Inner(0.42105263157894735, 0.47368421052631576, 0.5263157894736842, 0.5789473684210527)},
          {9, 4, Inner(0.5263157894736842, 0.5789473684210527, 0.631578947368421, 0.6842105263157894)},
          {9, 5, Inner(0.631578947368421, 0.6842105263157894, 0.7368421052631579, 0.7894736842105263)},
          {9, 6, Inner(0.7368421052631579, 0.7894736842105263, 0.8421052631578947, 0.894736842105263)},
          {9, 7, Inner(0.8421052631578947, 0.894736842105263, 0.9473684210526315, 1)},
          {9, 8, Outer(0, 0.21052631578947367, 1)},
          // Below the minimum: one input zooms past the end (4r = 4/3) and its times are kept
          // as they fall; two inputs are both outer; three have one inner input ending at 1.
          {1, 0, Outer(0, 1.3333333333333333, 1)},
          {2, 0, Outer(0, 0.8, 1)},
          {2, 1, Outer(0, 0.8, 1)},
          {3, 1, Inner(0.5714285714285714, 0.7142857142857142, 0.8571428571428571, 1)},
          // 24 inputs: the last inner input ends at 49r, one bit below 1.
          {24, 22, Inner(0.9387755102040816, 0.9591836734693877, 0.9795918367346939, 0.9999999999999999)},
          // Extreme direct arguments: 2 index + 2 + j and count - 1 exceed int, not double
          // and 64 bits; INT_MAX is not the input before INT_MIN.
          {INT_MAX, INT_MAX - 1, Outer(0, 9.31322574832319e-10, 1)},
          {INT_MAX, INT_MAX, Inner(1.0000000002328306, 1.0000000004656613, 1.000000000698492, 1.0000000009313226)},
          {INT_MIN, INT_MAX, Inner(-1.0000000002328306, -1.0000000004656613, -1.000000000698492, -1.0000000009313226)},
          {INT_MAX, INT_MIN, Inner(-0.9999999997671694, -0.9999999995343387, -0.9999999993015081, -0.9999999990686774)},
      });
}

TEST_F(Fendral, OuterInputsShareOneArrayAndTheFirstInnerInputStartsAtTheZoomEnd) {
  std::vector<int> counts = {INT_MAX, 1000};
  for (int count = 1; count <= 100; ++count) counts.push_back(count);
  for (const int count : counts) {
    const std::vector<KeyFrame> first = GenerateKeyFrames(effect_, 0, count);
    ASSERT_EQ(first.size(), 3u) << count;
    EXPECT_TRUE(SameBits(first, GenerateKeyFrames(effect_, count - 1, count))) << count;
    if (count < 3) continue;
    const std::vector<KeyFrame> inner = GenerateKeyFrames(effect_, 1, count);
    ASSERT_EQ(inner.size(), 4u) << count;
    EXPECT_TRUE(SameDouble(inner[0].Time, first[1].Time)) << count;
  }
}

}  // namespace
