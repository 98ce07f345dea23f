// Plug-ins loaded together into one process must each keep their own globals, string
// table and code, even when loaded with RTLD_GLOBAL.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin_support.h"

namespace {

struct Observed {
  std::string name;
  std::string displayName;
  std::vector<std::vector<KeyFrame>> keyFrames;  // per input, at the default count
};

Observed Observe(const montage::Plugin& library) {
  const montage::Effect owner = library.CreateEffect();
  IEffectMultiDLL& effect = owner.Object();
  Observed seen;
  char buffer[64];
  effect.GetName(buffer, sizeof buffer);
  seen.name = buffer;
  effect.GetDisplayName(buffer, sizeof buffer);
  seen.displayName = buffer;
  const int count = effect.GetDefaultInputCount();
  int n = 0;
  const CEffectSetting* settings = effect.GetSettingsFor(count, &n);
  for (int i = 0; i < n; ++i) seen.keyFrames.push_back(KeyFramesOf(settings[i]));
  return seen;
}

TEST(PluginIsolation, EveryPluginKeepsItsOwnIdentityWhenLoadedGlobally) {
  if (std::size(kBuiltPlugins) < 2) GTEST_SKIP() << "needs two plug-ins";

  // Each plug-in alone first, then all of them together in one global namespace.
  std::vector<Observed> alone;
  for (const BuiltPlugin& plugin : kBuiltPlugins) alone.push_back(Observe(montage::Plugin::Load(plugin.path)));

  std::vector<montage::Plugin> together;
  for (const BuiltPlugin& plugin : kBuiltPlugins) {
    together.push_back(montage::Plugin::Load(plugin.path, montage::SymbolBinding::kGlobal));
  }
  for (std::size_t i = 0; i < together.size(); ++i) {
    SCOPED_TRACE(kBuiltPlugins[i].name);
    const Observed seen = Observe(together[i]);
    EXPECT_EQ(seen.name, kBuiltPlugins[i].name);
    EXPECT_EQ(seen.displayName, kBuiltPlugins[i].name);
    ASSERT_EQ(seen.keyFrames.size(), alone[i].keyFrames.size());
    for (std::size_t input = 0; input < seen.keyFrames.size(); ++input) {
      EXPECT_TRUE(SameBits(seen.keyFrames[input], alone[i].keyFrames[input])) << "input " << input;
    }
  }
}

}  // namespace
