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

// The contact sheet of a render: every frame, or an even choice of them for long
// renders, at most kSheetThumbWidth wide.
struct SheetPlan {
  std::vector<double> times;
  int thumbWidth = 0;
  int thumbHeight = 0;
};

SheetPlan PlanSheet(const std::vector<double>& times, Size size) {
  SheetPlan plan;
  const int intervals = static_cast<int>(times.size()) - 1;
  const int shown = std::min<int>(kMaxSheetFrames, static_cast<int>(times.size()));
  for (int k = 0; k < shown; ++k) {
    const std::size_t at =
        shown == 1 ? 0 : static_cast<std::size_t>(std::lround(static_cast<double>(k) * intervals / (shown - 1)));
    plan.times.push_back(times[at]);
  }
  plan.thumbWidth = std::min(kSheetThumbWidth, size.width);
  plan.thumbHeight =
      std::max(1, static_cast<int>(std::lround(static_cast<double>(plan.thumbWidth) * size.height / size.width)));
  return plan;
}

// Refuses, before anything is drawn, a render whose sheet or whole cannot be made.
void CheckFeasible(const RenderOptions& options, int frames, const SheetPlan& sheet) {
  const Size size = options.size;
  const double pixels = static_cast<double>(size.width) * size.height * frames;
  if (pixels > static_cast<double>(montage::kMaxRenderPixels)) {
    char amount[64];
    std::snprintf(amount, sizeof amount, "%.0f billion pixels, more than %.0f billion", pixels / 1e9,
                  static_cast<double>(montage::kMaxRenderPixels) / 1e9);
    throw HostError("a render of " + std::to_string(frames) + " frames of " + std::to_string(size.width) + "x" +
                    std::to_string(size.height) + " (--size, --fps, --seconds) draws " + amount +
                    "; ask for a smaller size or fewer frames");
  }
  const montage::SheetSize sheetSize =
      montage::ContactSheetSize(static_cast<int>(sheet.times.size()), sheet.thumbWidth, sheet.thumbHeight);
  if (sheetSize.width > montage::kMaxFrameSide || sheetSize.height > montage::kMaxFrameSide) {
    throw HostError("--size " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                    " makes the contact sheet " + std::to_string(sheetSize.width) + "x" +
                    std::to_string(sheetSize.height) + " pixels, more than " + std::to_string(montage::kMaxFrameSide) +
                    " a side; ask for a frame less tall for its width");
  }
}

std::string FrameName(int k) {
  char name[32];
  std::snprintf(name, sizeof name, "frame-%04d.png", k);
  return name;
}

// Removes the frames an earlier, longer render left in `folder`: files named like this
// command's frames (frame-NNNN.png) whose number is `count` or more. Returns how many
// went.
int RemoveStaleFrames(const fs::path& folder, int count) {
  int removed = 0;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() != 14 || !name.starts_with("frame-") || !name.ends_with(".png")) continue;
    const std::string digits = name.substr(6, 4);
    if (!std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; })) continue;
    if (std::stoi(digits) < count) continue;
    std::error_code ignored;
    if (fs::remove(it->path(), ignored)) ++removed;
  }
  return removed;
}

int Run(const RenderOptions& options, const GlobalOptions& globals) {
  montage::Animation animation = LoadAnimation(options.choice, globals);
  const Size size = options.size;
  const double frames = std::round(options.fps * options.seconds);
  if (!(frames + 1 <= montage::kMaxFrames)) {
    throw HostError("--fps times --seconds gives more than " + std::to_string(montage::kMaxFrames) + " frames");
  }
  const int intervals = std::max(1, static_cast<int>(frames));
  std::vector<double> times;
  for (int k = 0; k <= intervals; ++k) times.push_back(static_cast<double>(k) / intervals);
  const SheetPlan sheet = PlanSheet(times, size);
  CheckFeasible(options, static_cast<int>(times.size()), sheet);

  std::vector<montage::Image> pictures;
  for (const fs::path& file : options.images) pictures.push_back(montage::Image::Read(file));
  const fs::path& out = options.out;
  PrepareOutputFolder(out);

  const std::string name = animation.info.name;
  montage::Renderer renderer(std::move(animation), std::move(pictures));
  montage::Image frame(size.width, size.height);
  {
    const Progress progress("rendering " + montage::PrintableText(name) + ": frame", intervals + 1);
    for (int k = 0; k <= intervals; ++k) {
      renderer.RenderInto(frame, times[static_cast<std::size_t>(k)]);
      frame.WritePng(out / FrameName(k));
      progress.Step(k + 1);
    }
  }
  montage::ContactSheet(renderer, sheet.times, sheet.thumbWidth, sheet.thumbHeight).WritePng(out / "contact-sheet.png");
  const int stale = RemoveStaleFrames(out, static_cast<int>(times.size()));
  std::cout << "wrote " << times.size() << " frames of " << size.width << "x" << size.height << " to " << out.string()
            << " and " << (out / "contact-sheet.png").string() << '\n';
  if (stale > 0) std::cout << "removed " << stale << " frame(s) of an earlier, longer render\n";
  return 0;
}

}  // namespace

const Command kRenderCommand =
    MakeCommand<RenderOptions, Define, Run>("render", "Write a template's frames as PNG files and a contact sheet");
