// Brisolen: an enlarged, off-centre background under small pictures that fade in and out
// in three columns, one time step apart; 16 or more inputs.
#include "brisolen.h"

class CEffBrisolen final : public CEffTemplate<CEffBrisolen> {
 public:
  static constexpr char kName[] = "Brisolen";
  static constexpr int kMinInputs = 16;

  static KeyFrame* Generate(int index, int count, int& n) {
    return GenerateColumnGrid(kBrisolenLayout, index, count, n);
  }
};

MONTAGE_TEMPLATE(CEffBrisolen)
