// Load/unload soak: every plug-in library is opened and closed many times in one
// process, alone and all together, with objects created, used and released each time.
// Every cycle must see the same name and the same keyframes as the first, every closed
// library must really leave the process, and nothing may leak (checked here under the
// leak sanitizer, and by valgrind in the non-sanitized build).
//
// MONTAGE_SOAK_CYCLES sets the number of rounds (default kDefaultRounds).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "plugin_support.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

constexpr int kDefaultRounds = 500;
// Every this many rounds, all plug-ins are loaded together (alternately with local and
// global symbol binding) and their objects are used side by side.
constexpr int kTogetherEvery = 5;

int Rounds() {
  const char* text = std::getenv("MONTAGE_SOAK_CYCLES");
  const int rounds = text != nullptr ? std::atoi(text) : kDefaultRounds;
  return rounds > 0 ? rounds : kDefaultRounds;
}

// What a plug-in shows a host: its names and the keyframes of every input at its
// default count.
struct Observed {
  std::string name;
  std::string displayName;
  std::vector<std::vector<KeyFrame>> keyFrames;
};

bool operator==(const Observed& a, const Observed& b) {
  if (a.name != b.name || a.displayName != b.displayName || a.keyFrames.size() != b.keyFrames.size()) return false;
  for (std::size_t i = 0; i < a.keyFrames.size(); ++i) {
    if (!SameBits(a.keyFrames[i], b.keyFrames[i])) return false;
  }
  return true;
}

// Uses one effect the way a host does and reports what it saw; the list is edited,
// reset, built for other counts and generated from directly on the way.
Observed UseEffect(IEffectMultiDLL& effect) {
  Observed seen;
  char buffer[64];
  effect.GetName(buffer, sizeof buffer);
  seen.name = buffer;
  effect.GetDisplayName(buffer, sizeof buffer);
  seen.displayName = buffer;

  const int count = effect.GetDefaultInputCount();
  int n = 0;
  effect.SetHostPair(1, 2);
  for (int id = 0; id < count + 2; ++id) effect.InsertInput(-1, id);
  effect.ReplaceInput(1, 99);
  effect.RemoveInput(0);
  effect.RemoveInput(-1);
  static_cast<void>(effect.GetSettingsFor(3, &n));
  const CEffectSetting* settings = effect.GetSettings(&n);
  for (int i = 0; i < n; ++i) seen.keyFrames.push_back(KeyFramesOf(settings[i]));
  static_cast<void>(GenerateKeyFrames(effect, 0, count));
  static_cast<void>(GenerateKeyFrames(effect, count - 1, count + 1));
  effect.Reset();
  effect.InsertInput(0, 7);
  return seen;
}

// True while a file of this path is mapped into the process.
bool IsMapped(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.size() >= path.size() && line.compare(line.size() - path.size(), path.size(), path) == 0) return true;
  }
  return false;
}

std::string RealPath(const char* path) {
  const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path, nullptr), &std::free);
  return resolved != nullptr ? std::string(resolved.get()) : std::string(path);
}

TEST(LoadUnloadSoak, EveryPluginSurvivesRepeatedLoadingAndUnloading) {
  const int rounds = Rounds();
  std::vector<Observed> first;
  std::vector<std::string> paths;
  for (const BuiltPlugin& plugin : kBuiltPlugins) {
    first.push_back(UseEffect(montage::Plugin::Load(plugin.path).CreateEffect().Object()));
    paths.push_back(RealPath(plugin.path));
    ASSERT_EQ(first.back().name, plugin.name);
  }

  long cycles = 0;
  for (int round = 0; round < rounds; ++round) {
    // Each library alone: two objects alive at once, released in creation order.
    for (std::size_t i = 0; i < std::size(kBuiltPlugins); ++i) {
      {
        const montage::Plugin library = montage::Plugin::Load(kBuiltPlugins[i].path);
        ASSERT_TRUE(IsMapped(paths[i]));
        std::optional<montage::Effect> one = library.CreateEffect();
        const montage::Effect two = library.CreateEffect();
        ASSERT_TRUE(UseEffect(one->Object()) == first[i]) << kBuiltPlugins[i].name << " in round " << round;
        one.reset();
        ASSERT_TRUE(UseEffect(two.Object()) == first[i]) << kBuiltPlugins[i].name << " in round " << round;
      }
      ++cycles;
      ASSERT_FALSE(IsMapped(paths[i])) << kBuiltPlugins[i].name << " stayed loaded after its last close";
    }
    if (round % kTogetherEvery != 0) continue;

    // All libraries together, an object of each alive at once; closed in reverse order.
    const montage::SymbolBinding binding =
        (round / kTogetherEvery) % 2 == 0 ? montage::SymbolBinding::kLocal : montage::SymbolBinding::kGlobal;
    std::vector<montage::Plugin> libraries;
    std::vector<montage::Effect> effects;
    for (const BuiltPlugin& plugin : kBuiltPlugins) {
      libraries.push_back(montage::Plugin::Load(plugin.path, binding));
      effects.push_back(libraries.back().CreateEffect());
    }
    for (std::size_t i = 0; i < effects.size(); ++i) {
      ASSERT_TRUE(UseEffect(effects[i].Object()) == first[i]) << kBuiltPlugins[i].name << " loaded with the others";
    }
    effects.clear();
    while (!libraries.empty()) {
      libraries.pop_back();
      ++cycles;
    }
    for (const std::string& path : paths) ASSERT_FALSE(IsMapped(path)) << path;
  }

  // Afterwards each library still reports its own name.
  for (const BuiltPlugin& plugin : kBuiltPlugins) {
    const montage::Effect effect = montage::Plugin::Load(plugin.path).CreateEffect();
    char name[64];
    char display[64];
    effect.Object().GetName(name, sizeof name);
    effect.Object().GetDisplayName(display, sizeof display);
    EXPECT_EQ(name, plugin.name);
    EXPECT_EQ(display, plugin.name);
  }

  std::printf("load/unload cycles: %ld (%d rounds over %zu plug-ins)\n", cycles, rounds, std::size(kBuiltPlugins));
  RecordProperty("load_unload_cycles", static_cast<int>(cycles));
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "leaked memory, see the report above";
#endif
}

}  // namespace
