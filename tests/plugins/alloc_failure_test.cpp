// Exhausted memory on purpose: this program replaces the global allocation functions, so
// every allocation a plug-in makes can be failed on demand. After each failure the
// bad_alloc must have reached the caller, the input list and the settings kept before
// must be intact, and nothing may leak (the leak sanitizer checks at exit).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "plugin_support.h"
#include "replace_allocation.h"

namespace {

// While armed, counts allocations and fails the one numbered `failAt` (1-based).
struct AllocationFault {
  bool armed = false;
  long count = 0;
  long failAt = 0;
};
AllocationFault g_fault;

void* Allocate(std::size_t size) {
  if (g_fault.armed && ++g_fault.count == g_fault.failAt) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

// Runs `action` with allocation number `failAt` failing (0: none fails) and returns how
// many allocations it made.
template <class Action>
long WithFailingAllocation(long failAt, Action&& action) {
  g_fault = {true, 0, failAt};
  try {
    action();
  } catch (...) {
    g_fault.armed = false;
    throw;
  }
  g_fault.armed = false;
  return g_fault.count;
}

}  // namespace

MONTAGE_REPLACE_GLOBAL_ALLOCATION(Allocate, std::free)

namespace {

std::vector<int> ListIds(const IEffectMulti& effect) {
  std::vector<int> ids;
  for (const InputNode* node = effect.m_inputs; node != nullptr; node = node->next) ids.push_back(node->id);
  return ids;
}

std::vector<std::vector<KeyFrame>> CopySettings(const CEffectSetting* settings, int n) {
  std::vector<std::vector<KeyFrame>> copy;
  for (int i = 0; i < n; ++i) copy.push_back(KeyFramesOf(settings[i]));
  return copy;
}

std::string PluginName(const ::testing::TestParamInfo<BuiltPlugin>& param) { return std::string(param.param.name); }

class AllocationFailure : public ::testing::TestWithParam<BuiltPlugin> {
 protected:
  montage::Plugin plugin_ = montage::Plugin::Load(GetParam().path);
};

TEST_P(AllocationFailure, CreateEffectPassesItOn) {
  EXPECT_THROW(WithFailingAllocation(1, [this] { plugin_.Exports().createEffect()->Release(); }), std::bad_alloc);
}

TEST_P(AllocationFailure, InputListStaysAsItWas) {
  const montage::Effect effectOwner = plugin_.CreateEffect();
  IEffectMultiDLL& effect = effectOwner.Object();
  for (int id = 0; id < 3; ++id) effect.InsertInput(-1, id);
  const std::vector<int> before = ListIds(effect);
  EXPECT_THROW(WithFailingAllocation(1, [&] { effect.InsertInput(1, 9); }), std::bad_alloc);
  EXPECT_EQ(ListIds(effect), before);
  EXPECT_THROW(WithFailingAllocation(1, [&] { effect.ReplaceInput(1, 9); }), std::bad_alloc);
  EXPECT_EQ(ListIds(effect), before);
}

TEST_P(AllocationFailure, SettingsBuildFailsAtEveryAllocationPoint) {
  // Settings are kept for 3 inputs; a build for the effect's default count then fails at
  // each of its allocations in turn: the settings array, every template array and every
  // copy of one.
  constexpr int kKeptCount = 3;
  const montage::Effect effectOwner = plugin_.CreateEffect();
  IEffectMultiDLL& effect = effectOwner.Object();
  int n = 0;
  const CEffectSetting* kept = effect.GetSettingsFor(kKeptCount, &n);
  const auto keptFrames = CopySettings(kept, kKeptCount);
  const int count = effect.GetDefaultInputCount();
  for (int id = 0; id < count; ++id) effect.InsertInput(-1, id);
  const std::vector<int> ids = ListIds(effect);

  // A probe build on a second object counts the allocation points.
  const montage::Effect probeOwner = plugin_.CreateEffect();
  IEffectMultiDLL& probe = probeOwner.Object();
  const long points = WithFailingAllocation(0, [&] { probe.GetSettingsFor(count, &n); });
  ASSERT_GT(points, count);
  for (long failAt = 1; failAt <= points; ++failAt) {
    SCOPED_TRACE(failAt);
    n = 0;
    EXPECT_THROW(WithFailingAllocation(failAt, [&] { effect.GetSettings(&n); }), std::bad_alloc);
    EXPECT_EQ(n, count);
    EXPECT_EQ(ListIds(effect), ids);
    ASSERT_EQ(effect.GetSettingsFor(kKeptCount, &n), kept);
    EXPECT_EQ(CopySettings(kept, kKeptCount).size(), keptFrames.size());
    for (int i = 0; i < kKeptCount; ++i) EXPECT_TRUE(SameBits(KeyFramesOf(kept[i]), keptFrames[i]));
  }
  RecordProperty("allocation_points", static_cast<int>(points));
  std::printf("%.*s: %ld allocation-failure points at %d inputs\n", static_cast<int>(GetParam().name.size()),
              GetParam().name.data(), points, count);

  // With memory back, the build succeeds and matches the probe's.
  const CEffectSetting* built = effect.GetSettings(&n);
  ASSERT_EQ(n, count);
  for (int i = 0; i < count; ++i) {
    EXPECT_TRUE(SameBits(KeyFramesOf(built[i]), GenerateKeyFrames(probe, i, count)));
  }
}

INSTANTIATE_TEST_SUITE_P(Plugins, AllocationFailure, ::testing::ValuesIn(kBuiltPlugins), PluginName);

}  // namespace
