// The montage host core: finds template plug-ins, loads them, reads their keyframes,
// interpolates poses, exports and checks them. It needs nothing beyond the C++ standard
// library and the dynamic loader, so it is built for every target, 32-bit x86 included.
// Drawing frames is the drawing library's (montage/drawing.h). `montage-host` is built
// on both; other hosts link the core through the CMake package `Montage` (target
// `Montage::host`).
//
// Finding plug-ins
//   A search path is a list of directories; every `*.so` file in them is a candidate.
//   It comes from the caller (for example a `--plugin-path DIR[:DIR...]` option), else
//   from the environment variable MONTAGE_PLUGIN_PATH (same syntax), else from
//   DefaultPluginDirectories(): the build's plug-in folder for a host library in its
//   build tree, or `<libdir>/montage/plugins` beside an installed host library. A
//   template is named case-insensitively; the first directory that has it wins.
//
// Stacking order (DrawingOrder)
//   Plug-ins give no stacking order; the host chooses it. A full-frame layer is an input
//   whose keyframes span the whole effect (its first Time <= 0 and its last Time >= 1)
//   and whose Scale is at least 1 in every keyframe: a background, a backdrop tile, a
//   final zoom. Layers are drawn first, in index order, and every other input after
//   them, in index order, so that a layer never covers the inputs it frames.
//
// Interpolation (Track::PoseAt)
//   The keyframes of one input are ordered by `Time`, keeping the plug-in's order for
//   equal times; keyframes whose `Time` is not finite are dropped. At time t:
//   - an input without keyframes, or with t before its first or after its last
//     keyframe time, is not shown;
//   - when keyframes lie exactly at t, the last of them gives the pose, so two
//     keyframes at one time are a cut: the earlier one ends a segment, the later one
//     starts the next;
//   - otherwise, between neighbours a (before t) and b (after t), every field
//     (PosX, PosY, Scale, Opacity, Rotation) is a + (b - a) * u with
//     u = (t - a.Time) / (b.Time - a.Time), in IEEE double arithmetic.
//
// Threads
//   A plug-in knows no threads, so the host serialises the calls into each library: the
//   operations of Plugin and Effect below lock their library for the length of one call
//   into it, and may be used from several threads at once (one Effect object still by
//   one thread at a time). Effect::Object() is the bare object, unlocked: whoever calls
//   it directly keeps to one thread. BuildAnimation may run on several threads at once.
//   Plugin copies, PluginCatalog, Track and Animation are values: after they are made,
//   any number of threads may read them. The functions here keep no state of their own.
//
// Errors
//   Every function reports bad input with montage::HostError (a std::runtime_error)
//   whose message names the file, template or value concerned. A plug-in that runs out
//   of memory becomes a HostError that says "out of memory" and names the template.
#ifndef MONTAGE_HOST_H
#define MONTAGE_HOST_H

#include <bit>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "montage/effect.h"

namespace montage {

class HostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- Limits -----------------------------------------------------------------------------
// What the host builds, draws and writes at most; each protects against a typo (1e9
// inputs, a 1e6-pixel frame) turning into an endless run or an exhausted machine.

// Inputs of one animation.
inline constexpr int kMaxInputs = 100000;
// Width and height of a frame or a picture, in pixels.
inline constexpr int kMaxFrameSide = 16384;
// Frames of one render.
inline constexpr int kMaxFrames = 10000;
// Pixels drawn by one render, all frames together: about 69 billion, an hour of 1080p at
// 30 frames a second, or 256 frames of the largest size. More is a typo, not a plan.
inline constexpr std::int64_t kMaxRenderPixels = std::int64_t{1} << 36;
// Time one call into a plug-in may take out of process (describing a library for the
// catalog, one check of a validation) before it is taken to hang, in seconds.
inline constexpr double kDefaultTimeoutSeconds = 10.0;
// Pixels of a picture file, checked from its header before it is decoded: 120 million,
// beyond any camera's photos, and under 0.5 GiB once decoded.
inline constexpr std::int64_t kMaxPicturePixels = 120'000'000;
// Pixels of one frame of a clip, checked before it is decoded: 8K video and a little more.
inline constexpr std::int64_t kMaxClipPixels = 8192 * 4608;

// ---- Finding plug-ins -------------------------------------------------------------------

// Where the build or `cmake --install` put the plug-ins that came with this library.
std::vector<std::filesystem::path> DefaultPluginDirectories();

// `option` split at ':' when not empty, else MONTAGE_PLUGIN_PATH when set and not
// empty, else DefaultPluginDirectories(). Empty entries are skipped; a list of nothing
// but empty entries (":") is a HostError that quotes it.
std::vector<std::filesystem::path> PluginSearchPath(std::string_view option = {});

// Every regular `*.so` file in `directories`, sorted by file name within a directory.
// Missing directories contribute nothing.
std::vector<std::filesystem::path> FindPluginFiles(const std::vector<std::filesystem::path>& directories);

// ---- One plug-in library ----------------------------------------------------------------

// What a host shows about a template.
struct TemplateInfo {
  std::filesystem::path library;
  std::string name;         // GetName
  std::string displayName;  // GetDisplayName
  int minInputs = 0;        // GetInputRange; advisory
  int maxInputs = -1;       // -1: no maximum
  int defaultInputs = 0;    // GetDefaultInputCount
  int templateCode = -1;    // GetTemplateCode
};

// How a library's symbols are bound when it is loaded: kept to the library (the
// default, RTLD_LOCAL), or made global for libraries loaded after it (RTLD_GLOBAL).
enum class SymbolBinding { kLocal, kGlobal };

// The two exports of a library, for callers that exercise the contract itself.
struct PluginExports {
  GetNumEffectsFn getNumEffects = nullptr;
  CreateEffectFn createEffect = nullptr;
};

class Effect;
namespace detail {
struct LoadedLibrary;
}

// One loaded plug-in library (dlopen with RTLD_NOW). Copies share the library, which is
// closed when the last copy and the last Effect made from it are gone. Several
// libraries can be open at once.
class Plugin {
 public:
  // Loads `library`, resolves GetNumEffects and CreateEffect and checks that the
  // library has at least one effect. Throws HostError with the loader's reason.
  static Plugin Load(const std::filesystem::path& library, SymbolBinding binding = SymbolBinding::kLocal);

  [[nodiscard]] const std::filesystem::path& Library() const;
  [[nodiscard]] int NumEffects() const;
  // A new effect object. Throws HostError on allocation failure.
  [[nodiscard]] Effect CreateEffect() const;
  // Creates an effect, reads what TemplateInfo holds and releases it.
  [[nodiscard]] TemplateInfo Describe() const;
  // The exports themselves, unlocked and without error translation: what they throw
  // reaches the caller. An object made with createEffect is the caller's to Release.
  [[nodiscard]] PluginExports Exports() const;

 private:
  explicit Plugin(std::shared_ptr<detail::LoadedLibrary> library);
  std::shared_ptr<detail::LoadedLibrary> library_;
};

// Owns one effect object: Release runs exactly once, when the Effect is destroyed.
class Effect {
 public:
  Effect(Effect&& other) noexcept;
  Effect& operator=(Effect&& other) noexcept;
  Effect(const Effect&) = delete;
  Effect& operator=(const Effect&) = delete;
  ~Effect();

  // The object itself, for calls of its own; see Threads at the top.
  [[nodiscard]] IEffectMultiDLL& Object() const { return *object_; }
  [[nodiscard]] std::string Name() const;
  [[nodiscard]] std::string DisplayName() const;
  [[nodiscard]] TemplateInfo Describe() const;

  // Registers `count` inputs (ids 0..count-1) after removing those it registered
  // before: at most that many removals, whatever RemoveInput answers.
  void SetInputCount(int count);
  // The keyframes of every input SetInputCount registered, copied out of the settings
  // the effect holds (in the plug-in's order; an empty setting gives an empty vector).
  // Settings for another number of inputs are a HostError, not read.
  [[nodiscard]] std::vector<std::vector<KeyFrame>> KeyFrames() const;

 private:
  friend class Plugin;
  Effect(std::shared_ptr<detail::LoadedLibrary> library, IEffectMultiDLL* object);
  std::shared_ptr<detail::LoadedLibrary> library_;
  IEffectMultiDLL* object_;
  int registered_ = 0;  // inputs SetInputCount registered
};

// ---- Reading keyframes ------------------------------------------------------------------
// Keyframe values are exact to the last bit, so they are compared by their bits: -0.0
// is not 0.0, and a NaN equals the same NaN.

[[nodiscard]] inline std::uint64_t Bits(double value) { return std::bit_cast<std::uint64_t>(value); }
// Field by field, every double by its bits.
[[nodiscard]] bool SameBits(const KeyFrame& a, const KeyFrame& b);
[[nodiscard]] bool SameBits(const std::vector<KeyFrame>& a, const std::vector<KeyFrame>& b);

// The keyframes a setting holds, read in place; empty for an empty setting.
[[nodiscard]] std::vector<KeyFrame> KeyFramesOf(const CEffectSetting& setting);

// A direct GenerateKeyFrames(index, count) call (slot 21) on `effect`, copied out; the
// plug-in's array is released with delete[] as the contract says. What the plug-in
// throws reaches the caller.
[[nodiscard]] std::vector<KeyFrame> GenerateKeyFrames(IEffectMultiDLL& effect, int index, int count);

// ---- Catalog of a search path -----------------------------------------------------------

struct PluginFailure {
  std::filesystem::path library;
  std::string reason;
};

// How a search path is scanned.
struct ScanOptions {
  // How long one library may take to be described, in seconds.
  double timeoutSeconds = kDefaultTimeoutSeconds;
  // Where what was learnt is kept between scans, keyed by each file's path, size and
  // modification time; empty for none.
  std::filesystem::path cacheFile;
};

// $XDG_CACHE_HOME/montage/plugin-scan, else $HOME/.cache/montage/plugin-scan; empty when
// neither variable is set.
std::filesystem::path DefaultScanCache();

class PluginCatalog {
 public:
  // Describes every plug-in file in `directories` out of process: each library is
  // loaded in a probe process (see host/core/src/probe.h), so that one that crashes,
  // hangs past the time limit, ends the process or fails to load is kept as a failure
  // with its reason and never stops the others. Nothing of a plug-in runs in this
  // process. Libraries unchanged since the cache saw them are not loaded at all.
  static PluginCatalog Scan(const std::vector<std::filesystem::path>& directories, const ScanOptions& options = {});

  [[nodiscard]] const std::vector<TemplateInfo>& Templates() const { return templates_; }
  [[nodiscard]] const std::vector<PluginFailure>& Failures() const { return failures_; }
  // The first template called `name`, ignoring case; null when there is none.
  [[nodiscard]] const TemplateInfo* Find(std::string_view name) const;
  // What a host should tell its user about the catalog: templates hidden by an earlier
  // one of the same name.
  [[nodiscard]] std::vector<std::string> Warnings() const;

 private:
  std::vector<TemplateInfo> templates_;
  std::vector<PluginFailure> failures_;
};

// ---- Text from plug-ins ------------------------------------------------------------------
// Names come from plug-ins as bytes: they may not be UTF-8, carry control characters, or
// look like paths. These make them safe where they go.

// For a terminal: valid UTF-8 as it is, every other byte, control characters (escape
// codes among them) and backslash as \xNN (backslash as \\), so nothing a plug-in
// names can move the cursor or change colours.
[[nodiscard]] std::string PrintableText(std::string_view text);
// For text drawn or written as UTF-8 (pictures, JSON): valid UTF-8 as it is, every
// invalid byte and every control character as U+FFFD.
[[nodiscard]] std::string ValidUtf8(std::string_view text);
// A file name for `text` (a template's name): letters, digits, '-', '_' and '.' are
// kept, every other byte becomes '_', and leading dots are dropped; at most 100 bytes;
// "template" when nothing is left. Never a path, never hidden, never "." or "..".
[[nodiscard]] std::string SafeFileName(std::string_view text);

// ---- Keyframes and interpolation --------------------------------------------------------

// What the renderer needs of an input at one moment.
struct Pose {
  double posX = 0.0;
  double posY = 0.0;
  double scale = 1.0;
  double opacity = 1.0;
  double rotation = 0.0;
};

// The keyframes of one input in interpolation order (see the top of this header).
class Track {
 public:
  Track() = default;
  explicit Track(std::vector<KeyFrame> keyFrames);

  [[nodiscard]] const std::vector<KeyFrame>& KeyFrames() const { return keyFrames_; }
  [[nodiscard]] bool Empty() const { return keyFrames_.empty(); }
  // Time of the first and the last keyframe; only for a track that is not empty.
  [[nodiscard]] double Start() const { return keyFrames_.front().Time; }
  [[nodiscard]] double End() const { return keyFrames_.back().Time; }
  // The pose at `time`, or nothing when the input is not shown then.
  [[nodiscard]] std::optional<Pose> PoseAt(double time) const;

 private:
  std::vector<KeyFrame> keyFrames_;
};

// A template's keyframes for a number of inputs, copied out of the plug-in.
struct Animation {
  TemplateInfo info;
  int inputCount = 0;
  std::vector<std::vector<KeyFrame>> settings;  // per input, as the plug-in gave them
  std::vector<Track> tracks;                    // per input, in interpolation order
};

// Builds the settings of `plugin` for `inputs` inputs (1..kMaxInputs; a count below the
// template's minimum is built too: the minimum is advisory).
Animation BuildAnimation(const Plugin& plugin, int inputs);

// Whether the input of `track` is a full-frame layer (see Stacking order at the top).
[[nodiscard]] bool IsLayer(const Track& track);
// The input indices in the order they are drawn, bottom first: the layers in index
// order, then every other input in index order.
[[nodiscard]] std::vector<int> DrawingOrder(const Animation& animation);

// ---- Export -----------------------------------------------------------------------------

// The shortest decimal that reads back as the same double ("-0.0" for negative zero, so
// that JSON readers keep its sign); "NaN", "Infinity" and "-Infinity" for the others,
// as JSON writes them and strtod reads them.
std::string FormatDouble(double value);

// The keyframes as JSON (shape in the README); every finite double in its shortest
// round-trip form, a non-finite one as the string "NaN", "Infinity" or "-Infinity".
// Names that are not UTF-8 have their invalid bytes replaced by U+FFFD.
void WriteKeyFramesJson(std::ostream& out, const Animation& animation);
// One header row, then one row per keyframe:
// input,keyframe,time,posX,posY,scale,opacity,rotation,aux0,aux1,aux2
void WriteKeyFramesCsv(std::ostream& out, const Animation& animation);
// The interpolated pose of every input at each of `times`, as JSON (shape in the README).
void WriteSamplesJson(std::ostream& out, const Animation& animation, const std::vector<double>& times);

// ---- Checking a plug-in -----------------------------------------------------------------

struct CheckResult {
  std::string check;  // what was checked
  bool passed = false;
  std::string detail;  // why it failed, or what was seen
};

// Names of the global symbols `library` defines in its dynamic symbol table, sorted.
// Reads 32-bit and 64-bit ELF files alike. Throws HostError for a file that is not ELF
// or is cut short.
std::vector<std::string> ExportedSymbols(const std::filesystem::path& library);

// Runs the host-visible contract on `library`: its exports, names, input range and
// default count, the input-list operations, the settings cache, the keyframe settings
// and their values, then Release. One result per check, in order; the checks after a
// failed load are skipped. Runs in this process: a plug-in that crashes takes the
// process with it (see ValidateInChild).
std::vector<CheckResult> ValidatePlugin(const std::filesystem::path& library);

// What became of a validation in a child process.
struct ValidationOutcome {
  bool passed = false;  // every check passed and the child ended normally
  // Why the checks stopped before the last one (a crash, a hang, a plug-in that ended
  // the process); empty when every check ran. It was reported as the failure of the
  // check that was running, or of "every check reported" between checks.
  std::string abnormalEnd;
};

// Runs ValidatePlugin(library) in a probe process, so that a plug-in that crashes,
// hangs or ends the process fails the check it was in instead of ending the caller.
// `onResult` sees each result as the probe reports it, the ones before a failure
// included, and then that check's failure with its reason. Each check may take
// `timeoutSeconds`; a probe that ends without reporting every check has failed.
ValidationOutcome ValidateInChild(const std::filesystem::path& library,
                                  const std::function<void(const CheckResult&)>& onResult,
                                  double timeoutSeconds = kDefaultTimeoutSeconds);

}  // namespace montage

#endif  // MONTAGE_HOST_H
