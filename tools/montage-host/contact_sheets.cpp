// montage-host contact-sheets: one contact sheet for every template found.
#include <iostream>
#include <set>
#include <string>

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
      ->check(CLI::Range(1, kMaxFrames).description(""))
      ->capture_default_str();
}

int Run(const ContactSheetsOptions& options, const GlobalOptions& globals) {
  const montage::SheetSize sheet = montage::ContactSheetSize(options.frames, options.size.width, options.size.height);
  if (sheet.width > montage::kMaxFrameSide || sheet.height > montage::kMaxFrameSide) {
    throw montage::HostError(
        "--size " + std::to_string(options.size.width) + "x" + std::to_string(options.size.height) + " with --frames " +
        std::to_string(options.frames) + " makes contact sheets of " + std::to_string(sheet.width) + "x" +
        std::to_string(sheet.height) + " pixels, more than " + std::to_string(montage::kMaxFrameSide) + " a side");
  }
  const montage::PluginCatalog catalog = ScanPlugins(globals);
  PrepareOutputFolder(options.out);
  // File names come from the templates' names, made safe and unique: a plug-in named
  // "../x" or "/abs" must not write outside --out.
  std::set<std::string> taken;
  int status = 0;
  const Progress progress("contact sheets:", static_cast<int>(catalog.Templates().size()));
  int done = 0;
  for (const montage::TemplateInfo& info : catalog.Templates()) {
    try {
      montage::Renderer renderer(montage::BuildAnimation(montage::Plugin::Load(info.library), info.defaultInputs));
      std::string base = montage::SafeFileName(info.name);
      for (int n = 2; taken.contains(base); ++n) base = montage::SafeFileName(info.name) + "-" + std::to_string(n);
      taken.insert(base);
      const fs::path file = options.out / (base + ".png");
      montage::ContactSheet(renderer, EvenTimes(options.frames), options.size.width, options.size.height)
          .WritePng(file);
      std::cout << montage::PrintableText(file.string()) << '\n';
    } catch (const montage::HostError& error) {
      std::cerr << "montage-host: error: " << montage::PrintableText(info.name) << ": "
                << montage::PrintableText(error.what()) << '\n';
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
