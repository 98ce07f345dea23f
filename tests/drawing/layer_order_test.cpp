// What a user sees of the stacking order: every template, one solid opaque picture per
// input, many moments. An input that is fully opaque and not covered at its centre by
// an input that must lie above it shows its own colour there. Above a non-layer input
// lies every other non-layer input that covers it (whatever the order among them: the
// check skips those points); above a layer lies every non-layer input and every layer
// after it in index order.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "host_test_support.h"
#include "montage/drawing.h"
#include "plugin_support.h"

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 180;
// Points this close to another input's edge are left out: antialiasing blends there.
constexpr double kEdge = 2.5;

struct Placed {
  bool shown = false;
  double opacity = 0;
  double cx = 0, cy = 0, halfWidth = 0, halfHeight = 0, rotation = 0;
};

Placed Place(const montage::Track& track, double time) {
  const std::optional<montage::Pose> pose = track.PoseAt(time);
  if (!pose) return {};
  return {true,
          std::clamp(pose->opacity, 0.0, 1.0),
          kWidth / 2.0 + pose->posX * kWidth,
          kHeight / 2.0 - pose->posY * kHeight,
          std::abs(pose->scale) * kWidth / 2,
          std::abs(pose->scale) * kHeight / 2,
          pose->rotation};
}

// How far inside `input`'s rectangle the point (x, y) lies (negative: outside).
double Inside(const Placed& input, double x, double y) {
  const double dx = x - input.cx;
  const double dy = y - input.cy;
  // Into the input's own axes: it is turned counter-clockwise on screen (y down).
  const double u = dx * std::cos(input.rotation) - dy * std::sin(input.rotation);
  const double v = dx * std::sin(input.rotation) + dy * std::cos(input.rotation);
  return std::min(input.halfWidth - std::abs(u), input.halfHeight - std::abs(v));
}

montage::Colour ColourOf(int index) { return montage::PlaceholderColour(index); }

TEST(LayerOrder, EveryUncoveredOpaqueInputShowsItsOwnPictureAtItsCentre) {
  for (const BuiltPlugin& built : kBuiltPlugins) {
    SCOPED_TRACE(built.name);
    const montage::Plugin plugin = montage::Plugin::Load(built.path);
    const montage::Animation animation = montage::BuildAnimation(plugin, plugin.Describe().defaultInputs);
    const int count = animation.inputCount;
    std::vector<montage::Image> pictures;
    for (int index = 0; index < count; ++index) {
      montage::Image picture(32, 18);
      picture.Fill(ColourOf(index));
      pictures.push_back(std::move(picture));
    }
    std::vector<bool> layer;
    for (const montage::Track& track : animation.tracks) layer.push_back(montage::IsLayer(track));
    montage::Renderer renderer(animation, std::move(pictures));

    // Every keyframe time, the midpoints between them, and an even grid.
    std::set<double> times;
    for (int k = 0; k <= 40; ++k) times.insert(k / 40.0);
    for (const montage::Track& track : animation.tracks) {
      const std::vector<KeyFrame>& frames = track.KeyFrames();
      for (std::size_t k = 0; k < frames.size(); ++k) {
        times.insert(frames[k].Time);
        if (k > 0) times.insert((frames[k - 1].Time + frames[k].Time) / 2);
      }
    }
    int checked = 0;
    for (const double time : times) {
      const montage::Image frame = renderer.Render(time, kWidth, kHeight);
      std::vector<Placed> placed;
      for (const montage::Track& track : animation.tracks) placed.push_back(Place(track, time));
      for (int index = 0; index < count; ++index) {
        const Placed& me = placed[static_cast<std::size_t>(index)];
        if (!me.shown || me.opacity < 1.0 || me.halfWidth < 4 || me.halfHeight < 4) continue;
        const int x = static_cast<int>(std::floor(me.cx));
        const int y = static_cast<int>(std::floor(me.cy));
        if (x < 0 || y < 0 || x >= kWidth || y >= kHeight) continue;
        bool covered = false;
        for (int other = 0; other < count && !covered; ++other) {
          const Placed& them = placed[static_cast<std::size_t>(other)];
          if (other == index || !them.shown || them.opacity <= 0) continue;
          const bool above =
              !layer[static_cast<std::size_t>(other)] || (layer[static_cast<std::size_t>(index)] && other > index);
          const double depth = Inside(them, x + 0.5, y + 0.5);
          if (depth > -kEdge && (above || std::abs(depth) < kEdge)) covered = true;
        }
        if (covered) continue;
        ++checked;
        const montage::Colour seen = frame.At(x, y);
        const montage::Colour expected = ColourOf(index);
        EXPECT_TRUE(std::abs(seen.r - expected.r) <= 2 && std::abs(seen.g - expected.g) <= 2 &&
                    std::abs(seen.b - expected.b) <= 2)
            << "input " << index << " at time " << montage::FormatDouble(time) << " shows (" << int{seen.r} << ", "
            << int{seen.g} << ", " << int{seen.b} << ")";
      }
    }
    // Each template shows each of its inputs somewhere uncovered.
    EXPECT_GE(checked, count) << "too few moments checked";
  }
}

}  // namespace
