// The timeline chart of an animation, drawn with Cairo into a picture or an SVG stream.
#include "montage/timeline.h"

#include <cairo-svg.h>
#include <cairo.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <exception>
#include <initializer_list>
#include <limits>
#include <numbers>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cairo_support.h"
#include "montage/output_file.h"

namespace montage {

namespace {

// ---- Geometry, in pixels ------------------------------------------------------------------

constexpr int kWidth = 1400;
constexpr double kMargin = 24;
constexpr double kLabelLeft = kMargin;
constexpr double kLaneLeft = 232;
constexpr double kLaneRight = 840;
constexpr double kScaleLeft = 868;
constexpr double kScaleRight = 1108;
constexpr double kPositionLeft = 1136;
constexpr double kPositionRight = kWidth - kMargin;
// The left and right ends of the three panels: shown, scale, position.
constexpr std::pair<double, double> kPanels[] = {
    {kLaneLeft, kLaneRight}, {kScaleLeft, kScaleRight}, {kPositionLeft, kPositionRight}};
constexpr double kTitleBaseline = 42;
constexpr double kSubtitleBaseline = 66;
constexpr double kPanelTitleBaseline = 98;
constexpr double kTickBaseline = 116;
constexpr double kRowsTop = 126;
constexpr double kTallRow = 48;
constexpr double kThinRow = 16;
constexpr int kTallRows = 20;
constexpr int kMaxRows = 200;
constexpr double kFooter = 44;
constexpr double kNote = 22;

// Values beyond this do not widen a panel's range; beyond kFar they are taken as kFar,
// which keeps every coordinate Cairo sees small while a pixel cannot tell the difference.
constexpr double kRangeLimit = 50;
constexpr double kFar = 1e12;
// Keyframe times this close to 0 or 1 count as on the axis: sums such as 0.6 + 0.4 land a
// hair past 1.
constexpr double kTimeTolerance = 1e-9;
// The strongest shading, at Opacity 1: the placeholder colour stays a little darker than
// the diamonds on it.
constexpr double kShade = 0.85;

// ---- Colours ------------------------------------------------------------------------------

constexpr Colour kBackground{17, 17, 20, 255};
constexpr Colour kText{236, 236, 242, 255};
constexpr Colour kMuted{148, 148, 160, 255};
constexpr Colour kBand{24, 24, 30, 255};
constexpr Colour kLayerBand{27, 33, 52, 255};
constexpr Colour kPanel{33, 33, 41, 255};
constexpr Colour kLayerPanel{36, 45, 70, 255};
constexpr Colour kLayerBadge{86, 116, 204, 255};
constexpr Colour kMark{244, 244, 248, 255};
constexpr Colour kMarkEdge{17, 17, 20, 255};
constexpr Colour kScaleLine{242, 193, 78, 255};
constexpr Colour kPosXLine{76, 201, 240, 255};
constexpr Colour kPosYLine{244, 114, 182, 255};

// A line chart of one field: PosY is dashed, so that where it lies on PosX (as it often
// does) both stay visible.
struct Curve {
  double KeyFrame::*field;
  Colour colour;
  bool dashed;
};
constexpr Curve kScaleCurve{&KeyFrame::Scale, kScaleLine, false};
constexpr Curve kPosXCurve{&KeyFrame::PosX, kPosXLine, false};
constexpr Curve kPosYCurve{&KeyFrame::PosY, kPosYLine, true};
constexpr double kDash[] = {4, 3};

void SetColour(cairo_t* cr, Colour colour, double alpha = 1.0) {
  cairo_set_source_rgba(cr, colour.r / 255.0, colour.g / 255.0, colour.b / 255.0, alpha * colour.a / 255.0);
}

void CheckStatus(cairo_t* cr) {
  if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
    throw HostError(std::string("drawing failed: ") + cairo_status_to_string(cairo_status(cr)));
  }
}

// ---- Text ---------------------------------------------------------------------------------

// `text` as Cairo can show it (ValidUtf8: plug-in names are arbitrary bytes, and one
// invalid string would put the whole drawing into an error state), at most `limit`
// characters, then an ellipsis.
std::string Printable(std::string_view text, int limit) {
  const std::string valid = ValidUtf8(text);
  int characters = 0;
  for (std::size_t at = 0; at < valid.size(); ++at) {
    if ((static_cast<unsigned char>(valid[at]) & 0xC0u) == 0x80u) continue;  // inside a character
    if (characters++ == limit) return valid.substr(0, at) + "\u2026";
  }
  return valid;
}

// A time or value as people write it: up to three decimals without trailing zeros, or
// three significant digits for large magnitudes.
std::string Number(double value, int decimals = 3) {
  char text[32];
  if (!std::isfinite(value)) return FormatDouble(value);
  std::string out;
  if (std::abs(value) >= 1000) {
    std::snprintf(text, sizeof text, "%.3g", value);
    out = text;
  } else {
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    out = text;
    if (out.find('.') != std::string::npos) {
      while (out.back() == '0') out.pop_back();
      if (out.back() == '.') out.pop_back();
    }
  }
  if (out == "-0") out = "0";
  if (out.starts_with('-')) out.replace(0, 1, "\u2212");
  return out;
}

enum class Align { kLeft, kCentre, kRight };

struct Font {
  double size = 13;
  bool bold = false;
  bool italic = false;
};

void SelectFont(cairo_t* cr, Font font) {
  cairo_select_font_face(cr, "sans-serif", font.italic ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
                         font.bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, font.size);
}

double TextWidth(cairo_t* cr, const std::string& text, Font font) {
  SelectFont(cr, font);
  cairo_text_extents_t extents;
  cairo_text_extents(cr, text.c_str(), &extents);
  return extents.x_advance;
}

// Shows `text` (valid UTF-8) with its baseline at `y`; returns the x after it.
double ShowText(cairo_t* cr, const std::string& text, double x, double y, Font font, Colour colour,
                Align align = Align::kLeft, double alpha = 1.0) {
  const double width = TextWidth(cr, text, font);
  if (align == Align::kCentre) x -= width / 2;
  if (align == Align::kRight) x -= width;
  SetColour(cr, colour, alpha);
  cairo_move_to(cr, x, y);
  cairo_show_text(cr, text.c_str());
  return x + width;
}

// ---- Shapes -------------------------------------------------------------------------------

void RoundedRectangle(cairo_t* cr, double x, double y, double w, double h, double radius) {
  radius = std::max(0.0, std::min({radius, w / 2, h / 2}));
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + w - radius, y + radius, radius, -std::numbers::pi / 2, 0);
  cairo_arc(cr, x + w - radius, y + h - radius, radius, 0, std::numbers::pi / 2);
  cairo_arc(cr, x + radius, y + h - radius, radius, std::numbers::pi / 2, std::numbers::pi);
  cairo_arc(cr, x + radius, y + radius, radius, std::numbers::pi, 3 * std::numbers::pi / 2);
  cairo_close_path(cr);
}

// One keyframe: a light diamond with a dark edge, visible on any shading. Each is filled
// on its own, so that an SVG holds one shape per keyframe.
void Diamond(cairo_t* cr, double x, double y, double radius) {
  cairo_move_to(cr, x, y - radius);
  cairo_line_to(cr, x + radius, y);
  cairo_line_to(cr, x, y + radius);
  cairo_line_to(cr, x - radius, y);
  cairo_close_path(cr);
  SetColour(cr, kMark);
  cairo_fill_preserve(cr);
  SetColour(cr, kMarkEdge, 0.9);
  cairo_set_line_width(cr, std::max(1.0, radius / 4));
  cairo_stroke(cr);
}

// A small triangle pointing left (direction -1) or right (+1) with its tip at (x, y).
void Arrow(cairo_t* cr, double x, double y, double direction, double size, Colour colour) {
  cairo_move_to(cr, x, y);
  cairo_line_to(cr, x - direction * size, y - size * 0.8);
  cairo_line_to(cr, x - direction * size, y + size * 0.8);
  cairo_close_path(cr);
  SetColour(cr, colour);
  cairo_fill(cr);
}

// ---- Linear pieces ------------------------------------------------------------------------

struct Point {
  double t = 0;
  double v = 0;
};

// The part of the segment a-b inside lo.t <= t <= hi.t, lo.v <= v <= hi.v (Liang-Barsky),
// or nothing when none of it is. All inputs finite.
std::optional<std::pair<Point, Point>> Clip(Point a, Point b, Point lo, Point hi) {
  const double dt = b.t - a.t;
  const double dv = b.v - a.v;
  double u0 = 0;
  double u1 = 1;
  const double p[4] = {-dt, dt, -dv, dv};
  const double q[4] = {a.t - lo.t, hi.t - a.t, a.v - lo.v, hi.v - a.v};
  for (int k = 0; k < 4; ++k) {
    if (p[k] == 0) {
      if (q[k] < 0) return std::nullopt;
      continue;
    }
    const double r = q[k] / p[k];
    if (p[k] < 0) {
      u0 = std::max(u0, r);
    } else {
      u1 = std::min(u1, r);
    }
  }
  if (u0 > u1) return std::nullopt;
  auto at = [&](double u) {
    if (u == 0) return a;
    if (u == 1) return b;
    return Point{a.t + dt * u, a.v + dv * u};
  };
  return std::pair{at(u0), at(u1)};
}

double Far(double value) { return std::clamp(value, -kFar, kFar); }

// The pieces of a field of `track` over time, each from one keyframe to the next (a
// vertical piece at a cut), limited to the axis; pieces with a non-finite value are left
// out. A track with a single moment gives one piece of zero length.
template <typename Visit>
void ForEachPiece(const Track& track, double KeyFrame::*field, Point lo, Point hi, Visit visit) {
  const std::vector<KeyFrame>& frames = track.KeyFrames();
  auto point = [field](const KeyFrame& frame) { return Point{Far(frame.Time), Far(frame.*field)}; };
  auto finite = [field](const KeyFrame& frame) { return std::isfinite(frame.*field); };
  if (frames.size() == 1) {
    if (finite(frames[0])) {
      if (auto piece = Clip(point(frames[0]), point(frames[0]), lo, hi)) visit(piece->first, piece->second);
    }
    return;
  }
  for (std::size_t k = 1; k < frames.size(); ++k) {
    if (!finite(frames[k - 1]) || !finite(frames[k])) continue;
    if (auto piece = Clip(point(frames[k - 1]), point(frames[k]), lo, hi)) visit(piece->first, piece->second);
  }
}

constexpr Point kAxisLow{0, -kFar};
constexpr Point kAxisHigh{1, kFar};

// ---- Ranges of the curve panels -----------------------------------------------------------

struct Range {
  double lo = 0;
  double hi = 1;
};

// The least of 1, 1.2, 1.5, 2, 2.5, 3, 4, 5, 6, 8 times a power of ten that is >= value > 0.
double NiceCeil(double value) {
  const double power = std::pow(10.0, std::floor(std::log10(value)));
  for (const double step : {1.0, 1.2, 1.5, 2.0, 2.5, 3.0, 4.0, 5.0, 6.0, 8.0, 10.0}) {
    if (step * power >= value * (1 - 1e-12)) return step * power;
  }
  return 10 * power;
}

// The lowest and highest values of `fields` that the rows show on the axis, among those
// within kRangeLimit; nothing when there are none.
std::optional<Range> Extent(const std::vector<Track>& tracks, int rows,
                            std::initializer_list<double KeyFrame::*> fields) {
  std::optional<Range> extent;
  auto take = [&extent](double value) {
    if (!(std::abs(value) <= kRangeLimit)) return;
    if (!extent) extent = Range{value, value};
    extent->lo = std::min(extent->lo, value);
    extent->hi = std::max(extent->hi, value);
  };
  for (int row = 0; row < rows; ++row) {
    for (double KeyFrame::*field : fields) {
      ForEachPiece(tracks[static_cast<std::size_t>(row)], field, kAxisLow, kAxisHigh, [&](Point a, Point b) {
        take(a.v);
        take(b.v);
      });
    }
  }
  return extent;
}

// Scale from 0 (or below, for mirrored inputs) to at least 1, the full frame.
Range ScaleRange(const std::vector<Track>& tracks, int rows) {
  const Range extent = Extent(tracks, rows, {&KeyFrame::Scale}).value_or(Range{0, 1});
  Range range{0, NiceCeil(std::max(1.0, extent.hi))};
  if (extent.lo < 0) range.lo = -NiceCeil(-extent.lo);
  return range;
}

// Position symmetric about the frame's centre, at least to its edges.
Range PositionRange(const std::vector<Track>& tracks, int rows) {
  const Range extent = Extent(tracks, rows, {&KeyFrame::PosX, &KeyFrame::PosY}).value_or(Range{0, 0});
  const double reach = NiceCeil(std::max({0.5, -extent.lo, extent.hi}));
  return {-reach, reach};
}

// ---- The chart ----------------------------------------------------------------------------

struct Box {
  double left = 0;
  double top = 0;
  double right = 0;
  double bottom = 0;
  [[nodiscard]] double Width() const { return right - left; }
  [[nodiscard]] double Height() const { return bottom - top; }
};

class Chart {
 public:
  Chart(cairo_t* cr, const Animation& animation)
      : cr_(cr),
        tracks_(animation.tracks),
        info_(animation.info),
        layout_(LayoutTimeline(animation)),
        scale_(ScaleRange(tracks_, layout_.rowsShown)),
        position_(PositionRange(tracks_, layout_.rowsShown)) {
    layers_.reserve(static_cast<std::size_t>(layout_.rowsShown));
    for (int row = 0; row < layout_.rowsShown; ++row) layers_.push_back(IsLayer(Row(row)));
  }

  void Draw() {
    SetColour(cr_, kBackground);
    cairo_paint(cr_);
    DrawHeader();
    for (int row = 0; row < layout_.rowsShown; ++row) DrawRowBackground(row);
    DrawGrid();
    for (int row = 0; row < layout_.rowsShown; ++row) {
      DrawLabel(row);
      DrawLane(row);
      DrawCurves(row, kScaleLeft, kScaleRight, scale_, {kScaleCurve}, 1.0);
      DrawCurves(row, kPositionLeft, kPositionRight, position_, {kPosXCurve, kPosYCurve}, 0.0);
    }
    DrawFooter();
    CheckStatus(cr_);
  }

 private:
  [[nodiscard]] const Track& Row(int row) const { return tracks_[static_cast<std::size_t>(row)]; }
  [[nodiscard]] double RowTop(int row) const { return layout_.rowsTop + row * layout_.rowHeight; }
  [[nodiscard]] double Padding() const { return std::max(2.0, std::round(layout_.rowHeight * 0.14)); }
  // The panel area of `row` between `left` and `right`.
  [[nodiscard]] Box Panel(int row, double left, double right) const {
    return {left, RowTop(row) + Padding(), right, RowTop(row) + layout_.rowHeight - Padding()};
  }
  [[nodiscard]] double LabelSize() const { return std::clamp(layout_.rowHeight * 0.3, 9.0, 13.0); }

  void DrawHeader() {
    const std::string name = Printable(info_.displayName.empty() ? info_.name : info_.displayName, 40);
    const Font title{22, true};
    double x = ShowText(cr_, name.empty() ? "Untitled template" : name, kMargin, kTitleBaseline, title, kText);
    const std::string count = std::to_string(layout_.inputs) + (layout_.inputs == 1 ? " input" : " inputs");
    ShowText(cr_, "  \u00b7  " + count, x, kTitleBaseline, Font{22}, kMuted);

    std::string subtitle = "Choreography over the effect's time, 0 to 1";
    const auto layers = std::ranges::count(layers_, true);
    if (layers > 0) {
      subtitle += "  \u00b7  " + std::to_string(layers) + (layers == 1 ? " full-frame layer" : " full-frame layers") +
                  ", drawn beneath the others";
    }
    double first = std::numeric_limits<double>::infinity();
    double last = -first;
    for (int row = 0; row < layout_.rowsShown; ++row) {
      if (Row(row).Empty()) continue;
      first = std::min(first, Row(row).Start());
      last = std::max(last, Row(row).End());
    }
    if (first < -kTimeTolerance || last > 1 + kTimeTolerance) {
      subtitle += "  \u00b7  keyframes from " + Number(first) + " to " + Number(last) + ", clipped";
    }
    if (layout_.rowsShown < layout_.inputs) {
      subtitle += "  \u00b7  first " + std::to_string(layout_.rowsShown) + " shown";
    }
    ShowText(cr_, subtitle, kMargin, kSubtitleBaseline, Font{13}, kMuted);
    DrawLegend();

    const Font panelTitle{11, true};
    ShowText(cr_, "SHOWN  \u00b7  OPACITY", kLaneLeft, kPanelTitleBaseline, panelTitle, kMuted);
    x = ShowText(cr_, "SCALE", kScaleLeft, kPanelTitleBaseline, panelTitle, kScaleLine);
    ShowText(cr_, Number(scale_.lo) + " \u2013 " + Number(scale_.hi), kScaleRight, kPanelTitleBaseline, Font{11},
             kMuted, Align::kRight);
    x = ShowText(cr_, "POSITION", kPositionLeft, kPanelTitleBaseline, panelTitle, kMuted);
    for (const auto& [curve, letter] : {std::pair{kPosXCurve, "x"}, std::pair{kPosYCurve, "y"}}) {
      const double y = kPanelTitleBaseline - 4;
      cairo_move_to(cr_, x + 12, y);
      cairo_line_to(cr_, x + 30, y);
      SetColour(cr_, curve.colour);
      cairo_set_line_width(cr_, 2);
      cairo_set_dash(cr_, kDash, curve.dashed ? 2 : 0, 0);
      cairo_stroke(cr_);
      cairo_set_dash(cr_, nullptr, 0, 0);
      x = ShowText(cr_, letter, x + 34, kPanelTitleBaseline, panelTitle, curve.colour);
    }
    ShowText(cr_, "\u00b1" + Number(position_.hi), kPositionRight, kPanelTitleBaseline, Font{11}, kMuted,
             Align::kRight);
    DrawTicks(kTickBaseline);
  }

  // What the marks mean, at the right of the title line.
  void DrawLegend() {
    const Font font{12};
    const double y = kTitleBaseline - 4;
    double x = kPositionRight;
    auto item = [&](const std::string& text, auto&& symbol, double symbolWidth) {
      x = x - TextWidth(cr_, text, font);
      ShowText(cr_, text, x, y + 4, font, kMuted);
      x -= 6 + symbolWidth;
      symbol(x, symbolWidth);
      x -= 22;
    };
    item(
        "beyond 0\u20131", [&](double at, double) { Arrow(cr_, at + 7, y, 1, 7, kText); }, 8);
    item(
        "cut",
        [&](double at, double w) {
          SetColour(cr_, kText, 0.85);
          cairo_set_line_width(cr_, 1.5);
          cairo_move_to(cr_, at + w / 2, y - 9);
          cairo_line_to(cr_, at + w / 2, y + 9);
          cairo_stroke(cr_);
          Diamond(cr_, at + w / 2 - 3.5, y, 5);
          Diamond(cr_, at + w / 2 + 3.5, y, 5);
        },
        18);
    item(
        "keyframe", [&](double at, double w) { Diamond(cr_, at + w / 2, y, 5); }, 10);
    item(
        "shown, as strong as its opacity",
        [&](double at, double w) {
          cairo_pattern_t* ramp = cairo_pattern_create_linear(at, 0, at + w, 0);
          const Colour colour = PlaceholderColour(0);
          cairo_pattern_add_color_stop_rgba(ramp, 0, colour.r / 255.0, colour.g / 255.0, colour.b / 255.0, 0);
          cairo_pattern_add_color_stop_rgba(ramp, 1, colour.r / 255.0, colour.g / 255.0, colour.b / 255.0, kShade);
          RoundedRectangle(cr_, at, y - 7, w, 14, 3);
          SetColour(cr_, kPanel);
          cairo_fill_preserve(cr_);
          cairo_set_source(cr_, ramp);
          cairo_fill(cr_);
          cairo_pattern_destroy(ramp);
        },
        40);
  }

  // Time labels at the quarters of each panel, baseline at `y`.
  void DrawTicks(double y) {
    for (const auto& [left, right] : kPanels) {
      for (int quarter = 0; quarter <= 4; ++quarter) {
        const Align align = quarter == 0 ? Align::kLeft : quarter == 4 ? Align::kRight : Align::kCentre;
        ShowText(cr_, Number(quarter / 4.0, 2), left + (right - left) * quarter / 4, y, Font{10}, kMuted, align);
      }
    }
  }

  void DrawRowBackground(int row) {
    const bool layer = layers_[static_cast<std::size_t>(row)];
    const double top = RowTop(row) + 1;
    const double h = layout_.rowHeight - 2;
    RoundedRectangle(cr_, kLabelLeft, top, kPositionRight - kLabelLeft, h, std::min(6.0, h / 4));
    SetColour(cr_, layer ? kLayerBand : kBand);
    cairo_fill(cr_);
    for (const auto& [left, right] : kPanels) {
      const Box box = Panel(row, left, right);
      RoundedRectangle(cr_, box.left, box.top, box.Width(), box.Height(), std::min(3.0, box.Height() / 4));
      SetColour(cr_, layer ? kLayerPanel : kPanel);
      cairo_fill(cr_);
    }
  }

  // Faint lines at the quarters, through every row.
  void DrawGrid() {
    const double top = layout_.rowsTop;
    const double bottom = layout_.rowsTop + layout_.rowsShown * layout_.rowHeight;
    cairo_set_line_width(cr_, 1);
    SetColour(cr_, kText, 0.07);
    for (const auto& [left, right] : kPanels) {
      for (int quarter = 1; quarter < 4; ++quarter) {
        const double x = std::round(left + (right - left) * quarter / 4) + 0.5;
        cairo_move_to(cr_, x, top);
        cairo_line_to(cr_, x, bottom);
      }
    }
    cairo_stroke(cr_);
  }

  // The input's number on a swatch of its placeholder colour, and what kind of row it is.
  void DrawLabel(int row) {
    const Track& track = Row(row);
    const double h = layout_.rowHeight;
    const double centre = RowTop(row) + h / 2;
    const double side = std::min(h - 2 * Padding(), 28.0);
    const double left = kLabelLeft + 8;
    RoundedRectangle(cr_, left, centre - side / 2, side, side, side * 0.22);
    SetColour(cr_, PlaceholderColour(row), 0.9);
    cairo_fill(cr_);

    const std::string index = std::to_string(row);
    Font number{side * 0.55, true};
    const double width = TextWidth(cr_, index, number);
    if (width > side - 4) number.size *= (side - 4) / width;
    cairo_text_extents_t extents;
    SelectFont(cr_, number);
    cairo_text_extents(cr_, index.c_str(), &extents);
    cairo_move_to(cr_, left + side / 2 - extents.width / 2 - extents.x_bearing,
                  centre - extents.height / 2 - extents.y_bearing);
    cairo_text_path(cr_, index.c_str());
    SetColour(cr_, kBackground, 0.7);
    cairo_set_line_width(cr_, std::max(1.0, number.size / 8));
    cairo_stroke_preserve(cr_);
    SetColour(cr_, kText);
    cairo_fill(cr_);

    const Font main{LabelSize()};
    const Font detail{std::max(9.0, LabelSize() - 2)};
    const bool twoLines = h >= 36;
    const double textLeft = left + side + 10;
    const double mainBaseline = twoLines ? centre - 2 : centre + main.size * 0.36;
    std::string what;
    if (track.Empty()) {
      what = "no keyframes";
    } else {
      const std::size_t frames = track.KeyFrames().size();
      what = std::to_string(frames) + (frames == 1 ? " keyframe" : " keyframes");
    }
    const double after = ShowText(cr_, what, textLeft, mainBaseline, main, track.Empty() ? kMuted : kText);
    if (layers_[static_cast<std::size_t>(row)]) {
      // At the right of the label column, where the badges of all layers line up.
      const Font badge{std::max(8.0, main.size - 3), true};
      const double badgeWidth = TextWidth(cr_, "LAYER", badge) + 12;
      const double badgeHeight = badge.size + 6;
      const double badgeLeft = std::max(after + 6, kLaneLeft - 16 - badgeWidth);
      const double badgeTop = mainBaseline - main.size * 0.36 - badgeHeight / 2;
      RoundedRectangle(cr_, badgeLeft, badgeTop, badgeWidth, badgeHeight, badgeHeight / 2);
      SetColour(cr_, kLayerBadge);
      cairo_fill(cr_);
      ShowText(cr_, "LAYER", badgeLeft + badgeWidth / 2, badgeTop + badgeHeight / 2 + badge.size * 0.36, badge, kText,
               Align::kCentre);
    }
    if (twoLines && !track.Empty()) {
      const std::string span = track.Start() == track.End() ? "at " + Number(track.Start())
                                                            : Number(track.Start()) + " \u2192 " + Number(track.End());
      ShowText(cr_, span, textLeft, centre + detail.size + 1, detail, kMuted);
    }
  }

  // Where and how strongly the input is shown, and its keyframes.
  void DrawLane(int row) {
    const Track& track = Row(row);
    const Box lane = Panel(row, kLaneLeft, kLaneRight);
    const double middle = (lane.top + lane.bottom) / 2;
    if (track.Empty()) {
      ShowText(cr_, "no keyframes", (lane.left + lane.right) / 2, middle + LabelSize() * 0.36,
               Font{LabelSize(), false, true}, kMuted, Align::kCentre);
      return;
    }
    const Colour colour = PlaceholderColour(row);
    cairo_save(cr_);
    cairo_rectangle(cr_, lane.left, lane.top, lane.Width(), lane.Height());
    cairo_clip(cr_);
    // The span from the first keyframe to the last, outlined even where Opacity is 0.
    const double start = layout_.TimeX(track.Start());
    const double end = layout_.TimeX(track.End());
    const bool onAxis = track.End() >= 0 && track.Start() <= 1;
    if (onAxis) {
      cairo_rectangle(cr_, start + 0.5, lane.top + 0.5, std::max(0.0, end - start - 1), lane.Height() - 1);
      SetColour(cr_, colour, 0.6);
      cairo_set_line_width(cr_, 1);
      cairo_stroke(cr_);
    }
    ForEachPiece(track, &KeyFrame::Opacity, kAxisLow, kAxisHigh, [&](Point a, Point b) {
      if (a.t == b.t) return;  // a cut
      Shade(lane, a, b, colour);
    });
    cairo_restore(cr_);

    // Keyframes: one diamond each; keyframes at one time side by side on a line.
    const double radius = std::clamp(lane.Height() * 0.3, 2.5, 6.0);
    const std::vector<KeyFrame>& frames = track.KeyFrames();
    for (std::size_t first = 0; first < frames.size();) {
      std::size_t last = first + 1;
      while (last < frames.size() && frames[last].Time == frames[first].Time) ++last;
      const double time = frames[first].Time;
      if (time >= -kTimeTolerance && time <= 1 + kTimeTolerance) {
        const double x = layout_.TimeX(time);
        const auto count = static_cast<double>(last - first);
        if (count > 1) {
          SetColour(cr_, kText, 0.85);
          cairo_set_line_width(cr_, 1.5);
          cairo_move_to(cr_, x, lane.top);
          cairo_line_to(cr_, x, lane.bottom);
          cairo_stroke(cr_);
        }
        // Many keyframes at one time stay within the lane's height of each other.
        const double step = std::min(radius * 1.3, 6 * radius / count);
        for (std::size_t k = first; k < last; ++k) {
          Diamond(cr_, x + (static_cast<double>(k - first) - (count - 1) / 2) * step, middle, radius);
        }
      }
      first = last;
    }
    const double arrow = std::clamp(lane.Height() * 0.25, 3.0, 7.0);
    if (track.Start() < -kTimeTolerance) Arrow(cr_, lane.left - 3 - arrow, middle, -1, arrow, kText);
    if (track.End() > 1 + kTimeTolerance) Arrow(cr_, lane.right + 3 + arrow, middle, 1, arrow, kText);
  }

  // The colour ramp from a to b (times on the axis, Opacity values), exact where Opacity
  // leaves 0..1: the clamped ramp bends there, so the gradient has a stop there.
  void Shade(const Box& lane, Point a, Point b, Colour colour) {
    const double x0 = layout_.TimeX(a.t);
    const double x1 = layout_.TimeX(b.t);
    if (!(x1 > x0)) return;
    cairo_pattern_t* ramp = cairo_pattern_create_linear(x0, 0, x1, 0);
    auto stop = [&](double u, double opacity) {
      cairo_pattern_add_color_stop_rgba(ramp, u, colour.r / 255.0, colour.g / 255.0, colour.b / 255.0,
                                        kShade * std::clamp(opacity, 0.0, 1.0));
    };
    stop(0, a.v);
    std::vector<double> bends;
    for (const double level : {0.0, 1.0}) {
      if ((a.v - level) * (b.v - level) < 0) bends.push_back((level - a.v) / (b.v - a.v));
    }
    std::ranges::sort(bends);
    for (const double u : bends) stop(u, a.v + (b.v - a.v) * u);
    stop(1, b.v);
    cairo_rectangle(cr_, x0, lane.top, x1 - x0, lane.Height());
    cairo_set_source(cr_, ramp);
    cairo_fill(cr_);
    cairo_pattern_destroy(ramp);
  }

  // Line charts of `curves` in the panel from `left` to `right`, over `range`, with a
  // faint line at `reference`.
  void DrawCurves(int row, double left, double right, Range range, std::initializer_list<Curve> curves,
                  double reference) {
    const Track& track = Row(row);
    if (track.Empty()) return;
    const Box panel = Panel(row, left, right);
    const double inset = std::min(3.0, panel.Height() / 6);
    const Box chart{panel.left, panel.top + inset, panel.right, panel.bottom - inset};
    auto x = [&](double t) { return chart.left + chart.Width() * t; };
    auto y = [&](double v) { return chart.bottom - chart.Height() * (v - range.lo) / (range.hi - range.lo); };
    cairo_save(cr_);
    cairo_rectangle(cr_, panel.left, panel.top, panel.Width(), panel.Height());
    cairo_clip(cr_);
    if (reference > range.lo && reference < range.hi) {
      const double at = std::round(y(reference)) + 0.5;
      const double dash[] = {3, 3};
      cairo_set_dash(cr_, dash, 2, 0);
      cairo_move_to(cr_, chart.left, at);
      cairo_line_to(cr_, chart.right, at);
      SetColour(cr_, kText, 0.16);
      cairo_set_line_width(cr_, 1);
      cairo_stroke(cr_);
      cairo_set_dash(cr_, nullptr, 0, 0);
    }
    // A little beyond the range, so that a line along its edge keeps its width.
    const double margin = (range.hi - range.lo) * 0.05;
    const Point lo{0, range.lo - margin};
    const Point hi{1, range.hi + margin};
    const double lineWidth = layout_.rowHeight >= 30 ? 1.6 : 1.2;
    cairo_set_line_width(cr_, lineWidth);
    cairo_set_line_join(cr_, CAIRO_LINE_JOIN_ROUND);
    cairo_set_line_cap(cr_, CAIRO_LINE_CAP_ROUND);
    for (const Curve& curve : curves) {
      std::optional<Point> end;
      std::vector<Point> dots;  // an input shown for a moment only
      ForEachPiece(track, curve.field, lo, hi, [&](Point a, Point b) {
        if (a.t == b.t && a.v == b.v) {
          if (track.Start() == track.End()) dots.push_back(a);
          return;
        }
        if (!end || end->t != a.t || end->v != a.v) cairo_move_to(cr_, x(a.t), y(a.v));
        cairo_line_to(cr_, x(b.t), y(b.v));
        end = b;
      });
      SetColour(cr_, curve.colour);
      cairo_set_dash(cr_, kDash, curve.dashed ? 2 : 0, 0);
      cairo_stroke(cr_);
      cairo_set_dash(cr_, nullptr, 0, 0);
      for (const Point& dot : dots) {
        cairo_new_sub_path(cr_);
        cairo_arc(cr_, x(dot.t), y(dot.v), lineWidth * 1.3, 0, 2 * std::numbers::pi);
      }
      cairo_fill(cr_);
    }
    cairo_restore(cr_);
  }

  void DrawFooter() {
    const double bottom = layout_.rowsTop + layout_.rowsShown * layout_.rowHeight;
    if (layout_.rowsShown > 8) DrawTicks(bottom + 16);
    if (layout_.rowsShown < layout_.inputs) {
      ShowText(cr_,
               "Inputs " + std::to_string(layout_.rowsShown) + " to " + std::to_string(layout_.inputs - 1) +
                   " are not drawn: the chart shows the first " + std::to_string(layout_.rowsShown) + " of " +
                   std::to_string(layout_.inputs) + " inputs.",
               kMargin, bottom + 40, Font{13}, kMuted);
    }
  }

  cairo_t* cr_;
  const std::vector<Track>& tracks_;
  const TemplateInfo& info_;
  TimelineLayout layout_;
  Range scale_;
  Range position_;
  std::vector<bool> layers_;
};

}  // namespace

double TimelineLayout::TimeX(double time) const {
  const double t = std::isnan(time) ? 0.0 : std::clamp(time, 0.0, 1.0);
  return laneLeft + (laneRight - laneLeft) * t;
}

double TimelineLayout::RowCentreY(int input) const { return rowsTop + (input + 0.5) * rowHeight; }

TimelineLayout LayoutTimeline(const Animation& animation) {
  TimelineLayout layout;
  layout.inputs = static_cast<int>(animation.tracks.size());
  layout.rowsShown = std::min(layout.inputs, kMaxRows);
  layout.rowHeight = layout.inputs <= kTallRows
                         ? kTallRow
                         : std::clamp(std::floor(kTallRow * kTallRows / layout.inputs), kThinRow, kTallRow);
  layout.rowsTop = kRowsTop;
  layout.laneLeft = kLaneLeft;
  layout.laneRight = kLaneRight;
  layout.width = kWidth;
  const double rowsBottom = kRowsTop + layout.rowsShown * layout.rowHeight;
  layout.height = static_cast<int>(std::ceil(rowsBottom + kFooter + (layout.rowsShown < layout.inputs ? kNote : 0.0)));
  return layout;
}

Image TimelineImage(const Animation& animation) {
  const TimelineLayout layout = LayoutTimeline(animation);
  Image image(layout.width, layout.height);
  const SurfacePtr surface = SurfaceOf(image);
  const ContextPtr context(cairo_create(surface.get()));
  Chart(context.get(), animation).Draw();
  cairo_surface_flush(surface.get());
  return image;
}

void WriteTimeline(const Animation& animation, const std::filesystem::path& file) {
  std::string extension = file.extension().string();
  std::ranges::transform(extension, extension.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension != ".png" && extension != ".svg") {
    throw HostError("cannot write " + file.string() + ": a timeline is written as .png or .svg");
  }
  // Drawn first: a chart that cannot be drawn leaves no temporary file behind either.
  std::optional<Image> image;
  if (extension == ".png") image = TimelineImage(animation);
  std::optional<OutputFile> output;
  try {
    output.emplace(file);
  } catch (const HostError& error) {
    throw HostError("cannot write " + file.string() + " (" + error.what() + ")");
  }
  CairoSink sink{&*output, nullptr};
  if (image) {
    const SurfacePtr surface = SurfaceOf(*image);
    sink.Check(cairo_surface_write_to_png_stream(surface.get(), &CairoSink::Write, &sink));
  } else {
    const TimelineLayout layout = LayoutTimeline(animation);
    const SurfacePtr surface(
        cairo_svg_surface_create_for_stream(&CairoSink::Write, &sink, layout.width, layout.height));
    cairo_svg_surface_set_document_unit(surface.get(), CAIRO_SVG_UNIT_PX);
    try {
      const ContextPtr context(cairo_create(surface.get()));
      Chart(context.get(), animation).Draw();
    } catch (const HostError&) {
      sink.Check(CAIRO_STATUS_SUCCESS);  // a failed write says so, naming the file
      throw;
    }
    cairo_surface_finish(surface.get());
    sink.Check(cairo_surface_status(surface.get()));
  }
  output->Commit();
}

}  // namespace montage
