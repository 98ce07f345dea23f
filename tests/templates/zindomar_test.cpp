#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "keyframe_matchers.h"
#include "template_test.h"

namespace {

constexpr double kScale = 0.9;

using Zindomar = TemplateTest<"Zindomar">;

// A sequence input at times t0..t2: reduced, fading in and holding.
std::vector<ExpectedKeyFrame> Sequence(double t0, double t1, double t2) {
  return {{t0, 0, 0, kScale, 0}, {t1, 0, 0, kScale, 1}, {t2, 0, 0, kScale, 1}};
}

// The last sequence input, which fades out again at t3.
std::vector<ExpectedKeyFrame> LastSequence(double t0, double t1, double t2, double t3) {
  return {{t0, 0, 0, kScale, 0}, {t1, 0, 0, kScale, 1}, {t2, 0, 0, kScale, 1}, {t3, 0, 0, kScale, 0}};
}

TEST_F(Zindomar, KeyFramesMatchTheLayoutTablesToSixDecimals) {
  ExpectInputs(effect_,
               {
                   {5, 0, Sequence(0.090909, 0.181818, 0.363636)},
                   {5, 1, Sequence(0.272727, 0.363636, 0.545455)},
                   {5, 2, Sequence(0.454545, 0.545455, 0.727273)},
                   {5, 3, LastSequence(0.636364, 0.727273, 0.818182, 0.909091)},
                   {5, 4, kFullFrameLayer},
                   {6, 0, Sequence(0.090909, 0.165289, 0.31405)},
                   {6, 1, Sequence(0.239669, 0.31405, 0.46281)},
                   {6, 2, Sequence(0.38843, 0.46281, 0.61157)},
                   {6, 3, Sequence(0.53719, 0.61157, 0.760331)},
                   {6, 4, LastSequence(0.68595, 0.760331, 0.834711, 0.909091)},
                   {6, 5, kFullFrameLayer},
               },
               6);
}

TEST_F(Zindomar, TimesFollowTheOrderOfEvaluationToTheLastBit) {
  ExpectTimes(effect_, {
                           // The sequence ends at lead + span, which rounds differently for some counts.
                           {5, 3, 3, 0.9090909090909091},
                           {6, 4, 3, 0.909090909090909},
                           {7, 5, 3, 0.9090909090909091},
                           {8, 6, 3, 0.9090909090909091},
                           {100, 98, 3, 0.9090909090909091},
                           // The hold of the last sequence input ends two units below its copied fade-out
                           // time, which is not its own product (4 k + 4) U + lead for every count.
                           {5, 3, 2, 0.8181818181818181},
                           {3, 1, 2, 0.7454545454545454},
                           {100, 98, 2, 0.9049794426678849},
                           // Two inputs: input 0 is the last sequence input, with unit 0.13636363636363635.
                           {2, 0, 0, 0.09090909090909091},
                           {2, 0, 1, 0.36363636363636365},
                           {2, 0, 2, 0.6363636363636364},
                           {2, 0, 3, 0.9090909090909091},
                           // The integer parts are formed without wrapping: 4 index is -2^33.
                           {INT_MAX, INT_MIN, 0, -0.7272727278442206},
                           {INT_MAX, INT_MIN, 2, -0.7272727272727272},
                       });
}

TEST_F(Zindomar, EachInputFadesInAsThePreviousHoldEndsAndOnlyTheLastFadesOut) {
  for (const int count : {1, 2, 3, 5, 6, 100}) {
    SCOPED_TRACE(count);
    ExpectInputs(effect_, {{count, count - 1, kFullFrameLayer}});
    std::vector<KeyFrame> previous;
    for (int index = 0; index < count - 1; ++index) {
      const std::vector<KeyFrame> frames = GenerateKeyFrames(effect_, index, count);
      ASSERT_EQ(frames.size(), index == count - 2 ? 4u : 3u) << "input " << index;
      // Keyframe 1 (fully faded in) is the same product as the previous input's last hold.
      if (!previous.empty()) {
        EXPECT_TRUE(SameDouble(frames[1].Time, previous[2].Time)) << "input " << index;
      }
      EXPECT_TRUE(SameDouble(frames.back().Opacity, index == count - 2 ? 0.0 : 1.0)) << "input " << index;
      previous = frames;
    }
  }
}

}  // namespace
