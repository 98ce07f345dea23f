// What a host's requests cost in every built template plug-in, loaded as a host loads
// it: settings builds against the least work that yields the same output, the cached
// settings, the input list, effect creation, and the peak memory of a build.
//
// Benchmark names are <Kind>/<Template>/<count>; SummaryReporter reads them.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "built_plugins.h"
#include "montage/host.h"
#include "replace_allocation.h"
#include "summary_reporter.h"

namespace {

// Input counts of the settings builds; the first plug-in also builds kMillionInputs.
constexpr int kBuildCounts[] = {16, 1000, 100000};
constexpr int kMillionInputs = 1000000;
// Input counts of the cached GetSettings, of registering inputs and of peak memory.
constexpr int kCachedCounts[] = {16, 1000, 100000};
constexpr int kAppendCounts[] = {16, 1000, 10000};
constexpr int kCountInputs = 10000;
constexpr int kPeakCounts[] = {1000, 100000};

// ---- Allocation meter -----------------------------------------------------------------
// This program replaces the global allocation functions, and the plug-ins it loads use
// them too. While the meter is on it keeps the usable bytes of live blocks, relative to
// the moment it was switched on, and their peak. Off, it costs one branch.
struct AllocationMeter {
  bool on = false;
  std::int64_t live = 0;
  std::int64_t peak = 0;
};
AllocationMeter g_meter;

void* Allocate(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  if (g_meter.on) {
    g_meter.live += static_cast<std::int64_t>(malloc_usable_size(block));
    g_meter.peak = std::max(g_meter.peak, g_meter.live);
  }
  return block;
}

void Free(void* block) noexcept {
  if (g_meter.on && block != nullptr) g_meter.live -= static_cast<std::int64_t>(malloc_usable_size(block));
  std::free(block);
}

}  // namespace

MONTAGE_REPLACE_GLOBAL_ALLOCATION(Allocate, Free)

namespace {

// Usable bytes of a settings array and every keyframe buffer it owns. An array of a
// class with a destructor starts with its element count, one size_t before the first
// element.
std::int64_t SettingsBytes(const CEffectSetting* settings, int count) {
  if (settings == nullptr) return 0;
  const auto* block = reinterpret_cast<const std::byte*>(settings) - sizeof(std::size_t);
  auto bytes = static_cast<std::int64_t>(malloc_usable_size(const_cast<std::byte*>(block)));
  for (int i = 0; i < count; ++i) {
    if (const KeyFrame* frames = settings[i].KeyFrames()) {
      bytes += static_cast<std::int64_t>(malloc_usable_size(const_cast<KeyFrame*>(frames)));
    }
  }
  return bytes;
}

// Usable bytes of the largest keyframe buffer of a settings array: a template array of
// the same length occupies as much.
std::int64_t LargestBufferBytes(const CEffectSetting* settings, int count) {
  std::int64_t largest = 0;
  for (int i = 0; i < count; ++i) {
    if (const KeyFrame* frames = settings[i].KeyFrames()) {
      largest = std::max(largest, static_cast<std::int64_t>(malloc_usable_size(const_cast<KeyFrame*>(frames))));
    }
  }
  return largest;
}

// ---- Baseline -------------------------------------------------------------------------
constexpr std::size_t kRecordBytes = sizeof(CEffectSetting);

// What a built settings array looks like: the keyframe count of every input, a copy of
// a filled and of an empty record, and keyframes to write.
struct Shape {
  std::vector<std::int32_t> frames;
  std::int64_t keyFrames = 0;
  std::array<std::byte, kRecordBytes> filled{};
  std::array<std::byte, kRecordBytes> empty{};
  std::vector<KeyFrame> source;  // as many records as the longest buffer
};

Shape ShapeOf(IEffectMultiDLL& effect, int count) {
  int n = 0;
  const CEffectSetting* settings = effect.GetSettingsFor(count, &n);
  Shape shape;
  shape.frames.resize(static_cast<std::size_t>(count));
  std::size_t longest = 0;
  for (int i = 0; i < count; ++i) {
    const CEffectSetting& setting = settings[i];
    const bool filled = setting.KeyFrames() != nullptr;
    const std::int32_t frames = filled ? setting.m_count : 0;
    shape.frames[static_cast<std::size_t>(i)] = frames;
    shape.keyFrames += frames;
    longest = std::max(longest, static_cast<std::size_t>(frames));
    std::memcpy(filled ? shape.filled.data() : shape.empty.data(), &setting, kRecordBytes);
  }
  shape.source.resize(std::max<std::size_t>(longest, 1));
  return shape;
}

// Shapes are cached: the benchmark library runs a function several times.
const Shape& CachedShape(const BuiltPlugin& plugin, IEffectMultiDLL& effect, int count) {
  static std::map<std::pair<std::string_view, int>, Shape> shapes;
  auto found = shapes.find({plugin.name, count});
  if (found == shapes.end()) found = shapes.emplace(std::pair{plugin.name, count}, ShapeOf(effect, count)).first;
  return found->second;
}

// The least work that yields a settings array like a plug-in's, kept and replaced like
// the plug-in's: one block of records with the array's element count in front, each
// record holding the same bytes as the plug-in's, and per filled record one buffer of
// as many keyframe bytes, copied in. The keyframe values are not computed.
class BaselineSettings {
 public:
  BaselineSettings() = default;
  BaselineSettings(const BaselineSettings&) = delete;
  BaselineSettings& operator=(const BaselineSettings&) = delete;
  ~BaselineSettings() { Release(); }

  void Build(const Shape& shape) {
    const std::size_t count = shape.frames.size();
    auto* block = static_cast<std::byte*>(::operator new[](sizeof(std::size_t) + count * kRecordBytes));
    std::memcpy(block, &count, sizeof count);
    std::byte* records = block + sizeof(std::size_t);
    for (std::size_t i = 0; i < count; ++i) {
      std::byte* record = records + i * kRecordBytes;
      const std::int32_t frames = shape.frames[i];
      if (frames <= 0) {
        std::memcpy(record, shape.empty.data(), kRecordBytes);
        continue;
      }
      const std::size_t bytes = static_cast<std::size_t>(frames) * sizeof(KeyFrame);
      void* buffer = ::operator new[](bytes);
      std::memcpy(buffer, shape.source.data(), bytes);
      std::memcpy(record, shape.filled.data(), kRecordBytes);
      std::memcpy(record + kDataOffset, &buffer, sizeof buffer);
      std::memcpy(record + kCountOffset, &frames, sizeof frames);
    }
    Release();
    block_ = block;
    count_ = count;
  }

  [[nodiscard]] const std::byte* Records() const { return block_ + sizeof(std::size_t); }

 private:
  // Buffers last to first, then the block, as an array of settings is released.
  void Release() {
    if (block_ == nullptr) return;
    for (std::size_t i = count_; i-- > 0;) {
      void* buffer = nullptr;
      std::memcpy(&buffer, Records() + i * kRecordBytes + kDataOffset, sizeof buffer);
      ::operator delete[](buffer);
    }
    ::operator delete[](block_);
    block_ = nullptr;
  }

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
  static constexpr std::size_t kDataOffset = offsetof(CEffectSetting, m_data);
  static constexpr std::size_t kCountOffset = offsetof(CEffectSetting, m_count);
#pragma GCC diagnostic pop

  std::byte* block_ = nullptr;
  std::size_t count_ = 0;
};

// ---- Benchmarks -----------------------------------------------------------------------

// Page faults of this process so far that needed no disk: the first touch of memory the
// kernel hands out fresh, zeroed.
std::int64_t MinorFaults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// CPU time and page faults of a run of measured actions.
struct Tally {
  double seconds = 0.0;
  std::int64_t faults = 0;

  template <class Action>
  void Measure(Action&& action) {
    const std::int64_t faults0 = MinorFaults();
    const double start = ThreadSeconds();
    action();
    seconds += ThreadSeconds() - start;
    faults += MinorFaults() - faults0;
  }
};

// A settings build and its baseline, measured in the same iterations so that load from
// elsewhere on the machine falls on both alike. An iteration is one round per side, the
// side going first taking turns. In a round a side starts from nothing of its own on the
// heap, builds for count + 1 (not timed), then for count and for count + 1 again, each
// replacing the array before, as when a user removes and adds one input. Two builds show
// both states the heap alternates between: one build lands on fresh memory, the next
// reuses what the replaced array left. The benchmark's time is the build's CPU time per
// build.
void BuildBenchmark(benchmark::State& state, const BuiltPlugin& plugin, const montage::Plugin& library, int count) {
  const Shape* shapes[2] = {nullptr, nullptr};
  {
    const montage::Effect effectOwner = library.CreateEffect();
    IEffectMultiDLL& effect = effectOwner.Object();
    shapes[0] = &CachedShape(plugin, effect, count);
    shapes[1] = &CachedShape(plugin, effect, count + 1);
  }
  Tally build;
  Tally least;
  const auto buildRound = [&] {
    const montage::Effect effectOwner = library.CreateEffect();
    IEffectMultiDLL& effect = effectOwner.Object();
    int n = 0;
    effect.GetSettingsFor(count + 1, &n);
    build.Measure([&] {
      benchmark::DoNotOptimize(effect.GetSettingsFor(count, &n));
      benchmark::DoNotOptimize(effect.GetSettingsFor(count + 1, &n));
    });
  };
  const auto baselineRound = [&] {
    BaselineSettings baseline;
    baseline.Build(*shapes[1]);
    least.Measure([&] {
      for (const Shape* shape : shapes) {
        baseline.Build(*shape);
        benchmark::DoNotOptimize(baseline.Records());
        benchmark::ClobberMemory();
      }
    });
  };

  bool buildFirst = true;
  for (auto _ : state) {
    const double before = build.seconds;
    if (buildFirst) {
      buildRound();
      baselineRound();
    } else {
      baselineRound();
      buildRound();
    }
    state.SetIterationTime((build.seconds - before) / 2.0);
    buildFirst = !buildFirst;
  }
  const auto builds = static_cast<double>(state.iterations()) * 2.0;
  const double inputs = static_cast<double>(state.iterations()) * (2.0 * count + 1.0);
  const double keyFrames =
      static_cast<double>(state.iterations()) * static_cast<double>(shapes[0]->keyFrames + shapes[1]->keyFrames);
  state.counters["baseline_s"] = least.seconds / builds;
  state.counters["ratio"] = build.seconds / least.seconds;
  state.counters["per_input_s"] = build.seconds / inputs;
  state.counters["per_keyframe_s"] = build.seconds / keyFrames;
  state.counters["baseline_per_input_s"] = least.seconds / inputs;
  state.counters["faults_per_input"] = static_cast<double>(build.faults) / inputs;
  state.counters["baseline_faults_per_input"] = static_cast<double>(least.faults) / inputs;
}

// GetSettings at an unchanged count: counts the list (a walk), then returns the kept
// array.
void CachedBenchmark(benchmark::State& state, const montage::Plugin& library, int count) {
  const montage::Effect effectOwner = library.CreateEffect();
  IEffectMultiDLL& effect = effectOwner.Object();
  for (int i = 0; i < count; ++i) effect.InsertInput(0, i);  // after the first: no walk
  int n = 0;
  effect.GetSettings(&n);
  for (auto _ : state) benchmark::DoNotOptimize(effect.GetSettings(&n));
  state.counters["per_input"] =
      benchmark::Counter(count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Registers `count` inputs one by one at the end of the list, as a host adds clips;
// every append walks the list. Only the appends are timed, in CPU time like the rest.
void AppendBenchmark(benchmark::State& state, const montage::Plugin& library, int count) {
  for (auto _ : state) {
    const montage::Effect effectOwner = library.CreateEffect();
    IEffectMultiDLL& effect = effectOwner.Object();
    Tally appends;
    appends.Measure([&] {
      for (int i = 0; i < count; ++i) benchmark::DoNotOptimize(effect.InsertInput(-1, i));
    });
    state.SetIterationTime(appends.seconds);
  }
}

// GetInputCount of a list of `count` inputs: a walk.
void CountBenchmark(benchmark::State& state, const montage::Plugin& library, int count) {
  const montage::Effect effectOwner = library.CreateEffect();
  IEffectMultiDLL& effect = effectOwner.Object();
  for (int i = 0; i < count; ++i) effect.InsertInput(0, i);
  for (auto _ : state) benchmark::DoNotOptimize(effect.GetInputCount());
  state.counters["per_input"] =
      benchmark::Counter(count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void CreateReleaseBenchmark(benchmark::State& state, const montage::Plugin& library) {
  const CreateEffectFn create = library.Exports().createEffect;
  for (auto _ : state) create()->Release();
}

// Peak memory of one build for `count` inputs that replaces the array built for
// count + 1: the live bytes at the peak, counted from before the build (the replaced
// array included), against the replaced array, the new one and one template array.
void PeakBenchmark(benchmark::State& state, const montage::Plugin& library, int count) {
  const montage::Effect effectOwner = library.CreateEffect();
  IEffectMultiDLL& effect = effectOwner.Object();
  int n = 0;
  const CEffectSetting* kept = effect.GetSettingsFor(count + 1, &n);
  const std::int64_t keptBytes = SettingsBytes(kept, count + 1);
  std::int64_t peak = 0;
  for (auto _ : state) {
    g_meter = {true, 0, 0};
    benchmark::DoNotOptimize(effect.GetSettingsFor(count, &n));
    peak = g_meter.peak;
    g_meter.on = false;
  }
  const CEffectSetting* built = effect.GetSettingsFor(count, &n);
  const std::int64_t builtBytes = SettingsBytes(built, count);
  const std::int64_t templateBytes = LargestBufferBytes(built, count);
  state.counters["replaced_bytes"] = static_cast<double>(keptBytes);
  state.counters["new_bytes"] = static_cast<double>(builtBytes);
  state.counters["template_bytes"] = static_cast<double>(templateBytes);
  state.counters["peak_bytes"] = static_cast<double>(keptBytes + peak);
  state.counters["bound_bytes"] = static_cast<double>(keptBytes + builtBytes + templateBytes);
}

std::string Name(const char* kind, std::string_view plugin, int count) {
  return std::string(kind) + "/" + std::string(plugin) + "/" + std::to_string(count);
}

void RegisterPlugin(const BuiltPlugin& plugin, const montage::Plugin& library, bool million) {
  using benchmark::RegisterBenchmark;
  const std::string_view name = plugin.name;
  const montage::Plugin* lib = &library;
  RegisterBenchmark(Name("CreateRelease", name, 0).c_str(),
                    [lib](benchmark::State& s) { CreateReleaseBenchmark(s, *lib); });

  std::vector<int> buildCounts(std::begin(kBuildCounts), std::end(kBuildCounts));
  if (million) buildCounts.push_back(kMillionInputs);
  for (const int count : buildCounts) {
    const auto unit = count >= 100000 ? benchmark::kMillisecond : benchmark::kMicrosecond;
    RegisterBenchmark(Name("Build", name, count).c_str(),
                      [&plugin, lib, count](benchmark::State& s) { BuildBenchmark(s, plugin, *lib, count); })
        ->UseManualTime()
        ->Unit(unit);
  }
  for (const int count : kCachedCounts) {
    RegisterBenchmark(Name("Cached", name, count).c_str(), [lib, count](benchmark::State& s) {
      CachedBenchmark(s, *lib, count);
    })->Unit(benchmark::kMicrosecond);
  }
  for (const int count : kAppendCounts) {
    RegisterBenchmark(Name("Append", name, count).c_str(),
                      [lib, count](benchmark::State& s) { AppendBenchmark(s, *lib, count); })
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
  }
  RegisterBenchmark(Name("Count", name, kCountInputs).c_str(), [lib](benchmark::State& s) {
    CountBenchmark(s, *lib, kCountInputs);
  })->Unit(benchmark::kMicrosecond);

  std::vector<int> peakCounts(std::begin(kPeakCounts), std::end(kPeakCounts));
  if (million) peakCounts.push_back(kMillionInputs);
  for (const int count : peakCounts) {
    RegisterBenchmark(Name("Peak", name, count).c_str(),
                      [lib, count](benchmark::State& s) { PeakBenchmark(s, *lib, count); })
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
  }
}

// True when the caller chose an output format other than the console's: the summary
// belongs to the console only.
bool OtherFormatRequested(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--benchmark_format=") && arg != "--benchmark_format=console") return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const bool otherFormat = OtherFormatRequested(argc, argv);  // before Initialize takes the flags out
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  // Loaded once for the whole run; the first plug-in also builds a million inputs.
  std::vector<std::unique_ptr<montage::Plugin>> libraries;
  for (const BuiltPlugin& plugin : kBuiltPlugins) {
    libraries.push_back(std::make_unique<montage::Plugin>(montage::Plugin::Load(plugin.path)));
    RegisterPlugin(plugin, *libraries.back(), libraries.size() == 1);
  }

  if (otherFormat) {
    benchmark::RunSpecifiedBenchmarks();
  } else {
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
  }
  benchmark::Shutdown();
  return 0;
}
