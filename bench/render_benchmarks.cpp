// Render throughput: frames per second at 1280x720 for the 16-input Brisolen, on one
// thread, drawn with placeholder cards, with 1920x1080 pictures, and with 16 camera-size
// JPEG photos (4032x3024) opened as montage-host opens them. The photos are measured
// against a bound drawn in the same run: the same visible inputs painted from pictures
// already at their drawn size, unscaled and unturned, the least a frame can cost.
//
// After the runs a summary line gives the photos' frames per second and their ratio to
// the bound. Goals: at least 150 frames per second, within 2x of the bound.
#include <benchmark/benchmark.h>
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "camera_photo.h"
#include "montage/drawing.h"
#include "montage/pictures.h"
#include "montage/render_video.h"

namespace {

namespace fs = std::filesystem;

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

double TimeOf(int k) { return static_cast<double>(k) / (kFramesPerLoop - 1); }

void RenderFrames(benchmark::State& state, montage::Renderer& renderer) {
  montage::Image frame(kWidth, kHeight);
  int k = 0;
  for (auto _ : state) {
    renderer.RenderInto(frame, TimeOf(k));
    benchmark::DoNotOptimize(frame.Data());
    k = (k + 1) % kFramesPerLoop;
  }
  state.counters["frames_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// ---- Camera photos ------------------------------------------------------------------------

fs::path WritePhoto(const fs::path& folder, int index) {
  const fs::path file = folder / ("photo" + std::to_string(index) + ".jpg");
  const std::string bytes = CameraJpeg(index);
  std::ofstream out(file, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) std::exit(1);
  return file;
}

const std::vector<fs::path>& Photos() {
  static const std::vector<fs::path> photos = [] {
    const fs::path folder = fs::temp_directory_path() / "montage-render-benchmark-camera-photos";
    fs::create_directories(folder);
    std::vector<fs::path> files;
    for (int index = 0; index < kInputs; ++index) {
      const fs::path file = folder / ("photo" + std::to_string(index) + ".jpg");
      files.push_back(fs::exists(file) ? file : WritePhoto(folder, index));
    }
    return files;
  }();
  return photos;
}

// ---- The bound: pictures already at their drawn size -----------------------------------

struct Placement {
  const montage::Image* picture;  // at the drawn size of its input
  double x, y;                    // top left of the picture
  double clipX, clipY, clipWidth, clipHeight;
  double opacity;
};

// What every frame paints, prepared beforehand: each visible input's photo resized to
// exactly the size the renderer draws it at, and where.
class Bound {
 public:
  explicit Bound(const montage::Animation& animation) : animation_(animation) {
    for (std::size_t index = 0; index < animation.tracks.size(); ++index) {
      decoded_.push_back(montage::ReadPicture(Photos()[index % Photos().size()], kWidth, kHeight));
    }
    const std::vector<int> order = montage::DrawingOrder(animation);
    frames_.resize(kFramesPerLoop);
    for (int k = 0; k < kFramesPerLoop; ++k) {
      for (const int index : order) {
        const std::optional<montage::Pose> pose = animation.tracks[static_cast<std::size_t>(index)].PoseAt(TimeOf(k));
        if (!pose || !(pose->opacity > 0)) continue;
        const double w = kWidth * pose->scale;
        const double h = kHeight * pose->scale;
        const montage::Image& photo = decoded_[static_cast<std::size_t>(index)];
        const double cover = std::max(w / photo.Width(), h / photo.Height());
        const int drawnWidth = static_cast<int>(std::ceil(photo.Width() * cover));
        const int drawnHeight = static_cast<int>(std::ceil(photo.Height() * cover));
        const montage::Image& sized = Sized(static_cast<std::size_t>(index), drawnWidth, drawnHeight);
        const double cx = kWidth / 2.0 + pose->posX * kWidth;
        const double cy = kHeight / 2.0 - pose->posY * kHeight;
        frames_[static_cast<std::size_t>(k)].push_back({&sized, cx - drawnWidth / 2.0, cy - drawnHeight / 2.0,
                                                        cx - w / 2, cy - h / 2, w, h, std::min(1.0, pose->opacity)});
      }
    }
  }

  void Paint(montage::Image& frame, int k) const {
    cairo_surface_t* surface = Surface(frame);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 30 / 255.0, 30 / 255.0, 36 / 255.0);
    cairo_paint(cr);
    for (const Placement& p : frames_[static_cast<std::size_t>(k)]) {
      cairo_save(cr);
      cairo_rectangle(cr, p.clipX, p.clipY, p.clipWidth, p.clipHeight);
      cairo_clip(cr);
      cairo_surface_t* picture = Surface(const_cast<montage::Image&>(*p.picture));
      cairo_set_source_surface(cr, picture, p.x, p.y);
      cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BILINEAR);
      cairo_paint_with_alpha(cr, p.opacity);
      cairo_surface_destroy(picture);
      cairo_restore(cr);
    }
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    cairo_surface_destroy(surface);
  }

 private:
  static cairo_surface_t* Surface(montage::Image& image) {
    return cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(image.Data()), CAIRO_FORMAT_ARGB32,
                                               image.Width(), image.Height(), image.Width() * 4);
  }

  const montage::Image& Sized(std::size_t input, int width, int height) {
    auto& image = sized_[{input, width, height}];
    if (image.Width() == 0) {
      const montage::Image& source = decoded_[input];
      image = montage::Image(width, height);
      cairo_surface_t* target = Surface(image);
      cairo_t* cr = cairo_create(target);
      cairo_scale(cr, static_cast<double>(width) / source.Width(), static_cast<double>(height) / source.Height());
      cairo_surface_t* picture = Surface(const_cast<montage::Image&>(source));
      cairo_set_source_surface(cr, picture, 0, 0);
      cairo_paint(cr);
      cairo_surface_destroy(picture);
      cairo_destroy(cr);
      cairo_surface_destroy(target);
    }
    return image;
  }

  const montage::Animation& animation_;
  std::vector<montage::Image> decoded_;
  std::map<std::tuple<std::size_t, int, int>, montage::Image> sized_;
  std::vector<std::vector<Placement>> frames_;
};

// ---- Benchmarks ---------------------------------------------------------------------------

void BM_Render1280x720Placeholders(benchmark::State& state) {
  montage::Renderer renderer(SixteenInputs());
  RenderFrames(state, renderer);
}

void BM_Render1280x720Pictures(benchmark::State& state) {
  std::vector<montage::Image> pictures;
  for (int i = 0; i < 4; ++i) {
    montage::Image picture(1920, 1080);
    picture.Fill(montage::PlaceholderColour(i));
    pictures.push_back(std::move(picture));
  }
  montage::Renderer renderer(SixteenInputs(), std::move(pictures));
  RenderFrames(state, renderer);
}

void BM_Render1280x720CameraPhotos(benchmark::State& state) {
  montage::Animation animation = SixteenInputs();
  std::vector<std::shared_ptr<montage::InputMedia>> media =
      montage::OpenInputMedia(animation, Photos(), {}, kWidth, kHeight);
  montage::Renderer renderer(std::move(animation), std::move(media));
  RenderFrames(state, renderer);
}

void BM_Bound1280x720CameraPhotosAtDrawnSize(benchmark::State& state) {
  const montage::Animation animation = SixteenInputs();
  const Bound bound(animation);
  montage::Image frame(kWidth, kHeight);
  int k = 0;
  for (auto _ : state) {
    bound.Paint(frame, k);
    benchmark::DoNotOptimize(frame.Data());
    k = (k + 1) % kFramesPerLoop;
  }
  state.counters["frames_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_Render1280x720Placeholders)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Render1280x720Pictures)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Render1280x720CameraPhotos)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Bound1280x720CameraPhotosAtDrawnSize)->Unit(benchmark::kMillisecond);

// Prints the console output and, at the end, the photos against the bound.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto found = run.counters.find("frames_per_second");
      if (found != run.counters.end()) fps_[run.benchmark_name()] = found->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto photos = fps_.find("BM_Render1280x720CameraPhotos");
    const auto bound = fps_.find("BM_Bound1280x720CameraPhotosAtDrawnSize");
    if (photos == fps_.end() || bound == fps_.end()) return;
    std::printf(
        "\n16 camera photos at 1280x720, one thread: %.0f frames/s (goal 150); bound %.0f frames/s; "
        "renderer / bound time %.2f (goal 2.0 or less)\n",
        photos->second, bound->second, bound->second / photos->second);
  }

 private:
  std::map<std::string, double> fps_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  montage::ReleaseDrawingCaches();
  return 0;
}
