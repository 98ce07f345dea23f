// Animations built from a plug-in, and the interpolation of one input's keyframes.
#include <algorithm>
#include <cmath>
#include <utility>

#include "montage/host.h"

namespace montage {

Track::Track(std::vector<KeyFrame> keyFrames) : keyFrames_(std::move(keyFrames)) {
  // A time that is not a number has no place in the order; such keyframes are dropped
  // before sorting, which also keeps the comparison a strict weak order.
  std::erase_if(keyFrames_, [](const KeyFrame& frame) { return !std::isfinite(frame.Time); });
  std::ranges::stable_sort(keyFrames_, {}, &KeyFrame::Time);
}

namespace {

Pose PoseOf(const KeyFrame& frame) { return {frame.PosX, frame.PosY, frame.Scale, frame.Opacity, frame.Rotation}; }

double Between(double a, double b, double u) { return a + (b - a) * u; }

}  // namespace

std::optional<Pose> Track::PoseAt(double time) const {
  if (keyFrames_.empty() || !(time >= Start() && time <= End())) return std::nullopt;
  // The first keyframe after `time`; the one before it is the last at or before `time`.
  const auto after = std::ranges::upper_bound(keyFrames_, time, {}, &KeyFrame::Time);
  const KeyFrame& a = *(after - 1);
  if (a.Time == time) return PoseOf(a);  // at a keyframe, or just after a cut
  const KeyFrame& b = *after;            // exists: time < End()
  const double u = (time - a.Time) / (b.Time - a.Time);
  return Pose{Between(a.PosX, b.PosX, u), Between(a.PosY, b.PosY, u), Between(a.Scale, b.Scale, u),
              Between(a.Opacity, b.Opacity, u), Between(a.Rotation, b.Rotation, u)};
}

Animation BuildAnimation(const Plugin& plugin, int inputs) {
  if (inputs < 1 || inputs > kMaxInputs) {
    throw HostError("the input count must be from 1 to " + std::to_string(kMaxInputs) + ", not " +
                    std::to_string(inputs));
  }
  Effect effect = plugin.CreateEffect();
  Animation animation;
  animation.info = effect.Describe();
  effect.SetInputCount(inputs);
  animation.settings = effect.KeyFrames();
  if (animation.settings.size() != static_cast<std::size_t>(inputs)) {
    throw HostError("template " + animation.info.name + " returned " + std::to_string(animation.settings.size()) +
                    " settings for " + std::to_string(inputs) + " inputs");
  }
  animation.inputCount = inputs;
  animation.tracks.reserve(animation.settings.size());
  for (const std::vector<KeyFrame>& frames : animation.settings) animation.tracks.emplace_back(frames);
  return animation;
}

bool IsLayer(const Track& track) {
  if (track.Empty() || !(track.Start() <= 0.0 && track.End() >= 1.0)) return false;
  return std::ranges::all_of(track.KeyFrames(), [](const KeyFrame& frame) { return frame.Scale >= 1.0; });
}

std::vector<int> DrawingOrder(const Animation& animation) {
  std::vector<int> order;
  order.reserve(animation.tracks.size());
  for (const bool layers : {true, false}) {
    for (std::size_t index = 0; index < animation.tracks.size(); ++index) {
      if (IsLayer(animation.tracks[index]) == layers) order.push_back(static_cast<int>(index));
    }
  }
  return order;
}

}  // namespace montage
