#include <cstring>
#include <limits>
#include <new>

#include "keyframes.h"
#include "montage/effect.h"

namespace {

// Types 1, 2 and 3 own their buffer; any other type only refers to it.
bool OwnsBuffer(std::int32_t type) { return type >= 1 && type <= 3; }

// Copies `source` into a name field like strncpy: the terminator and zero bytes fill the
// rest of the field. A longer source is cut to 255 characters and terminated.
void CopyNameField(char (&field)[CEffectSetting::kNameCapacity], const char* source) {
  const std::size_t length = source == nullptr ? 0 : ::strnlen(source, sizeof field - 1);
  std::memcpy(field, source, length);
  std::memset(field + length, 0, sizeof field - length);
}

}  // namespace

CEffectSetting::CEffectSetting() : m_type(kTypeNone), m_paramA(-1), m_paramB(-1), m_data(nullptr), m_count(0) {
  m_displayName[0] = '\0';
  m_name[0] = '\0';
}

CEffectSetting::~CEffectSetting() {
  if (m_data != nullptr && OwnsBuffer(m_type)) ::operator delete[](m_data);
  m_data = nullptr;
}

void CEffectSetting::SetKeyFrames(const char* name, const char* displayName, int count, const KeyFrame* frames) {
  const std::int32_t previousType = m_type;
  m_type = kTypeKeyFrames;
  CopyNameField(m_name, name);
  CopyNameField(m_displayName, displayName);
  m_paramB = 0;
  m_paramA = 0;
  m_count = count;

  // The copy is made before the previous buffer goes, so `frames` may even point into
  // it. Whatever happens, the setting ends up owning at most one buffer and no buffer is
  // released twice.
  KeyFrame* copy = nullptr;
  try {
    copy = CopyKeyFrames(frames, count);
  } catch (...) {
    if (OwnsBuffer(previousType)) ::operator delete[](m_data);
    m_data = nullptr;
    throw;
  }
  if (OwnsBuffer(previousType)) ::operator delete[](m_data);
  m_data = copy;
}
