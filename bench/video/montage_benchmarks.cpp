// A montage end to end: 16 clips of 1080p H.264 (10 s of FFmpeg's test pictures each)
// and a soundtrack into a 20-second 1280x720 30 fps MP4 of the 16-input Brisolen, as
// `montage-host render` makes it: clips decoded forward and scaled as they are drawn,
// frames drawn, converted and encoded, the sound resampled and muxed. It reports frames
// per second end to end, the share of decoding, drawing, converting and encoding, and
// the peak memory of the same render with 16 clips and with 64 (one process each).
// Goals: 30 frames per second or more; peak memory the same for 16 and 64 clips.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_files.h"
#include "built_plugins.h"
#include "montage/render_video.h"

namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr double kFps = 30;
constexpr double kSeconds = 20;
constexpr int kDistinctClips = 4;

const fs::path& Folder() { return BenchFolder(); }

// `count` clip files: a few distinct 1080p clips (test pictures in different hues),
// copied under as many names as asked, so that every input has a file of its own.
std::vector<fs::path> Clips(int count) {
  std::vector<fs::path> files;
  for (int k = 0; k < count; ++k) {
    const fs::path file = Folder() / ("clip" + std::to_string(k) + ".mp4");
    if (!fs::exists(file)) {
      if (k < kDistinctClips) {
        RunFfmpeg("-f lavfi -i testsrc2=s=1920x1080:r=30:d=10 -vf hue=h=" + std::to_string(k * 90) +
                  " -c:v libx264 -preset veryfast -pix_fmt yuv420p '" + file.string() + "'");
      } else {
        fs::copy_file(Folder() / ("clip" + std::to_string(k % kDistinctClips) + ".mp4"), file);
      }
    }
    files.push_back(file);
  }
  return files;
}

fs::path Soundtrack() {
  const fs::path file = Folder() / "music.m4a";
  if (!fs::exists(file)) RunFfmpeg("-f lavfi -i sine=frequency=330:duration=25 -c:a aac '" + file.string() + "'");
  return file;
}

montage::Animation Brisolen(int inputs) {
  for (const BuiltPlugin& plugin : kBuiltPlugins) {
    if (plugin.name == "Brisolen") return montage::BuildAnimation(montage::Plugin::Load(plugin.path), inputs);
  }
  throw std::runtime_error("the Brisolen plug-in is not built");
}

// Media that times the Frame calls of the media it wraps: the decoding and scaling of a
// clip, apart from the drawing.
class Timed final : public montage::InputMedia {
 public:
  Timed(std::shared_ptr<montage::InputMedia> media, double& seconds) : media_(std::move(media)), seconds_(seconds) {}
  [[nodiscard]] int Width() const override { return media_->Width(); }
  [[nodiscard]] int Height() const override { return media_->Height(); }
  const montage::Image& Frame(double seconds, int width, int height) override {
    const auto start = std::chrono::steady_clock::now();
    const montage::Image& frame = media_->Frame(seconds, width, height);
    seconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return frame;
  }
  void Suspend() override { media_->Suspend(); }

 private:
  std::shared_ptr<montage::InputMedia> media_;
  double& seconds_;
};

struct Render {
  double seconds = 0;
  double decodeSeconds = 0;
  montage::VideoTimings timings;
};

Render RenderMontage(int clips, const fs::path& out) {
  montage::Animation animation = Brisolen(clips);
  Render result;
  std::vector<std::shared_ptr<montage::InputMedia>> media;
  for (std::shared_ptr<montage::InputMedia>& clip :
       montage::OpenInputMedia(animation, Clips(clips), {}, kWidth, kHeight)) {
    media.push_back(std::make_shared<Timed>(std::move(clip), result.decodeSeconds));
  }
  montage::Renderer renderer(std::move(animation), std::move(media), montage::RenderSettings{kSeconds});
  montage::VideoSettings settings;
  settings.width = kWidth;
  settings.height = kHeight;
  settings.fps = kFps;
  settings.frameCount = montage::VideoFrameCount(kFps, kSeconds);
  settings.audio = Soundtrack();
  const auto start = std::chrono::steady_clock::now();
  result.timings = montage::RenderVideo(out, renderer, settings);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

void BM_SixteenClipsWithSoundInto720p(benchmark::State& state) {
  (void)Clips(16);
  (void)Soundtrack();
  const int frames = montage::VideoFrameCount(kFps, kSeconds);
  Render last;
  for (auto _ : state) {
    last = RenderMontage(16, Folder() / "montage.mp4");
    state.SetIterationTime(last.seconds);
  }
  state.counters["frames_per_second"] = frames / last.seconds;
  // Decoding happens inside drawing: drawing proper is what is left.
  state.counters["decode_s"] = last.decodeSeconds;
  state.counters["draw_s"] = last.timings.drawSeconds - last.decodeSeconds;
  state.counters["convert_s"] = last.timings.convertSeconds;
  state.counters["encode_s"] = last.timings.encodeSeconds;
}
BENCHMARK(BM_SixteenClipsWithSoundInto720p)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

// The peak resident memory of the render with `clips` clips, in a process of its own so
// that neither run inherits the other's heap.
double PeakMegabytes(int clips) {
  (void)Clips(clips);
  (void)Soundtrack();
  const pid_t child = fork();
  if (child == 0) {
    RenderMontage(clips, Folder() / ("peak" + std::to_string(clips) + ".mp4"));
    _exit(0);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_PeakMemory16And64Clips(benchmark::State& state) {
  double sixteen = 0;
  double sixtyFour = 0;
  for (auto _ : state) {
    sixteen = PeakMegabytes(16);
    sixtyFour = PeakMegabytes(64);
  }
  state.counters["peak_MiB_16_clips"] = sixteen;
  state.counters["peak_MiB_64_clips"] = sixtyFour;
  state.counters["ratio_64_to_16"] = sixtyFour / sixteen;
}
BENCHMARK(BM_PeakMemory16And64Clips)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  RemoveBenchFolder();
  montage::ReleaseDrawingCaches();
  return 0;
}
