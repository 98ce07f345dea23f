// Ostrane: the first and the second-to-last inputs are full-frame layers; the middle
// inputs fade in one over another at one reduced, turned pose; the last input fades in
// last at a second pose; 3 or more inputs.
#include <cstdint>

#include "layouts/full_frame_layer.h"

struct OstranePose {
  double posX;
  double posY;
  double scale;
  double rotation;
};

constexpr double kOstraneSpan = 11.0;         // numerator of the time unit
constexpr double kOstraneSpanDivisor = 12.0;  // factor in the denominator of the time unit
constexpr OstranePose kOstraneMiddlePose = {0.06, -0.1, 0.62, 0.08};
constexpr OstranePose kOstraneLastPose = {-0.1305, 0.2148, 0.59, 0.04};

class CEffOstrane final : public CEffTemplate<CEffOstrane> {
 public:
  static constexpr char kName[] = "Ostrane";
  static constexpr int kMinInputs = 3;
  static constexpr int kTemplateCode = -3;

  static KeyFrame* Generate(int index, int count, int& n) {
    // Integer sums in 64 bits or in double: exact for every int, so no overflow at the
    // ends of the int range.
    const std::int64_t wide = count;
    if (index == 0 || index == wide - 2) {
      return NewFullFrameLayer(n);
    }

    // The last input is timed as if it stood at count - 2, right after the last middle
    // input; every other input is a middle input timed by its own index.
    const bool isLast = index == wide - 1;
    const std::int64_t position = isLast ? wide - 2 : index;
    const OstranePose& pose = isLast ? kOstraneLastPose : kOstraneMiddlePose;

    // 2 count - 3 is odd for every int, so the unit is always finite.
    const double unit = kOstraneSpan / ((2.0 * count - 3.0) * kOstraneSpanDivisor);
    KeyFrame* frames = NewKeyFrames(3, n);
    for (int i = 0; i < 3; ++i) {
      KeyFrame& frame = frames[i];
      frame.Time = static_cast<double>(i + 2 * position - 2) * unit;
      if (i == 2) {
        // The last middle input and the last input hold to the end; any other middle
        // input holds until its successor is fully visible. The product is rounded
        // before the unit is added, which is not (2 position + 1) * unit in the last bit.
        if (position >= wide - 3) {
          frame.Time = 1.0;
        } else {
          frame.Time += unit;
        }
      }
      frame.Scale = pose.scale;
      frame.PosX = pose.posX;
      frame.PosY = pose.posY;
      frame.Rotation = pose.rotation;
      frame.Opacity = i == 0 ? 0.0 : 1.0;
    }
    return frames;
  }
};

MONTAGE_TEMPLATE(CEffOstrane)
