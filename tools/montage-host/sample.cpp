// montage-host sample: the interpolated pose of every input at given times.
#include <iostream>

#include "command.h"
#include "support.h"

namespace {

enum class Format { kTable, kJson };

struct SampleOptions {
  TemplateChoice choice;
  std::vector<ExactNumber> times;
  Format format = Format::kTable;
};

void Define(CLI::App& command, SampleOptions& options) {
  AddTemplateOptions(command, options.choice);
  command.add_option("--time", options.times, "Effect time(s); 0 is the start, 1 the end (other values allowed)")
      ->required()
      ->check(kFiniteNumber)
      ->type_name("T");
  command.add_option("--format", options.format, "table or json")
      ->transform(Choice<Format>({{"table", Format::kTable}, {"json", Format::kJson}}))
      ->type_name("FORMAT")
      ->default_str("table");
}

void PrintTables(const montage::Animation& animation, const std::vector<double>& times) {
  for (const double time : times) {
    std::cout << montage::PrintableText(animation.info.displayName) << ", " << animation.inputCount << " inputs, time "
              << montage::FormatDouble(time) << '\n';
    if (time < 0 || time > 1) {
      std::cout << "note: the time lies outside 0..1; only inputs whose keyframes span it are shown\n";
    }
    std::vector<std::vector<std::string>> rows = {{"INPUT", "POSX", "POSY", "SCALE", "OPACITY", "ROTATION"}};
    for (std::size_t index = 0; index < animation.tracks.size(); ++index) {
      const montage::Track& track = animation.tracks[index];
      if (const std::optional<montage::Pose> pose = track.PoseAt(time)) {
        rows.push_back({std::to_string(index), montage::FormatDouble(pose->posX), montage::FormatDouble(pose->posY),
                        montage::FormatDouble(pose->scale), montage::FormatDouble(pose->opacity),
                        montage::FormatDouble(pose->rotation)});
      } else if (track.Empty()) {
        rows.push_back({std::to_string(index), "not shown: no keyframes"});
      } else {
        rows.push_back({std::to_string(index), "not shown: keyframes span " + montage::FormatDouble(track.Start()) +
                                                   " to " + montage::FormatDouble(track.End())});
      }
    }
    PrintTable(rows);
  }
}

int Run(const SampleOptions& options, const GlobalOptions& globals) {
  const montage::Animation animation = LoadAnimation(options.choice, globals);
  std::vector<double> times;
  for (const ExactNumber& time : options.times) times.push_back(time.value);
  if (options.format == Format::kJson) {
    montage::WriteSamplesJson(std::cout, animation, times);
  } else {
    PrintTables(animation, times);
  }
  return 0;
}

}  // namespace

const Command kSampleCommand =
    MakeCommand<SampleOptions, Define, Run>("sample", "Print the interpolated pose of every input at given times");
