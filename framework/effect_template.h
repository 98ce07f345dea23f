// What a template plug-in is made of. A template is one class:
//
//   class CEffBrisolen final : public CEffTemplate<CEffBrisolen> {
//    public:
//     static constexpr char kName[] = "Brisolen";  // name literal and display name
//     static constexpr int kMinInputs = 16;        // smallest intended input count
//     static constexpr int kTemplateCode = 0;      // optional; -1 without it
//     static KeyFrame* Generate(int index, int count, int& n);
//   };
//   MONTAGE_TEMPLATE(CEffBrisolen)
//
// `Generate` returns a new array from NewKeyFrames (or null for no keyframes) and
// stores its length into n. It depends on index and count alone, and must be defined
// for every int pair a host may pass directly: no signed overflow and no table read
// out of range; where the layout has no answer (a negative index, say) it returns null.
#ifndef MONTAGE_FRAMEWORK_EFFECT_TEMPLATE_H
#define MONTAGE_FRAMEWORK_EFFECT_TEMPLATE_H

#include <cstring>

#include "effkf.h"
#include "keyframes.h"
#include "module.h"
#include "montage/effect.h"

// Copies `name` into `buffer` like strncpy(buffer, name, size). Null buffer or
// size <= 0: nothing is written. Returns `buffer`.
inline char* CopyName(const char* name, char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return buffer;
  const auto capacity = static_cast<std::size_t>(size);
  const std::size_t length = ::strnlen(name, capacity);
  std::memcpy(buffer, name, length);
  std::memset(buffer + length, 0, capacity - length);
  return buffer;
}

// `count` default keyframes, with n set to count.
inline KeyFrame* NewKeyFrames(int count, int& n) {
  KeyFrame* frames = NewKeyFrames(count);
  n = count;
  return frames;
}

template <class Template>
class CEffTemplate : public CEffKf {
 public:
  CEffTemplate() : CEffKf(IDS_EFFECT_NAME) {}

  char* GetName(char* buffer, int size) override { return CopyName(Template::kName, buffer, size); }

  void GetInputRange(int* min, int* max) override {
    if (min != nullptr) *min = Template::kMinInputs;
    if (max != nullptr) *max = -1;
  }

  int GetTemplateCode() override {
    if constexpr (requires { Template::kTemplateCode; }) {
      return Template::kTemplateCode;
    } else {
      return CEffKf::GetTemplateCode();
    }
  }

  KeyFrame* GenerateKeyFrames(int index, int count, int* n) override {
    if (n == nullptr) return nullptr;  // nowhere to report a length: hand out nothing
    *n = 0;
    return Template::Generate(index, count, *n);
  }
};

// The two exports of a plug-in library; the only symbols it makes visible.
#define MONTAGE_EXPORT_EFFECT(EffectClass)                                    \
  extern "C" [[gnu::visibility("default")]] int GetNumEffects() { return 1; } \
  extern "C" [[gnu::visibility("default")]] IEffectMultiDLL* CreateEffect() { return new EffectClass(); }

// What ends every template's source file: its string table, whose display name is the
// template's name, and the two exports that create its effect.
#define MONTAGE_TEMPLATE(EffectClass)                         \
  MONTAGE_STRING_TABLE({IDS_EFFECT_NAME, EffectClass::kName}) \
  MONTAGE_EXPORT_EFFECT(EffectClass)

#endif  // MONTAGE_FRAMEWORK_EFFECT_TEMPLATE_H
