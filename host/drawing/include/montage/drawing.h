// The montage drawing library: pictures in memory and frames of an animation drawn with
// Cairo, on top of the host core (montage/host.h). Linked through the CMake package
// `Montage` as `Montage::drawing`.
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
// Threads
//   An Image is a plain value. A Renderer draws on one thread at a time; different
//   Renderers may draw on different threads at once (they share no pictures; Cairo
//   locks its own font cache). ContactSheet uses its Renderer like a drawing call.
//   ReleaseDrawingCaches ends Cairo's process-wide caches: call it once, at the end of
//   the program, after every Renderer is gone and no thread draws any more.
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
  // The frame at `time`, `width` x `height` pixels (1..kMaxFrameSide each).
  [[nodiscard]] Image Render(double time, int width, int height) const;
  // Draws the frame at `time` into `target`, replacing its pixels.
  void RenderInto(Image& target, double time) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Frees the font and drawing caches Cairo keeps for the life of the process, so that a
// leak checker sees a clean exit (see Threads at the top).
void ReleaseDrawingCaches();

// A grid of frames at `times`, each `thumbWidth` x `thumbHeight`, labelled with its
// time, under a title line.
Image ContactSheet(const Renderer& renderer, const std::vector<double>& times, int thumbWidth, int thumbHeight);

}  // namespace montage

#endif  // MONTAGE_DRAWING_H
