// Host fuzzer: what the host does with whatever a plug-in answers. The scripted plug-in
// (scripted_plugin.cpp) takes every answer from the fuzzer's input: names of any bytes,
// any input range, settings arrays of any length and type with a count that need not be
// theirs, keyframes of any values. The host describes it, builds an animation, and uses
// the animation as montage-host does: interpolation, stacking order, JSON and CSV
// export, text made safe, and a small frame and contact sheet drawn. Any HostError is a
// sound answer; the sanitizers catch everything else.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "montage/drawing.h"
#include "montage/host.h"

extern "C" void MontageScriptPlugin(const std::uint8_t* data, std::size_t size);

namespace {

const montage::Plugin& Scripted() {
  static const montage::Plugin plugin = [] {
    try {
      return montage::Plugin::Load(MONTAGE_SCRIPTED_PLUGIN);
    } catch (const montage::HostError& error) {
      std::fprintf(stderr, "%s\n", error.what());
      std::abort();
    }
  }();
  return plugin;
}

void UseAnimation(const montage::Animation& animation, std::uint8_t drawing) {
  std::ostringstream sink;
  montage::WriteKeyFramesJson(sink, animation);
  montage::WriteKeyFramesCsv(sink, animation);
  montage::WriteSamplesJson(sink, animation, {0.0, 0.5, 1.0, -0.25});
  (void)montage::PrintableText(animation.info.name);
  (void)montage::SafeFileName(animation.info.displayName);
  (void)montage::DrawingOrder(animation);
  for (const montage::Track& track : animation.tracks) {
    (void)montage::IsLayer(track);
    for (const double time : {0.0, 0.3, 1.0}) (void)track.PoseAt(time);
  }
  if ((drawing & 1) != 0) {
    montage::Renderer renderer(animation);
    (void)renderer.Render(0.5, 48, 27);
    if ((drawing & 2) != 0) (void)montage::ContactSheet(renderer, {0.0, 1.0}, 24, 14);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const int inputs = 1 + data[0] % 64;
  const std::uint8_t drawing = data[1];
  MontageScriptPlugin(data + 2, size - 2);
  try {
    (void)Scripted().Describe();
    UseAnimation(montage::BuildAnimation(Scripted(), inputs), drawing);
  } catch (const montage::HostError&) {
    // A plug-in's nonsense, reported: what a host should do with it.
  }
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)Scripted();
  return 0;
}
