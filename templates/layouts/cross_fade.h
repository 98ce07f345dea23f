// The cross-fade sequence: the last input is a full-frame layer; every other input plays
// once, at one place, over four half-steps V = 1/(2 count): it fades in during one, holds
// for one and fades out during one while the next input fades in over the same
// half-step. Inputs play in rising or falling index order.
#ifndef MONTAGE_TEMPLATES_CROSS_FADE_H
#define MONTAGE_TEMPLATES_CROSS_FADE_H

#include <cstdint>

#include "full_frame_layer.h"

struct CrossFadeLayout {
  bool fallingOrder;  // input count - 2 plays first and input 0 last
  double scale[4];    // Scale at each of the four keyframes
  double posY;        // PosY of every playing input
};

inline KeyFrame* GenerateCrossFade(const CrossFadeLayout& layout, int index, int count, int& n) {
  // Without inputs there is no half-step: 1/0 would make the times infinite or NaN.
  if (count == 0) return nullptr;
  // 2 count is formed in double and the slot arithmetic in 64 bits: exact for every int,
  // and equal to the integer results wherever those do not overflow.
  const double halfStep = 1.0 / (2.0 * static_cast<double>(count));
  const std::int64_t last = std::int64_t{count} - 1;
  if (index == last) return NewFullFrameLayer(n);

  // Each time is one product (first + j) * V, which is not the quotient
  // (first + j) / (2 count) in the last bit for some counts; neighbouring inputs meet bit
  // for bit.
  const std::int64_t slot = layout.fallingOrder ? last - index - 1 : std::int64_t{index};
  const std::int64_t first = 2 * slot;
  KeyFrame* frames = NewKeyFrames(4, n);
  for (int j = 0; j < 4; ++j) {
    KeyFrame& frame = frames[j];
    frame.Time = static_cast<double>(first + j) * halfStep;
    frame.Scale = layout.scale[j];
    frame.Opacity = (j == 1 || j == 2) ? 1.0 : 0.0;
    frame.PosY = layout.posY;
  }
  return frames;
}

#endif  // MONTAGE_TEMPLATES_CROSS_FADE_H
