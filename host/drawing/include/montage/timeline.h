// The timeline chart of an animation: when each input is shown and how strongly, where
// its keyframes lie, and how its Scale and position change, drawn with Cairo and written
// as a PNG or an SVG file. Part of the drawing library (Montage::drawing).
//
// The chart
//   A title line names the template and its input count; a legend explains the marks.
//   Below it there is one row per input, input 0 at the top, and three panels share the
//   rows, each across the effect's time from 0 to 1 (ticks at quarters):
//   - "shown": the input's placeholder colour (PlaceholderColour) fills the time between
//     its first and last keyframe, as strong as its interpolated Opacity (clamped to
//     0..1, exact linear ramps between keyframes); a diamond marks each keyframe, and
//     keyframes at one time (a cut) sit side by side on a vertical line. Keyframes
//     before 0 or after 1 are clipped to the axis; an arrow at the edge says that the
//     input goes on beyond it. Full-frame layers (IsLayer) have a tinted row and a
//     "layer" badge; an input without keyframes says so.
//   - "scale": the input's Scale over time; "position": its PosX and PosY. Each panel has
//     one vertical range for every row, so rows compare: Scale from 0 (or its lowest
//     value, when negative) to its highest, position symmetric about the frame's centre
//     and at least to the frame's edges (+-0.5). Values beyond 50 do not widen a range;
//     they leave the panel at its edge. Non-finite values are left out.
//   Rows are 48 pixels high for up to 20 inputs and get thinner for more, down to 16;
//   at most 200 rows are drawn, and a note says how many of the inputs are shown. The
//   chart is 1400 pixels wide and at most about 3400 high.
//
// Threads
//   These functions keep no state; they may run on several threads at once (Cairo locks
//   its own font cache). See ReleaseDrawingCaches in montage/drawing.h.
//
// Errors
//   HostError naming the file for a file that cannot be written, or a name that asks
//   for neither format; "drawing failed" when Cairo fails (out of memory).
#ifndef MONTAGE_TIMELINE_H
#define MONTAGE_TIMELINE_H

#include <filesystem>

#include "montage/drawing.h"
#include "montage/host.h"

namespace montage {

// Where the chart of an animation puts its rows and its time axis, in pixels of the
// chart (x right, y down), for callers that point into it.
struct TimelineLayout {
  int width = 0;
  int height = 0;
  int inputs = 0;     // rows the animation has: one per track
  int rowsShown = 0;  // inputs 0 .. rowsShown-1 have a row
  double rowsTop = 0;
  double rowHeight = 0;
  double laneLeft = 0;   // x of time 0 in the "shown" panel
  double laneRight = 0;  // x of time 1 there

  // The x of `time` in the "shown" panel, clamped to the axis (time 0 for NaN).
  [[nodiscard]] double TimeX(double time) const;
  // The y of the middle of the row of `input` (0 .. rowsShown-1).
  [[nodiscard]] double RowCentreY(int input) const;
};

[[nodiscard]] TimelineLayout LayoutTimeline(const Animation& animation);

// The chart as a picture of LayoutTimeline(animation)'s size.
[[nodiscard]] Image TimelineImage(const Animation& animation);

// Writes the chart of `animation` to `file`, as PNG or SVG by its extension (".png",
// ".svg", in any case); any other name is a HostError naming the file, and nothing is
// written. The file is written through OutputFile (montage/output_file.h): when writing
// fails, a file that was there stays as it was.
void WriteTimeline(const Animation& animation, const std::filesystem::path& file);

}  // namespace montage

#endif  // MONTAGE_TIMELINE_H
