// Readable bit-exact keyframe expectations for generator tests.
#ifndef MONTAGE_TESTS_KEYFRAME_MATCHERS_H
#define MONTAGE_TESTS_KEYFRAME_MATCHERS_H

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#include "plugin_support.h"

// The shortest decimal that reads back as the same double, as the failure message shows it.
inline std::string Shortest(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return {text, result.ptr};
}

// Passes when `actual` has the same bits as `expected`; otherwise names both values.
inline ::testing::AssertionResult SameDouble(double actual, double expected) {
  if (Bits(actual) == Bits(expected)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << Shortest(actual) << " is not " << Shortest(expected);
}

// One expected keyframe of a data table: the fields a layout sets; the others are the
// default pose and are checked against it.
struct ExpectedKeyFrame {
  double time;
  double posX;
  double posY;
  double scale;
  double opacity;
  double rotation = 0.0;
};

// Passes when `actual` rounds to `expected` at `decimals` places, for values a table
// gives rounded.
inline ::testing::AssertionResult RoundsTo(double actual, double expected, int decimals) {
  if (std::fabs(actual - expected) <= 0.5 * std::pow(10.0, -decimals)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << Shortest(actual) << " does not round to " << Shortest(expected) << " at "
                                       << decimals << " decimals";
}

// Every field but Time, by bits.
inline void ExpectPose(const KeyFrame& actual, const ExpectedKeyFrame& expected) {
  EXPECT_TRUE(SameDouble(actual.PosX, expected.posX)) << "PosX";
  EXPECT_TRUE(SameDouble(actual.PosY, expected.posY)) << "PosY";
  EXPECT_TRUE(SameDouble(actual.Scale, expected.scale)) << "Scale";
  EXPECT_TRUE(SameDouble(actual.Opacity, expected.opacity)) << "Opacity";
  EXPECT_TRUE(SameDouble(actual.Rotation, expected.rotation)) << "Rotation";
  EXPECT_TRUE(SameDouble(actual.Aux0, 0.0)) << "Aux0";
  EXPECT_EQ(actual.Aux1, 0);
  EXPECT_EQ(actual.Aux2, 0);
}

inline void ExpectKeyFrame(const KeyFrame& actual, const ExpectedKeyFrame& expected) {
  EXPECT_TRUE(SameDouble(actual.Time, expected.time)) << "Time";
  ExpectPose(actual, expected);
}

// A full-frame layer: the default pose at time 0 and at time 1.
inline const std::vector<ExpectedKeyFrame> kFullFrameLayer = {{0, 0, 0, 1, 1}, {1, 0, 0, 1, 1}};

// The expected keyframes of input `index` of `count`.
struct ExpectedInput {
  int count;
  int index;
  std::vector<ExpectedKeyFrame> frames;
};

// The time decimals of a table that gives its times exactly: compare them by bits.
inline constexpr int kByBits = -1;

// Passes when `actual` is `expected`: by bits, or at `decimals` places when not kByBits.
inline ::testing::AssertionResult SameTime(double actual, double expected, int decimals) {
  return decimals == kByBits ? SameDouble(actual, expected) : RoundsTo(actual, expected, decimals);
}

// Generates every listed input and checks its keyframes field by field: times by bits,
// or to `timeDecimals` places for a table that rounds them.
inline void ExpectInputs(IEffectMultiDLL& effect, const std::vector<ExpectedInput>& inputs,
                         int timeDecimals = kByBits) {
  for (const ExpectedInput& input : inputs) {
    SCOPED_TRACE(testing::Message() << "input " << input.index << " of " << input.count);
    const std::vector<KeyFrame> frames = GenerateKeyFrames(effect, input.index, input.count);
    ASSERT_EQ(frames.size(), input.frames.size());
    for (std::size_t k = 0; k < frames.size(); ++k) {
      SCOPED_TRACE(testing::Message() << "keyframe " << k);
      EXPECT_TRUE(SameTime(frames[k].Time, input.frames[k].time, timeDecimals)) << "Time";
      ExpectPose(frames[k], input.frames[k]);
    }
  }
}

// The exact time of one keyframe of input `index` of `count`.
struct ExpectedTime {
  int count;
  int index;
  int keyframe;
  double time;
};

// Checks every listed time: by bits, or to `timeDecimals` places for a table that rounds
// them. A non-zero `keyframes` is the number of keyframes every listed input has.
inline void ExpectTimes(IEffectMultiDLL& effect, const std::vector<ExpectedTime>& times, int timeDecimals = kByBits,
                        std::size_t keyframes = 0) {
  for (const ExpectedTime& expected : times) {
    SCOPED_TRACE(testing::Message() << "keyframe " << expected.keyframe << " of input " << expected.index << " of "
                                    << expected.count);
    const std::vector<KeyFrame> frames = GenerateKeyFrames(effect, expected.index, expected.count);
    if (keyframes != 0) {
      ASSERT_EQ(frames.size(), keyframes);
    }
    ASSERT_LT(static_cast<std::size_t>(expected.keyframe), frames.size());
    EXPECT_TRUE(SameTime(frames[static_cast<std::size_t>(expected.keyframe)].Time, expected.time, timeDecimals));
  }
}

#endif  // MONTAGE_TESTS_KEYFRAME_MATCHERS_H
