#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "keyframe_matchers.h"

namespace {

constexpr double kOuterScale = 1.87;
constexpr double kOuterY = -0.1;
constexpr double kInnerScale = 0.85;
constexpr double kInnerY = -0.074;

class Fendral : public ::testing::Test {
 protected:
  PluginLibrary library_{FindBuiltPlugin("Fendral").path};
  EffectPtr effect_ = library_.Create();
};

// The times of one input. Three times are an outer input (default pose, then zoomed and
// lowered), four an inner one (reduced, lowered, opaque at keyframes 1 and 2 only).
struct InputCase {
  int count;
  int index;
  std::vector<double> times;
};

ExpectedKeyFrame Pose(const InputCase& c, std::size_t k) {
  if (c.times.size() == 3) {
    if (k == 0) return {c.times[k], 0, 0, 1, 1};
    return {c.times[k], 0, kOuterY, kOuterScale, 1};
  }
  return {c.times[k], 0, kInnerY, kInnerScale, (k == 1 || k == 2) ? 1.0 : 0.0};
}

TEST_F(Fendral, KeyFramesMatchTheLayoutTables) {
  const std::vector<InputCase> cases = {
      // Seven inputs (r = 1/15): the zoom ends at 4r, where inner input 1 starts.
      {7, 0, {0, 0.26666666666666666, 1}},
      {7, 1, {0.26666666666666666, 0.3333333333333333, 0.4, 0.4666666666666667}},
      {7, 2, {0.4, 0.4666666666666667, 0.5333333333333333, 0.6}},
      {7, 3, {0.5333333333333333, 0.6, 0.6666666666666666, 0.7333333333333333}},
      {7, 4, {0.6666666666666666, 0.7333333333333333, 0.8, 0.8666666666666667}},
      {7, 5, {0.8, 0.8666666666666667, 0.9333333333333333, 1}},
      {7, 6, {0, 0.26666666666666666, 1}},
      // Nine inputs (r = 1/19).
      {9, 0, {0, 0.21052631578947367, 1}},
      {9, 1, {0.21052631578947367, 0.2631578947368421, 0.3157894736842105, 0.3684210526315789}},
      {9, 2, {0.3157894736842105, 0.3684210526315789, 0.42105263157894735, 0.47368421052631576}},
      {9, 3, {0.42105263157894735, 0.47368421052631576, 0.5263157894736842, 0.5789473684210527}},
      {9, 4, {0.5263157894736842, 0.5789473684210527, 0.631578947368421, 0.6842105263157894}},
      {9, 5, {0.631578947368421, 0.6842105263157894, 0.7368421052631579, 0.7894736842105263}},
      {9, 6, {0.7368421052631579, 0.7894736842105263, 0.8421052631578947, 0.894736842105263}},
      {9, 7, {0.8421052631578947, 0.894736842105263, 0.9473684210526315, 1}},
      {9, 8, {0, 0.21052631578947367, 1}},
      // Below the minimum: one input zooms past the end (4r = 4/3) and its times are kept
      // as they fall; two inputs are both outer; three have one inner input ending at 1.
      {1, 0, {0, 1.3333333333333333, 1}},
      {2, 0, {0, 0.8, 1}},
      {2, 1, {0, 0.8, 1}},
      {3, 1, {0.5714285714285714, 0.7142857142857142, 0.8571428571428571, 1}},
      // 24 inputs: the last inner input ends at 49r, one bit below 1.
      {24, 22, {0.9387755102040816, 0.9591836734693877, 0.9795918367346939, 0.9999999999999999}},
      // Extreme direct arguments: 2 index + 2 + j and count - 1 exceed int, not double
      // and 64 bits; INT_MAX is not the input before INT_MIN.
      {INT_MAX, INT_MAX - 1, {0, 9.31322574832319e-10, 1}},
      {INT_MAX, INT_MAX, {1.0000000002328306, 1.0000000004656613, 1.000000000698492, 1.0000000009313226}},
      {INT_MIN, INT_MAX, {-1.0000000002328306, -1.0000000004656613, -1.000000000698492, -1.0000000009313226}},
      {INT_MAX, INT_MIN, {-0.9999999997671694, -0.9999999995343387, -0.9999999993015081, -0.9999999990686774}},
  };
  for (const InputCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "input " << c.index << " of " << c.count);
    const std::vector<KeyFrame> frames = Generate(*effect_, c.index, c.count);
    ASSERT_EQ(frames.size(), c.times.size());
    for (std::size_t k = 0; k < frames.size(); ++k) {
      SCOPED_TRACE(testing::Message() << "keyframe " << k);
      ExpectKeyFrame(frames[k], Pose(c, k));
    }
  }
}

TEST_F(Fendral, OuterInputsShareOneArrayAndTheFirstInnerInputStartsAtTheZoomEnd) {
  std::vector<int> counts = {INT_MAX, 1000};
  for (int count = 1; count <= 100; ++count) counts.push_back(count);
  for (const int count : counts) {
    const std::vector<KeyFrame> first = Generate(*effect_, 0, count);
    ASSERT_EQ(first.size(), 3u) << count;
    EXPECT_TRUE(SameBits(first, Generate(*effect_, count - 1, count))) << count;
    if (count < 3) continue;
    const std::vector<KeyFrame> inner = Generate(*effect_, 1, count);
    ASSERT_EQ(inner.size(), 4u) << count;
    EXPECT_TRUE(SameDouble(inner[0].Time, first[1].Time)) << count;
  }
}

}  // namespace
