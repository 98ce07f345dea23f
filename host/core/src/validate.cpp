// The host-visible contract, checked on any plug-in library, in this process or in a
// child process.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <sstream>

#include "call_plugin.h"
#include "montage/host.h"
#include "probe.h"
#include "validator.h"

namespace montage {

namespace fs = std::filesystem;

namespace {

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text.empty() ? "none" : text;
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

// Runs the checks in order and hands each result to `onResult` as soon as it is known.
class Validator {
 public:
  Validator(const fs::path& library, std::function<void(const std::string&)> onBegin,
            std::function<void(const CheckResult&)> onResult)
      : library_(library), onBegin_(std::move(onBegin)), onResult_(std::move(onResult)) {}

  void Run() {
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
      return;
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
  }

 private:
  // Runs one check; its result goes into the list. Returns whether it passed.
  bool Check(const std::string& name, const std::function<std::string()>& body) {
    onBegin_(name);
    CheckResult result{name, false, {}};
    try {
      result.detail = CallPlugin(name_.empty() ? library_.filename().string() : name_, body);
      result.passed = true;
    } catch (const HostError& error) {
      result.detail = error.what();
    }
    onResult_(result);
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
        Expect(SameBits(KeyFramesOf(rebuilt[index]), GenerateKeyFrames(e, index, 4)),
               "after a new count input " + std::to_string(index) + " keeps keyframes of the old count");
      }
      Expect(e.GetSettingsFor(4, &n) == rebuilt, "the rebuilt settings are not kept");
      return std::string();
    });
  }

  void CheckKeyFrameSettings() {
    // The settings must be well formed for any count, also below the template's
    // minimum (which is advisory); the values need to be usable within its range. The
    // range is read inside the first check, so that a plug-in that fails to answer
    // fails that check instead of the whole run.
    std::set<int> counts = {1, 2};
    std::set<int> designed;
    auto list = [](const std::set<int>& values) {
      std::string text;
      for (const int value : values) text += (text.empty() ? "" : ", ") + std::to_string(value);
      return "input counts " + text;
    };
    Check("keyframe settings named KeyFrames / Key Frames, type 3, same as GenerateKeyFrames", [&] {
      Effect effect = plugin_->CreateEffect();
      int min = 1;
      int max = -1;
      effect.Object().GetInputRange(&min, &max);
      const int proposed = effect.Object().GetDefaultInputCount();
      // In 64 bits: a minimum near INT_MAX must not overflow.
      for (const std::int64_t count : {std::int64_t{min}, std::int64_t{min} + 3, std::int64_t{proposed}}) {
        if (count < 1 || count > 1000) continue;
        counts.insert(static_cast<int>(count));
        if (count >= min && (max < 0 || count <= max)) designed.insert(static_cast<int>(count));
      }
      for (const int count : counts) {
        int n = 0;
        const CEffectSetting* settings = effect.Object().GetSettingsFor(count, &n);
        Expect(settings != nullptr && n == count,
               std::to_string(count) + " inputs give " + std::to_string(n) + " settings");
        for (int index = 0; index < count; ++index) {
          const CEffectSetting& s = settings[index];
          const std::string where = "input " + std::to_string(index) + " of " + std::to_string(count);
          const std::vector<KeyFrame> direct = GenerateKeyFrames(effect.Object(), index, count);
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
          Expect(SameBits(KeyFramesOf(s), direct), where + ": differs from GenerateKeyFrames");
        }
      }
      return list(counts);
    });
    Check("keyframe values are finite", [&] {
      Effect effect = plugin_->CreateEffect();
      for (const int count : designed) {
        int n = 0;
        const CEffectSetting* settings = effect.Object().GetSettingsFor(count, &n);
        for (int index = 0; settings != nullptr && index < std::min(n, count); ++index) {
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
  std::function<void(const std::string&)> onBegin_;
  std::function<void(const CheckResult&)> onResult_;
  const Plugin* plugin_ = nullptr;
  std::string name_;
};

}  // namespace

namespace detail {

void RunChecks(const fs::path& library, const std::function<void(const std::string&)>& onBegin,
               const std::function<void(const CheckResult&)>& onResult) {
  Validator(library, onBegin, onResult).Run();
}

}  // namespace detail

std::vector<CheckResult> ValidatePlugin(const fs::path& library) {
  std::vector<CheckResult> results;
  detail::RunChecks(
      library, [](const std::string&) {}, [&](const CheckResult& result) { results.push_back(result); });
  return results;
}

ValidationOutcome ValidateInChild(const fs::path& library, const std::function<void(const CheckResult&)>& onResult,
                                  double timeoutSeconds) {
  using Clock = detail::ProbeProcess::Clock;
  const auto limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds));
  detail::ProbeProcess probe({"validate", library.string()});
  ValidationOutcome outcome;
  bool allPassed = true;
  bool ended = false;
  std::optional<std::string> running;  // the check begun and not yet reported
  auto deadline = Clock::now() + limit;
  while (const std::optional<std::string> line = probe.ReadLine(deadline)) {
    const std::vector<std::string> fields = detail::DecodeLine(*line);
    if (fields[0] == "BEGIN" && fields.size() == 2) {
      running = fields[1];
      deadline = Clock::now() + limit;
    } else if ((fields[0] == "PASS" || fields[0] == "FAIL") && fields.size() == 3) {
      running.reset();
      allPassed = allPassed && fields[0] == "PASS";
      onResult({fields[1], fields[0] == "PASS", fields[2]});
    } else if (fields[0] == "END") {
      ended = true;
    }
  }
  const bool timedOut = probe.TimedOut();
  const detail::ProcessEnd end = probe.Finish();
  if (ended && !timedOut && !end.signalled && end.code == 0) {
    outcome.passed = allPassed;
    return outcome;
  }
  // The probe stopped before it reported every check: a crash, a hang, or a plug-in
  // that ended the process itself. The check it was running fails with the reason.
  std::string reason;
  if (timedOut) {
    reason = "did not finish within " + FormatDouble(timeoutSeconds) + " s (the plug-in hangs)";
  } else if (end.signalled) {
    reason = "the plug-in crashed with " + end.Describe();
  } else {
    reason = "the plug-in ended the checking process (" + end.Describe() + ") " +
             (running ? "during this check" : "before every check was reported");
  }
  if (const std::string message = probe.LastErrorLine(); !message.empty()) reason += "; it said: " + message;
  onResult({running.value_or("every check reported"), false, reason});
  outcome.abnormalEnd = reason;
  return outcome;
}

}  // namespace montage
