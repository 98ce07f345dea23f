#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "keyframe_matchers.h"
#include "template_test.h"

namespace {

constexpr double kLayerOpacity = 0.5;
constexpr double kTile = 0.5;
constexpr double kLeft = -0.25;
constexpr double kRight = 0.25;
constexpr double kTop = 0.25;
constexpr double kBottom = -0.25;

using Halvexa = TemplateTest<"Halvexa">;

TEST_F(Halvexa, FullFrameLayerIsHalfTransparentForAnyCount) {
  // The layer needs no time step, so it stands even without inputs.
  const std::vector<ExpectedKeyFrame> layer = {{0, 0, 0, 1, kLayerOpacity}, {1, 0, 0, 1, kLayerOpacity}};
  ExpectInputs(effect_, {{5, 0, layer}, {1, 0, layer}, {0, 0, layer}, {INT_MAX, 0, layer}, {INT_MIN, 0, layer}});
}

// A tile at its grid position (x, y) and times t0..t3: at half size, hidden at keyframe 0
// and opaque from keyframe 1 on.
std::vector<ExpectedKeyFrame> Tile(double x, double y, double t0, double t1, double t2, double t3) {
  return {{t0, x, y, kTile, 0}, {t1, x, y, kTile, 1}, {t2, x, y, kTile, 1}, {t3, x, y, kTile, 1}};
}

TEST_F(Halvexa, TilesFillTheGridInTurnAndHoldTogether) {
  ExpectInputs(effect_, {
                            // Five inputs (r = 1/10): one tile per quadrant; the hold starts at 1 - 2r = 0.8.
                            {5, 1, Tile(kLeft, kTop, 0, 0.1, 0.8, 1)},
                            {5, 2, Tile(kRight, kTop, 0.2, 0.30000000000000004, 0.8, 1)},
                            {5, 3, Tile(kLeft, kBottom, 0.4, 0.5, 0.8, 1)},
                            {5, 4, Tile(kRight, kBottom, 0.6000000000000001, 0.7000000000000001, 0.8, 1)},
                            // Seven inputs (r = 1/14): inputs 5 and 6 wrap onto the quadrants of 1 and 2. The
                            // hold starts at 1 - (r + r) = 0.8571428571428572; 12r would be 0.8571428571428571.
                            {7, 1, Tile(kLeft, kTop, 0, 0.07142857142857142, 0.8571428571428572, 1)},
                            {7, 2, Tile(kRight, kTop, 0.14285714285714285, 0.21428571428571427, 0.8571428571428572, 1)},
                            {7, 3, Tile(kLeft, kBottom, 0.2857142857142857, 0.3571428571428571, 0.8571428571428572, 1)},
                            {7, 4, Tile(kRight, kBottom, 0.42857142857142855, 0.5, 0.8571428571428572, 1)},
                            {7, 5, Tile(kLeft, kTop, 0.5714285714285714, 0.6428571428571428, 0.8571428571428572, 1)},
                            {7, 6, Tile(kRight, kTop, 0.7142857142857142, 0.7857142857142857, 0.8571428571428572, 1)},
                            // Below the minimum.
                            {2, 1, Tile(kLeft, kTop, 0, 0.25, 0.5, 1)},
                            {3, 2, Tile(kRight, kTop, 0.3333333333333333, 0.5, 0.6666666666666667, 1)},
                            // The largest index: 2 (index - 1) exceeds int but not double.
                            {INT_MAX, INT_MAX,
                             Tile(kLeft, kBottom, 0.9999999995343387, 0.9999999997671694, 0.9999999995343387, 1)},
                        });
}

TEST_F(Halvexa, LastTileIsOpaqueBeforeTheCommonHold) {
  for (int count = 2; count <= 100; ++count) {
    const std::vector<KeyFrame> first = GenerateKeyFrames(effect_, 1, count);
    const std::vector<KeyFrame> last = GenerateKeyFrames(effect_, count - 1, count);
    ASSERT_EQ(first.size(), 4u);
    ASSERT_EQ(last.size(), 4u);
    EXPECT_LT(last[1].Time, last[2].Time) << count;
    EXPECT_TRUE(SameDouble(last[2].Time, first[2].Time)) << count;
  }
}

TEST_F(Halvexa, TileWithoutGridPositionOrTimeStepHasNoKeyFrames) {
  // A negative index has no position; no inputs means no time step (1/0).
  for (const int index : {-1, -2, -4, -5, INT_MIN}) {
    EXPECT_TRUE(GenerateKeyFrames(effect_, index, 5).empty()) << index;
    EXPECT_TRUE(GenerateKeyFrames(effect_, index, INT_MAX).empty()) << index;
  }
  for (const int index : {1, 2, INT_MAX}) EXPECT_TRUE(GenerateKeyFrames(effect_, index, 0).empty()) << index;
}

}  // namespace
