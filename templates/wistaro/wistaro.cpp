// Wistaro: input 0 is a full-frame layer; every further input passes the centre right to
// left at scale 0.3, fading in and out, overlapping its neighbours by one time slice;
// 2 or more inputs.
#include "layouts/full_frame_layer.h"

constexpr double kWistaroPassOffsetX = 0.1888;  // PosX where a passing input starts (+) and ends (-)
constexpr double kWistaroPassScale = 0.3;
constexpr double kWistaroPassPosX[3] = {kWistaroPassOffsetX, 0.0, -kWistaroPassOffsetX};
constexpr double kWistaroPassOpacity[3] = {0.0, 1.0, 0.0};

class CEffWistaro final : public CEffTemplate<CEffWistaro> {
 public:
  static constexpr char kName[] = "Wistaro";
  static constexpr int kMinInputs = 2;

  static KeyFrame* Generate(int index, int count, int& n) {
    if (index <= 0) {
      // The full-frame layer, whatever the count.
      return NewFullFrameLayer(n);
    }
    // Without inputs there are no time slices to pass through; 1 / 0 would make the
    // first time 0 * infinity, a NaN.
    if (count == 0) return nullptr;

    // Input index spans the slices index - 1 and index of count equal slices. The
    // integer index + j - 1 is formed in double (exact, and free of overflow at the top
    // of the int range) and multiplied by r, not divided by count: that decides the last
    // bit, so the last input ends at 1 - 2^-53 for some counts.
    const double r = 1.0 / count;
    KeyFrame* frames = NewKeyFrames(3, n);
    for (int j = 0; j < 3; ++j) {
      KeyFrame& frame = frames[j];
      frame.Time = (static_cast<double>(index) + (j - 1)) * r;
      frame.Scale = kWistaroPassScale;
      frame.PosX = kWistaroPassPosX[j];
      frame.Opacity = kWistaroPassOpacity[j];
    }
    return frames;
  }
};

MONTAGE_TEMPLATE(CEffWistaro)
