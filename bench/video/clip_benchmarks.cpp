// Clip decoding: frames per second that clips decode and scale to the size they are
// drawn at, for one 1080p H.264 clip with one or two decoder threads, and for several
// clips on screen at once as a render asks for them. The fixture clip is made with the
// ffmpeg program (MONTAGE_FFMPEG, else `ffmpeg` on the PATH) in a temporary folder.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_files.h"
#include "montage/clips.h"

namespace {

namespace fs = std::filesystem;

constexpr double kFps = 30.0;
constexpr int kSeconds = 10;

// A 10 s 1080p clip of moving test pictures with grain, so that it costs to decode about
// what camera footage does; made once for the run, before any benchmark is timed.
const fs::path& Clip1080p() {
  static const fs::path file = [] {
    const fs::path clip = BenchFolder() / "1080p.mp4";
    RunFfmpeg("-f lavfi -i testsrc2=s=1920x1080:r=30:d=" + std::to_string(kSeconds) +
              " -vf noise=alls=12:allf=t -c:v libx264 -preset medium -pix_fmt yuv420p '" + clip.string() + "'");
    return clip;
  }();
  return file;
}

// One clip played forward, every frame scaled to range(1) pixels wide, with range(0)
// decoder threads.
void BM_OneClipForward(benchmark::State& state) {
  const auto threads = static_cast<int>(state.range(0));
  const auto width = static_cast<int>(state.range(1));
  const int height = width * 9 / 16;
  std::int64_t frames = 0;
  for (auto _ : state) {
    const std::shared_ptr<montage::InputMedia> clip = montage::OpenClip(Clip1080p(), {.decoderThreads = threads});
    for (int k = 0; k < kSeconds * static_cast<int>(kFps); ++k) {
      benchmark::DoNotOptimize(clip->Frame(k / kFps, width, height).Data());
      ++frames;
    }
  }
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_OneClipForward)
    ->ArgsProduct({{1, 2}, {480, 1920}})
    ->ArgNames({"threads", "width"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

// range(0) clips on screen at once, each drawn 480 pixels wide, asked for in turn frame
// after frame as a render does; decoder threads chosen by the library (0) or one each.
void BM_ClipsOnScreen(benchmark::State& state) {
  const auto count = static_cast<int>(state.range(0));
  const auto threads = static_cast<int>(state.range(1));
  std::int64_t frames = 0;
  for (auto _ : state) {
    std::vector<std::shared_ptr<montage::InputMedia>> clips;
    for (int i = 0; i < count; ++i) clips.push_back(montage::OpenClip(Clip1080p(), {.decoderThreads = threads}));
    for (int k = 0; k < 3 * static_cast<int>(kFps); ++k) {
      for (const auto& clip : clips) {
        benchmark::DoNotOptimize(clip->Frame(k / kFps, 480, 270).Data());
        ++frames;
      }
    }
  }
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ClipsOnScreen)
    ->ArgsProduct({{4}, {0, 1, 2}})
    ->ArgNames({"clips", "threads"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  (void)Clip1080p();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  RemoveBenchFolder();
  return 0;
}
