// The full-frame layer: an input shown centred at full frame and fully visible for the
// whole effect, as the default pose at time 0 and again at time 1.
#ifndef MONTAGE_TEMPLATES_FULL_FRAME_LAYER_H
#define MONTAGE_TEMPLATES_FULL_FRAME_LAYER_H

#include "effect_template.h"

inline KeyFrame* NewFullFrameLayer(int& n) {
  KeyFrame* frames = NewKeyFrames(2, n);
  frames[1].Time = 1.0;
  return frames;
}

#endif  // MONTAGE_TEMPLATES_FULL_FRAME_LAYER_H
