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
// Cards are mostly opaque, so the inputs on top read clearly, yet let a little of what
// lies under them show, so that the layers beneath stay recognisable.
constexpr double kCardAlpha = 0.85;
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

// Draws `media` into the input's w x h rectangle centred on the origin, fitted as
// `fit` says. The media is asked for its picture at the size it is drawn at.
void DrawMedia(cairo_t* cr, InputMedia& media, double seconds, Fit fit, double w, double h, double opacity) {
  const double mediaWidth = media.Width();
  const double mediaHeight = media.Height();
  const double sx = std::abs(w) / mediaWidth;
  const double sy = std::abs(h) / mediaHeight;
  const double k = fit == Fit::kCover ? std::max(sx, sy) : std::min(sx, sy);
  const double drawnWidth = mediaWidth * k;
  const double drawnHeight = mediaHeight * k;
  auto pixels = [](double length) { return static_cast<int>(std::clamp(std::ceil(length - 1e-6), 1.0, 1e6)); };
  const Image& picture = media.Frame(seconds, pixels(drawnWidth), pixels(drawnHeight));
  if (fit == Fit::kCover) {
    cairo_rectangle(cr, -std::abs(w) / 2, -std::abs(h) / 2, std::abs(w), std::abs(h));
    cairo_clip(cr);
  }
  // A negative Scale mirrors the picture, as it mirrors the rectangle.
  const double fx = drawnWidth / picture.Width();
  const double fy = drawnHeight / picture.Height();
  cairo_scale(cr, std::copysign(fx, w), std::copysign(fy, h));
  const SurfacePtr surface = SurfaceOf(const_cast<Image&>(picture));  // only read
  cairo_set_source_surface(cr, surface.get(), -picture.Width() / 2.0, -picture.Height() / 2.0);
  cairo_pattern_t* source = cairo_get_source(cr);
  // Smoothing reads past the picture's edge; padding keeps the edge pixels opaque there.
  if (fit == Fit::kCover) cairo_pattern_set_extend(source, CAIRO_EXTEND_PAD);
  // The media comes at most about twice the drawn size, where bilinear sampling is
  // enough; Cairo's good filter would convolve every pixel.
  if (fx >= 0.5 && fy >= 0.5) cairo_pattern_set_filter(source, CAIRO_FILTER_BILINEAR);
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
  std::vector<std::shared_ptr<InputMedia>> media;
  RenderSettings settings;
  std::vector<int> order;  // DrawingOrder(animation)
};

Renderer::Renderer(Animation animation, std::vector<std::shared_ptr<InputMedia>> media, RenderSettings settings)
    : impl_(std::make_unique<Impl>()) {
  impl_->order = DrawingOrder(animation);
  impl_->animation = std::move(animation);
  impl_->media = std::move(media);
  impl_->settings = settings;
}

namespace {

std::vector<std::shared_ptr<InputMedia>> AsMedia(std::vector<Image> pictures) {
  std::vector<std::shared_ptr<InputMedia>> media;
  for (Image& picture : pictures) media.push_back(PictureMedia(std::move(picture)));
  return media;
}

}  // namespace

Renderer::Renderer(Animation animation, std::vector<Image> pictures, RenderSettings settings)
    : Renderer(std::move(animation), AsMedia(std::move(pictures)), settings) {}

Renderer::Renderer(Renderer&&) noexcept = default;
Renderer& Renderer::operator=(Renderer&&) noexcept = default;
Renderer::~Renderer() = default;

const Animation& Renderer::GetAnimation() const { return impl_->animation; }

const RenderSettings& Renderer::Settings() const { return impl_->settings; }

Image Renderer::Render(double time, int width, int height) {
  if (width < 1 || height < 1 || width > kMaxFrameSide || height > kMaxFrameSide) {
    throw HostError("a frame must be 1 to " + std::to_string(kMaxFrameSide) + " pixels wide and high, not " +
                    std::to_string(width) + "x" + std::to_string(height));
  }
  Image frame(width, height);
  RenderInto(frame, time);
  return frame;
}

void Renderer::RenderInto(Image& target, double time) {
  const SurfacePtr surface = SurfaceOf(target);
  const ContextPtr context(cairo_create(surface.get()));
  cairo_t* cr = context.get();
  const double width = target.Width();
  const double height = target.Height();
  SetColour(cr, kBackground, 1.0);
  cairo_paint(cr);

  const std::vector<Track>& tracks = impl_->animation.tracks;
  const std::vector<std::shared_ptr<InputMedia>>& media = impl_->media;
  for (const int index : impl_->order) {
    const Track& track = tracks[static_cast<std::size_t>(index)];
    InputMedia* shown = media.empty() ? nullptr : media[static_cast<std::size_t>(index) % media.size()].get();
    const std::optional<Pose> pose = track.PoseAt(time);
    if (!pose) {
      if (shown != nullptr && !track.Empty()) shown->Suspend();
      continue;
    }
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
    if (shown == nullptr) {
      DrawCard(cr, index, w, h, opacity, std::min(width, height));
    } else {
      const double seconds = (time - track.Start()) * impl_->settings.seconds;
      DrawMedia(cr, *shown, seconds, impl_->settings.fit, w, h, opacity);
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

namespace {

// The layout of a contact sheet: a title line, then a grid of labelled frames about as
// wide as high in cells.
constexpr int kSheetMargin = 12;
constexpr int kSheetTitle = 40;
constexpr int kSheetLabel = 24;

int SheetColumns(int frames) {
  return static_cast<int>(std::ceil(std::sqrt(static_cast<double>(std::max(1, frames)))));
}

}  // namespace

SheetSize ContactSheetSize(int frames, int thumbWidth, int thumbHeight) {
  const std::int64_t count = std::max(1, frames);
  const std::int64_t columns = SheetColumns(frames);
  const std::int64_t rows = (count + columns - 1) / columns;
  return {kSheetMargin + columns * (std::int64_t{thumbWidth} + kSheetMargin),
          kSheetTitle + rows * (std::int64_t{thumbHeight} + kSheetLabel + kSheetMargin)};
}

Image ContactSheet(Renderer& renderer, const std::vector<double>& times, int thumbWidth, int thumbHeight) {
  const int count = std::max<int>(1, static_cast<int>(times.size()));
  const int columns = SheetColumns(count);
  const int cellWidth = thumbWidth + kSheetMargin;
  const int cellHeight = thumbHeight + kSheetLabel + kSheetMargin;
  const SheetSize size = ContactSheetSize(count, thumbWidth, thumbHeight);
  if (size.width > kMaxFrameSide || size.height > kMaxFrameSide) {
    throw HostError("a contact sheet of " + std::to_string(count) + " frames of " + std::to_string(thumbWidth) + "x" +
                    std::to_string(thumbHeight) + " would be larger than " + std::to_string(kMaxFrameSide) +
                    " pixels a side");
  }
  Image sheet(static_cast<int>(size.width), static_cast<int>(size.height));
  sheet.Fill(kSheetBackground);

  const SurfacePtr surface = SurfaceOf(sheet);
  const ContextPtr context(cairo_create(surface.get()));
  cairo_t* cr = context.get();
  const Animation& animation = renderer.GetAnimation();
  // A plug-in's name need not be UTF-8, which Cairo's text requires.
  const std::string title =
      ValidUtf8(animation.info.displayName) + " - " + std::to_string(animation.inputCount) + " inputs";
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr, 20);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_move_to(cr, kSheetMargin, kSheetTitle - 12);
  cairo_show_text(cr, title.c_str());

  Image thumb(thumbWidth, thumbHeight);
  for (std::size_t i = 0; i < times.size(); ++i) {
    const int x = kSheetMargin + static_cast<int>(i) % columns * cellWidth;
    const int y = kSheetTitle + static_cast<int>(i) / columns * cellHeight;
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
