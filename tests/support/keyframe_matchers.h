// Readable bit-exact keyframe expectations for generator tests.
#ifndef MONTAGE_TESTS_KEYFRAME_MATCHERS_H
#define MONTAGE_TESTS_KEYFRAME_MATCHERS_H

#include <gtest/gtest.h>

#include <charconv>
#include <string>

#include "plugin_library.h"

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

inline void ExpectKeyFrame(const KeyFrame& actual, const ExpectedKeyFrame& expected) {
  EXPECT_TRUE(SameDouble(actual.Time, expected.time)) << "Time";
  EXPECT_TRUE(SameDouble(actual.PosX, expected.posX)) << "PosX";
  EXPECT_TRUE(SameDouble(actual.PosY, expected.posY)) << "PosY";
  EXPECT_TRUE(SameDouble(actual.Scale, expected.scale)) << "Scale";
  EXPECT_TRUE(SameDouble(actual.Opacity, expected.opacity)) << "Opacity";
  EXPECT_TRUE(SameDouble(actual.Rotation, expected.rotation)) << "Rotation";
  EXPECT_TRUE(SameDouble(actual.Aux0, 0.0)) << "Aux0";
  EXPECT_EQ(actual.Aux1, 0);
  EXPECT_EQ(actual.Aux2, 0);
}

#endif  // MONTAGE_TESTS_KEYFRAME_MATCHERS_H
