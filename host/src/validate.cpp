// The host-visible contract, checked on any plug-in library.
#include <elf.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>

#include "host_internal.h"
#include "montage/host.h"

namespace montage {

namespace fs = std::filesystem;

namespace {

struct Elf32 {
  using Ehdr = Elf32_Ehdr;
  using Shdr = Elf32_Shdr;
  using Sym = Elf32_Sym;
  static unsigned Binding(unsigned char info) { return ELF32_ST_BIND(info); }
};
struct Elf64 {
  using Ehdr = Elf64_Ehdr;
  using Shdr = Elf64_Shdr;
  using Sym = Elf64_Sym;
  static unsigned Binding(unsigned char info) { return ELF64_ST_BIND(info); }
};

template <class Elf>
std::vector<std::string> DynamicSymbols(const std::vector<char>& image, const fs::path& file) {
  auto read = [&](std::uint64_t offset, auto& value) {
    if (offset > image.size() || image.size() - offset < sizeof value) {
      throw HostError(file.string() + " is a truncated ELF file");
    }
    std::memcpy(&value, image.data() + offset, sizeof value);
  };
  typename Elf::Ehdr header{};
  read(0, header);
  std::vector<typename Elf::Shdr> sections(header.e_shnum);
  for (std::size_t i = 0; i < sections.size(); ++i) read(header.e_shoff + i * header.e_shentsize, sections[i]);
  std::vector<std::string> names;
  for (const auto& section : sections) {
    if (section.sh_type != SHT_DYNSYM) continue;
    if (section.sh_link >= sections.size()) throw HostError(file.string() + " has a bad symbol table");
    const auto& strings = sections[section.sh_link];
    for (std::uint64_t offset = 0; offset + sizeof(typename Elf::Sym) <= section.sh_size;
         offset += sizeof(typename Elf::Sym)) {
      typename Elf::Sym symbol{};
      read(section.sh_offset + offset, symbol);
      const unsigned binding = Elf::Binding(symbol.st_info);
      if (symbol.st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK)) continue;
      const std::uint64_t at = std::uint64_t{strings.sh_offset} + symbol.st_name;
      if (symbol.st_name >= strings.sh_size || at >= image.size()) {
        throw HostError(file.string() + " has a bad symbol name");
      }
      names.emplace_back(image.data() + at, ::strnlen(image.data() + at, image.size() - at));
    }
  }
  std::ranges::sort(names);
  return names;
}

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text.empty() ? "none" : text;
}

bool Same(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

bool SameBits(const KeyFrame& a, const KeyFrame& b) {
  return Same(a.PosX, b.PosX) && Same(a.PosY, b.PosY) && Same(a.Scale, b.Scale) && Same(a.Opacity, b.Opacity) &&
         Same(a.Rotation, b.Rotation) && Same(a.Time, b.Time) && Same(a.Aux0, b.Aux0) && a.Aux1 == b.Aux1 &&
         a.Aux2 == b.Aux2;
}

// A failed expectation inside a check; its message is the check's detail.
struct Broken : HostError {
  using HostError::HostError;
};

void Expect(bool condition, const std::string& reason) {
  if (!condition) throw Broken(reason);
}

std::vector<int> InputIds(const IEffectMulti& effect) {
  std::vector<int> ids;
  for (const InputNode* node = effect.m_inputs; node != nullptr && ids.size() <= 64; node = node->next) {
    ids.push_back(node->id);
  }
  return ids;
}

std::string Ids(const std::vector<int>& ids) {
  std::ostringstream text;
  text << '[';
  for (std::size_t i = 0; i < ids.size(); ++i) text << (i ? " " : "") << ids[i];
  text << ']';
  return text.str();
}

// The keyframes GenerateKeyFrames returns for (index, count), released as the contract says.
std::vector<KeyFrame> Direct(IEffectMultiDLL& effect, int index, int count) {
  int n = 0;
  const std::unique_ptr<KeyFrame[]> frames(effect.GenerateKeyFrames(index, count, &n));
  if (frames == nullptr || n <= 0) return {};
  return {frames.get(), frames.get() + n};
}

class Validator {
 public:
  explicit Validator(const fs::path& library) : library_(library) {}

  std::vector<CheckResult> Run() {
    Check("exports exactly GetNumEffects and CreateEffect", [&] {
      const std::vector<std::string> symbols = ExportedSymbols(library_);
      Expect(symbols == std::vector<std::string>{"CreateEffect", "GetNumEffects"}, "exports " + Join(symbols));
      return std::string();
    });
    std::optional<Plugin> plugin;
    if (!Check("loads and resolves both exports", [&] {
          plugin = Plugin::Load(library_);
          return std::string();
        })) {
      return std::move(results_);
    }
    plugin_ = &*plugin;
    Check("GetNumEffects returns 1", [&] {
      const int effects = plugin_->NumEffects();
      Expect(effects == 1, "returns " + std::to_string(effects));
      return std::string();
    });
    CheckNames();
    CheckRange();
    CheckInputList();
    CheckSettingsCache();
    CheckKeyFrameSettings();
    Check("Release ends an effect with settings built", [&] {
      Effect effect = plugin_->CreateEffect();
      effect.SetInputCount(3);
      (void)effect.KeyFrames();
      return std::string();
    });
    return std::move(results_);
  }

 private:
  // Runs one check; its result goes into the list. Returns whether it passed.
  bool Check(const std::string& name, const std::function<std::string()>& body) {
    CheckResult result{name, false, {}};
    try {
      result.detail = CallPlugin(name_.empty() ? library_.filename().string() : name_, body);
      result.passed = true;
    } catch (const HostError& error) {
      result.detail = error.what();
    }
    results_.push_back(result);
    return result.passed;
  }

  void CheckNames() {
    Check("GetName and GetDisplayName agree", [&] {
      Effect effect = plugin_->CreateEffect();
      name_ = effect.Name();
      char display[CEffectSetting::kNameCapacity] = {};
      const int length = effect.Object().GetDisplayName(display, sizeof display);
      Expect(!name_.empty(), "GetName gives an empty name");
      Expect(name_ == display, "GetName gives \"" + name_ + "\", GetDisplayName \"" + display + "\"");
      Expect(length == static_cast<int>(name_.size()),
             "GetDisplayName returns " + std::to_string(length) + " for \"" + display + "\"");
      // A short buffer gets exactly `size` bytes and nothing past them.
      char bounded[8];
      std::memset(bounded, '#', sizeof bounded);
      effect.Object().GetName(bounded, 2);
      Expect(bounded[0] == name_[0] && bounded[1] == (name_.size() > 1 ? name_[1] : '\0') && bounded[2] == '#',
             "GetName(buffer, 2) writes other than the first 2 bytes of the name");
      return name_;
    });
  }

  void CheckRange() {
    Check("input range and default input count", [&] {
      Effect effect = plugin_->CreateEffect();
      int min = 0;
      int max = 0;
      effect.Object().GetInputRange(&min, &max);
      Expect(min >= 1, "minimum " + std::to_string(min) + " is below 1");
      Expect(max == -1 || max >= min,
             "maximum " + std::to_string(max) + " is below the minimum " + std::to_string(min));
      const int expected = max >= 0 ? static_cast<int>((std::int64_t{min} + max + 1) / 2) : std::max(min, 4);
      const int proposed = effect.Object().GetDefaultInputCount();
      Expect(proposed == expected,
             "default input count " + std::to_string(proposed) + ", expected " + std::to_string(expected));
      return "minimum " + std::to_string(min) + ", maximum " + (max < 0 ? "none" : std::to_string(max)) + ", default " +
             std::to_string(proposed);
    });
  }

  void CheckInputList() {
    Check("input-list operations", [&] {
      Effect effect = plugin_->CreateEffect();
      IEffectMultiDLL& e = effect.Object();
      auto expectList = [&](const std::vector<int>& ids, const std::string& after) {
        Expect(InputIds(e) == ids, "after " + after + " the list is " + Ids(InputIds(e)) + ", not " + Ids(ids));
        Expect(e.GetInputCount() == static_cast<int>(ids.size()), "after " + after + " GetInputCount is wrong");
      };
      auto expectResult = [&](int result, int expected, const std::string& call) {
        Expect(result == expected, call + " returns " + std::to_string(result) + ", not " + std::to_string(expected));
      };
      expectList({}, "creation");
      expectResult(e.ReplaceInput(0, 9), 0, "ReplaceInput(0) on an empty list");
      expectResult(e.RemoveInput(0), 0, "RemoveInput(0) on an empty list");
      expectResult(e.InsertInput(5, 1), 0, "InsertInput(5) on an empty list");
      expectResult(e.InsertInput(-1, 2), 1, "InsertInput(-1)");
      expectResult(e.InsertInput(-1, 3), 2, "InsertInput(-1)");
      expectList({1, 2, 3}, "three appends");
      expectResult(e.InsertInput(0, 7), 1, "InsertInput(0)");
      expectList({1, 7, 2, 3}, "InsertInput(0)");
      expectResult(e.RemoveInput(1), 1, "RemoveInput(1)");
      expectResult(e.ReplaceInput(-3, 8), 1, "ReplaceInput(-3)");
      expectList({8, 2, 3}, "ReplaceInput(-3)");
      expectResult(e.ReplaceInput(3, 9), 0, "ReplaceInput(3) past the end");
      expectResult(e.RemoveInput(3), 0, "RemoveInput(3) past the end");
      expectResult(e.RemoveInput(2), 1, "RemoveInput(2)");
      expectList({8, 2}, "RemoveInput(2)");
      e.Reset();
      expectList({}, "Reset");
      Expect(e.m_inputs == nullptr, "Reset leaves m_inputs set");
      return std::string();
    });
  }

  void CheckSettingsCache() {
    Check("settings cache", [&] {
      Effect effect = plugin_->CreateEffect();
      IEffectMultiDLL& e = effect.Object();
      int n = -1;
      Expect(e.GetSettings(&n) == nullptr && n == 0, "GetSettings without inputs is not null with 0");
      Expect(e.GetSettingsFor(0, &n) == nullptr && n == 0, "GetSettingsFor(0) is not null with 0");
      effect.SetInputCount(3);
      const CEffectSetting* first = e.GetSettings(&n);
      Expect(first != nullptr && n == 3, "GetSettings for 3 inputs gives " + std::to_string(n) + " settings");
      Expect(e.GetSettings(&n) == first && e.GetSettingsFor(3, &n) == first,
             "the settings for an unchanged count are not the same array");
      const CEffectSetting* rebuilt = e.GetSettingsFor(4, &n);
      Expect(rebuilt != nullptr && n == 4, "GetSettingsFor(4) gives " + std::to_string(n) + " settings");
      for (int index = 0; index < 4; ++index) {
        const KeyFrame* frames = rebuilt[index].KeyFrames();
        const std::vector<KeyFrame> kept =
            frames ? std::vector<KeyFrame>(frames, frames + rebuilt[index].m_count) : std::vector<KeyFrame>();
        const std::vector<KeyFrame> direct = Direct(e, index, 4);
        Expect(std::ranges::equal(kept, direct, SameBits),
               "after a new count input " + std::to_string(index) + " keeps keyframes of the old count");
      }
      Expect(e.GetSettingsFor(4, &n) == rebuilt, "the rebuilt settings are not kept");
      return std::string();
    });
  }

  void CheckKeyFrameSettings() {
    // The settings must be well formed for any count, also below the template's
    // minimum (which is advisory); the values need to be usable within its range.
    std::set<int> counts = {1, 2};
    std::set<int> designed;
    {
      Effect effect = plugin_->CreateEffect();
      int min = 1;
      int max = -1;
      effect.Object().GetInputRange(&min, &max);
      const int proposed = effect.Object().GetDefaultInputCount();
      for (const int count : {min, min + 3, proposed}) {
        if (count < 1 || count > 1000) continue;
        counts.insert(count);
        if (count >= min && (max < 0 || count <= max)) designed.insert(count);
      }
    }
    auto list = [](const std::set<int>& values) {
      std::string text;
      for (const int value : values) text += (text.empty() ? "" : ", ") + std::to_string(value);
      return "input counts " + text;
    };
    Check("keyframe settings named KeyFrames / Key Frames, type 3, same as GenerateKeyFrames", [&] {
      Effect effect = plugin_->CreateEffect();
      for (const int count : counts) {
        int n = 0;
        const CEffectSetting* settings = effect.Object().GetSettingsFor(count, &n);
        Expect(settings != nullptr && n == count,
               std::to_string(count) + " inputs give " + std::to_string(n) + " settings");
        for (int index = 0; index < count; ++index) {
          const CEffectSetting& s = settings[index];
          const std::string where = "input " + std::to_string(index) + " of " + std::to_string(count);
          const std::vector<KeyFrame> direct = Direct(effect.Object(), index, count);
          if (s.m_type == CEffectSetting::kTypeNone) {
            Expect(s.m_data == nullptr && direct.empty(),
                   where + ": empty setting, but GenerateKeyFrames has keyframes");
            continue;
          }
          Expect(s.m_type == CEffectSetting::kTypeKeyFrames, where + ": type " + std::to_string(s.m_type));
          Expect(::strnlen(s.m_name, sizeof s.m_name) < sizeof s.m_name && std::string(s.m_name) == "KeyFrames",
                 where + ": name is not KeyFrames");
          Expect(::strnlen(s.m_displayName, sizeof s.m_displayName) < sizeof s.m_displayName &&
                     std::string(s.m_displayName) == "Key Frames",
                 where + ": display name is not Key Frames");
          Expect(s.m_count >= 1 && s.m_data != nullptr, where + ": a keyframe setting without keyframes");
          Expect(std::ranges::equal(std::vector<KeyFrame>(s.KeyFrames(), s.KeyFrames() + s.m_count), direct, SameBits),
                 where + ": differs from GenerateKeyFrames");
        }
      }
      return list(counts);
    });
    Check("keyframe values are finite", [&] {
      Effect effect = plugin_->CreateEffect();
      for (const int count : designed) {
        int n = 0;
        const CEffectSetting* settings = effect.Object().GetSettingsFor(count, &n);
        for (int index = 0; settings != nullptr && index < n; ++index) {
          const KeyFrame* frames = settings[index].KeyFrames();
          for (int k = 0; frames != nullptr && k < settings[index].m_count; ++k) {
            const KeyFrame& f = frames[k];
            Expect(std::isfinite(f.PosX) && std::isfinite(f.PosY) && std::isfinite(f.Scale) &&
                       std::isfinite(f.Opacity) && std::isfinite(f.Rotation) && std::isfinite(f.Time) &&
                       std::isfinite(f.Aux0),
                   "keyframe " + std::to_string(k) + " of input " + std::to_string(index) + " of " +
                       std::to_string(count) + " has a value that is not finite");
          }
        }
      }
      return list(designed);
    });
  }

  fs::path library_;
  const Plugin* plugin_ = nullptr;
  std::string name_;
  std::vector<CheckResult> results_;
};

}  // namespace

std::vector<std::string> ExportedSymbols(const fs::path& library) {
  std::ifstream file(library, std::ios::binary);
  if (!file) throw HostError("cannot read " + library.string());
  const std::vector<char> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (image.size() < EI_NIDENT || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0) {
    throw HostError(library.string() + " is not an ELF file");
  }
  if (image[EI_CLASS] == ELFCLASS32) return DynamicSymbols<Elf32>(image, library);
  if (image[EI_CLASS] == ELFCLASS64) return DynamicSymbols<Elf64>(image, library);
  throw HostError(library.string() + " has an unknown ELF class");
}

std::vector<CheckResult> ValidatePlugin(const fs::path& library) { return Validator(library).Run(); }

}  // namespace montage
