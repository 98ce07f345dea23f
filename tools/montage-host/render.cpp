// montage-host render: a template's frames as PNG files and a contact sheet.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>

#include "command.h"
#include "montage/drawing.h"
#include "support.h"

namespace fs = std::filesystem;
using montage::HostError;

namespace {

// Frames a contact sheet shows at most, and the width of each.
constexpr int kMaxSheetFrames = 36;
constexpr int kSheetThumbWidth = 320;

struct RenderOptions {
  TemplateChoice choice;
  std::vector<fs::path> images;
  Size size{640, 360};
  double fps = 10;
  double seconds = 2;
  fs::path out;
};

void Define(CLI::App& command, RenderOptions& options) {
  AddTemplateOptions(command, options.choice);
  command
      .add_option("--images", options.images,
                  "Pictures for the inputs (PNG or JPEG), reused in turn; default: numbered placeholder cards")
      ->check(kNotAnOption)
      ->type_name("FILE");
  command.add_option("--size", options.size, "Frame size")->check(kFrameSize)->type_name("WxH")->capture_default_str();
  command.add_option("--fps", options.fps, "Frames per second")
      ->check(kPositiveNumber)
      ->type_name("F")
      ->capture_default_str();
  command.add_option("--seconds", options.seconds, "Running time of the effect")
      ->check(kPositiveNumber)
      ->type_name("S")
      ->capture_default_str();
  command.add_option("--out", options.out, "Output folder (created when missing)")->required()->type_name("DIR");
}

int Run(const RenderOptions& options, const GlobalOptions& globals) {
  montage::Animation animation = LoadAnimation(options.choice, globals.pluginPath);
  const Size size = options.size;
  const double frames = std::round(options.fps * options.seconds);
  if (!(frames + 1 <= montage::kMaxFrames)) {
    throw HostError("--fps times --seconds gives more than " + std::to_string(montage::kMaxFrames) + " frames");
  }
  const int intervals = std::max(1, static_cast<int>(frames));
  std::vector<montage::Image> pictures;
  for (const fs::path& file : options.images) pictures.push_back(montage::Image::Read(file));
  const fs::path& out = options.out;
  PrepareOutputFolder(out);

  const std::string name = animation.info.name;
  montage::Renderer renderer(std::move(animation), std::move(pictures));
  std::vector<double> times;
  montage::Image frame(size.width, size.height);
  {
    const Progress progress("rendering " + name + ": frame", intervals + 1);
    for (int k = 0; k <= intervals; ++k) {
      const double time = static_cast<double>(k) / intervals;
      times.push_back(time);
      renderer.RenderInto(frame, time);
      char file[32];
      std::snprintf(file, sizeof file, "frame-%04d.png", k);
      frame.WritePng(out / file);
      progress.Step(k + 1);
    }
  }
  // The sheet shows every frame, or an even choice of them for long renders.
  std::vector<double> sheetTimes;
  const int shown = std::min<int>(kMaxSheetFrames, static_cast<int>(times.size()));
  for (int k = 0; k < shown; ++k) {
    const std::size_t at =
        shown == 1 ? 0 : static_cast<std::size_t>(std::lround(static_cast<double>(k) * intervals / (shown - 1)));
    sheetTimes.push_back(times[at]);
  }
  const int thumbWidth = std::min(kSheetThumbWidth, size.width);
  const int thumbHeight =
      std::max(1, static_cast<int>(std::lround(static_cast<double>(thumbWidth) * size.height / size.width)));
  montage::ContactSheet(renderer, sheetTimes, thumbWidth, thumbHeight).WritePng(out / "contact-sheet.png");
  std::cout << "wrote " << times.size() << " frames of " << size.width << "x" << size.height << " to " << out.string()
            << " and " << (out / "contact-sheet.png").string() << '\n';
  return 0;
}

}  // namespace

const Command kRenderCommand =
    MakeCommand<RenderOptions, Define, Run>("render", "Write a template's frames as PNG files and a contact sheet");
