// The column-grid layout: an enlarged background (input 0) under small pictures that
// fade in and out in three columns, one time step apart. Each picture fades in during
// one step, stays for two and fades out during one; the running time is cut into
// count + 3 steps.
#ifndef MONTAGE_TEMPLATES_COLUMN_GRID_H
#define MONTAGE_TEMPLATES_COLUMN_GRID_H

#include <cstdint>

#include "effect_template.h"

struct ColumnGridLayout {
  double backPosX;  // background position and size
  double backPosY;
  double backScale;
  double columnX[3];    // PosX of a picture in column 0, 1, 2
  double rowY;          // PosY of every picture
  double pictureScale;  // Scale of every picture
};

inline KeyFrame* GenerateColumnGrid(const ColumnGridLayout& layout, int index, int count, int& n) {
  if (index == 0) {
    KeyFrame* frames = NewKeyFrames(2, n);
    frames[0].Scale = layout.backScale;
    frames[0].PosX = layout.backPosX;
    frames[0].PosY = layout.backPosY;
    frames[1] = frames[0];
    frames[1].Time = 1.0;
    return frames;
  }
  // A negative index has no column; with count -3 there would be no step (1/0) and
  // every time would be infinite.
  if (index < 0 || count == -3) return nullptr;

  // count + 3 and index + k are formed in double, which is exact for every int and
  // equal to the integer sum wherever that does not overflow.
  const double step = 1.0 / (static_cast<double>(count) + 3.0);
  const int column = (index - 1) % 3;
  KeyFrame* frames = NewKeyFrames(4, n);
  for (int k = 0; k < 4; ++k) {
    KeyFrame& frame = frames[k];
    // The hold ends one step late: keyframes 2 and 3 add a step to their product,
    // (index + k) * step + step, which is not (index + k + 1) * step in the last bit for
    // some counts.
    frame.Time = (static_cast<double>(index) + k) * step;
    if (k >= 2) frame.Time += step;
    frame.Opacity = (k == 1 || k == 2) ? 1.0 : 0.0;
    frame.Scale = layout.pictureScale;
    frame.PosX = layout.columnX[column];
    frame.PosY = layout.rowY;
  }
  return frames;
}

#endif  // MONTAGE_TEMPLATES_COLUMN_GRID_H
