#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "keyframe_matchers.h"

namespace {

constexpr double kScale = 0.9;

class Zindomar : public ::testing::Test {
 protected:
  PluginLibrary library_{FindBuiltPlugin("Zindomar").path};
  EffectPtr effect_ = library_.Create();
};

// One keyframe with its time rounded to six decimals; every field not named keeps the
// default pose.
struct RoundedKeyFrame {
  double time;
  double scale;
  double opacity;
};

struct RoundedCase {
  int count;
  std::vector<std::vector<RoundedKeyFrame>> inputs;  // every input of the count, in order
};

TEST_F(Zindomar, KeyFramesMatchTheLayoutTablesToSixDecimals) {
  const std::vector<RoundedCase> cases = {
      {5,
       {{{0.090909, kScale, 0}, {0.181818, kScale, 1}, {0.363636, kScale, 1}},
        {{0.272727, kScale, 0}, {0.363636, kScale, 1}, {0.545455, kScale, 1}},
        {{0.454545, kScale, 0}, {0.545455, kScale, 1}, {0.727273, kScale, 1}},
        {{0.636364, kScale, 0}, {0.727273, kScale, 1}, {0.818182, kScale, 1}, {0.909091, kScale, 0}},
        {{0, 1, 1}, {1, 1, 1}}}},
      {6,
       {{{0.090909, kScale, 0}, {0.165289, kScale, 1}, {0.31405, kScale, 1}},
        {{0.239669, kScale, 0}, {0.31405, kScale, 1}, {0.46281, kScale, 1}},
        {{0.38843, kScale, 0}, {0.46281, kScale, 1}, {0.61157, kScale, 1}},
        {{0.53719, kScale, 0}, {0.61157, kScale, 1}, {0.760331, kScale, 1}},
        {{0.68595, kScale, 0}, {0.760331, kScale, 1}, {0.834711, kScale, 1}, {0.909091, kScale, 0}},
        {{0, 1, 1}, {1, 1, 1}}}},
  };
  for (const RoundedCase& c : cases) {
    for (std::size_t index = 0; index < c.inputs.size(); ++index) {
      SCOPED_TRACE(testing::Message() << "input " << index << " of " << c.count);
      const std::vector<KeyFrame> frames = Generate(*effect_, static_cast<int>(index), c.count);
      const std::vector<RoundedKeyFrame>& expected = c.inputs[index];
      ASSERT_EQ(frames.size(), expected.size());
      for (std::size_t k = 0; k < frames.size(); ++k) {
        SCOPED_TRACE(testing::Message() << "keyframe " << k);
        EXPECT_NEAR(frames[k].Time, expected[k].time, 0.5e-6);
        ExpectKeyFrame(frames[k], {frames[k].Time, 0, 0, expected[k].scale, expected[k].opacity});
      }
    }
  }
}

TEST_F(Zindomar, TimesFollowTheOrderOfEvaluationToTheLastBit) {
  struct TimeCase {
    int count, index, keyframe;
    double time;
  };
  for (const TimeCase c : {
           // The sequence ends at lead + span, which rounds differently for some counts.
           TimeCase{5, 3, 3, 0.9090909090909091},
           TimeCase{6, 4, 3, 0.909090909090909},
           TimeCase{7, 5, 3, 0.9090909090909091},
           TimeCase{8, 6, 3, 0.9090909090909091},
           TimeCase{100, 98, 3, 0.9090909090909091},
           // The hold of the last sequence input ends two units below its copied fade-out
           // time, which is not its own product (4 k + 4) U + lead for every count.
           TimeCase{5, 3, 2, 0.8181818181818181},
           TimeCase{3, 1, 2, 0.7454545454545454},
           TimeCase{100, 98, 2, 0.9049794426678849},
           // Two inputs: input 0 is the last sequence input, with unit 0.13636363636363635.
           TimeCase{2, 0, 0, 0.09090909090909091},
           TimeCase{2, 0, 1, 0.36363636363636365},
           TimeCase{2, 0, 2, 0.6363636363636364},
           TimeCase{2, 0, 3, 0.9090909090909091},
           // The integer parts are formed without wrapping: 4 index is -2^33.
           TimeCase{INT_MAX, INT_MIN, 0, -0.7272727278442206},
           TimeCase{INT_MAX, INT_MIN, 2, -0.7272727272727272},
       }) {
    const std::vector<KeyFrame> frames = Generate(*effect_, c.index, c.count);
    ASSERT_GT(frames.size(), static_cast<std::size_t>(c.keyframe)) << "input " << c.index << " of " << c.count;
    EXPECT_TRUE(SameDouble(frames[c.keyframe].Time, c.time))
        << "input " << c.index << " of " << c.count << ", keyframe " << c.keyframe;
  }
}

TEST_F(Zindomar, EachInputFadesInAsThePreviousHoldEndsAndOnlyTheLastFadesOut) {
  for (const int count : {1, 2, 3, 5, 6, 100}) {
    SCOPED_TRACE(count);
    const std::vector<KeyFrame> layer = Generate(*effect_, count - 1, count);
    ASSERT_EQ(layer.size(), 2u);
    ExpectKeyFrame(layer[0], {0, 0, 0, 1, 1});
    ExpectKeyFrame(layer[1], {1, 0, 0, 1, 1});
    std::vector<KeyFrame> previous;
    for (int index = 0; index < count - 1; ++index) {
      const std::vector<KeyFrame> frames = Generate(*effect_, index, count);
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
