#include "summary_reporter.h"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <sstream>

namespace {

struct BenchmarkId {
  std::string kind;
  std::string plugin;
  int count = 0;
};

// <Kind>/<Template>/<count>; false for any other name.
bool ParseName(const std::string& name, BenchmarkId& id) {
  const std::size_t first = name.find('/');
  const std::size_t second = first == std::string::npos ? first : name.find('/', first + 1);
  if (second == std::string::npos) return false;
  id.kind = name.substr(0, first);
  id.plugin = name.substr(first + 1, second - first - 1);
  try {
    id.count = std::stoi(name.substr(second + 1));
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// A duration with a unit that keeps three or four significant digits.
std::string Time(double seconds) {
  if (seconds >= 1.0) return Format("%.3g s", seconds);
  if (seconds >= 1e-3) return Format("%.3g ms", seconds * 1e3);
  if (seconds >= 1e-6) return Format("%.3g us", seconds * 1e6);
  return Format("%.3g ns", seconds * 1e9);
}

std::string Bytes(double bytes) {
  if (bytes >= 1024.0 * 1024.0) return Format("%.1f MiB", bytes / (1024.0 * 1024.0));
  if (bytes >= 1024.0) return Format("%.1f KiB", bytes / 1024.0);
  return Format("%.0f B", bytes);
}

// 1000000 as "1 000 000".
std::string Count(int count) {
  const std::string digits = std::to_string(count);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ' ';
    grouped += digits[i];
  }
  return grouped;
}

const char* Verdict(bool met) { return met ? "met" : "**missed**"; }

}  // namespace

double SummaryReporter::Measurement::Seconds() const { return Median(seconds); }

double SummaryReporter::Measurement::Counter(const std::string& name) const {
  const auto found = counters.find(name);
  return found == counters.end() ? 0.0 : Median(found->second);
}

void SummaryReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& run : runs) {
    BenchmarkId id;
    if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
    if (!ParseName(run.run_name.function_name, id)) continue;
    Measurement& measurement = measurements_[run.run_name.function_name];
    // CPU time: other work on the machine inflates real time. Manual times are CPU
    // times already.
    const bool manual = run.run_name.time_type == "manual_time";
    const double time = manual ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
    measurement.seconds.push_back(time / benchmark::GetTimeUnitMultiplier(run.time_unit));
    for (const auto& [name, counter] : run.counters) measurement.counters[name].push_back(counter.value);
    if (std::find(plugins_.begin(), plugins_.end(), id.plugin) == plugins_.end()) plugins_.push_back(id.plugin);
    std::vector<int>& counts = buildCounts_[id.plugin];
    if (id.kind == "Build" && std::find(counts.begin(), counts.end(), id.count) == counts.end()) {
      counts.push_back(id.count);
    }
  }
}

const SummaryReporter::Measurement* SummaryReporter::Find(const std::string& kind, const std::string& plugin,
                                                          int count) const {
  const auto found = measurements_.find(kind + "/" + plugin + "/" + std::to_string(count));
  return found == measurements_.end() ? nullptr : &found->second;
}

void SummaryReporter::PrintBuilds(std::ostream& out) const {
  out << "### Settings builds\n\n"
      << "CPU time of one build that replaces the array of the previous one; the baseline writes the same "
         "bytes with the least work, measured in the same iterations.\n\n"
      << "| Template | Inputs | Build | Baseline | Build / baseline | Per input | Per keyframe "
         "| Baseline per input | Page faults per input (build / baseline) |\n"
      << "|---|--:|--:|--:|--:|--:|--:|--:|--:|\n";
  for (const std::string& plugin : plugins_) {
    for (const int count : buildCounts_.at(plugin)) {
      const Measurement* build = Find("Build", plugin, count);
      out << "| " << plugin << " | " << Count(count) << " | " << Time(build->Seconds()) << " | "
          << Time(build->Counter("baseline_s")) << " | " << Format("%.2f", build->Counter("ratio")) << " | "
          << Time(build->Counter("per_input_s")) << " | " << Time(build->Counter("per_keyframe_s")) << " | "
          << Time(build->Counter("baseline_per_input_s")) << " | " << Format("%.3f", build->Counter("faults_per_input"))
          << " / " << Format("%.3f", build->Counter("baseline_faults_per_input")) << " |\n";
    }
  }
  out << "\n";
}

void SummaryReporter::PrintInputList(std::ostream& out) const {
  out << "### Effect objects and the input list\n\n"
      << "GetSettings at an unchanged count counts the list first; appending an input walks to the end "
         "of the list.\n\n"
      << "| Template | CreateEffect + Release | Cached GetSettings (16 / 1 000 / 100 000 inputs) "
         "| Register 16 / 1 000 / 10 000 inputs | GetInputCount of 10 000 |\n"
      << "|---|--:|--:|--:|--:|\n";
  const auto time = [this](const std::string& kind, const std::string& plugin, int count) {
    const Measurement* measurement = Find(kind, plugin, count);
    return measurement ? Time(measurement->Seconds()) : std::string("-");
  };
  for (const std::string& plugin : plugins_) {
    out << "| " << plugin << " | " << time("CreateRelease", plugin, 0) << " | " << time("Cached", plugin, 16) << " / "
        << time("Cached", plugin, 1000) << " / " << time("Cached", plugin, 100000) << " | "
        << time("Append", plugin, 16) << " / " << time("Append", plugin, 1000) << " / " << time("Append", plugin, 10000)
        << " | " << time("Count", plugin, 10000) << " |\n";
  }
  out << "\n";
}

void SummaryReporter::PrintMemory(std::ostream& out) const {
  out << "### Peak memory of a build\n\n"
      << "Usable bytes of live blocks at the peak of one build, the replaced array included; bound = "
         "replaced array + new array + one template array (arrays with their keyframe buffers).\n\n"
      << "| Template | Inputs | Replaced | New | Template array | Peak | Bound | Peak within bound |\n"
      << "|---|--:|--:|--:|--:|--:|--:|---|\n";
  for (const std::string& plugin : plugins_) {
    for (const int count : {1000, 100000, 1000000}) {
      const Measurement* peak = Find("Peak", plugin, count);
      if (peak == nullptr) continue;
      out << "| " << plugin << " | " << Count(count) << " | " << Bytes(peak->Counter("replaced_bytes")) << " | "
          << Bytes(peak->Counter("new_bytes")) << " | " << Bytes(peak->Counter("template_bytes")) << " | "
          << Bytes(peak->Counter("peak_bytes")) << " | " << Bytes(peak->Counter("bound_bytes")) << " | "
          << Verdict(peak->Counter("peak_bytes") <= peak->Counter("bound_bytes")) << " |\n";
    }
  }
  out << "\n";
}

void SummaryReporter::PrintGoals(std::ostream& out) const {
  out << "### Goals\n\n"
      << "| Template | Build / baseline at " << Count(kGoalBuildInputs)
      << " (<= " << Format("%.1f", kGoalBuildOverBaseline) << ") | Per input, " << Count(kGoalLinearTo) << " vs "
      << Count(kGoalLinearFrom) << " (<= " << Format("%.1f", kGoalPerInputGrowth)
      << " either way) | Peak within bound |\n"
      << "|---|---|---|---|\n";
  for (const std::string& plugin : plugins_) {
    std::string buildGoal = "not run";
    if (const Measurement* build = Find("Build", plugin, kGoalBuildInputs)) {
      const double ratio = build->Counter("ratio");
      buildGoal = Format("%.2f ", ratio) + Verdict(ratio <= kGoalBuildOverBaseline);
    }
    std::string linearGoal = "not run";
    const Measurement* from = Find("Build", plugin, kGoalLinearFrom);
    const Measurement* to = Find("Build", plugin, kGoalLinearTo);
    if (from && to) {
      const double growth = to->Counter("per_input_s") / from->Counter("per_input_s");
      const double spread = std::max(growth, 1.0 / growth);
      // The same growth of the least work shows what the machine's memory adds.
      const double baselineGrowth = to->Counter("baseline_per_input_s") / from->Counter("baseline_per_input_s");
      linearGoal =
          Format("%.2f ", growth) + Verdict(spread <= kGoalPerInputGrowth) + Format(" (baseline %.2f", baselineGrowth);
      // Growth once the arrays are far beyond the caches.
      if (const Measurement* large = Find("Build", plugin, kGoalBuildInputs)) {
        linearGoal += Format("; build %.2f from ", to->Counter("per_input_s") / large->Counter("per_input_s")) +
                      Count(kGoalBuildInputs) + " on";
      }
      linearGoal += ")";
    }
    std::string peakGoal = "not run";
    bool anyPeak = false;
    bool peaksMet = true;
    for (const int count : {1000, 100000, 1000000}) {
      if (const Measurement* peak = Find("Peak", plugin, count)) {
        anyPeak = true;
        peaksMet = peaksMet && peak->Counter("peak_bytes") <= peak->Counter("bound_bytes");
      }
    }
    if (anyPeak) peakGoal = Verdict(peaksMet);
    out << "| " << plugin << " | " << buildGoal << " | " << linearGoal << " | " << peakGoal << " |\n";
  }
  out << "\n";
}

void SummaryReporter::Finalize() {
  ConsoleReporter::Finalize();
  if (measurements_.empty()) return;
  std::ostringstream summary;
  summary << "\n## Summary\n\n";
  PrintGoals(summary);
  PrintBuilds(summary);
  PrintMemory(summary);
  PrintInputList(summary);
  GetOutputStream() << summary.str() << std::flush;
}
