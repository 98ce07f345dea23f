// A template for framework tests, linked straight into the test program. Its range and
// generator are set by each test; the default generator gives input i of count inputs
// i + 1 keyframes whose times are i and whose PosX is the count.
#ifndef MONTAGE_TESTS_TEST_EFFECT_H
#define MONTAGE_TESTS_TEST_EFFECT_H

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "effect_template.h"
#include "plugin_support.h"

class TestEffect final : public CEffKf {
 public:
  using Generator = std::function<KeyFrame*(int index, int count, int& n)>;

  explicit TestEffect(std::uint32_t nameId = 0) : CEffKf(nameId) {}

  char* GetName(char* buffer, int size) override { return CopyName("Test Effect", buffer, size); }
  // The base's range (1, no maximum) unless a test sets one.
  void GetInputRange(int* min, int* max) override {
    if (!range) return CEffKf::GetInputRange(min, max);
    if (min != nullptr) *min = range->first;
    if (max != nullptr) *max = range->second;
  }
  KeyFrame* GenerateKeyFrames(int index, int count, int* n) override {
    ++generatorCalls;
    return generator ? generator(index, count, *n) : DefaultGenerator(index, count, *n);
  }

  static KeyFrame* DefaultGenerator(int index, int count, int& n) {
    KeyFrame* frames = NewKeyFrames(index + 1, n);
    for (int k = 0; k < n; ++k) {
      frames[k].Time = index;
      frames[k].PosX = count;
    }
    return frames;
  }

  [[nodiscard]] const CEffectSetting* KeptSettings() const { return m_settings; }
  [[nodiscard]] int KeptCount() const { return m_settingsCount; }

  Generator generator;
  std::optional<std::pair<int, int>> range;
  int generatorCalls = 0;
};

using TestEffectPtr = std::unique_ptr<TestEffect, ReleaseEffect>;

inline TestEffectPtr NewTestEffect(std::uint32_t nameId = 0) { return TestEffectPtr(new TestEffect(nameId)); }

// Ids of the input list in order, read through the next links; checks on the way that
// the prev links mirror them.
inline std::vector<int> ListIds(const IEffectMulti& effect) {
  std::vector<int> ids;
  const InputNode* previous = nullptr;
  for (const InputNode* node = effect.m_inputs; node != nullptr; node = node->next) {
    if (node->prev != previous) return {-999};  // broken links never equal an expected list
    ids.push_back(node->id);
    previous = node;
  }
  return ids;
}

#endif  // MONTAGE_TESTS_TEST_EFFECT_H
