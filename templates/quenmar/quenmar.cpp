// Quenmar: the inputs fade in and out one after another in the middle of the frame,
// growing from 1.0 to 1.3 over their windows, while the last input fills the frame and
// zooms to 2.77 during the final 1/count of the effect; 5 or more inputs.
#include <cstdint>

#include "effect_template.h"

constexpr double kQuenmarScaleStep = 0.1;    // scale added per keyframe of a sequence input
constexpr double kQuenmarThirds = 3.0;       // splits a sequence window into thirds
constexpr double kQuenmarFinalScale = 2.77;  // scale of the full-frame layer at time 1

class CEffQuenmar final : public CEffTemplate<CEffQuenmar> {
 public:
  static constexpr char kName[] = "Quenmar";
  static constexpr int kMinInputs = 5;
  static constexpr int kTemplateCode = -6;

  static KeyFrame* Generate(int index, int count, int& n) {
    // Without inputs there is no layout, and 1 / 0 would turn every time into an
    // infinity or NaN.
    if (count == 0) return nullptr;
    const double inv = 1.0 / count;
    // count - 1 and count - 2 in 64 bits: exact for every int.
    const std::int64_t last = std::int64_t{count} - 1;

    if (index == last) {
      // The full-frame layer: unchanged until 1 - 1/count, then the zoom.
      KeyFrame* frames = NewKeyFrames(3, n);
      frames[1].Time = 1.0 - inv;
      frames[2].Time = 1.0;
      frames[2].Scale = kQuenmarFinalScale;
      return frames;
    }

    // A sequence input owns the window from index/count to (index + 2)/count: it fades
    // in over the first third, stays over the second and fades out over the last. The
    // order (2k * inv) / 3 + base decides the last bit of every time.
    KeyFrame* frames = NewKeyFrames(4, n);
    const double base = index * inv;
    for (int k = 0; k < 4; ++k) {
      KeyFrame& frame = frames[k];
      frame.Time = ((2 * k) * inv) / kQuenmarThirds + base;
      frame.Scale = k * kQuenmarScaleStep + 1.0;
      frame.Opacity = (k == 1 || k == 2) ? 1.0 : 0.0;
    }
    // The last sequence input ends the effect still visible.
    if (index == last - 1) frames[3].Opacity = 1.0;
    return frames;
  }
};

MONTAGE_TEMPLATE(CEffQuenmar)
