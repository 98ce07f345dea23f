// A console reporter that also prints, after the last run, a summary in Markdown: every
// settings build as a ratio to the baseline measured in the same run, the per-input cost
// at each size, peak memory against its bound, and a verdict for every goal.
//
// It reads the benchmark names of template_benchmarks.cpp: <Kind>/<Template>/<count>.
#ifndef MONTAGE_BENCH_SUMMARY_REPORTER_H
#define MONTAGE_BENCH_SUMMARY_REPORTER_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

// Goals the summary checks.
inline constexpr double kGoalBuildOverBaseline = 2.0;  // at kGoalBuildInputs inputs
inline constexpr int kGoalBuildInputs = 100000;
inline constexpr double kGoalPerInputGrowth = 1.5;  // between kGoalLinearFrom and kGoalLinearTo
inline constexpr int kGoalLinearFrom = 1000;
inline constexpr int kGoalLinearTo = 1000000;

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  struct Measurement {
    std::vector<double> seconds;  // time per iteration of every repetition
    std::map<std::string, std::vector<double>> counters;
    [[nodiscard]] double Seconds() const;
    [[nodiscard]] double Counter(const std::string& name) const;
  };
  // Median over repetitions; null when the benchmark did not run.
  [[nodiscard]] const Measurement* Find(const std::string& kind, const std::string& plugin, int count) const;

  void PrintBuilds(std::ostream& out) const;
  void PrintInputList(std::ostream& out) const;
  void PrintMemory(std::ostream& out) const;
  void PrintGoals(std::ostream& out) const;

  std::map<std::string, Measurement> measurements_;      // by benchmark name
  std::vector<std::string> plugins_;                     // in the order they first ran
  std::map<std::string, std::vector<int>> buildCounts_;  // build sizes run per plug-in
};

#endif  // MONTAGE_BENCH_SUMMARY_REPORTER_H
