// montage-host contact-sheets: one contact sheet for every template found.
#include <iostream>

#include "command.h"
#include "montage/drawing.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

constexpr int kMaxFrames = 36;

struct ContactSheetsOptions {
  fs::path out;
  Size size{320, 180};
  int frames = 16;
};

void Define(CLI::App& command, ContactSheetsOptions& options) {
  command.add_option("--out", options.out, "Output folder (created when missing)")->required()->type_name("DIR");
  command.add_option("--size", options.size, "Size of each frame on the sheet")
      ->check(kFrameSize)
      ->type_name("WxH")
      ->capture_default_str();
  command.add_option("--frames", options.frames, "Frames on each sheet, evenly from time 0 to 1")
      ->check(CLI::Range(1, kMaxFrames))
      ->capture_default_str();
}

int Run(const ContactSheetsOptions& options, const GlobalOptions& globals) {
  const montage::PluginCatalog catalog = ScanPlugins(globals.pluginPath);
  PrepareOutputFolder(options.out);
  int status = 0;
  const Progress progress("contact sheets:", static_cast<int>(catalog.Templates().size()));
  int done = 0;
  for (const montage::TemplateInfo& info : catalog.Templates()) {
    try {
      montage::Renderer renderer(montage::BuildAnimation(montage::Plugin::Load(info.library), info.defaultInputs));
      const fs::path file = options.out / (info.name + ".png");
      montage::ContactSheet(renderer, EvenTimes(options.frames), options.size.width, options.size.height)
          .WritePng(file);
      std::cout << file.string() << '\n';
    } catch (const montage::HostError& error) {
      std::cerr << "montage-host: error: " << error.what() << '\n';
      status = kExitFailure;
    }
    progress.Step(++done);
  }
  for (const montage::PluginFailure& failure : catalog.Failures()) Warn("skipped " + failure.reason);
  return status;
}

}  // namespace

const Command kContactSheetsCommand = MakeCommand<ContactSheetsOptions, Define, Run>(
    "contact-sheets",
    "Render one contact sheet for every template found, at its default input count, and print the files");
