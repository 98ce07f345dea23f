#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "test_effect.h"

namespace {

TestEffectPtr EffectWithInputs(int count) {
  TestEffectPtr effect = NewTestEffect();
  for (int id = 0; id < count; ++id) effect->InsertInput(-1, id);
  return effect;
}

TEST(Settings, AreBuiltOncePerInputCountAndReused) {
  const TestEffectPtr effect = EffectWithInputs(3);
  int n = 0;
  const CEffectSetting* first = effect->GetSettings(&n);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(effect->generatorCalls, 3);

  n = 0;
  EXPECT_EQ(effect->GetSettings(&n), first);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(effect->generatorCalls, 3);  // no generator ran for the kept count

  for (int i = 0; i < 3; ++i) {
    const CEffectSetting& setting = first[i];
    EXPECT_STREQ(setting.m_name, "KeyFrames");
    EXPECT_STREQ(setting.m_displayName, "Key Frames");
    EXPECT_EQ(setting.m_type, 3);
    EXPECT_EQ(setting.m_paramA, 0);
    EXPECT_EQ(setting.m_paramB, 0);
    int length = 0;
    const std::unique_ptr<KeyFrame[]> expected(TestEffect::DefaultGenerator(i, 3, length));
    EXPECT_EQ(setting.m_count, length);
    EXPECT_TRUE(SameBits(KeyFramesOf(setting), {expected.get(), expected.get() + length}));
  }
}

TEST(Settings, AreKeyedByTheCountAlone) {
  const TestEffectPtr effect = EffectWithInputs(4);
  int n = 0;
  const CEffectSetting* kept = effect->GetSettings(&n);
  const int calls = effect->generatorCalls;

  // Same length, other ids: still the kept array.
  effect->ReplaceInput(1, 77);
  effect->RemoveInput(0);
  effect->InsertInput(-1, 78);
  EXPECT_EQ(effect->GetSettings(&n), kept);

  // Reset keeps the settings; four new inputs find them again.
  effect->Reset();
  EXPECT_EQ(effect->GetSettings(&n), nullptr);
  EXPECT_EQ(n, 0);
  for (int id = 0; id < 4; ++id) effect->InsertInput(-1, id);
  EXPECT_EQ(effect->GetSettings(&n), kept);
  EXPECT_EQ(effect->generatorCalls, calls);
}

TEST(Settings, AnotherCountRebuildsAndReleasesThePreviousArray) {
  const TestEffectPtr effect = NewTestEffect();
  int n = 0;
  effect->GetSettingsFor(5, &n);
  const CEffectSetting* six = effect->GetSettingsFor(6, &n);
  EXPECT_EQ(n, 6);
  EXPECT_EQ(effect->KeptCount(), 6);
  const CEffectSetting* fiveAgain = effect->GetSettingsFor(5, &n);
  EXPECT_EQ(effect->generatorCalls, 5 + 6 + 5);
  EXPECT_NE(fiveAgain, six);
  EXPECT_EQ(fiveAgain[0].KeyFrames()[0].PosX, 5.0);
}

TEST(Settings, CountsBelowOneGiveNullAndKeepTheArray) {
  const TestEffectPtr effect = NewTestEffect();
  int n = 0;
  const CEffectSetting* kept = effect->GetSettingsFor(2, &n);
  for (const int count : {0, -3}) {
    EXPECT_EQ(effect->GetSettingsFor(count, &n), nullptr);
    EXPECT_EQ(n, count);
    EXPECT_EQ(effect->KeptSettings(), kept);
    EXPECT_EQ(effect->KeptCount(), 2);
  }
}

TEST(Settings, InputsWithoutKeyFramesStayEmpty) {
  // Input 1 gets an array but length 0 (it must still be freed); input 2 gets null.
  const TestEffectPtr effect = NewTestEffect();
  effect->generator = [](int index, int count, int& n) -> KeyFrame* {
    if (index == 1) {
      KeyFrame* frames = NewKeyFrames(3, n);
      n = 0;
      return frames;
    }
    if (index == 2) return nullptr;
    return TestEffect::DefaultGenerator(index, count, n);
  };
  int n = 0;
  const CEffectSetting* settings = effect->GetSettingsFor(4, &n);
  EXPECT_EQ(n, 4);
  for (int i : {1, 2}) {
    EXPECT_EQ(settings[i].m_type, 0);
    EXPECT_EQ(settings[i].m_paramA, -1);
    EXPECT_EQ(settings[i].m_data, nullptr);
    EXPECT_EQ(settings[i].m_count, 0);
    EXPECT_STREQ(settings[i].m_name, "");
  }
  EXPECT_EQ(settings[0].m_count, 1);
  EXPECT_EQ(settings[3].m_count, 4);
}

// An effect on the bare interface, with only the pure slots filled.
class BareEffect final : public IEffectMultiDLL {
 public:
  char* GetName(char* buffer, int size) override { return CopyName("Bare", buffer, size); }
  int Process(std::int32_t, std::int32_t, std::int32_t) override { return 0; }
  void GetInputRange(int* min, int* max) override { *min = *max = 1; }
  void Release() override { delete this; }
  KeyFrame* GenerateKeyFrames(int, int, int*) override { return nullptr; }
};

TEST(Settings, InterfaceDefaultsHaveNone) {
  const std::unique_ptr<IEffectMultiDLL, ReleaseEffect> effect(new BareEffect);
  effect->InsertInput(-1, 1);
  for (const int count : {1, 7, -1}) {
    int n = 5;
    EXPECT_EQ(effect->GetSettingsFor(count, &n), nullptr);
    EXPECT_EQ(n, 0);
  }
  char buffer[8];
  EXPECT_EQ(effect->GetDisplayName(buffer, sizeof buffer), 4);  // falls back to the name
  EXPECT_STREQ(buffer, "Bare");
}

TEST(Names, NameIsCopiedLikeStrncpy) {
  const TestEffectPtr effect = NewTestEffect();  // "Test Effect", 11 characters
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  effect->GetName(buffer, 4);
  EXPECT_EQ(std::string(buffer, 5), "Testx");  // exactly four bytes, no terminator

  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(effect->GetName(buffer, 64), buffer);
  EXPECT_STREQ(buffer, "Test Effect");
  for (int i = 11; i < 64; ++i) EXPECT_EQ(buffer[i], 0) << i;

  for (const int size : {0, -1, -2147483647}) {
    std::memset(buffer, 'x', sizeof buffer);
    effect->GetName(buffer, size);
    EXPECT_EQ(buffer[0], 'x') << size;
  }
  EXPECT_EQ(effect->GetName(nullptr, 16), nullptr);
}

TEST(Names, DisplayNameWithoutAnIdIsTheName) {
  const TestEffectPtr effect = NewTestEffect(0);
  char name[32];
  char display[32];
  effect->GetName(name, sizeof name);
  EXPECT_EQ(effect->GetDisplayName(display, sizeof display), 11);
  EXPECT_STREQ(display, name);
}

TEST(Names, DisplayNameComesFromTheStringTable) {
  // This program's string table maps 101 to "Test Display" (module_test.cpp).
  const TestEffectPtr effect = NewTestEffect(IDS_EFFECT_NAME);
  char buffer[32];
  EXPECT_EQ(effect->GetDisplayName(buffer, sizeof buffer), 12);
  EXPECT_STREQ(buffer, "Test Display");
  EXPECT_EQ(effect->GetDisplayName(buffer, 5), 4);  // size - 1 characters and a terminator
  EXPECT_STREQ(buffer, "Test");
  EXPECT_EQ(effect->GetDisplayName(nullptr, 5), 0);
  EXPECT_EQ(effect->GetDisplayName(buffer, -1), 0);

  // A missing entry gives 0 and no fallback to the name.
  EXPECT_EQ(NewTestEffect(555)->GetDisplayName(buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
}

TEST(Constants, DefaultsOfTheRemainingSlots) {
  const TestEffectPtr effect = NewTestEffect();
  EXPECT_EQ(effect->GetEffectKind(), 1);
  EXPECT_EQ(effect->GetFlags(), 0);
  EXPECT_EQ(effect->GetTemplateCode(), -1);
  EXPECT_EQ(effect->Process(1, 2, 3), 0);
  int min = 0;
  int max = 0;
  effect->GetInputRange(&min, &max);
  EXPECT_EQ(min, 1);
  EXPECT_EQ(max, -1);
}

}  // namespace
