// A plug-in whose every answer comes from a script the host fuzzer sets: names of any
// bytes, any input range and counts, settings arrays of any length and type, keyframes
// of any values. It keeps to memory safety (every array it hands out is as long as it
// says, or longer than any count the fuzzer registers) but to nothing else, which is
// what a host must survive from a plug-in it loads.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "effect_template.h"
#include "montage/effect.h"

namespace {

// The script and how far the plug-in has read it; empty answers once it is used up.
std::vector<std::uint8_t> g_script;
std::size_t g_at = 0;

std::uint8_t Byte() { return g_at < g_script.size() ? g_script[g_at++] : 0; }

std::int32_t Int() {
  static constexpr std::int32_t kNotable[] = {0, 1, -1, 2, 3, 4, 16, 100, INT32_MAX, INT32_MIN, INT32_MAX - 3, 1000};
  const std::uint8_t kind = Byte();
  if (kind < 200) return kNotable[kind % std::size(kNotable)];
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = (value << 8) | Byte();
  return static_cast<std::int32_t>(value);
}

double Double() {
  static constexpr double kNotable[] = {
      0.0, 1.0, 0.5, -0.0, -1.0, 2.77, 1e300, -1e300, 5e-324, 0.25, 1.0000000000000002};
  const std::uint8_t kind = Byte();
  if (kind < 160) return kNotable[kind % std::size(kNotable)];
  std::uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = (bits << 8) | Byte();
  double value = 0;
  std::memcpy(&value, &bits, sizeof value);  // NaNs and infinities included
  return value;
}

// A name of up to 300 bytes, of any bytes.
std::vector<char> Name() {
  std::vector<char> name(Byte() % 40 == 39 ? 300 : Byte() % 24);
  for (char& c : name) c = static_cast<char>(Byte());
  return name;
}

void CopyBytes(const std::vector<char>& name, char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return;
  const std::size_t copied = std::min(name.size(), static_cast<std::size_t>(size));
  if (copied > 0) std::memcpy(buffer, name.data(), copied);
  std::memset(buffer + copied, 0, static_cast<std::size_t>(size) - copied);
}

class CEffScripted final : public IEffectMultiDLL {
 public:
  char* GetName(char* buffer, int size) override {
    CopyBytes(Name(), buffer, size);
    return buffer;
  }
  int GetDisplayName(char* buffer, int size) override {
    CopyBytes(Name(), buffer, size);
    if (buffer != nullptr && size > 0) buffer[size - 1] = '\0';
    return Int();
  }
  int Process(std::int32_t, std::int32_t, std::int32_t) override { return 0; }
  void GetInputRange(int* min, int* max) override {
    if (min != nullptr) *min = Int();
    if (max != nullptr) *max = Int();
  }
  int GetDefaultInputCount() override { return Int(); }
  int GetTemplateCode() override { return Int(); }
  int GetInputCount() override { return Int(); }
  int InsertInput(int, int) override { return Int(); }
  int ReplaceInput(int, int) override { return Byte() & 1; }
  int RemoveInput(int) override { return Byte() & 1; }
  CEffectSetting* GetSettingsFor(int, int* n) override { return Build(n); }
  CEffectSetting* GetSettings(int* n) override { return Build(n); }
  void Release() override { delete this; }
  KeyFrame* GenerateKeyFrames(int, int, int* n) override {
    const int count = Byte() % 8;
    if (n != nullptr) *n = count;
    if (count == 0) return nullptr;
    auto* frames = new KeyFrame[static_cast<std::size_t>(count)];
    for (int k = 0; k < count; ++k) Fill(frames[k]);
    return frames;
  }

 private:
  ~CEffScripted() override { delete[] settings_; }

  static void Fill(KeyFrame& frame) {
    frame.PosX = Double();
    frame.PosY = Double();
    frame.Scale = Double();
    frame.Opacity = Double();
    frame.Rotation = Double();
    frame.Time = Double();
    frame.Aux0 = Double();
    frame.Aux1 = Int();
    frame.Aux2 = Int();
  }

  // A new settings array of up to 70 settings (kept until the next one), with a count
  // that may or may not be its length, or null. A count up to 70 that exceeds the length
  // grows the array to it, so the array is never shorter than a count the fuzzer can
  // register (at most 64 inputs): a plug-in that lies about the length of its own array
  // is beyond what any host can detect, and would only make the fuzzer report itself.
  CEffectSetting* Build(int* n) {
    delete[] settings_;
    settings_ = nullptr;
    const std::uint8_t shape = Byte();
    int length = shape % 71;
    const int count = (shape & 0x80) != 0 ? Int() : length;
    if (count > length && count <= 70) length = count;
    if (n != nullptr) *n = count;
    if ((shape & 0x40) != 0 || length == 0) return nullptr;
    settings_ = new CEffectSetting[static_cast<std::size_t>(length)];
    for (int i = 0; i < length; ++i) {
      CEffectSetting& setting = settings_[i];
      const std::uint8_t kind = Byte();
      setting.m_type =
          kind % 5 == 0 ? Int() : (kind % 5 == 1 ? CEffectSetting::kTypeNone : CEffectSetting::kTypeKeyFrames);
      if (setting.m_type != CEffectSetting::kTypeKeyFrames) continue;
      const int frames = Byte() % 12;
      // A keyframe setting may claim any count without a buffer; with one, the count
      // is the buffer's length.
      if (frames == 11) {
        setting.m_count = Int();
        continue;
      }
      setting.m_count = frames;
      if (frames == 0) continue;
      auto* data = static_cast<KeyFrame*>(::operator new[](sizeof(KeyFrame) * static_cast<std::size_t>(frames)));
      for (int k = 0; k < frames; ++k) Fill(*new (data + k) KeyFrame);
      setting.m_data = data;
    }
    return settings_;
  }

  CEffectSetting* settings_ = nullptr;
};

}  // namespace

// The script for the calls that follow.
extern "C" [[gnu::visibility("default")]] void MontageScriptPlugin(const std::uint8_t* data, std::size_t size) {
  g_script.assign(data, data + size);
  g_at = 0;
}

extern "C" [[gnu::visibility("default")]] int GetNumEffects() { return 1; }
extern "C" [[gnu::visibility("default")]] IEffectMultiDLL* CreateEffect() { return new CEffScripted(); }

MONTAGE_STRING_TABLE({IDS_EFFECT_NAME, "Scripted"})
