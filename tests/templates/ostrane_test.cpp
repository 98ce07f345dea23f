#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "keyframe_matchers.h"
#include "template_test.h"

namespace {

using Ostrane = TemplateTest<"Ostrane">;

// A middle input at times t0, t1, t2: hidden, then fully visible.
std::vector<ExpectedKeyFrame> Middle(double t0, double t1, double t2) {
  return {{t0, 0.06, -0.1, 0.62, 0, 0.08}, {t1, 0.06, -0.1, 0.62, 1, 0.08}, {t2, 0.06, -0.1, 0.62, 1, 0.08}};
}

// The last input at times t0, t1, t2.
std::vector<ExpectedKeyFrame> Last(double t0, double t1, double t2) {
  return {
      {t0, -0.1305, 0.2148, 0.59, 0, 0.04}, {t1, -0.1305, 0.2148, 0.59, 1, 0.04}, {t2, -0.1305, 0.2148, 0.59, 1, 0.04}};
}

TEST_F(Ostrane, KeyFramesMatchTheLayoutTablesToSixDecimals) {
  ExpectInputs(effect_,
               {
                   {3, 0, kFullFrameLayer},
                   {3, 1, kFullFrameLayer},
                   {3, 2, Last(0, 0.305556, 1)},
                   {6, 0, kFullFrameLayer},
                   {6, 1, Middle(0, 0.101852, 0.305556)},
                   {6, 2, Middle(0.203704, 0.305556, 0.509259)},
                   {6, 3, Middle(0.407407, 0.509259, 1)},
                   {6, 4, kFullFrameLayer},
                   {6, 5, Last(0.611111, 0.712963, 1)},
               },
               6);
}

TEST_F(Ostrane, TimesAreExactAndUnclamped) {
  ExpectInputs(effect_, {
                            // Two inputs: input 0 is both the first and the second-to-last
                            // layer; input 1 starts before the effect does (D = 11/12).
                            {1, 0, kFullFrameLayer},
                            {2, 0, kFullFrameLayer},
                            {2, 1, Last(-1.8333333333333333, -0.9166666666666666, 1)},
                            // Four inputs: the only middle input is the last one and holds to 1.
                            {4, 1, Middle(0, 11.0 / 60.0, 1)},
                            {4, 2, kFullFrameLayer},
                            {4, 3, Last(11.0 / 30.0, 0.5499999999999999, 1)},
                        });
}

TEST_F(Ostrane, HoldEndsAtTheRoundedProductPlusTheUnit) {
  // 2D + D and 3D agree at six inputs, and 1D at three inputs lands one bit higher; at
  // seven inputs 6D + D ends input 3 one bit after 7D, where input 4 is fully visible.
  ExpectTimes(effect_, {
                           {6, 1, 2, 0.3055555555555555},
                           {6, 2, 1, 0.3055555555555555},
                           {3, 2, 1, 0.3055555555555556},
                           {7, 3, 2, 0.5833333333333334},
                           {7, 4, 1, 0.5833333333333333},
                       });
}

TEST_F(Ostrane, LayersAreTheFirstAndSecondToLastInputsAndOnlyTheLastTakesItsPose) {
  for (const int count : {3, 4, 5, 9, 40}) {
    for (int index = 0; index < count; ++index) {
      SCOPED_TRACE(testing::Message() << "input " << index << " of " << count);
      const std::vector<KeyFrame> frames = GenerateKeyFrames(effect_, index, count);
      if (index == 0 || index == count - 2) {
        ASSERT_EQ(frames.size(), 2u);
        continue;
      }
      ASSERT_EQ(frames.size(), 3u);
      EXPECT_TRUE(SameDouble(frames[0].Rotation, index == count - 1 ? 0.04 : 0.08));
    }
  }
}

TEST_F(Ostrane, DirectArgumentsAtTheEdgesOfTheIntRange) {
  // The roles are found without wrapping count - 1 and count - 2 around.
  EXPECT_EQ(GenerateKeyFrames(effect_, INT_MAX - 2, INT_MAX).size(), 2u);
  const std::vector<KeyFrame> last = GenerateKeyFrames(effect_, INT_MAX - 1, INT_MAX);
  ASSERT_EQ(last.size(), 3u);
  EXPECT_TRUE(SameDouble(last[0].Rotation, 0.04));
  EXPECT_TRUE(SameDouble(last[2].Time, 1.0));
  const std::vector<KeyFrame> middle = GenerateKeyFrames(effect_, INT_MAX, INT_MIN);
  ASSERT_EQ(middle.size(), 3u);
  EXPECT_TRUE(SameDouble(middle[0].Rotation, 0.08));
}

}  // namespace
