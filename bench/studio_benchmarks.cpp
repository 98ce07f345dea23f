// Scrubbing in the studio: from a page's request for a new time to the last byte of the
// frame received, at 960x540 for the 16-input Brisolen showing 16 camera-size photos
// (4032x3024 JPEGs made at the start of the run), over a scrub across the whole effect;
// once alone and once while a render of the same settings runs. The studio runs in this
// process on a free port and is asked over HTTP, as the page asks it.
//
// Reported per benchmark: p50_ms, p95_ms and max_ms of the frame requests (wall time).
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "built_plugins.h"
#include "camera_photo.h"
#include "montage/pictures.h"
#include "studio.h"

namespace {

using nlohmann::json;

constexpr int kWidth = 960;
constexpr int kHeight = 540;
constexpr int kPhotos = 16;
constexpr int kScrubSteps = 240;

const char* BrisolenLibrary() {
  for (const BuiltPlugin& plugin : kBuiltPlugins) {
    if (plugin.name == "Brisolen") return plugin.path;
  }
  std::cerr << "studio_benchmarks: the Brisolen plug-in is not built\n";
  std::exit(1);
}

// The studio with one page showing Brisolen with the photos, made once for the run.
class Setup {
 public:
  Setup() {
    studio::StudioOptions options;
    options.exactPort = true;
    options.port = 0;
    options.pluginDirectories = {std::filesystem::path(BrisolenLibrary()).parent_path()};
    studio_ = std::make_unique<studio::Studio>(options);
    thread_ = std::thread([this] { studio_->Run(); });
    client_ = std::make_unique<httplib::Client>("127.0.0.1", studio_->Port());
    client_->set_read_timeout(120);
    const httplib::Headers token = {{"X-Studio-Token", studio_->Token()}};
    session_ = json::parse(client_->Post("/api/sessions", token, "", "application/json")->body)["id"];
    const json catalog = json::parse(client_->Get("/api/templates")->body);
    std::string brisolen;
    for (const json& entry : catalog["templates"]) {
      if (entry["name"] == "Brisolen") brisolen = entry["id"];
    }
    const json settings = {{"template", brisolen}, {"inputs", 16},  {"width", kWidth},
                           {"height", kHeight},    {"seconds", 30}, {"fps", 30}};
    const auto changed = client_->Put(Path("/settings"), token, settings.dump(), "application/json");
    if (!changed || changed->status != 200) {
      std::cerr << "studio_benchmarks: cannot show Brisolen: " << (changed ? changed->body : "no response") << '\n';
      std::exit(1);
    }
    std::uint64_t bytes = 0;
    for (int k = 0; k < kPhotos; ++k) {
      const std::string photo = CameraJpeg(k);
      bytes += photo.size();
      const auto result = client_->Post(Path("/media?name=photo-" + std::to_string(k) + ".jpg"), token, photo,
                                        "application/octet-stream");
      if (!result || result->status != 201) {
        std::cerr << "studio_benchmarks: upload failed: " << (result ? result->body : "no response") << '\n';
        std::exit(1);
      }
    }
    std::cerr << "studio_benchmarks: " << kPhotos << " photos of 4032x3024, " << bytes / kPhotos / 1024
              << " KiB each\n";
    Frame(0.0);  // opens the media: the first frame decodes every photo
    if (const char* sample = std::getenv("STUDIO_BENCH_SAMPLE")) {
      // A frame to look at, to see that the photos are drawn.
      std::ofstream(sample, std::ios::binary) << client_->Get(Path("/frame?t=0.5&w=960&h=540"))->body;
    }
  }
  Setup(const Setup&) = delete;
  Setup& operator=(const Setup&) = delete;
  ~Setup() {
    client_.reset();
    studio_->Stop();
    thread_.join();
  }

  std::string Path(const std::string& rest) const { return "/api/sessions/" + session_ + rest; }

  // One frame as the page asks for it; its wall time in milliseconds.
  double Frame(double time) {
    const auto start = std::chrono::steady_clock::now();
    const auto result = client_->Get(Path("/frame?t=" + montage::FormatDouble(time) + "&w=" + std::to_string(kWidth) +
                                          "&h=" + std::to_string(kHeight)));
    const auto end = std::chrono::steady_clock::now();
    if (!result || result->status != 200) {
      std::cerr << "studio_benchmarks: frame failed: " << (result ? result->body : "no response") << '\n';
      std::exit(1);
    }
    return std::chrono::duration<double, std::milli>(end - start).count();
  }

  std::string StartRender() {
    const httplib::Headers token = {{"X-Studio-Token", studio_->Token()}};
    const auto result = client_->Post(Path("/renders"), token, R"({"format": "mp4"})", "application/json");
    const std::string id = json::parse(result->body)["id"];
    for (;;) {
      const json status = json::parse(client_->Get(Path("/renders/" + id))->body);
      if (status["state"] == "running" && status["framesDone"].get<int>() > 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return id;
  }

  int CancelRender(const std::string& id) {
    const httplib::Headers token = {{"X-Studio-Token", studio_->Token()}};
    const json status = json::parse(client_->Post(Path("/renders/" + id + "/cancel"), token, "", "")->body);
    return status["framesDone"].get<int>();
  }

 private:
  std::unique_ptr<studio::Studio> studio_;
  std::thread thread_;
  std::unique_ptr<httplib::Client> client_;
  std::string session_;
};

Setup& Shared() {
  static Setup setup;
  return setup;
}

void Report(benchmark::State& state, std::vector<double> times) {
  std::ranges::sort(times);
  auto at = [&](double fraction) {
    return times[std::min(times.size() - 1, static_cast<std::size_t>(std::ceil(fraction * times.size())) - 1)];
  };
  state.counters["p50_ms"] = at(0.50);
  state.counters["p95_ms"] = at(0.95);
  state.counters["max_ms"] = times.back();
}

// A scrub across the whole effect, forwards then backwards, one request at a time.
std::vector<double> Scrub(Setup& setup) {
  std::vector<double> times;
  for (int k = 0; k <= kScrubSteps; ++k) times.push_back(setup.Frame(static_cast<double>(k) / kScrubSteps));
  for (int k = kScrubSteps; k >= 0; k -= 3) times.push_back(setup.Frame((k + 0.5) / (kScrubSteps + 1)));
  return times;
}

void BM_Scrub960x540With16Photos(benchmark::State& state) {
  Setup& setup = Shared();
  std::vector<double> times;
  for (auto _ : state) {
    const std::vector<double> pass = Scrub(setup);
    times.insert(times.end(), pass.begin(), pass.end());
  }
  Report(state, std::move(times));
}

void BM_Scrub960x540With16PhotosWhileRendering(benchmark::State& state) {
  Setup& setup = Shared();
  std::vector<double> times;
  for (auto _ : state) {
    const std::string render = setup.StartRender();
    const std::vector<double> pass = Scrub(setup);
    times.insert(times.end(), pass.begin(), pass.end());
    state.counters["render_frames_meanwhile"] = setup.CancelRender(render);
  }
  Report(state, std::move(times));
}

BENCHMARK(BM_Scrub960x540With16Photos)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Scrub960x540With16PhotosWhileRendering)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
