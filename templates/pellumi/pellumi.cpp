// Pellumi: the scrolling row of Tavrino with its slots closer together and its carousel
// inputs smaller; 8 or more inputs.
#include "layouts/scrolling_row.h"

constexpr double kPellumiSlotPitch = 0.5416;
constexpr double kPellumiTileWrapX = 0.75824;
constexpr double kPellumiCarouselScale = 0.67;

class CEffPellumi final : public CEffTemplate<CEffPellumi> {
 public:
  static constexpr char kName[] = "Pellumi";
  static constexpr int kMinInputs = 8;
  static constexpr int kTemplateCode = 0;

  static KeyFrame* Generate(int index, int count, int& n) {
    static constexpr ScrollingRowLayout kLayout{kPellumiSlotPitch, kPellumiTileWrapX, kPellumiCarouselScale};
    return GenerateScrollingRow(kLayout, index, count, n);
  }
};

MONTAGE_TEMPLATE(CEffPellumi)
