// The keyframe effect base: turns a template's per-input keyframe generator into the
// settings array a host reads, and keeps it while the input count stays the same.
#ifndef MONTAGE_FRAMEWORK_EFFKF_H
#define MONTAGE_FRAMEWORK_EFFKF_H

#include <cstdint>

#include "montage/effect.h"

class CEffKf : public IEffectMultiDLL {
 public:
  // String-table entry `m_nameId`; with id 0, the name itself.
  int GetDisplayName(char* buffer, int size) override;
  // GetSettingsFor(GetInputCount(), n), both through the table.
  CEffectSetting* GetSettings(int* n) override;
  int Process(std::int32_t a, std::int32_t b, std::int32_t c) override;
  // 1 to no maximum.
  void GetInputRange(int* min, int* max) override;
  // Builds the settings for `count` inputs, or returns the array kept for that count.
  CEffectSetting* GetSettingsFor(int count, int* n) override;
  void Release() override;

 protected:
  explicit CEffKf(std::uint32_t nameId = 0) : m_nameId(nameId) {}
  // Releases the settings array, then (in the base) the input list.
  ~CEffKf() override;

  CEffectSetting* m_settings = nullptr;  // array built last; null before the first build
  std::int32_t m_settingsCount = 0;      // input count m_settings was built for
  std::uint32_t m_nameId;                // string-table id of the display name; 0: none

  friend struct CEffKfLayout;
};

// Names of every keyframe setting.
inline constexpr char kKeyFramesName[] = "KeyFrames";
inline constexpr char kKeyFramesDisplayName[] = "Key Frames";

#endif  // MONTAGE_FRAMEWORK_EFFKF_H
