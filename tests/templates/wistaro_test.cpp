#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "keyframe_matchers.h"
#include "template_test.h"

namespace {

constexpr double kOffsetX = 0.1888;
constexpr double kPass = 0.3;

using Wistaro = TemplateTest<"Wistaro">;

// A passing input at times t0, t1, t2: right, centre, left; transparent, opaque, transparent.
std::vector<ExpectedKeyFrame> Pass(double t0, double t1, double t2) {
  return {{t0, kOffsetX, 0, kPass, 0}, {t1, 0, 0, kPass, 1}, {t2, -kOffsetX, 0, kPass, 0}};
}

TEST_F(Wistaro, KeyFramesMatchTheLayoutTables) {
  ExpectInputs(effect_, {
                            {4, 0, kFullFrameLayer},
                            {4, 1, Pass(0, 0.25, 0.5)},
                            {4, 2, Pass(0.25, 0.5, 0.75)},
                            {4, 3, Pass(0.5, 0.75, 1)},
                            // At the minimum the single passing input spans the whole effect.
                            {2, 0, kFullFrameLayer},
                            {2, 1, Pass(0, 0.5, 1)},
                            {1, 0, kFullFrameLayer},
                        });
}

TEST_F(Wistaro, TimesAreSliceCountsTimesTheRoundedSlice) {
  // (index + j - 1) * (1 / count), not a division by count: the last input of 49 ends
  // at the largest double below 1.
  ExpectTimes(effect_, {
                           {49, 48, 2, 0x1.fffffffffffffp-1},
                           {49, 48, 1, 0.9795918367346939},
                           {50, 49, 2, 1.0},
                           {98, 97, 2, 0x1.fffffffffffffp-1},
                           {49, 1, 0, 0.0},
                       });
}

TEST_F(Wistaro, IndexZeroAndBelowIsTheLayerWhateverTheCount) {
  std::vector<ExpectedInput> inputs;
  for (const int count : {INT_MIN, -5, 0, 1, 2, 49, INT_MAX}) {
    for (const int index : {INT_MIN, -1, 0}) inputs.push_back({count, index, kFullFrameLayer});
  }
  ExpectInputs(effect_, inputs);
}

TEST_F(Wistaro, DirectArgumentsAtTheEdgesOfTheIntRange) {
  // No slices to pass through: 1 / 0 would make the first time 0 * infinity, a NaN.
  for (const int index : {1, 2, INT_MAX}) EXPECT_TRUE(GenerateKeyFrames(effect_, index, 0).empty()) << index;
  // Beyond the count the formula runs on, without wrapping index + 1 around.
  ExpectInputs(effect_, {{1, INT_MAX, Pass(2147483646.0, 2147483647.0, 2147483648.0)}});
}

}  // namespace
