#include "effkf.h"

#include <cstddef>
#include <limits>
#include <memory>
#include <new>

#include "module.h"

// The effect object's layout continues the interface's fields with those of CEffKf.
struct CEffKfLayout {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#if UINTPTR_MAX == 0xFFFFFFFFu
  static_assert(offsetof(CEffKf, m_settings) == 20);
  static_assert(offsetof(CEffKf, m_settingsCount) == 24);
  static_assert(offsetof(CEffKf, m_nameId) == 28);
  static_assert(sizeof(CEffKf) == 32);
#else
  static_assert(offsetof(CEffKf, m_settings) == 32);
  static_assert(offsetof(CEffKf, m_settingsCount) == 40);
  static_assert(offsetof(CEffKf, m_nameId) == 44);
  static_assert(sizeof(CEffKf) == 48);
#endif
#pragma GCC diagnostic pop
};

namespace {

// A settings array of `count` empty elements. Its byte size, with the element-count
// record of an array allocation, must fit in 32 bits as on the original platform.
std::unique_ptr<CEffectSetting[]> NewSettingsArray(int count) {
  constexpr std::uint64_t kArrayCookie = sizeof(std::size_t);
  const std::uint64_t bytes = static_cast<std::uint64_t>(count) * sizeof(CEffectSetting) + kArrayCookie;
  if (bytes > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  return std::make_unique<CEffectSetting[]>(static_cast<std::size_t>(count));
}

}  // namespace

CEffKf::~CEffKf() {
  delete[] m_settings;  // elements are destroyed last to first
  m_settings = nullptr;
}

int CEffKf::GetDisplayName(char* buffer, int size) {
  if (m_nameId != 0) return LoadModuleString(g_hModule, m_nameId, buffer, size);
  return IEffectMultiDLL::GetDisplayName(buffer, size);
}

CEffectSetting* CEffKf::GetSettings(int* n) { return GetSettingsFor(GetInputCount(), n); }

int CEffKf::Process(std::int32_t /*a*/, std::int32_t /*b*/, std::int32_t /*c*/) { return 0; }

void CEffKf::GetInputRange(int* min, int* max) {
  if (min != nullptr) *min = 1;
  if (max != nullptr) *max = -1;
}

CEffectSetting* CEffKf::GetSettingsFor(int count, int* n) {
  if (n != nullptr) *n = count;
  if (count < 1) return nullptr;
  if (count == m_settingsCount) return m_settings;

  // Everything new is held by owners until the build is complete, so a bad_alloc
  // anywhere releases it and leaves the kept array and count as they were.
  std::unique_ptr<CEffectSetting[]> settings = NewSettingsArray(count);
  for (int index = 0; index < count; ++index) {
    int length = 0;
    const std::unique_ptr<KeyFrame[]> frames(GenerateKeyFrames(index, count, &length));
    if (frames != nullptr && length > 0) {
      settings[index].SetKeyFrames(kKeyFramesName, kKeyFramesDisplayName, length, frames.get());
    }
  }
  delete[] m_settings;
  m_settings = settings.release();
  m_settingsCount = count;
  return m_settings;
}

void CEffKf::Release() { delete this; }
