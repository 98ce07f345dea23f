// The montage drawing library: pictures in memory and frames of an animation drawn with
// Cairo, on top of the host core (montage/host.h). Linked through the CMake package
// `Montage` as `Montage::drawing`.
//
// Geometry (Renderer)
//   The output frame is W x H pixels. An input is a W*Scale x H*Scale rectangle (Scale 1
//   is the frame's size) whose centre lies PosX frame widths right of and PosY frame
//   heights above the frame's centre: pixel (W/2 + PosX*W, H/2 - PosY*H), +Y up.
//   Rotation is in radians, counter-clockwise on screen, about the input's centre.
//   Opacity is clamped to 0..1. Inputs are drawn over an opaque dark background in the
//   core's stacking order (montage/host.h, DrawingOrder): full-frame layers first, in
//   index order, then every other input in index order. A picture or clip covers its
//   rectangle (Fit::kCover: scaled to fill it, centred, cropped) or shows whole inside
//   it (Fit::kContain: centred, transparent margins); without media an input is a
//   numbered placeholder card.
//
// Media timing
//   Media is timed in seconds of the render: an input's media starts when the input
//   first appears (the earliest time of its keyframes), so at effect time t it is at
//   (t - first keyframe time) * RenderSettings::seconds. A still picture shows the same
//   at every moment; a clip plays at its own speed (montage/clips.h).
//
// Threads
//   An Image is a plain value. A Renderer draws on one thread at a time; different
//   Renderers may draw on different threads at once when they share no InputMedia
//   (Cairo locks its own font cache). ContactSheet uses its Renderer like a drawing
//   call. ReleaseDrawingCaches ends Cairo's process-wide caches: call it once, at the
//   end of the program, after every Renderer is gone and no thread draws any more.
#ifndef MONTAGE_DRAWING_H
#define MONTAGE_DRAWING_H

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "montage/host.h"

namespace montage {

struct Colour {
  std::uint8_t r = 0;
  std::uint8_t g = 0;
  std::uint8_t b = 0;
  std::uint8_t a = 0;
  friend bool operator==(const Colour&, const Colour&) = default;
};

// A picture in memory: 32-bit premultiplied ARGB pixels in native byte order, rows
// top to bottom, 1 to kMaxFrameSide pixels wide and high.
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
  // Writes a PNG file, under a temporary name renamed into place when complete (see
  // montage/output_file.h); throws HostError naming the file.
  void WritePng(const std::filesystem::path& file) const;

 private:
  int width_ = 0;
  int height_ = 0;
  std::vector<std::uint32_t> pixels_;
};

// The fill colour (opaque) of the placeholder card of input `index`.
Colour PlaceholderColour(int index);

// What one input shows: a still picture, or the frames of a clip. The renderer asks for
// a picture every time it draws the input and tells the media when the input is out of
// sight, so that a clip decodes only while its input is on screen.
class InputMedia {
 public:
  InputMedia() = default;
  InputMedia(const InputMedia&) = delete;
  InputMedia& operator=(const InputMedia&) = delete;
  virtual ~InputMedia() = default;

  // The size the media is shown at, in pixels, turned upright (a portrait phone photo
  // is taller than wide).
  [[nodiscard]] virtual int Width() const = 0;
  [[nodiscard]] virtual int Height() const = 0;
  // The picture `seconds` after the input first appears (see Media timing at the top),
  // at least `width` x `height` pixels where the media has as many, and of the media's
  // proportions; the renderer scales it to the exact size it draws. The reference stays
  // valid until the next call of Frame or Suspend. Throws HostError naming the file
  // when the media cannot deliver (a clip that fails to decode half-way).
  virtual const Image& Frame(double seconds, int width, int height) = 0;
  // The input is out of sight: before its first or after its last keyframe. A clip
  // frees its decoder; the next Frame opens it again where needed.
  virtual void Suspend() {}
};

// A still picture as media: decoded already, kept at its own size and at halvings of
// it, so that drawing it small costs what its drawn pixels cost.
std::shared_ptr<InputMedia> PictureMedia(Image picture);

// How media fits the rectangle of its input.
enum class Fit {
  kCover,    // fills the rectangle, centred and cropped
  kContain,  // shows whole inside the rectangle, centred, with transparent margins
};

struct RenderSettings {
  // Running time of the effect in seconds, for media timing (clips).
  double seconds = 2.0;
  Fit fit = Fit::kCover;
};

// Draws frames of an animation. Without media every input is a translucent placeholder
// card in PlaceholderColour(index) with an outline and its index number; with media,
// input i shows media[i % media.size()] (give one per input when inputs must not share
// a clip's playback).
class Renderer {
 public:
  explicit Renderer(Animation animation, std::vector<std::shared_ptr<InputMedia>> media = {},
                    RenderSettings settings = {});
  // Shorthand for still pictures: input i shows pictures[i % pictures.size()].
  Renderer(Animation animation, std::vector<Image> pictures, RenderSettings settings = {});
  Renderer(Renderer&&) noexcept;
  Renderer& operator=(Renderer&&) noexcept;
  ~Renderer();

  [[nodiscard]] const Animation& GetAnimation() const;
  [[nodiscard]] const RenderSettings& Settings() const;
  // The frame at `time`, `width` x `height` pixels (1..kMaxFrameSide each).
  [[nodiscard]] Image Render(double time, int width, int height);
  // Draws the frame at `time` into `target`, replacing its pixels.
  void RenderInto(Image& target, double time);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Frees the font and drawing caches Cairo keeps for the life of the process, so that a
// leak checker sees a clean exit (see Threads at the top).
void ReleaseDrawingCaches();

// A grid of frames at `times`, each `thumbWidth` x `thumbHeight`, labelled with its
// time, under a title line. Throws HostError when the sheet would be larger than
// kMaxFrameSide a side (ContactSheetSize tells beforehand).
Image ContactSheet(Renderer& renderer, const std::vector<double>& times, int thumbWidth, int thumbHeight);

struct SheetSize {
  std::int64_t width = 0;
  std::int64_t height = 0;
};
// The size in pixels of the contact sheet of `frames` frames of `thumbWidth` x
// `thumbHeight`.
SheetSize ContactSheetSize(int frames, int thumbWidth, int thumbHeight);

}  // namespace montage

#endif  // MONTAGE_DRAWING_H
