// Morsela: the last input is a full-frame layer; the others play one at a time in falling
// index order, centred, fading in while growing to full size and fading out while growing
// on; 5 or more inputs.
#include <cstdint>

#include "../layouts/full_frame_layer.h"

constexpr double kMorselaScaleSteps[4] = {0.96, 1.0, 1.0, 1.06};

class CEffMorsela final : public CEffTemplate<CEffMorsela> {
 public:
  static constexpr char kName[] = "Morsela";
  static constexpr int kMinInputs = 5;
  static constexpr int kTemplateCode = 0;

  static KeyFrame* Generate(int index, int count, int& n) {
    // No inputs, nothing to lay out; the step below would be 1/0 and the times inf or NaN.
    // Any other count, negative ones included, gives finite times.
    if (count == 0) return nullptr;

    // The running time is cut into 2 count steps. 2 count is formed in double, which is
    // exact for every int and equal to the integer product wherever that does not overflow.
    const double step = 1.0 / (2.0 * static_cast<double>(count));
    const std::int64_t last = std::int64_t{count} - 1;
    if (index == last) return NewFullFrameLayer(n);

    // Moving inputs play in falling index order, two steps apart: input count - 2 starts at
    // time 0 and input 0 plays last. The first step is formed in 64 bits, which holds it for
    // every int pair; each time is one product (first + j) * step, which is not the quotient
    // (first + j) / (2 count) in the last bit for some counts.
    const std::int64_t first = 2 * (std::int64_t{count} - index - 2);
    KeyFrame* frames = NewKeyFrames(4, n);
    for (int j = 0; j < 4; ++j) {
      frames[j].Time = static_cast<double>(first + j) * step;
      frames[j].Scale = kMorselaScaleSteps[j];
      frames[j].Opacity = (j == 1 || j == 2) ? 1.0 : 0.0;
    }
    return frames;
  }
};

MONTAGE_STRING_TABLE({IDS_EFFECT_NAME, CEffMorsela::kName})
MONTAGE_EXPORT_EFFECT(CEffMorsela)
