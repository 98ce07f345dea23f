// Render throughput: frames per second at 1280x720 for a 16-input template, drawn with
// placeholder cards and with pictures.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <iostream>

#include "montage/drawing.h"

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kInputs = 16;
constexpr int kFramesPerLoop = 60;

montage::Animation SixteenInputs() {
  const montage::PluginCatalog catalog = montage::PluginCatalog::Scan(montage::DefaultPluginDirectories());
  const montage::TemplateInfo* info = catalog.Find("Brisolen");
  if (info == nullptr) {
    std::cerr << "render_benchmarks: the Brisolen plug-in is not built\n";
    std::exit(1);
  }
  return montage::BuildAnimation(montage::Plugin::Load(info->library), kInputs);
}

void RenderFrames(benchmark::State& state, std::vector<montage::Image> pictures) {
  montage::Renderer renderer(SixteenInputs(), std::move(pictures));
  montage::Image frame(kWidth, kHeight);
  int k = 0;
  for (auto _ : state) {
    renderer.RenderInto(frame, static_cast<double>(k) / (kFramesPerLoop - 1));
    benchmark::DoNotOptimize(frame.Data());
    k = (k + 1) % kFramesPerLoop;
  }
  state.counters["frames_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Render1280x720Placeholders(benchmark::State& state) { RenderFrames(state, {}); }

void BM_Render1280x720Pictures(benchmark::State& state) {
  std::vector<montage::Image> pictures;
  for (int i = 0; i < 4; ++i) {
    montage::Image picture(1920, 1080);
    picture.Fill(montage::PlaceholderColour(i));
    pictures.push_back(std::move(picture));
  }
  RenderFrames(state, std::move(pictures));
}

BENCHMARK(BM_Render1280x720Placeholders)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Render1280x720Pictures)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
