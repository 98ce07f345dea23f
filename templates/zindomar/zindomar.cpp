// Zindomar: the last input is a full-frame layer; the others fade in one over another,
// centred at scale 0.9, between times 1/11 and 10/11; 5 or more inputs.
#include <cstdint>

#include "layouts/full_frame_layer.h"

constexpr double kZindomarScale = 0.9;
// When the sequence starts: the double nearest 1/11.
constexpr double kZindomarLead = 0.09090909090909091;
// Length of the sequence: 1 - 2/11 as double arithmetic gives it, one step below the
// double nearest 9/11. The sequence therefore ends at kZindomarLead + kZindomarSpan.
constexpr double kZindomarSpan = 0.8181818181818181;
// The sequence spans 4 count - 2 time units: 4 per input plus 2 for the last fade-out.
constexpr double kZindomarHalfUnit = 0.5;
constexpr double kZindomarUnitsPerInput = 4.0;
// Start of a sequence input's keyframes 0, 1 and 2, in time units after its own start.
constexpr int kZindomarOffsets[3] = {0, 2, 6};

class CEffZindomar final : public CEffTemplate<CEffZindomar> {
 public:
  static constexpr char kName[] = "Zindomar";
  static constexpr int kMinInputs = 5;
  static constexpr int kTemplateCode = -2;

  static KeyFrame* Generate(int index, int count, int& n) {
    // count - 0.5 is never 0 for an int count, so the unit is finite for every count.
    const double unit = kZindomarSpan / ((static_cast<double>(count) - kZindomarHalfUnit) * kZindomarUnitsPerInput);
    // Roles and start units are formed in 64 bits, which holds them for every int pair.
    const std::int64_t last = std::int64_t{count} - 1;
    if (index == last) return NewFullFrameLayer(n);

    // Each sequence input fades in over two units and holds for four, starting four units
    // after the one before it; the last of them holds for two and fades out over two.
    const bool fadesOut = index == last - 1;
    KeyFrame* frames = NewKeyFrames(fadesOut ? 4 : 3, n);
    const std::int64_t start = 4 * std::int64_t{index};
    for (int i = 0; i < 3; ++i) {
      frames[i].Time = static_cast<double>(kZindomarOffsets[i] + start) * unit + kZindomarLead;
      frames[i].Scale = kZindomarScale;
      frames[i].Opacity = i == 0 ? 0.0 : 1.0;
    }
    if (fadesOut) {
      // The fade-out ends where the hold would have ended; the hold ends two units earlier,
      // lowered from that time rather than computed afresh (the two differ in the last bit).
      frames[3] = frames[2];
      frames[3].Opacity = 0.0;
      frames[2].Time = frames[2].Time - (unit + unit);
    }
    return frames;
  }
};

MONTAGE_TEMPLATE(CEffZindomar)
