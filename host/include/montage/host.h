// The montage host library: finds template plug-ins, loads them, reads their keyframes,
// interpolates poses and draws frames. `montage-host` is built on it; other hosts link
// it through the CMake package `Montage` (target `Montage::host`).
//
// Finding plug-ins
//   A search path is a list of directories; every `*.so` file in them is a candidate.
//   It comes from the caller (for example a `--plugin-path DIR[:DIR...]` option), else
//   from the environment variable MONTAGE_PLUGIN_PATH (same syntax), else from
//   DefaultPluginDirectories(): the build's plug-in folder for a host library in its
//   build tree, or `<libdir>/montage/plugins` beside an installed host library. A
//   template is named case-insensitively; the first directory that has it wins.
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
// Geometry (Renderer)
//   The output frame is W x H pixels. An input is a W*Scale x H*Scale rectangle (Scale 1
//   is the frame's size) whose centre lies PosX frame widths right of and PosY frame
//   heights above the frame's centre: pixel (W/2 + PosX*W, H/2 - PosY*H), +Y up.
//   Rotation is in radians, counter-clockwise on screen, about the input's centre.
//   Opacity is clamped to 0..1. Inputs are drawn in index order, input 0 at the bottom,
//   over an opaque dark background. A picture covers its rectangle (scaled to fill it,
//   centred, cropped); without pictures an input is a numbered placeholder card.
//
// Errors
//   Every function reports bad input with montage::HostError (a std::runtime_error)
//   whose message names the file, template or value concerned. A plug-in that runs out
//   of memory becomes a HostError that says "out of memory" and names the template.
#ifndef MONTAGE_HOST_H
#define MONTAGE_HOST_H

#include <cstdint>
#include <filesystem>
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

// The largest input count the host builds; protects against a typo such as 1e9 inputs.
inline constexpr int kMaxInputs = 100000;

// ---- Finding plug-ins -----------------------------------------------------------------

// Where the build or `cmake --install` put the plug-ins that came with this library.
std::vector<std::filesystem::path> DefaultPluginDirectories();

// `option` split at ':' when not empty, else MONTAGE_PLUGIN_PATH when set and not
// empty, else DefaultPluginDirectories(). Empty entries are skipped.
std::vector<std::filesystem::path> PluginSearchPath(std::string_view option = {});

// Every regular `*.so` file in `directories`, sorted by file name within a directory.
// Missing directories contribute nothing.
std::vector<std::filesystem::path> FindPluginFiles(const std::vector<std::filesystem::path>& directories);

// ---- One plug-in library --------------------------------------------------------------

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

class Effect;
namespace detail {
struct LoadedLibrary;
}

// One loaded plug-in library (dlopen with RTLD_NOW | RTLD_LOCAL). Copies share the
// library, which is closed when the last copy and the last Effect made from it are gone.
// Several libraries can be open at once.
class Plugin {
 public:
  // Loads `library`, resolves GetNumEffects and CreateEffect and checks that the
  // library has at least one effect. Throws HostError with the loader's reason.
  static Plugin Load(const std::filesystem::path& library);

  [[nodiscard]] const std::filesystem::path& Library() const;
  [[nodiscard]] int NumEffects() const;
  // A new effect object. Throws HostError on allocation failure.
  [[nodiscard]] Effect CreateEffect() const;
  // Creates an effect, reads what TemplateInfo holds and releases it.
  [[nodiscard]] TemplateInfo Describe() const;

 private:
  explicit Plugin(std::shared_ptr<const detail::LoadedLibrary> library);
  std::shared_ptr<const detail::LoadedLibrary> library_;
};

// Owns one effect object: Release runs exactly once, when the Effect is destroyed.
class Effect {
 public:
  Effect(Effect&& other) noexcept;
  Effect& operator=(Effect&& other) noexcept;
  Effect(const Effect&) = delete;
  Effect& operator=(const Effect&) = delete;
  ~Effect();

  [[nodiscard]] IEffectMultiDLL& Object() const { return *object_; }
  [[nodiscard]] std::string Name() const;
  [[nodiscard]] std::string DisplayName() const;
  [[nodiscard]] TemplateInfo Describe() const;

  // Registers `count` inputs (ids 0..count-1) after removing any registered before.
  void SetInputCount(int count);
  // The keyframes of every registered input, copied out of the settings the effect
  // holds (in the plug-in's order; an empty setting gives an empty vector).
  [[nodiscard]] std::vector<std::vector<KeyFrame>> KeyFrames() const;

 private:
  friend class Plugin;
  Effect(std::shared_ptr<const detail::LoadedLibrary> library, IEffectMultiDLL* object);
  [[nodiscard]] TemplateInfo DescribeNow() const;
  std::shared_ptr<const detail::LoadedLibrary> library_;
  IEffectMultiDLL* object_;
};

// ---- Catalog of a search path ---------------------------------------------------------

struct PluginFailure {
  std::filesystem::path library;
  std::string reason;
};

class PluginCatalog {
 public:
  // Loads and describes every plug-in file in `directories`; files that fail to load
  // are kept as failures with the reason.
  static PluginCatalog Scan(const std::vector<std::filesystem::path>& directories);

  [[nodiscard]] const std::vector<TemplateInfo>& Templates() const { return templates_; }
  [[nodiscard]] const std::vector<PluginFailure>& Failures() const { return failures_; }
  // The first template called `name`, ignoring case; null when there is none.
  [[nodiscard]] const TemplateInfo* Find(std::string_view name) const;

 private:
  std::vector<TemplateInfo> templates_;
  std::vector<PluginFailure> failures_;
};

// ---- Keyframes and interpolation ------------------------------------------------------

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

// ---- Export ---------------------------------------------------------------------------

// The shortest decimal that reads back as the same double ("-0.0" for negative zero, so
// that JSON readers keep its sign; "nan", "inf", "-inf" for the others).
std::string FormatDouble(double value);

// The keyframes as JSON (shape in the README); every finite double in its shortest
// round-trip form, a non-finite one as the string "NaN", "Infinity" or "-Infinity".
void WriteKeyFramesJson(std::ostream& out, const Animation& animation);
// One header row, then one row per keyframe:
// input,keyframe,time,posX,posY,scale,opacity,rotation,aux0,aux1,aux2
void WriteKeyFramesCsv(std::ostream& out, const Animation& animation);
// The interpolated pose of every input at each of `times`, as JSON (shape in the README).
void WriteSamplesJson(std::ostream& out, const Animation& animation, const std::vector<double>& times);

// ---- Pictures and drawing -------------------------------------------------------------

struct Colour {
  std::uint8_t r = 0;
  std::uint8_t g = 0;
  std::uint8_t b = 0;
  std::uint8_t a = 0;
  friend bool operator==(const Colour&, const Colour&) = default;
};

// A picture in memory: 32-bit premultiplied ARGB pixels in native byte order, rows
// top to bottom.
class Image {
 public:
  Image() = default;
  Image(int width, int height);  // transparent black

  // Reads a PNG (with alpha) or a JPEG file; throws HostError naming the file.
  static Image Read(const std::filesystem::path& file);

  [[nodiscard]] int Width() const { return width_; }
  [[nodiscard]] int Height() const { return height_; }
  [[nodiscard]] std::uint32_t* Data() { return pixels_.data(); }
  [[nodiscard]] const std::uint32_t* Data() const { return pixels_.data(); }
  // The pixel at (x, y), un-premultiplied.
  [[nodiscard]] Colour At(int x, int y) const;
  void Fill(Colour colour);
  // Writes a PNG file; throws HostError naming the file.
  void WritePng(const std::filesystem::path& file) const;

 private:
  int width_ = 0;
  int height_ = 0;
  std::vector<std::uint32_t> pixels_;
};

// The fill colour (opaque) of the placeholder card of input `index`.
Colour PlaceholderColour(int index);

// Draws frames of an animation. Without pictures every input is a translucent
// placeholder card in PlaceholderColour(index) with an outline and its index number;
// with pictures, input i shows pictures[i % pictures.size()].
class Renderer {
 public:
  explicit Renderer(Animation animation, std::vector<Image> pictures = {});
  Renderer(Renderer&&) noexcept;
  Renderer& operator=(Renderer&&) noexcept;
  ~Renderer();

  [[nodiscard]] const Animation& GetAnimation() const;
  // The frame at `time`, `width` x `height` pixels (1..16384 each).
  [[nodiscard]] Image Render(double time, int width, int height) const;
  // Draws the frame at `time` into `target`, replacing its pixels.
  void RenderInto(Image& target, double time) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Frees the font and drawing caches Cairo keeps for the life of the process, so that a
// leak checker sees a clean exit. Call it at most once, at the end of a program, when no
// Renderer is drawing any more.
void ReleaseDrawingCaches();

// A grid of frames at `times`, each `thumbWidth` x `thumbHeight`, labelled with its
// time, under a title line.
Image ContactSheet(const Renderer& renderer, const std::vector<double>& times, int thumbWidth, int thumbHeight);

// ---- Checking a plug-in ---------------------------------------------------------------

struct CheckResult {
  std::string check;  // what was checked
  bool passed = false;
  std::string detail;  // why it failed, or what was seen
};

// Names of the global symbols `library` defines in its dynamic symbol table, sorted.
std::vector<std::string> ExportedSymbols(const std::filesystem::path& library);

// Runs the host-visible contract on `library`: its exports, names, input range and
// default count, the input-list operations, the settings cache, the keyframe settings
// and their values, then Release. One result per check; the checks after a failed load
// are skipped.
std::vector<CheckResult> ValidatePlugin(const std::filesystem::path& library);

}  // namespace montage

#endif  // MONTAGE_HOST_H
