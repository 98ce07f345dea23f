// Fendral: the first and the last input zoom together during the first four time steps and
// hold; the inputs between them play one at a time, reduced and cross-fading, two steps
// apart. 7 or more inputs.
#include <cstdint>

#include "effect_template.h"

constexpr double kFendralOpeningSteps = 4.0;
constexpr double kFendralOuterScale = 1.87;
constexpr double kFendralOuterPosY = -0.1;
constexpr double kFendralInnerScale = 0.85;
constexpr double kFendralInnerPosY = -0.074;

class CEffFendral final : public CEffTemplate<CEffFendral> {
 public:
  static constexpr char kName[] = "Fendral";
  static constexpr int kMinInputs = 7;
  static constexpr int kTemplateCode = -2;

  static KeyFrame* Generate(int index, int count, int& n) {
    // The running time is cut into 2 count + 1 steps. The sum is formed in double, exact
    // for every int and never zero.
    const double step = 1.0 / (2.0 * static_cast<double>(count) + 1.0);

    // The outer inputs share one array. count - 1 is formed in 64 bits: INT_MIN has no
    // int predecessor.
    if (index == 0 || index == static_cast<std::int64_t>(count) - 1) {
      KeyFrame* frames = NewKeyFrames(3, n);
      frames[1].Time = step * kFendralOpeningSteps;
      frames[1].Scale = kFendralOuterScale;
      frames[1].PosY = kFendralOuterPosY;
      frames[2] = frames[1];
      frames[2].Time = 1.0;
      return frames;
    }

    KeyFrame* frames = NewKeyFrames(4, n);
    for (int j = 0; j < 4; ++j) {
      KeyFrame& frame = frames[j];
      // One multiplication of the step count 2 index + 2 + j, formed exactly in double
      // (no overflow for any index); dividing by 2 count + 1 instead differs in the last
      // bit for some counts.
      frame.Time = (2.0 * static_cast<double>(index) + 2.0 + j) * step;
      frame.Scale = kFendralInnerScale;
      frame.PosY = kFendralInnerPosY;
      frame.Opacity = (j == 1 || j == 2) ? 1.0 : 0.0;
    }
    return frames;
  }
};

MONTAGE_TEMPLATE(CEffFendral)
