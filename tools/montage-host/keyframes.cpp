// montage-host keyframes: a template's settings for N inputs, as a table, JSON or CSV.
#include <iostream>

#include "command.h"
#include "support.h"

namespace {

enum class Format { kTable, kJson, kCsv };

struct KeyFramesOptions {
  TemplateChoice choice;
  Format format = Format::kTable;
};

void Define(CLI::App& command, KeyFramesOptions& options) {
  AddTemplateOptions(command, options.choice);
  command.add_option("--format", options.format, "table, json or csv; json and csv keep every double exact")
      ->transform(Choice<Format>({{"table", Format::kTable}, {"json", Format::kJson}, {"csv", Format::kCsv}}))
      ->type_name("FORMAT")
      ->default_str("table");
}

void PrintTableOf(const montage::Animation& animation) {
  std::cout << montage::PrintableText(animation.info.displayName) << ": " << animation.inputCount << " inputs\n";
  std::vector<std::vector<std::string>> rows = {
      {"INPUT", "KEY", "TIME", "POSX", "POSY", "SCALE", "OPACITY", "ROTATION", "AUX0", "AUX1", "AUX2"}};
  for (std::size_t index = 0; index < animation.settings.size(); ++index) {
    const std::vector<KeyFrame>& frames = animation.settings[index];
    if (frames.empty()) rows.push_back({std::to_string(index), "-", "no keyframes"});
    for (std::size_t k = 0; k < frames.size(); ++k) {
      const KeyFrame& f = frames[k];
      rows.push_back({std::to_string(index), std::to_string(k), montage::FormatDouble(f.Time),
                      montage::FormatDouble(f.PosX), montage::FormatDouble(f.PosY), montage::FormatDouble(f.Scale),
                      montage::FormatDouble(f.Opacity), montage::FormatDouble(f.Rotation),
                      montage::FormatDouble(f.Aux0), std::to_string(f.Aux1), std::to_string(f.Aux2)});
    }
  }
  PrintTable(rows);
}

int Run(const KeyFramesOptions& options, const GlobalOptions& globals) {
  const montage::Animation animation = LoadAnimation(options.choice, globals);
  switch (options.format) {
    case Format::kJson:
      montage::WriteKeyFramesJson(std::cout, animation);
      break;
    case Format::kCsv:
      montage::WriteKeyFramesCsv(std::cout, animation);
      break;
    case Format::kTable:
      PrintTableOf(animation);
      break;
  }
  return 0;
}

}  // namespace

const Command kKeyFramesCommand =
    MakeCommand<KeyFramesOptions, Define, Run>("keyframes", "Print a template's keyframes for N inputs");
