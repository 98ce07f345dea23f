// Darvello: Brisolen's pictures in three columns over the enlarged background, which
// here sits almost centred; 16 or more inputs.
#include "brisolen/brisolen.h"

constexpr double kDarvelloBackPosX = 0.0611;
constexpr double kDarvelloBackPosY = -0.037;

// Brisolen's layout with the background moved; its size and the pictures stay.
constexpr ColumnGridLayout kDarvelloLayout = [] {
  ColumnGridLayout layout = kBrisolenLayout;
  layout.backPosX = kDarvelloBackPosX;
  layout.backPosY = kDarvelloBackPosY;
  return layout;
}();

class CEffDarvello final : public CEffTemplate<CEffDarvello> {
 public:
  static constexpr char kName[] = "Darvello";
  static constexpr int kMinInputs = 16;

  static KeyFrame* Generate(int index, int count, int& n) {
    return GenerateColumnGrid(kDarvelloLayout, index, count, n);
  }
};

MONTAGE_TEMPLATE(CEffDarvello)
