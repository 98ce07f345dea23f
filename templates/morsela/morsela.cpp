// Morsela: the last input is a full-frame layer; the others play one at a time in falling
// index order, centred, fading in while growing to full size and fading out while growing
// on; 5 or more inputs.
#include "layouts/cross_fade.h"

constexpr double kMorselaScaleSteps[4] = {0.96, 1.0, 1.0, 1.06};
constexpr double kMorselaPosY = 0.0;

class CEffMorsela final : public CEffTemplate<CEffMorsela> {
 public:
  static constexpr char kName[] = "Morsela";
  static constexpr int kMinInputs = 5;
  static constexpr int kTemplateCode = 0;

  // Input count - 2 starts at time 0 and input 0 plays last, two half-steps apart: input i
  // starts at 2 (count - i - 2) V.
  static KeyFrame* Generate(int index, int count, int& n) {
    static constexpr CrossFadeLayout kLayout{
        true,
        {kMorselaScaleSteps[0], kMorselaScaleSteps[1], kMorselaScaleSteps[2], kMorselaScaleSteps[3]},
        kMorselaPosY};
    return GenerateCrossFade(kLayout, index, count, n);
  }
};

MONTAGE_TEMPLATE(CEffMorsela)
