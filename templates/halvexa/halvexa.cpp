// Halvexa: half-size tiles fill a two-by-two grid one after another over a half-transparent
// full-frame layer (input 0); each tile fades in during one step and stays to the end.
// 5 or more inputs.
#include "layouts/full_frame_layer.h"

constexpr double kHalvexaFixedOpacity = 0.5;
constexpr double kHalvexaTileScale = 0.5;
// Tile positions 0..3: top left, top right, bottom left, bottom right. At half size each
// covers exactly one quadrant of the frame.
constexpr double kHalvexaTilePosX[4] = {-0.25, 0.25, -0.25, 0.25};
constexpr double kHalvexaTilePosY[4] = {0.25, 0.25, -0.25, -0.25};

class CEffHalvexa final : public CEffTemplate<CEffHalvexa> {
 public:
  static constexpr char kName[] = "Halvexa";
  static constexpr int kMinInputs = 5;

  static KeyFrame* Generate(int index, int count, int& n) {
    // The running time is cut into 2 count steps. 2 count is formed in double, which is
    // exact for every int.
    const double step = 1.0 / (2.0 * static_cast<double>(count));

    if (index == 0) {
      KeyFrame* frames = NewFullFrameLayer(n);
      frames[0].Opacity = kHalvexaFixedOpacity;
      frames[1].Opacity = kHalvexaFixedOpacity;
      return frames;
    }
    // A negative index has no grid position (its remainder by 4 would be negative), and
    // without inputs there is no time step: 1/0 would put the first tile at 0 x inf.
    if (index < 0 || count == 0) return nullptr;

    const int position = (index - 1) % 4;
    KeyFrame* frames = NewKeyFrames(4, n);
    for (int j = 0; j < 4; ++j) {
      KeyFrame& frame = frames[j];
      // 2 (index - 1) + j in double: exact, and no overflow for any index.
      frame.Time = (2.0 * (static_cast<double>(index) - 1.0) + j) * step;
      frame.Scale = kHalvexaTileScale;
      frame.Opacity = j == 0 ? 0.0 : 1.0;
      frame.PosX = kHalvexaTilePosX[position];
      frame.PosY = kHalvexaTilePosY[position];
    }
    // Every tile holds from the same moment to the end. The hold starts at 1 - (r + r),
    // which for some counts is one bit off (2 count - 2) r.
    frames[2].Time = 1.0 - (step + step);
    frames[3].Time = 1.0;
    return frames;
  }
};

MONTAGE_TEMPLATE(CEffHalvexa)
