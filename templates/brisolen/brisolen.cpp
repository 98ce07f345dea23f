// Brisolen: an enlarged, off-centre background under small pictures that fade in and out
// in three columns, one time step apart; 16 or more inputs.
#include "../layouts/column_grid.h"

constexpr double kBrisolenBackPosX = 0.1472;
constexpr double kBrisolenBackPosY = 0.1518;
constexpr double kBrisolenBackScale = 1.31;
constexpr double kBrisolenColumnX[3] = {-0.3, 0.0, 0.3};
constexpr double kBrisolenRowY = -0.15;
constexpr double kBrisolenPictureScale = 0.3;

class CEffBrisolen final : public CEffTemplate<CEffBrisolen> {
 public:
  static constexpr char kName[] = "Brisolen";
  static constexpr int kMinInputs = 16;

  static KeyFrame* Generate(int index, int count, int& n) {
    static constexpr ColumnGridLayout kLayout{
        kBrisolenBackPosX, kBrisolenBackPosY, kBrisolenBackScale,
        {kBrisolenColumnX[0], kBrisolenColumnX[1], kBrisolenColumnX[2]},
        kBrisolenRowY,     kBrisolenPictureScale};
    return GenerateColumnGrid(kLayout, index, count, n);
  }
};

MONTAGE_STRING_TABLE({IDS_EFFECT_NAME, CEffBrisolen::kName})
MONTAGE_EXPORT_EFFECT(CEffBrisolen)
