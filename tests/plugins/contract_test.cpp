// What every plug-in library owes a host, checked on each library this build makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "plugin_support.h"

namespace {

// The templates of the system: name, smallest intended input count, template code.
struct TemplateFacts {
  std::string_view name;
  int minInputs;
  int templateCode;
};
constexpr TemplateFacts kTemplates[] = {
    {"Brisolen", 16, -1}, {"Quenmar", 5, -6}, {"Darvello", 16, -1}, {"Ostrane", 3, -3},
    {"Pellumi", 8, 0},    {"Tavrino", 8, 0},  {"Zindomar", 5, -2},  {"Keluvo", 5, -2},
    {"Morsela", 5, 0},    {"Fendral", 7, -2}, {"Wistaro", 2, -1},   {"Halvexa", 5, -1},
};

const TemplateFacts& FactsOf(std::string_view name) {
  for (const TemplateFacts& facts : kTemplates) {
    if (facts.name == name) return facts;
  }
  throw std::runtime_error("unknown template " + std::string(name));
}

std::string PluginName(const ::testing::TestParamInfo<BuiltPlugin>& param) { return std::string(param.param.name); }

class EveryPlugin : public ::testing::TestWithParam<BuiltPlugin> {
 protected:
  montage::Plugin plugin_ = montage::Plugin::Load(GetParam().path);
  const TemplateFacts& facts_ = FactsOf(GetParam().name);
};

TEST_P(EveryPlugin, ExportsExactlyTheTwoEntryFunctions) {
  EXPECT_EQ(montage::ExportedSymbols(GetParam().path), (std::vector<std::string>{"CreateEffect", "GetNumEffects"}));
  EXPECT_EQ(plugin_.NumEffects(), 1);
  EXPECT_EQ(plugin_.NumEffects(), 1);
}

TEST_P(EveryPlugin, DescribesItsTemplate) {
  const montage::Effect effectOwner = plugin_.CreateEffect();
  IEffectMultiDLL& effect = effectOwner.Object();
  char name[64];
  char display[64];
  effect.GetName(name, sizeof name);
  EXPECT_EQ(effect.GetDisplayName(display, sizeof display), static_cast<int>(facts_.name.size()));
  EXPECT_EQ(name, facts_.name);
  EXPECT_EQ(display, facts_.name);

  int min = 0;
  int max = 0;
  effect.GetInputRange(&min, &max);
  EXPECT_EQ(min, facts_.minInputs);
  EXPECT_EQ(max, -1);
  EXPECT_EQ(effect.GetDefaultInputCount(), std::max(4, facts_.minInputs));
  EXPECT_EQ(effect.GetTemplateCode(), facts_.templateCode);
  EXPECT_EQ(effect.GetEffectKind(), 1);
  EXPECT_EQ(effect.GetFlags(), 0);
  EXPECT_EQ(effect.Process(0, 0, 0), 0);
}

TEST_P(EveryPlugin, StartsEmptyAndKeepsObjectsIndependent) {
  const montage::Effect firstOwner = plugin_.CreateEffect();
  IEffectMultiDLL& first = firstOwner.Object();
  const montage::Effect secondOwner = plugin_.CreateEffect();
  IEffectMultiDLL& second = secondOwner.Object();
  int a = -1;
  int b = -1;
  int n = -1;
  second.GetHostPair(&a, &b);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(second.GetHostValue(), 0);
  EXPECT_EQ(second.GetInputCount(), 0);
  EXPECT_EQ(second.GetSettings(&n), nullptr);
  EXPECT_EQ(n, 0);

  first.SetHostPair(3, 4);
  first.SetHostValue(5);
  for (int id = 0; id < 6; ++id) first.InsertInput(-1, id);
  const CEffectSetting* settings = first.GetSettings(&n);
  EXPECT_EQ(n, 6);
  second.InsertInput(-1, 0);
  EXPECT_NE(second.GetSettings(&n), settings);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(second.GetHostValue(), 0);
  EXPECT_EQ(first.GetInputCount(), 6);
}

TEST_P(EveryPlugin, SettingsCarryEachInputsKeyFrames) {
  const montage::Effect effectOwner = plugin_.CreateEffect();
  IEffectMultiDLL& effect = effectOwner.Object();
  for (const int count : {1, 2, 3, facts_.minInputs, facts_.minInputs + 5, 100}) {
    SCOPED_TRACE(count);
    int n = 0;
    const CEffectSetting* settings = effect.GetSettingsFor(count, &n);
    ASSERT_EQ(n, count);
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(effect.GetSettingsFor(count, &n), settings);
    for (int index = 0; index < count; ++index) {
      const CEffectSetting& setting = settings[index];
      const std::vector<KeyFrame> direct = GenerateKeyFrames(effect, index, count);
      EXPECT_TRUE(SameBits(KeyFramesOf(setting), direct)) << "input " << index;
      if (direct.empty()) {
        EXPECT_EQ(setting.m_type, 0);
        continue;
      }
      EXPECT_EQ(setting.m_type, 3);
      EXPECT_STREQ(setting.m_name, "KeyFrames");
      EXPECT_STREQ(setting.m_displayName, "Key Frames");
      EXPECT_EQ(setting.m_paramA, 0);
      EXPECT_EQ(setting.m_paramB, 0);
    }
  }
}

TEST_P(EveryPlugin, AtItsMinimumEveryInputHasFiniteKeyFrames) {
  const montage::Effect effectOwner = plugin_.CreateEffect();
  IEffectMultiDLL& effect = effectOwner.Object();
  for (const int count : {facts_.minInputs, facts_.minInputs + 1, 1000}) {
    for (int index = 0; index < count; ++index) {
      const std::vector<KeyFrame> frames = GenerateKeyFrames(effect, index, count);
      EXPECT_FALSE(frames.empty()) << "input " << index << " of " << count;
      for (const KeyFrame& frame : frames) {
        EXPECT_TRUE(std::isfinite(frame.PosX) && std::isfinite(frame.PosY) && std::isfinite(frame.Scale) &&
                    std::isfinite(frame.Opacity) && std::isfinite(frame.Rotation) && std::isfinite(frame.Time))
            << "input " << index << " of " << count;
      }
    }
  }
}

TEST_P(EveryPlugin, AnyDirectGeneratorArgumentsAreSafe) {
  // Hosts may call slot 21 with anything; the sanitizers turn any overflow or stray read
  // into a failure here. The results only need to be well defined.
  const montage::Effect effectOwner = plugin_.CreateEffect();
  IEffectMultiDLL& effect = effectOwner.Object();
  const int values[] = {INT_MIN, INT_MIN + 1, -100, -3, -2, -1, 0, 1, 2, 3, 4, 5, 7, 8, 16, 99, INT_MAX - 3, INT_MAX};
  for (const int count : values) {
    for (const int index : values) {
      int n = -1;
      try {
        const std::unique_ptr<KeyFrame[]> frames(effect.GenerateKeyFrames(index, count, &n));
        EXPECT_EQ(frames == nullptr, n <= 0) << index << " of " << count;
        EXPECT_GE(n, 0);
      } catch (const std::bad_alloc&) {
        // A keyframe count beyond 32-bit sizes fails the allocation; that is defined too.
      }
    }
  }
  EXPECT_EQ(effect.GenerateKeyFrames(0, 5, nullptr), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Plugins, EveryPlugin, ::testing::ValuesIn(kBuiltPlugins), PluginName);

}  // namespace
