// montage-host contact-sheets: one contact sheet for every template found.
#include <algorithm>
#include <iostream>
#include <set>
#include <string>

#include "command.h"
#include "montage/drawing.h"
#include "montage/render_video.h"
#include "montage/timeline.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

constexpr int kMaxFrames = 36;

// The animated previews beside the sheets: small, short and light enough for a README.
constexpr double kPreviewFps = 12;
constexpr double kPreviewSeconds = 3;

enum class Chart { kNone, kPng, kSvg };

struct ContactSheetsOptions {
  fs::path out;
  Size size{320, 180};
  int frames = 16;
  std::string preview;  // a video extension ("gif", "webp", "mp4", "webm"); empty: none
  Size previewSize{320, 180};
  Chart timeline = Chart::kNone;
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
  command.add_option("--preview", options.preview, "Also write an animated preview of each template, as FORMAT")
      ->check(CLI::IsMember({"gif", "webp", "mp4", "webm"}).description(""))
      ->type_name("gif|webp|mp4|webm");
  command.add_option("--preview-size", options.previewSize, "Size of the previews")
      ->check(kFrameSize)
      ->type_name("WxH")
      ->capture_default_str();
  command.add_option("--timeline", options.timeline, "Also write the timeline chart of each template, as FORMAT")
      ->transform(Choice<Chart>({{"png", Chart::kPng}, {"svg", Chart::kSvg}}))
      ->type_name("png|svg");
}

// Writes `base`.<preview> beside the sheet: kPreviewSeconds at kPreviewFps.
fs::path WritePreview(const ContactSheetsOptions& options, const montage::Animation& animation,
                      const std::string& base) {
  const fs::path file = options.out / (base + "." + options.preview);
  const montage::VideoFormat format = *montage::VideoFormatFor(file);
  montage::VideoSettings settings;
  settings.format = format;
  settings.width = options.previewSize.width;
  settings.height = options.previewSize.height;
  if (montage::NeedsEvenSize(format)) {
    settings.width = std::max(2, settings.width - settings.width % 2);
    settings.height = std::max(2, settings.height - settings.height % 2);
  }
  settings.fps = kPreviewFps;
  settings.frameCount = montage::VideoFrameCount(kPreviewFps, kPreviewSeconds);
  montage::Renderer renderer(animation);
  montage::RenderVideo(file, renderer, settings, {}, &InterruptRequested());
  return file;
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
      StopIfInterrupted();
      const montage::Animation animation =
          montage::BuildAnimation(montage::Plugin::Load(info.library), info.defaultInputs);
      std::string base = montage::SafeFileName(info.name);
      for (int n = 2; taken.contains(base); ++n) base = montage::SafeFileName(info.name) + "-" + std::to_string(n);
      taken.insert(base);
      const fs::path file = options.out / (base + ".png");
      montage::Renderer renderer(animation);
      montage::ContactSheet(renderer, EvenTimes(options.frames), options.size.width, options.size.height)
          .WritePng(file);
      std::cout << montage::PrintableText(file.string()) << '\n';
      if (!options.preview.empty()) {
        std::cout << montage::PrintableText(WritePreview(options, animation, base).string()) << '\n';
      }
      if (options.timeline != Chart::kNone) {
        const fs::path chart = options.out / (base + "-timeline" + (options.timeline == Chart::kPng ? ".png" : ".svg"));
        montage::WriteTimeline(animation, chart);
        std::cout << montage::PrintableText(chart.string()) << '\n';
      }
    } catch (const Interrupted&) {
      throw;
    } catch (const montage::Cancelled&) {
      throw Interrupted();
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
    "Render one contact sheet for every template found, at its default input count (with animated previews and "
    "timeline charts when asked), and print the files");
