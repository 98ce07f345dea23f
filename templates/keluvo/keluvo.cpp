// Keluvo: the last input is a full-frame layer; the others cross-fade one after another
// at one reduced place, slightly below centre; 5 or more inputs.
#include <cstdint>

#include "effect_template.h"

constexpr double kKeluvoScale = 0.67;
constexpr double kKeluvoPosY = -0.04;

class CEffKeluvo final : public CEffTemplate<CEffKeluvo> {
 public:
  static constexpr char kName[] = "Keluvo";
  static constexpr int kMinInputs = 5;
  static constexpr int kTemplateCode = -2;

  // Input k of the sequence owns the window k/count to (k + 1.5)/count in half-steps of
  // V = 1/(2 count): it fades in over 2k V to (2k + 1) V, holds to (2k + 2) V and fades
  // out by (2k + 3) V, while input k + 1 fades in over the same half-step. Every time is
  // one product (2 index + i) * V, so neighbouring inputs meet bit for bit.
  static KeyFrame* Generate(int index, int count, int& n) {
    // Without inputs there is no half-step: 1/0 would put input 0's first keyframe at
    // 0 * infinity, which is NaN.
    if (count == 0) return nullptr;
    // 2 count, 2 index + i and count - 1 are formed in double or 64 bits: exact for every
    // int, and equal to the integer results wherever those do not overflow.
    const double halfStep = 1.0 / (2.0 * static_cast<double>(count));
    if (static_cast<std::int64_t>(index) == static_cast<std::int64_t>(count) - 1) {
      KeyFrame* frames = NewKeyFrames(2, n);
      frames[1].Time = 1.0;
      return frames;
    }
    KeyFrame* frames = NewKeyFrames(4, n);
    for (int i = 0; i < 4; ++i) {
      KeyFrame& frame = frames[i];
      frame.Time = (2.0 * static_cast<double>(index) + i) * halfStep;
      frame.Scale = kKeluvoScale;
      frame.Opacity = (i == 1 || i == 2) ? 1.0 : 0.0;
      frame.PosY = kKeluvoPosY;
    }
    return frames;
  }
};

MONTAGE_STRING_TABLE({IDS_EFFECT_NAME, CEffKeluvo::kName})
MONTAGE_EXPORT_EFFECT(CEffKeluvo)
