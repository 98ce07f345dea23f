// montage-host timeline: a template's choreography as a chart (PNG or SVG).
#include "montage/timeline.h"

#include <iostream>

#include "command.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

struct TimelineOptions {
  TemplateChoice choice;
  fs::path out;
};

void Define(CLI::App& command, TimelineOptions& options) {
  AddTemplateOptions(command, options.choice);
  command.add_option("--out", options.out, "Chart file: .png or .svg")->required()->type_name("FILE");
}

int Run(const TimelineOptions& options, const GlobalOptions& globals) {
  const montage::Animation animation = LoadAnimation(options.choice, globals);
  montage::WriteTimeline(animation, options.out);
  std::cout << "wrote " << montage::PrintableText(options.out.string()) << '\n';
  return 0;
}

}  // namespace

const Command kTimelineCommand = MakeCommand<TimelineOptions, Define, Run>(
    "timeline", "Draw a template's timeline: when each input is shown, its keyframes, Scale and position");
