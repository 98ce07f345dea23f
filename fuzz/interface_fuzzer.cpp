// Interface fuzzer. Every built plug-in is loaded once; each input picks one with its
// first byte and then plays a sequence of host calls, decoded from the following bytes,
// on two effect objects of that plug-in. After every call both objects are checked
// against a reference model kept here:
//   - the input ids in list order, walked from m_inputs along next and back along prev,
//     and the input count;
//   - the three host values, read from the fields and through the interface;
//   - the settings array kept by the object: returned again at the same address while
//     its count is asked for, and, whenever it is returned and at the end of the input,
//     equal element by element to the settings a fresh object builds for that count.
// Results of the calls themselves (positions, 0/1 results, names, keyframe arrays) are
// checked against the same model. Any mismatch aborts with a message; the sanitizers
// catch memory and undefined-behaviour faults on the way.
//
// Input format (all integers big-endian):
//   byte 0        plug-in, modulo the number of plug-ins (sorted by name)
//   then per call one operation byte: bit 7 picks the object, the rest modulo kOpCount
//   the operation; then its arguments, each introduced by a selector byte (see Input).
// MONTAGE_FUZZ_PLUGIN=<path> restricts the run to that one library.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "built_plugins.h"
#include "montage/effect.h"
#include "montage/host.h"

namespace {

// Counts asked of GetSettingsFor stay at or below this, so that no input can make a
// plug-in build gigabytes of settings.
constexpr int kMaxSettingsCount = 4096;
// Counts above kSmallCount, added up over one input, stay within this budget.
constexpr int kSmallCount = 64;
constexpr int kLargeCountBudget = 4 * kMaxSettingsCount;
// Positive counts passed directly to GenerateKeyFrames stay at or below this, or lie in
// the top window below INT_MAX. In between, a template whose keyframe count grows with
// the input count may rightly answer with gigabytes; in the top window such a keyframe
// count lies beyond 32-bit sizes and fails with bad_alloc before anything is allocated.
constexpr int kMaxDirectCount = 1 << 16;
constexpr int kTopWindow = 1 << 16;
// Name buffers the fuzzer hands out are at most this large, and exactly as large as the
// size passed with them, so any write past the size is caught.
constexpr int kMaxNameBuffer = 300;
constexpr unsigned char kUntouched = 0x5A;

const char* g_current = "";  // plug-in of the current input, for messages

[[noreturn]] void Fail(int line, const char* what) {
  std::fprintf(stderr, "interface_fuzzer.cpp:%d: %s: check failed: %s\n", line, g_current, what);
  std::abort();
}
#define FUZZ_CHECK(condition)                     \
  do {                                            \
    if (!(condition)) Fail(__LINE__, #condition); \
  } while (false)

// ---- Decoding ------------------------------------------------------------------------

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  [[nodiscard]] bool Empty() const { return position_ >= size_; }
  std::uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
  std::int32_t Raw32() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | Byte();
    return static_cast<std::int32_t>(value);
  }
  bool Flag() { return (Byte() & 1) != 0; }

  // Any int: small values, values around `length` (the list length or a name length),
  // boundaries, or four raw bytes.
  std::int32_t Int(int length) {
    static constexpr std::int32_t kBoundaries[] = {INT_MIN, INT_MIN + 1, -65536,  -2,          -1,
                                                   INT_MAX, INT_MAX - 1, 1 << 30, INT_MAX / 2, 1 << 24};
    switch (Byte() % 8) {
      case 0:
      case 1:
      case 2:
        return Byte() % 40 - 8;
      case 3:
        return length + Byte() % 9 - 4;
      case 4:
        return kBoundaries[Byte() % std::size(kBoundaries)];
      default:
        return Raw32();
    }
  }

  // A count for GetSettingsFor: any value up to kMaxSettingsCount while the input's
  // budget of large counts lasts; other large values fold into 1..kSmallCount, which
  // keeps most builds small and every input quick.
  std::int32_t SettingsCount(int length) {
    const std::int32_t count = Int(length);
    if (count <= kMaxSettingsCount && Afford(count)) return count;
    return 1 + count % kSmallCount;
  }

  // Whether a settings build for `count` fits the input's budget; takes it if so.
  bool Afford(std::int32_t count) {
    if (count <= kSmallCount) return true;
    if (count > largeBudget_) return false;
    largeBudget_ -= count;
    return true;
  }

  // A count for a direct GenerateKeyFrames call (see kMaxDirectCount).
  std::int32_t DirectCount(int length) {
    const std::int32_t count = Int(length);
    if (count <= kMaxDirectCount || count >= INT_MAX - kTopWindow) return count;
    return INT_MAX - count % kTopWindow;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
  std::int32_t largeBudget_ = kLargeCountBudget;
};

// ---- Settings as plain values --------------------------------------------------------

struct SettingCopy {
  std::int32_t type;
  std::int32_t paramA;
  std::int32_t paramB;
  std::int32_t count;
  bool hasData;
  std::string name;
  std::string displayName;
  std::vector<KeyFrame> frames;
};
using SettingsCopy = std::vector<SettingCopy>;

std::string_view NameField(const char (&field)[CEffectSetting::kNameCapacity]) {
  return {field, ::strnlen(field, sizeof field)};
}

// Copies one setting after checking that it is either empty or a well-formed keyframe
// setting.
SettingCopy CopySetting(const CEffectSetting& setting) {
  SettingCopy copy{setting.m_type,
                   setting.m_paramA,
                   setting.m_paramB,
                   setting.m_count,
                   setting.m_data != nullptr,
                   std::string(NameField(setting.m_name)),
                   std::string(NameField(setting.m_displayName)),
                   {}};
  if (setting.m_type == CEffectSetting::kTypeKeyFrames) {
    FUZZ_CHECK(setting.m_count > 0 && setting.KeyFrames() != nullptr);
    FUZZ_CHECK(copy.name == "KeyFrames" && copy.displayName == "Key Frames");
    FUZZ_CHECK(setting.m_paramA == 0 && setting.m_paramB == 0);
    copy.frames.assign(setting.KeyFrames(), setting.KeyFrames() + setting.m_count);
  } else {
    FUZZ_CHECK(setting.m_type == CEffectSetting::kTypeNone);
    FUZZ_CHECK(setting.m_data == nullptr && setting.m_count == 0);
    FUZZ_CHECK(setting.m_paramA == -1 && setting.m_paramB == -1);
    FUZZ_CHECK(copy.name.empty() && copy.displayName.empty());
  }
  return copy;
}

// `count` keyframes at `a` and at `b`, equal bit for bit.
bool SameFrames(const KeyFrame* a, const KeyFrame* b, std::size_t count) {
  return std::equal(a, a + count, b, [](const KeyFrame& x, const KeyFrame& y) { return montage::SameBits(x, y); });
}

// A setting in place against a copy of a well-formed one.
bool SameSetting(const CEffectSetting& a, const SettingCopy& b) {
  return a.m_type == b.type && a.m_paramA == b.paramA && a.m_paramB == b.paramB && a.m_count == b.count &&
         (a.m_data != nullptr) == b.hasData && NameField(a.m_name) == b.name &&
         NameField(a.m_displayName) == b.displayName &&
         (b.frames.empty() || SameFrames(a.KeyFrames(), b.frames.data(), b.frames.size()));
}

// ---- Plug-ins ------------------------------------------------------------------------

struct Plugin {
  std::optional<montage::Plugin> library;
  std::string name;
  GetNumEffectsFn getNumEffects = nullptr;
  CreateEffectFn create = nullptr;
  // What a first object reported; every object must report the same.
  int minInputs = 0;
  int maxInputs = 0;
  int defaultCount = 0;
  int templateCode = 0;
  // Settings a fresh object built, by count; emptied after every input.
  std::map<int, SettingsCopy> freshBuilds;
};

std::vector<Plugin> g_plugins;

void LoadPlugin(const std::string& name, const char* path) {
  Plugin plugin;
  try {
    // Kept loaded for the whole run: the fuzzer's coverage counters live in the library.
    plugin.library = montage::Plugin::Load(path);
  } catch (const montage::HostError& error) {
    std::fprintf(stderr, "%s\n", error.what());
    std::exit(1);
  }
  plugin.name = name;
  plugin.getNumEffects = plugin.library->Exports().getNumEffects;
  plugin.create = plugin.library->Exports().createEffect;
  IEffectMultiDLL* effect = plugin.create();
  effect->GetInputRange(&plugin.minInputs, &plugin.maxInputs);
  plugin.defaultCount = effect->GetDefaultInputCount();
  plugin.templateCode = effect->GetTemplateCode();
  effect->Release();
  g_plugins.push_back(std::move(plugin));
}

// The settings a fresh object of `plugin` builds for `count` inputs (1..kMaxSettingsCount).
const SettingsCopy& FreshBuild(Plugin& plugin, int count) {
  const auto found = plugin.freshBuilds.find(count);
  if (found != plugin.freshBuilds.end()) return found->second;
  IEffectMultiDLL* fresh = plugin.create();
  int n = -1;
  const CEffectSetting* settings = fresh->GetSettingsFor(count, &n);
  FUZZ_CHECK(n == count && settings != nullptr);
  SettingsCopy copy;
  copy.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) copy.push_back(CopySetting(settings[i]));
  fresh->Release();
  return plugin.freshBuilds.emplace(count, std::move(copy)).first->second;
}

// ---- Objects and their model ---------------------------------------------------------

struct Model {
  std::vector<std::int32_t> ids;
  std::int32_t hostA = 0;
  std::int32_t hostB = 0;
  std::int32_t hostValue = 0;
  int keptCount = 0;                     // count of the settings the object keeps; 0: none
  const CEffectSetting* kept = nullptr;  // where they are
};

struct Subject {
  IEffectMultiDLL* effect = nullptr;
  Model model;
};

// Position a replace or remove acts on: <= 0 is the first.
std::size_t TargetPosition(std::int32_t index) { return index <= 0 ? 0 : static_cast<std::size_t>(index); }

void CheckSettings(Plugin& plugin, const CEffectSetting* settings, int count) {
  const SettingsCopy& fresh = FreshBuild(plugin, count);
  for (int i = 0; i < count; ++i) FUZZ_CHECK(SameSetting(settings[i], fresh[static_cast<std::size_t>(i)]));
}

// The result of GetSettings or GetSettingsFor for `count`, against the model, which
// then follows the object.
void ExpectSettings(Plugin& plugin, Subject& subject, int count, const CEffectSetting* settings) {
  Model& model = subject.model;
  if (count < 1) {
    FUZZ_CHECK(settings == nullptr);
    return;
  }
  FUZZ_CHECK(settings != nullptr);
  if (count == model.keptCount) {
    FUZZ_CHECK(settings == model.kept);
  } else {
    // The new array is allocated while the old one is still alive.
    FUZZ_CHECK(settings != model.kept);
    model.keptCount = count;
    model.kept = settings;
  }
  CheckSettings(plugin, settings, count);
}

// After every call; `contents` adds a comparison of the kept settings with a fresh build
// (the settings calls compare what they return anyway).
void CheckObject(Plugin& plugin, Subject& subject, bool contents) {
  IEffectMultiDLL& effect = *subject.effect;
  const Model& model = subject.model;

  // The list, forward and back; never more nodes than the model has.
  const InputNode* previous = nullptr;
  const InputNode* node = effect.m_inputs;
  for (const std::int32_t id : model.ids) {
    FUZZ_CHECK(node != nullptr);
    FUZZ_CHECK(node->id == id);
    FUZZ_CHECK(node->prev == previous);
    previous = node;
    node = node->next;
  }
  FUZZ_CHECK(node == nullptr);
  FUZZ_CHECK(effect.GetInputCount() == static_cast<int>(model.ids.size()));

  FUZZ_CHECK(effect.m_hostA == model.hostA && effect.m_hostB == model.hostB);
  FUZZ_CHECK(effect.m_hostValue == model.hostValue);
  int a = ~model.hostA;
  int b = ~model.hostB;
  effect.GetHostPair(&a, &b);
  FUZZ_CHECK(a == model.hostA && b == model.hostB);
  FUZZ_CHECK(effect.GetHostValue() == model.hostValue);

  // The kept settings: same address, no rebuild, unchanged contents.
  if (model.keptCount > 0) {
    int n = -1;
    FUZZ_CHECK(effect.GetSettingsFor(model.keptCount, &n) == model.kept);
    FUZZ_CHECK(n == model.keptCount);
    if (contents) CheckSettings(plugin, model.kept, model.keptCount);
  }
}

// ---- Operations ----------------------------------------------------------------------

enum Operation : std::uint8_t {
  kInsertInput,
  kReplaceInput,
  kRemoveInput,
  kGetSettings,
  kGetSettingsFor,
  kReset,
  kSetHostPair,
  kSetHostValue,
  kGetName,
  kGetDisplayName,
  kGenerateKeyFrames,
  kConstants,
  kRecreate,
  kOpCount
};

// A name buffer for `size`: exactly `size` bytes when that is small and positive, a few
// guard bytes otherwise; null when asked for. Filled with kUntouched.
std::vector<char> NameBuffer(int size) {
  const int bytes = size > 0 && size <= kMaxNameBuffer ? size : 8;
  return std::vector<char>(static_cast<std::size_t>(bytes), static_cast<char>(kUntouched));
}

bool Untouched(const std::vector<char>& buffer, std::size_t from) {
  return std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(from), buffer.end(),
                     [](char c) { return c == static_cast<char>(kUntouched); });
}

void PlayGetName(const Plugin& plugin, IEffectMultiDLL& effect, Input& input, bool display) {
  const auto nameLength = static_cast<int>(plugin.name.size());
  int size = input.Int(nameLength);
  const bool nullBuffer = input.Flag();
  if (size > kMaxNameBuffer && !nullBuffer) size = kMaxNameBuffer;
  std::vector<char> buffer = NameBuffer(size);
  char* target = nullBuffer ? nullptr : buffer.data();
  const bool writes = target != nullptr && size > 0;

  if (!display) {
    FUZZ_CHECK(effect.GetName(target, size) == target);
    if (!writes) {
      FUZZ_CHECK(Untouched(buffer, 0));
      return;
    }
    // strncpy: the name's first `size` bytes, then zeros up to `size`.
    for (int i = 0; i < size; ++i) {
      const char expected = i < nameLength ? plugin.name[static_cast<std::size_t>(i)] : '\0';
      FUZZ_CHECK(buffer[static_cast<std::size_t>(i)] == expected);
    }
    return;
  }
  const int copied = effect.GetDisplayName(target, size);
  if (!writes) {
    FUZZ_CHECK(copied == 0);
    FUZZ_CHECK(Untouched(buffer, 0));
    return;
  }
  // At most size - 1 characters and a terminator.
  FUZZ_CHECK(copied == std::min(nameLength, size - 1));
  FUZZ_CHECK(std::memcmp(buffer.data(), plugin.name.data(), static_cast<std::size_t>(copied)) == 0);
  FUZZ_CHECK(buffer[static_cast<std::size_t>(copied)] == '\0');
}

void PlayGenerateKeyFrames(Plugin& plugin, IEffectMultiDLL& effect, Input& input, int length) {
  const std::int32_t index = input.Int(length);
  const std::int32_t count = input.DirectCount(length);
  if (input.Flag()) {
    FUZZ_CHECK(effect.GenerateKeyFrames(index, count, nullptr) == nullptr);
    return;
  }
  const bool inRange = index >= 0 && index < count;
  int n = -7;
  std::unique_ptr<KeyFrame[]> frames;
  try {
    frames.reset(effect.GenerateKeyFrames(index, count, &n));
  } catch (const std::bad_alloc&) {
    // Only an answer beyond 32-bit sizes may fail: far outside what settings are built for.
    FUZZ_CHECK(!inRange || count > kMaxSettingsCount);
    return;
  }
  FUZZ_CHECK(n >= 0);
  FUZZ_CHECK((frames == nullptr) == (n == 0));
  // Compared with a fresh build where the input's budget allows one.
  if (inRange && count <= kMaxSettingsCount && input.Afford(count)) {
    const SettingCopy& setting = FreshBuild(plugin, count)[static_cast<std::size_t>(index)];
    FUZZ_CHECK(setting.frames.size() == static_cast<std::size_t>(n));
    FUZZ_CHECK(SameFrames(setting.frames.data(), frames.get(), setting.frames.size()));
  }
}

void PlayConstants(const Plugin& plugin, IEffectMultiDLL& effect, Input& input) {
  FUZZ_CHECK(plugin.getNumEffects() == 1);
  FUZZ_CHECK(effect.GetEffectKind() == 1);
  FUZZ_CHECK(effect.GetFlags() == 0);
  const std::int32_t a = input.Raw32();
  const std::int32_t b = input.Raw32();
  FUZZ_CHECK(effect.Process(a, b, input.Raw32()) == 0);
  int min = 0;
  int max = 0;
  const std::uint8_t nulls = input.Byte();
  effect.GetInputRange((nulls & 1) != 0 ? nullptr : &min, (nulls & 2) != 0 ? nullptr : &max);
  if ((nulls & 1) == 0) FUZZ_CHECK(min == plugin.minInputs);
  if ((nulls & 2) == 0) FUZZ_CHECK(max == plugin.maxInputs);
  effect.GetHostPair((nulls & 4) != 0 ? nullptr : &min, (nulls & 8) != 0 ? nullptr : &max);
  FUZZ_CHECK(effect.GetDefaultInputCount() == plugin.defaultCount);
  FUZZ_CHECK(effect.GetTemplateCode() == plugin.templateCode);
}

void Play(Plugin& plugin, Subject& subject, std::uint8_t operation, Input& input) {
  IEffectMultiDLL& effect = *subject.effect;
  Model& model = subject.model;
  const auto length = static_cast<int>(model.ids.size());
  switch (operation) {
    case kInsertInput: {
      const std::int32_t index = input.Int(length);
      const std::int32_t id = input.Int(length);
      // The anchor is the node at `index`, or the last one; the first input lands at 0.
      const int anchor = index < 0 || index >= length ? length - 1 : index;
      FUZZ_CHECK(effect.InsertInput(index, id) == anchor + 1);
      model.ids.insert(model.ids.begin() + (anchor + 1), id);
      break;
    }
    case kReplaceInput: {
      const std::int32_t index = input.Int(length);
      const std::int32_t id = input.Int(length);
      const std::size_t position = TargetPosition(index);
      const bool exists = position < model.ids.size();
      FUZZ_CHECK(effect.ReplaceInput(index, id) == (exists ? 1 : 0));
      if (exists) model.ids[position] = id;
      break;
    }
    case kRemoveInput: {
      const std::int32_t index = input.Int(length);
      const std::size_t position = TargetPosition(index);
      const bool exists = position < model.ids.size();
      FUZZ_CHECK(effect.RemoveInput(index) == (exists ? 1 : 0));
      if (exists) model.ids.erase(model.ids.begin() + static_cast<std::ptrdiff_t>(position));
      break;
    }
    case kGetSettings: {
      int n = -1;
      const bool withCount = !input.Flag();
      const CEffectSetting* settings = effect.GetSettings(withCount ? &n : nullptr);
      if (withCount) FUZZ_CHECK(n == length);
      ExpectSettings(plugin, subject, length, settings);
      break;
    }
    case kGetSettingsFor: {
      const std::int32_t count = input.SettingsCount(length);
      int n = -1;
      const bool withCount = !input.Flag();
      const CEffectSetting* settings = effect.GetSettingsFor(count, withCount ? &n : nullptr);
      if (withCount) FUZZ_CHECK(n == count);
      ExpectSettings(plugin, subject, count, settings);
      break;
    }
    case kReset:
      effect.Reset();
      model.ids.clear();
      model.hostA = model.hostB = model.hostValue = 0;
      break;
    case kSetHostPair:
      model.hostA = input.Int(length);
      model.hostB = input.Int(length);
      effect.SetHostPair(model.hostA, model.hostB);
      break;
    case kSetHostValue:
      model.hostValue = input.Int(length);
      effect.SetHostValue(model.hostValue);
      break;
    case kGetName:
    case kGetDisplayName:
      PlayGetName(plugin, effect, input, operation == kGetDisplayName);
      break;
    case kGenerateKeyFrames:
      PlayGenerateKeyFrames(plugin, effect, input, length);
      break;
    case kConstants:
      PlayConstants(plugin, effect, input);
      break;
    case kRecreate:
      effect.Release();
      subject = Subject{plugin.create(), {}};
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  if (const char* path = std::getenv("MONTAGE_FUZZ_PLUGIN")) {
    std::string name = path;
    name = name.substr(name.find_last_of('/') + 1);
    name = name.substr(0, name.find('.'));
    LoadPlugin(name, path);
  } else {
    for (const BuiltPlugin& plugin : kBuiltPlugins) LoadPlugin(std::string(plugin.name), plugin.path);
    std::sort(g_plugins.begin(), g_plugins.end(), [](const Plugin& a, const Plugin& b) { return a.name < b.name; });
  }
  std::fprintf(stderr, "interface fuzzer: %zu plug-in(s)\n", g_plugins.size());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  Plugin& plugin = g_plugins[input.Byte() % g_plugins.size()];
  g_current = plugin.name.c_str();

  Subject subjects[2] = {{plugin.create(), {}}, {plugin.create(), {}}};
  while (!input.Empty()) {
    const std::uint8_t code = input.Byte();
    Play(plugin, subjects[code >> 7], static_cast<std::uint8_t>((code & 0x7F) % kOpCount), input);
    for (Subject& each : subjects) CheckObject(plugin, each, false);
  }
  for (Subject& subject : subjects) {
    CheckObject(plugin, subject, true);
    subject.effect->Release();
  }
  // Nothing made for this input outlives it, so libFuzzer's leak check sees every
  // allocation matched by a release.
  plugin.freshBuilds.clear();
  return 0;
}
