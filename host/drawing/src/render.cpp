// Drawing frames and contact sheets with Cairo.
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <utility>

#include "cairo_support.h"
#include "montage/drawing.h"

namespace montage {

namespace {

constexpr Colour kBackground{30, 30, 36, 255};
constexpr Colour kSheetBackground{17, 17, 20, 255};
// Cards let what lies under them show through, so a full-frame layer hides nothing.
constexpr double kCardAlpha = 0.55;
// Beyond this many pixels Cairo's fixed-point coordinates no longer hold a rectangle.
constexpr double kMaxExtent = 1e6;
constexpr double kMinExtent = 1e-3;

void SetColour(cairo_t* cr, Colour colour, double alpha) {
  cairo_set_source_rgba(cr, colour.r / 255.0, colour.g / 255.0, colour.b / 255.0, alpha);
}

void CheckStatus(cairo_t* cr) {
  if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
    throw HostError(std::string("drawing failed: ") + cairo_status_to_string(cairo_status(cr)));
  }
}

// Text centred on (x, y): white with a dark edge, readable on any card.
void DrawLabel(cairo_t* cr, const std::string& text, double x, double y, double size, double alpha) {
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr, size);
  cairo_text_extents_t extents;
  cairo_text_extents(cr, text.c_str(), &extents);
  cairo_move_to(cr, x - extents.width / 2 - extents.x_bearing, y - extents.height / 2 - extents.y_bearing);
  cairo_text_path(cr, text.c_str());
  cairo_set_source_rgba(cr, 1, 1, 1, alpha);
  cairo_fill_preserve(cr);
  cairo_set_source_rgba(cr, 0, 0, 0, 0.8 * alpha);
  cairo_set_line_width(cr, std::max(1.0, size / 24));
  cairo_stroke(cr);
}

void DrawCard(cairo_t* cr, int index, double w, double h, double opacity, double frameSide) {
  const Colour colour = PlaceholderColour(index);
  const double line = std::max(1.5, frameSide / 180);
  const double aw = std::abs(w);
  const double ah = std::abs(h);
  cairo_rectangle(cr, -aw / 2, -ah / 2, aw, ah);
  SetColour(cr, colour, kCardAlpha * opacity);
  cairo_fill(cr);
  if (aw > 2 * line && ah > 2 * line) {
    cairo_rectangle(cr, -aw / 2 + line / 2, -ah / 2 + line / 2, aw - line, ah - line);
    SetColour(cr,
              Colour{static_cast<std::uint8_t>(colour.r / 2), static_cast<std::uint8_t>(colour.g / 2),
                     static_cast<std::uint8_t>(colour.b / 2), 255},
              opacity);
    cairo_set_line_width(cr, line);
    cairo_stroke(cr);
  }
  const double size = 0.4 * std::min(aw, ah);
  if (size >= 4) DrawLabel(cr, std::to_string(index), 0, 0, size, opacity);
}

void DrawPicture(cairo_t* cr, cairo_surface_t* picture, const Image& image, double w, double h, double opacity) {
  cairo_rectangle(cr, -w / 2, -h / 2, w, h);
  cairo_clip(cr);
  const double sx = w / image.Width();
  const double sy = h / image.Height();
  const double cover = std::max(std::abs(sx), std::abs(sy));
  cairo_scale(cr, std::copysign(cover, sx), std::copysign(cover, sy));
  cairo_set_source_surface(cr, picture, -image.Width() / 2.0, -image.Height() / 2.0);
  // Smoothing reads past the picture's edge; padding keeps the edge pixels opaque there.
  cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
  cairo_paint_with_alpha(cr, opacity);
}

}  // namespace

Colour PlaceholderColour(int index) {
  // Hues a golden-ratio turn apart stay distinct for neighbouring indices.
  const double turns = static_cast<double>(index) * (std::numbers::phi - 1.0);
  const double hue = 6.0 * (turns - std::floor(turns));
  constexpr double kValue = 0.95;
  constexpr double kSaturation = 0.75;
  const double chroma = kValue * kSaturation;
  const double x = chroma * (1.0 - std::abs(std::fmod(hue, 2.0) - 1.0));
  const double m = kValue - chroma;
  double r = 0, g = 0, b = 0;
  // clang-format off
  switch (static_cast<int>(hue)) {
    case 0: r = chroma; g = x; break;
    case 1: r = x; g = chroma; break;
    case 2: g = chroma; b = x; break;
    case 3: g = x; b = chroma; break;
    case 4: r = x; b = chroma; break;
    default: r = chroma; b = x; break;
  }
  // clang-format on
  auto byte = [m](double value) { return static_cast<std::uint8_t>(std::lround((value + m) * 255)); };
  return {byte(r), byte(g), byte(b), 255};
}

struct Renderer::Impl {
  Animation animation;
  std::vector<Image> pictures;
  std::vector<SurfacePtr> surfaces;  // over `pictures`' pixels
};

Renderer::Renderer(Animation animation, std::vector<Image> pictures) : impl_(std::make_unique<Impl>()) {
  impl_->animation = std::move(animation);
  impl_->pictures = std::move(pictures);
  for (Image& picture : impl_->pictures) impl_->surfaces.push_back(SurfaceOf(picture));
}

Renderer::Renderer(Renderer&&) noexcept = default;
Renderer& Renderer::operator=(Renderer&&) noexcept = default;
Renderer::~Renderer() = default;

const Animation& Renderer::GetAnimation() const { return impl_->animation; }

Image Renderer::Render(double time, int width, int height) const {
  if (width < 1 || height < 1 || width > kMaxFrameSide || height > kMaxFrameSide) {
    throw HostError("a frame must be 1 to " + std::to_string(kMaxFrameSide) + " pixels wide and high, not " +
                    std::to_string(width) + "x" + std::to_string(height));
  }
  Image frame(width, height);
  RenderInto(frame, time);
  return frame;
}

void Renderer::RenderInto(Image& target, double time) const {
  const SurfacePtr surface = SurfaceOf(target);
  const ContextPtr context(cairo_create(surface.get()));
  cairo_t* cr = context.get();
  const double width = target.Width();
  const double height = target.Height();
  SetColour(cr, kBackground, 1.0);
  cairo_paint(cr);

  const std::vector<Track>& tracks = impl_->animation.tracks;
  for (std::size_t index = 0; index < tracks.size(); ++index) {
    const std::optional<Pose> pose = tracks[index].PoseAt(time);
    if (!pose) continue;
    const double opacity = std::clamp(pose->opacity, 0.0, 1.0);
    const double w = width * pose->scale;
    const double h = height * pose->scale;
    const double cx = width / 2 + pose->posX * width;
    const double cy = height / 2 - pose->posY * height;
    // Nothing to see, or nothing Cairo can place (this also rejects NaN).
    if (!(opacity > 0) || !(std::abs(w) >= kMinExtent && std::abs(h) >= kMinExtent)) continue;
    if (!(std::abs(w) <= kMaxExtent && std::abs(h) <= kMaxExtent && std::abs(cx) <= kMaxExtent &&
          std::abs(cy) <= kMaxExtent && std::isfinite(pose->rotation))) {
      continue;
    }
    cairo_save(cr);
    cairo_translate(cr, cx, cy);
    cairo_rotate(cr, -pose->rotation);  // counter-clockwise on screen, where y grows downwards
    if (impl_->pictures.empty()) {
      DrawCard(cr, static_cast<int>(index), w, h, opacity, std::min(width, height));
    } else {
      const std::size_t which = index % impl_->pictures.size();
      DrawPicture(cr, impl_->surfaces[which].get(), impl_->pictures[which], w, h, opacity);
    }
    cairo_restore(cr);
  }
  CheckStatus(cr);
  cairo_surface_flush(surface.get());
}

void ReleaseDrawingCaches() {
  cairo_debug_reset_static_data();
  FcFini();
}

Image ContactSheet(const Renderer& renderer, const std::vector<double>& times, int thumbWidth, int thumbHeight) {
  constexpr int kMargin = 12;
  constexpr int kTitle = 40;
  constexpr int kLabel = 24;
  const int count = std::max<int>(1, static_cast<int>(times.size()));
  const int columns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count))));
  const int rows = (count + columns - 1) / columns;
  const int cellWidth = thumbWidth + kMargin;
  const int cellHeight = thumbHeight + kLabel + kMargin;
  Image sheet(kMargin + columns * cellWidth, kTitle + rows * cellHeight);
  sheet.Fill(kSheetBackground);

  const SurfacePtr surface = SurfaceOf(sheet);
  const ContextPtr context(cairo_create(surface.get()));
  cairo_t* cr = context.get();
  const Animation& animation = renderer.GetAnimation();
  const std::string title = animation.info.displayName + " - " + std::to_string(animation.inputCount) + " inputs";
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr, 20);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_move_to(cr, kMargin, kTitle - 12);
  cairo_show_text(cr, title.c_str());

  Image thumb(thumbWidth, thumbHeight);
  for (std::size_t i = 0; i < times.size(); ++i) {
    const int x = kMargin + static_cast<int>(i) % columns * cellWidth;
    const int y = kTitle + static_cast<int>(i) / columns * cellHeight;
    renderer.RenderInto(thumb, times[i]);
    const SurfacePtr thumbSurface = SurfaceOf(thumb);
    cairo_set_source_surface(cr, thumbSurface.get(), x, y);
    cairo_paint(cr);
    char label[48];
    std::snprintf(label, sizeof label, "t = %.3f", times[i]);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 15);
    cairo_set_source_rgb(cr, 0.85, 0.85, 0.85);
    cairo_move_to(cr, x, y + thumbHeight + 17);
    cairo_show_text(cr, label);
  }
  CheckStatus(cr);
  cairo_surface_flush(surface.get());
  return sheet;
}

}  // namespace montage
