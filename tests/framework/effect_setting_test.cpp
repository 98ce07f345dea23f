#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <new>

#include "effkf.h"
#include "keyframes.h"
#include "plugin_support.h"

namespace {

KeyFrame DistinctFrame(double base) {
  KeyFrame frame;
  frame.PosX = base + 0.1;
  frame.PosY = base + 0.2;
  frame.Scale = base + 0.3;
  frame.Opacity = base + 0.4;
  frame.Rotation = base + 0.5;
  frame.Time = base + 0.6;
  frame.Aux0 = base + 0.7;
  frame.Aux1 = -7;
  frame.Aux2 = 123456;
  return frame;
}

bool AllZero(const char* bytes, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

TEST(KeyFrameRecord, ArraysStartInTheDefaultPose) {
  const std::unique_ptr<KeyFrame[]> frames(NewKeyFrames(5));
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(SameBits(frames[i], KeyFrame{}));
  const KeyFrame pose;
  EXPECT_EQ(pose.Scale, 1.0);
  EXPECT_EQ(pose.Opacity, 1.0);
  EXPECT_EQ(pose.PosX + pose.PosY + pose.Rotation + pose.Time + pose.Aux0, 0.0);
  EXPECT_EQ(pose.Aux1 | pose.Aux2, 0);
}

TEST(EffectSetting, StartsEmpty) {
  const CEffectSetting setting;
  EXPECT_EQ(setting.m_type, 0);
  EXPECT_EQ(setting.m_paramA, -1);
  EXPECT_EQ(setting.m_paramB, -1);
  EXPECT_STREQ(setting.m_name, "");
  EXPECT_STREQ(setting.m_displayName, "");
  EXPECT_EQ(setting.m_data, nullptr);
  EXPECT_EQ(setting.m_count, 0);
  EXPECT_EQ(setting.KeyFrames(), nullptr);
}

TEST(EffectSetting, HoldsItsOwnExactCopyOfTheKeyFrames) {
  KeyFrame frames[2] = {DistinctFrame(1.0), DistinctFrame(2.0)};
  CEffectSetting setting;
  setting.SetKeyFrames(kKeyFramesName, kKeyFramesDisplayName, 2, frames);
  frames[0] = KeyFrame{};  // the caller's array is not shared

  EXPECT_EQ(setting.m_type, CEffectSetting::kTypeKeyFrames);
  EXPECT_EQ(setting.m_paramA, 0);
  EXPECT_EQ(setting.m_paramB, 0);
  EXPECT_EQ(setting.m_count, 2);
  EXPECT_STREQ(setting.m_name, "KeyFrames");
  EXPECT_STREQ(setting.m_displayName, "Key Frames");
  EXPECT_TRUE(AllZero(setting.m_name, 9, 256));
  EXPECT_TRUE(AllZero(setting.m_displayName, 10, 256));
  EXPECT_TRUE(SameBits(KeyFramesOf(setting), {DistinctFrame(1.0), DistinctFrame(2.0)}));
}

TEST(EffectSetting, ReplacingKeyFramesReleasesTheOldBufferOnce) {
  // Under the address sanitizer a leaked or doubly freed buffer fails this test.
  const KeyFrame first[1] = {DistinctFrame(1.0)};
  const KeyFrame second[3] = {DistinctFrame(2.0), DistinctFrame(3.0), DistinctFrame(4.0)};
  CEffectSetting setting;
  setting.SetKeyFrames(kKeyFramesName, kKeyFramesDisplayName, 1, first);
  setting.SetKeyFrames(kKeyFramesName, kKeyFramesDisplayName, 3, second);
  EXPECT_EQ(setting.m_count, 3);
  EXPECT_TRUE(SameBits(KeyFramesOf(setting), {second[0], second[1], second[2]}));

  // Copying from its own buffer reads the frames before the buffer goes.
  setting.SetKeyFrames(kKeyFramesName, kKeyFramesDisplayName, 2, setting.KeyFrames() + 1);
  EXPECT_TRUE(SameBits(KeyFramesOf(setting), {second[1], second[2]}));
}

TEST(EffectSetting, SizesBeyondThirtyTwoBitsFailWithoutABuffer) {
  const KeyFrame frame;
  // 2^26 records are exactly 2^32 bytes, one more than 32 bits hold.
  for (const int count : {-1, INT_MIN, 1 << 26, INT_MAX}) {
    SCOPED_TRACE(count);
    CEffectSetting setting;
    EXPECT_THROW(setting.SetKeyFrames(kKeyFramesName, kKeyFramesDisplayName, count, &frame), std::bad_alloc);
    EXPECT_EQ(setting.m_type, CEffectSetting::kTypeKeyFrames);
    EXPECT_EQ(setting.m_count, count);
    EXPECT_EQ(setting.m_data, nullptr);
  }
}

TEST(EffectSetting, FailedReplacementLeavesNoBuffer) {
  const KeyFrame frame = DistinctFrame(1.0);
  CEffectSetting setting;
  setting.SetKeyFrames(kKeyFramesName, kKeyFramesDisplayName, 1, &frame);
  EXPECT_THROW(setting.SetKeyFrames(kKeyFramesName, kKeyFramesDisplayName, -1, &frame), std::bad_alloc);
  EXPECT_EQ(setting.m_data, nullptr);  // released, not leaked, and not left behind stale
}

TEST(EffectSetting, BufferOfAnUnknownTypeIsNotFreed) {
  auto* foreign = new KeyFrame[1];
  {
    CEffectSetting setting;
    setting.m_type = 5;
    setting.m_data = foreign;
  }
  // Freeing it here would be reported as a double free had the setting freed it.
  delete[] foreign;
}

}  // namespace
