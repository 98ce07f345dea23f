// Tavrino: a row of slots scrolling right to left; the last three inputs are full-size
// tile layers that wrap around, the others ride the row at scale 0.75 as a loop that
// turns once; 8 or more inputs.
#include "layouts/scrolling_row.h"

constexpr double kTavrinoSlotPitch = 0.7222;
constexpr double kTavrinoTileWrapX = 1.0111;
constexpr double kTavrinoCarouselScale = 0.75;

class CEffTavrino final : public CEffTemplate<CEffTavrino> {
 public:
  static constexpr char kName[] = "Tavrino";
  static constexpr int kMinInputs = 8;
  static constexpr int kTemplateCode = 0;

  static KeyFrame* Generate(int index, int count, int& n) {
    static constexpr ScrollingRowLayout kLayout{kTavrinoSlotPitch, kTavrinoTileWrapX, kTavrinoCarouselScale};
    return GenerateScrollingRow(kLayout, index, count, n);
  }
};

MONTAGE_TEMPLATE(CEffTavrino)
