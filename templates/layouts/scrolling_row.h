// The scrolling-row layout: a row of slots one pitch apart scrolls right to left by one
// slot per time step, the running time being cut into count - 3 steps (m). The last
// three inputs are full-size tile layers that hold the left, centre and right slot at
// every step boundary and wrap from the left end to the right end through a pair of
// transparent keyframes. The other m inputs are carousel inputs that ride the same row
// in a closed loop turning once: they come in at PosX +1 and go out at -1; input 0 and
// the two inputs just before the tiles start and end in a slot, the others cross once.
#ifndef MONTAGE_TEMPLATES_SCROLLING_ROW_H
#define MONTAGE_TEMPLATES_SCROLLING_ROW_H

#include <climits>
#include <cstdint>
#include <new>

#include "effect_template.h"

struct ScrollingRowLayout {
  double slotPitch;      // distance between slots; PosX of the right (+) and left (-) slot
  double tileWrapX;      // PosX (- then +) of a tile layer's transparent wrap pair
  double carouselScale;  // Scale of every carousel keyframe
};

// Phase at time 0 of inputs count - 3, count - 2, count - 1. Phase 0 is the right slot,
// 1 the centre slot, 2 the left slot.
inline constexpr int kScrollingRowTileStartPhase[3] = {1, 0, 2};
// PosX where carousel inputs come in (+) and go out (-).
inline constexpr double kScrollingRowCarouselEdgeX = 1.0;
// Steps before a step boundary at which a tile turns transparent at the left end and
// reappears at the right end.
inline constexpr double kScrollingRowWrapOutLead = 0.6;
inline constexpr double kScrollingRowWrapInLead = 0.4;

// Carousel input: `k` is its slot at time 0 counted rightwards from the centre slot,
// m - 1 - index, formed in double so that any int index stays exact.
inline KeyFrame* ScrollingRowCarousel(const ScrollingRowLayout& layout, double k, int m, double step, int& n) {
  // The row's speed in PosX per unit of time: divided by the rounded step, which is not
  // always the product pitch * m.
  const double speed = layout.slotPitch / step;
  const double edge = kScrollingRowCarouselEdgeX;
  KeyFrame* frames = nullptr;
  if (k >= 2.0 && k != static_cast<double>(m) - 1.0) {
    // Crossing once: in at the right edge, out at the left edge.
    frames = NewKeyFrames(2, n);
    const double in = (k * layout.slotPitch - edge) / speed;
    frames[0].PosX = edge;
    frames[0].Time = in;
    frames[1].PosX = -edge;
    frames[1].Time = in + 2.0 / speed;
  } else {
    // Looping: from its slot out at the left edge, across while transparent, in again
    // at the right edge and back in its slot at time 1. Tested in this order: at counts
    // 4 and 5 input 0 has k = m - 1 of 0 or 1 and starts in the centre or right slot.
    const double start = k == 0.0 ? 0.0 : (k == 1.0 ? layout.slotPitch : -layout.slotPitch);
    const double out = (start + edge) / speed;
    const double back = 1.0 - (edge - start) / speed;
    const double third = (back - out) / 3.0;
    frames = NewKeyFrames(6, n);
    frames[0].PosX = start;
    frames[1].PosX = -edge;
    frames[1].Time = out;
    frames[2].PosX = -edge;
    frames[2].Opacity = 0.0;
    frames[2].Time = out + third;
    frames[3].PosX = edge;
    frames[3].Opacity = 0.0;
    frames[3].Time = (out + third) + third;
    frames[4].PosX = edge;
    frames[4].Time = back;
    frames[5].PosX = start;
    frames[5].Time = 1.0;
  }
  for (int i = 0; i < n; ++i) frames[i].Scale = layout.carouselScale;
  return frames;
}

// Tile layer starting in `phase`: one keyframe per step boundary 0..m, preceded by the
// transparent wrap pair at every entry into the right slot after time 0.
inline KeyFrame* ScrollingRowTile(const ScrollingRowLayout& layout, int phase, int m, double step, int& n) {
  // Up to about 5/3 * INT_MAX keyframes for the largest counts: counted in 64 bits. A
  // count beyond int is also a byte size beyond 32 bits, which fails like any other.
  const std::int64_t total = std::int64_t{m} + 1 + 2 * ((std::int64_t{phase} + m) / 3);
  if (total > INT_MAX) throw std::bad_alloc();
  KeyFrame* frames = NewKeyFrames(static_cast<int>(total), n);
  const double slotX[3] = {layout.slotPitch, 0.0, -layout.slotPitch};
  KeyFrame* frame = frames;
  // m <= INT_MAX - 3 keeps i and phase + i inside int.
  for (int i = 0; i <= m; ++i) {
    const int p = (phase + i) % 3;
    const double boundary = static_cast<double>(i);
    if (p == 0 && i > 0) {
      frame->PosX = -layout.tileWrapX;
      frame->Opacity = 0.0;
      frame->Time = (boundary - kScrollingRowWrapOutLead) * step;
      ++frame;
      frame->PosX = layout.tileWrapX;
      frame->Opacity = 0.0;
      frame->Time = (boundary - kScrollingRowWrapInLead) * step;
      ++frame;
    }
    frame->PosX = slotX[p];
    frame->Time = boundary * step;
    ++frame;
  }
  return frames;
}

inline KeyFrame* GenerateScrollingRow(const ScrollingRowLayout& layout, int index, int count, int& n) {
  // With three inputs or fewer there is no time step (m <= 0) and a tile layer would get
  // no keyframes or a negative number of them: no keyframes at all.
  if (count <= 3) return nullptr;
  const int m = count - 3;
  const double step = 1.0 / static_cast<double>(m);
  if (index < m) {
    // A negative index lands here too, as a crossing input far to the right.
    const double k = (static_cast<double>(m) - 1.0) - static_cast<double>(index);
    return ScrollingRowCarousel(layout, k, m, step, n);
  }
  // index >= m >= 1, so the difference cannot overflow; an index at or beyond the count
  // has no start phase.
  const int tile = index - m;
  if (tile > 2) return nullptr;
  return ScrollingRowTile(layout, kScrollingRowTileStartPhase[tile], m, step, n);
}

#endif  // MONTAGE_TEMPLATES_SCROLLING_ROW_H
