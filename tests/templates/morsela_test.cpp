#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "keyframe_matchers.h"
#include "template_test.h"

namespace {

using Morsela = TemplateTest<"Morsela">;

// A moving input's keyframes: the times given, the fixed scale and opacity steps.
std::vector<ExpectedKeyFrame> Moving(double t0, double t1, double t2, double t3) {
  return {{t0, 0, 0, 0.96, 0}, {t1, 0, 0, 1, 1}, {t2, 0, 0, 1, 1}, {t3, 0, 0, 1.06, 0}};
}
TEST_F(Morsela, KeyFramesMatchTheLayoutTables) {
  ExpectInputs(effect_,
               {
                   // Five inputs, step 0.1: 3, 6 and 7 steps are not the doubles nearest 0.3, 0.6, 0.7.
                   {5, 0, Moving(0.6000000000000001, 0.7000000000000001, 0.8, 0.9)},
                   {5, 1, Moving(0.4, 0.5, 0.6000000000000001, 0.7000000000000001)},
                   {5, 2, Moving(0.2, 0.30000000000000004, 0.4, 0.5)},
                   {5, 3, Moving(0, 0.1, 0.2, 0.30000000000000004)},
                   {5, 4, kFullFrameLayer},
                   // Seven inputs, step 1/14: a time is k times the step, which for 10, 13 and others
                   // is one bit below the quotient k/14.
                   {7, 0, Moving(0.7142857142857142, 0.7857142857142857, 0.8571428571428571, 0.9285714285714285)},
                   {7, 1, Moving(0.5714285714285714, 0.6428571428571428, 0.7142857142857142, 0.7857142857142857)},
                   {7, 2, Moving(0.42857142857142855, 0.5, 0.5714285714285714, 0.6428571428571428)},
                   {7, 3, Moving(0.2857142857142857, 0.3571428571428571, 0.42857142857142855, 0.5)},
                   {7, 4, Moving(0.14285714285714285, 0.21428571428571427, 0.2857142857142857, 0.3571428571428571)},
                   {7, 5, Moving(0, 0.07142857142857142, 0.14285714285714285, 0.21428571428571427)},
                   {7, 6, kFullFrameLayer},
                   // Below the minimum the same rules apply.
                   {1, 0, kFullFrameLayer},
                   {2, 0, Moving(0, 0.25, 0.5, 0.75)},
                   {2, 1, kFullFrameLayer},
               });
}

TEST_F(Morsela, MovingInputsCrossFadeInFallingOrderAndStopOneStepBeforeTheEnd) {
  for (const int count : {2, 5, 6, 33, 1000}) {
    SCOPED_TRACE(count);
    const double step = 1.0 / (2 * count);
    std::vector<KeyFrame> later = GenerateKeyFrames(effect_, count - 2, count);
    ASSERT_EQ(later.size(), 4u);
    EXPECT_TRUE(SameDouble(later[0].Time, 0.0)) << "input count - 2 plays first";
    for (int index = count - 3; index >= 0; --index) {
      const std::vector<KeyFrame> frames = GenerateKeyFrames(effect_, index, count);
      ASSERT_EQ(frames.size(), 4u);
      // The fade-out of the input played before shares its step with this fade-in.
      EXPECT_TRUE(SameDouble(frames[0].Time, later[2].Time)) << "input " << index;
      EXPECT_TRUE(SameDouble(frames[1].Time, later[3].Time)) << "input " << index;
      later = frames;
    }
    EXPECT_TRUE(SameDouble(later[3].Time, (2 * count - 1) * step)) << "input 0 plays last";
    EXPECT_LT(later[3].Time, 1.0);
  }
}

TEST_F(Morsela, DirectArgumentsOutsideTheInputsStayDefined) {
  ExpectInputs(effect_, {
                            // An index outside the inputs takes the moving formulas, with times outside 0..1.
                            {5, 5, Moving(-0.4, -0.30000000000000004, -0.2, -0.1)},
                            {5, -1, Moving(0.8, 0.9, 1, 1.1)},
                            // The integer parts are formed without wrapping: 2 (count - index - 2) is -2^33 - 2.
                            {INT_MIN, INT_MAX, Moving(2.0000000004656613, 2.0000000002328306, 2, 1.9999999997671694)},
                        });
  // No inputs: the step would be 1/0, so there are no keyframes at all.
  for (const int index : {-1, 0, 1, INT_MIN}) EXPECT_TRUE(GenerateKeyFrames(effect_, index, 0).empty()) << index;
}

}  // namespace
