// montage-host render: a template's frames as a video file, or as PNG files and a
// contact sheet, with numbered cards or a person's pictures and clips.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>

#include "command.h"
#include "montage/drawing.h"
#include "montage/render_video.h"
#include "support.h"

namespace fs = std::filesystem;
using montage::HostError;

namespace {

// Frames a contact sheet shows at most, and the width of each.
constexpr int kMaxSheetFrames = 36;
constexpr int kSheetThumbWidth = 320;
// Frames per second when none is asked for: PNG frames are for looking at, a video for
// playing.
constexpr double kFramesFps = 10;
constexpr double kVideoFps = 30;

struct RenderOptions {
  TemplateChoice choice;
  std::vector<fs::path> media;
  montage::Fit fit = montage::Fit::kCover;
  bool loopClips = false;
  Size size{640, 360};
  std::optional<double> fps;
  double seconds = 2;
  std::optional<int> quality;
  std::optional<fs::path> audio;
  fs::path out;
};

void Define(CLI::App& command, RenderOptions& options) {
  AddTemplateOptions(command, options.choice);
  command
      .add_option("--images,--media", options.media,
                  "Pictures (PNG, JPEG) and video clips (any format FFmpeg reads) for the inputs, reused in turn; "
                  "without --inputs, one input per file. Default: numbered placeholder cards. The sound of clips is "
                  "not used (see --audio)")
      ->check(kNotAnOption)
      ->type_name("FILE");
  command
      .add_option("--fit", options.fit,
                  "cover: fill each input's rectangle, cropping; contain: show the whole "
                  "picture or clip inside it")
      ->transform(Choice<montage::Fit>({{"cover", montage::Fit::kCover}, {"contain", montage::Fit::kContain}}))
      ->type_name("cover|contain")
      ->default_str("cover");
  command.add_flag("--loop-clips", options.loopClips,
                   "Play a clip again from its start when it ends (default: hold its last frame)");
  command.add_option("--size", options.size, "Frame size (a video in MP4 or WebM takes even sizes)")
      ->check(kFrameSize)
      ->type_name("WxH")
      ->capture_default_str();
  command.add_option("--fps", options.fps, "Frames per second (default: 30 for a video, 10 for PNG frames)")
      ->check(kPositiveNumber)
      ->type_name("F");
  command.add_option("--seconds", options.seconds, "Running time of the effect")
      ->check(kPositiveNumber)
      ->type_name("S")
      ->capture_default_str();
  command
      .add_option("--quality", options.quality,
                  "Video quality from 1 (smallest file) to 100 (best picture); "
                  "default: a good choice for each format")
      ->check(CLI::Range(1, 100).description(""))
      ->type_name("Q");
  command
      .add_option("--audio", options.audio, "Soundtrack for an MP4 or WebM video, cut to its length with a fade-out")
      ->check(kNotAnOption)
      ->type_name("FILE");
  command
      .add_option("--out", options.out,
                  "A video file (.mp4, .webm, .gif, .webp), or a folder for PNG frames and a contact sheet (created "
                  "when missing)")
      ->required()
      ->type_name("FILE|DIR");
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

// Refuses, before anything is drawn, a render whose sheet (when it has one) or whole
// cannot be made.
void CheckFeasible(Size size, int frames, const SheetPlan& sheet) {
  const double pixels = static_cast<double>(size.width) * size.height * frames;
  if (pixels > static_cast<double>(montage::kMaxRenderPixels)) {
    char amount[64];
    std::snprintf(amount, sizeof amount, "%.0f billion pixels, more than %.0f billion", pixels / 1e9,
                  static_cast<double>(montage::kMaxRenderPixels) / 1e9);
    throw HostError("a render of " + std::to_string(frames) + " frames of " + std::to_string(size.width) + "x" +
                    std::to_string(size.height) + " (--size, --fps, --seconds) draws " + amount +
                    "; ask for a smaller size or fewer frames");
  }
  if (sheet.times.empty()) return;
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

// The animation of the chosen template: one input per media file unless --inputs says.
montage::Animation LoadMontage(const RenderOptions& options, const GlobalOptions& globals) {
  TemplateChoice choice = options.choice;
  if (!choice.inputs && !options.media.empty()) {
    choice.inputs = static_cast<int>(std::min<std::size_t>(options.media.size(), montage::kMaxInputs));
  }
  return LoadAnimation(choice, globals);
}

montage::Renderer OpenRenderer(montage::Animation animation, const RenderOptions& options, Size size) {
  std::vector<std::shared_ptr<montage::InputMedia>> media = montage::OpenInputMedia(
      animation, options.media, montage::ClipOptions{options.loopClips, 0}, size.width, size.height);
  return montage::Renderer(std::move(animation), std::move(media),
                           montage::RenderSettings{options.seconds, options.fit});
}

int RenderFrames(const RenderOptions& options, const GlobalOptions& globals) {
  if (options.audio) {
    throw HostError("--audio " + options.audio->string() +
                    ": a folder of PNG frames carries no sound; write a .mp4 "
                    "or .webm video to have one");
  }
  if (options.quality) throw HostError("--quality is for videos; PNG frames are lossless");
  const Size size = options.size;
  const double frames = std::round(options.fps.value_or(kFramesFps) * options.seconds);
  if (!(frames + 1 <= montage::kMaxFrames)) {
    throw HostError("--fps times --seconds gives more than " + std::to_string(montage::kMaxFrames) + " frames");
  }
  const int intervals = std::max(1, static_cast<int>(frames));
  std::vector<double> times;
  for (int k = 0; k <= intervals; ++k) times.push_back(static_cast<double>(k) / intervals);
  const SheetPlan sheet = PlanSheet(times, size);
  CheckFeasible(size, static_cast<int>(times.size()), sheet);

  montage::Animation animation = LoadMontage(options, globals);
  const fs::path& out = options.out;
  const std::string name = animation.info.name;
  montage::Renderer renderer = OpenRenderer(std::move(animation), options, size);
  PrepareOutputFolder(out);
  montage::Image frame(size.width, size.height);
  {
    const Progress progress("rendering " + montage::PrintableText(name) + ": frame", intervals + 1);
    for (int k = 0; k <= intervals; ++k) {
      StopIfInterrupted();
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

int RenderVideo(const RenderOptions& options, const GlobalOptions& globals, montage::VideoFormat format) {
  const std::string formatName(montage::VideoFormatName(format));
  Size size = options.size;
  if (montage::NeedsEvenSize(format) && (size.width % 2 != 0 || size.height % 2 != 0)) {
    const Size even{size.width - size.width % 2, size.height - size.height % 2};
    if (even.width < 2 || even.height < 2) {
      throw HostError("--size " + std::to_string(size.width) + "x" + std::to_string(size.height) + ": " + formatName +
                      " needs even sizes of at least 2x2");
    }
    Warn(formatName + " needs even sizes: writing " + std::to_string(even.width) + "x" + std::to_string(even.height) +
         " instead of " + std::to_string(size.width) + "x" + std::to_string(size.height));
    size = even;
  }
  if (options.audio && !montage::CarriesSound(format)) {
    throw HostError("--audio " + options.audio->string() + ": a " + formatName +
                    " carries no sound; write a .mp4 or .webm video to have one");
  }
  const double fps = options.fps.value_or(kVideoFps);
  const int frames = montage::VideoFrameCount(fps, options.seconds);
  if (frames < 1) throw HostError("--fps times --seconds gives no frame");
  if (frames > montage::kMaxFrames) {
    throw HostError("--fps times --seconds gives more than " + std::to_string(montage::kMaxFrames) + " frames");
  }
  CheckFeasible(size, frames, {});

  montage::Animation animation = LoadMontage(options, globals);
  const std::string name = animation.info.name;
  montage::Renderer renderer = OpenRenderer(std::move(animation), options, size);
  PrepareOutputFolder(options.out.has_parent_path() ? options.out.parent_path() : fs::path("."));
  montage::VideoSettings settings;
  settings.format = format;
  settings.width = size.width;
  settings.height = size.height;
  settings.fps = fps;
  settings.frameCount = frames;
  settings.quality = options.quality;
  settings.audio = options.audio;
  {
    const Progress progress("rendering " + montage::PrintableText(name) + ": frame", frames);
    try {
      montage::RenderVideo(
          options.out, renderer, settings, [&](const montage::VideoProgress& done) { progress.Step(done.framesDone); },
          &InterruptRequested());
    } catch (const montage::Cancelled&) {
      throw Interrupted();
    }
  }
  char length[32];
  std::snprintf(length, sizeof length, "%.2f", frames / fps);
  std::cout << "wrote " << options.out.string() << ": " << formatName << ", " << frames << " frames of " << size.width
            << "x" << size.height << " at " << montage::FormatDouble(fps) << " fps (" << length << " s)"
            << (options.audio ? " with sound" : "") << '\n';
  return 0;
}

int Run(const RenderOptions& options, const GlobalOptions& globals) {
  if (const std::optional<montage::VideoFormat> format = montage::VideoFormatFor(options.out)) {
    return RenderVideo(options, globals, *format);
  }
  // A name with another extension is more likely a video format asked for in vain than a
  // folder meant for frames.
  std::error_code error;
  if (options.out.has_extension() && !fs::is_directory(options.out, error)) {
    throw HostError("--out " + options.out.string() + ": videos are written as .mp4, .webm, .gif or .webp, and PNG " +
                    "frames into a folder; '" + options.out.extension().string() + "' is neither");
  }
  return RenderFrames(options, globals);
}

}  // namespace

const Command kRenderCommand = MakeCommand<RenderOptions, Define, Run>(
    "render", "Write a template's frames as a video file, or as PNG files and a contact sheet");
