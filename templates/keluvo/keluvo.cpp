// Keluvo: the last input is a full-frame layer; the others cross-fade one after another
// at one reduced place, slightly below centre; 5 or more inputs.
#include "layouts/cross_fade.h"

constexpr double kKeluvoScale = 0.67;
constexpr double kKeluvoPosY = -0.04;

class CEffKeluvo final : public CEffTemplate<CEffKeluvo> {
 public:
  static constexpr char kName[] = "Keluvo";
  static constexpr int kMinInputs = 5;
  static constexpr int kTemplateCode = -2;

  // Input k fades in over 2k V to (2k + 1) V, holds to (2k + 2) V and fades out by
  // (2k + 3) V, in rising index order.
  static KeyFrame* Generate(int index, int count, int& n) {
    static constexpr CrossFadeLayout kLayout{
        false, {kKeluvoScale, kKeluvoScale, kKeluvoScale, kKeluvoScale}, kKeluvoPosY};
    return GenerateCrossFade(kLayout, index, count, n);
  }
};

MONTAGE_TEMPLATE(CEffKeluvo)
