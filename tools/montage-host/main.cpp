// montage-host: lists, exports, samples, renders and validates montage templates.
//
// Exit status: 0 on success, 1 when a command fails (bad input, a plug-in that does not
// load, a failed check), 2 for a command line that does not parse.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstring>
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "montage/drawing.h"
#include "montage/host.h"

namespace fs = std::filesystem;
using montage::HostError;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kMaxSheetFrames = 36;
constexpr int kSheetThumbWidth = 320;

// ---- Option values ------------------------------------------------------------------

std::optional<double> ParseDouble(const std::string& text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<int> ParseInt(const std::string& text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

struct Size {
  int width = 0;
  int height = 0;
};

std::optional<Size> ParseSize(const std::string& text) {
  const std::size_t x = text.find('x');
  if (x == std::string::npos) return std::nullopt;
  const std::optional<int> width = ParseInt(text.substr(0, x));
  const std::optional<int> height = ParseInt(text.substr(x + 1));
  if (!width || !height || *width < 1 || *height < 1 || *width > montage::kMaxFrameSide ||
      *height > montage::kMaxFrameSide)
    return std::nullopt;
  return Size{*width, *height};
}

const CLI::Validator kInputCount(
    [](std::string& text) -> std::string {
      const std::optional<int> value = ParseInt(text);
      if (value && *value >= 1 && *value <= montage::kMaxInputs) return {};
      return "must be a whole number from 1 to " + std::to_string(montage::kMaxInputs) + ", not '" + text + "'";
    },
    "");

const CLI::Validator kFiniteNumber(
    [](std::string& text) -> std::string {
      return ParseDouble(text) ? std::string() : "must be a finite number, not '" + text + "'";
    },
    "");

const CLI::Validator kPositiveNumber(
    [](std::string& text) -> std::string {
      const std::optional<double> value = ParseDouble(text);
      return value && *value > 0 ? std::string() : "must be a number above 0, not '" + text + "'";
    },
    "");

const CLI::Validator kFrameSize(
    [](std::string& text) -> std::string {
      return ParseSize(text) ? std::string()
                             : "must be WIDTHxHEIGHT with 1 to " + std::to_string(montage::kMaxFrameSide) +
                                   " pixels each, not '" + text + "'";
    },
    "");

// ---- Text output --------------------------------------------------------------------

// Rows of cells printed in aligned columns.
void PrintTable(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    // The last cell of a row is never padded, so it leaves the widths alone.
    for (std::size_t c = 0; c + 1 < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
    }
    std::cout << line << '\n';
  }
}

std::string Range(const montage::TemplateInfo& info) {
  return info.maxInputs < 0 ? std::to_string(info.minInputs) + "+"
                            : std::to_string(info.minInputs) + "-" + std::to_string(info.maxInputs);
}

void Warn(const std::string& message) { std::cerr << "montage-host: warning: " << message << '\n'; }

// ---- Finding templates --------------------------------------------------------------

std::string JoinPath(const std::vector<fs::path>& directories) {
  std::string text;
  for (const fs::path& directory : directories) text += (text.empty() ? "" : ":") + directory.string();
  return text;
}

// The plug-ins of the search path; fails when there are none.
montage::PluginCatalog ScanPlugins(const std::string& pluginPath, const std::vector<fs::path>& directories) {
  montage::PluginCatalog catalog = montage::PluginCatalog::Scan(directories);
  if (catalog.Templates().empty()) {
    std::string message = "no plug-ins found in " + JoinPath(directories);
    if (pluginPath.empty()) message += " (set --plugin-path or MONTAGE_PLUGIN_PATH)";
    for (const montage::PluginFailure& failure : catalog.Failures()) message += "\n  " + failure.reason;
    throw HostError(message);
  }
  return catalog;
}

bool LooksLikeLibrary(const std::string& name) {
  return name.find('/') != std::string::npos || fs::path(name).extension() == ".so";
}

// TEMPLATE is a library file (a path, or a name ending in .so) or a template's name.
montage::Plugin OpenTemplate(const std::string& name, const std::string& pluginPath) {
  if (LooksLikeLibrary(name)) return montage::Plugin::Load(name);
  const std::vector<fs::path> directories = montage::PluginSearchPath(pluginPath);
  const montage::PluginCatalog catalog = ScanPlugins(pluginPath, directories);
  if (const montage::TemplateInfo* info = catalog.Find(name)) return montage::Plugin::Load(info->library);
  std::string message = "unknown template '" + name + "'; templates found in " + JoinPath(directories) + ":";
  for (const montage::TemplateInfo& info : catalog.Templates()) message += " " + info.name;
  for (const montage::PluginFailure& failure : catalog.Failures()) message += "\n  skipped: " + failure.reason;
  throw HostError(message);
}

montage::Animation LoadAnimation(const std::string& name, const std::string& pluginPath, const std::string& inputs) {
  const montage::Plugin plugin = OpenTemplate(name, pluginPath);
  const montage::TemplateInfo info = plugin.Describe();
  const int count = inputs.empty() ? info.defaultInputs : *ParseInt(inputs);
  if (count < info.minInputs || (info.maxInputs >= 0 && count > info.maxInputs)) {
    const std::string range = info.maxInputs < 0
                                  ? std::to_string(info.minInputs) + " or more"
                                  : std::to_string(info.minInputs) + " to " + std::to_string(info.maxInputs);
    Warn(info.name + " is designed for " + range + " inputs; building " + std::to_string(count) + " anyway");
  }
  return montage::BuildAnimation(plugin, count);
}

void PrepareOutputFolder(const fs::path& folder) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (!error && !fs::is_directory(folder, error)) error = std::make_error_code(std::errc::not_a_directory);
  if (!error && access(folder.c_str(), W_OK) != 0) error = std::error_code(errno, std::generic_category());
  if (error) throw HostError("cannot write to output folder " + folder.string() + ": " + error.message());
}

// Shows "label i/n" on standard error while it is a terminal.
class Progress {
 public:
  Progress(std::string label, int total) : label_(std::move(label)), total_(total), shown_(isatty(2) != 0) {}
  void Step(int done) const {
    if (shown_) std::cerr << '\r' << label_ << ' ' << done << '/' << total_ << std::flush;
  }
  ~Progress() {
    if (shown_) std::cerr << '\n';
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

 private:
  std::string label_;
  int total_;
  bool shown_;
};

// `count` times spread evenly over 0..1, both ends included.
std::vector<double> EvenTimes(int count) {
  std::vector<double> times;
  for (int k = 0; k < count; ++k) times.push_back(count == 1 ? 0.0 : static_cast<double>(k) / (count - 1));
  return times;
}

// ---- Commands -----------------------------------------------------------------------

int List(const std::string& pluginPath) {
  const std::vector<fs::path> directories = montage::PluginSearchPath(pluginPath);
  const montage::PluginCatalog catalog = ScanPlugins(pluginPath, directories);
  std::vector<std::vector<std::string>> rows = {{"LIBRARY", "NAME", "DISPLAY NAME", "INPUTS", "DEFAULT", "CODE"}};
  for (const montage::TemplateInfo& info : catalog.Templates()) {
    rows.push_back({info.library.string(), info.name, info.displayName, Range(info), std::to_string(info.defaultInputs),
                    std::to_string(info.templateCode)});
  }
  PrintTable(rows);
  for (const montage::PluginFailure& failure : catalog.Failures()) Warn("skipped " + failure.reason);
  return catalog.Failures().empty() ? 0 : kExitFailure;
}

int KeyFrames(const montage::Animation& animation, const std::string& format) {
  if (format == "json") {
    montage::WriteKeyFramesJson(std::cout, animation);
  } else if (format == "csv") {
    montage::WriteKeyFramesCsv(std::cout, animation);
  } else {
    std::cout << animation.info.displayName << ": " << animation.inputCount << " inputs\n";
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
  return 0;
}

int Sample(const montage::Animation& animation, const std::vector<double>& times, const std::string& format) {
  if (format == "json") {
    montage::WriteSamplesJson(std::cout, animation, times);
    return 0;
  }
  for (const double time : times) {
    std::cout << animation.info.displayName << ", " << animation.inputCount << " inputs, time "
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
  return 0;
}

struct RenderRequest {
  std::vector<std::string> images;
  std::string size = "640x360";
  std::string fps = "10";
  std::string seconds = "2";
  std::string out;
};

int Render(montage::Animation animation, const RenderRequest& request) {
  const Size size = *ParseSize(request.size);
  const double frames = std::round(*ParseDouble(request.fps) * *ParseDouble(request.seconds));
  if (!(frames + 1 <= montage::kMaxFrames)) {
    throw HostError("--fps times --seconds gives more than " + std::to_string(montage::kMaxFrames) + " frames");
  }
  const int intervals = std::max(1, static_cast<int>(frames));
  std::vector<montage::Image> pictures;
  for (const std::string& file : request.images) pictures.push_back(montage::Image::Read(file));
  const fs::path out = request.out;
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

int ContactSheets(const std::string& pluginPath, const std::string& out, const std::string& sizeText, int frames) {
  const Size size = *ParseSize(sizeText);
  const std::vector<fs::path> directories = montage::PluginSearchPath(pluginPath);
  const montage::PluginCatalog catalog = ScanPlugins(pluginPath, directories);
  PrepareOutputFolder(out);
  int status = 0;
  const Progress progress("contact sheets:", static_cast<int>(catalog.Templates().size()));
  int done = 0;
  for (const montage::TemplateInfo& info : catalog.Templates()) {
    try {
      montage::Renderer renderer(montage::BuildAnimation(montage::Plugin::Load(info.library), info.defaultInputs));
      const fs::path file = fs::path(out) / (info.name + ".png");
      montage::ContactSheet(renderer, EvenTimes(frames), size.width, size.height).WritePng(file);
      std::cout << file.string() << '\n';
    } catch (const HostError& error) {
      std::cerr << "montage-host: error: " << error.what() << '\n';
      status = kExitFailure;
    }
    progress.Step(++done);
  }
  for (const montage::PluginFailure& failure : catalog.Failures()) Warn("skipped " + failure.reason);
  return status;
}

// Checks one library in a child process, so that a plug-in that crashes is reported as
// a failure instead of ending the validation. Returns whether every check passed.
bool ValidateOne(const fs::path& library) {
  std::cout << "== " << library.string() << '\n' << std::flush;
  int failed = 0;
  const montage::ValidationOutcome outcome = montage::ValidateInChild(library, [&](const montage::CheckResult& result) {
    failed += result.passed ? 0 : 1;
    std::cout << (result.passed ? "PASS  " : "FAIL  ") << result.check;
    if (!result.detail.empty())
      std::cout << (result.passed ? " (" : ": ") << result.detail << (result.passed ? ")" : "");
    std::cout << '\n' << std::flush;
  });
  if (!outcome.abnormalEnd.empty()) {
    std::cout << "FAIL  " << outcome.abnormalEnd << '\n';
    return false;
  }
  std::cout << (failed == 0 ? "all checks passed" : std::to_string(failed) + " check(s) failed") << '\n';
  return outcome.passed;
}

int Validate(const std::vector<std::string>& libraries, const std::string& pluginPath) {
  bool passed = true;
  std::optional<montage::PluginCatalog> catalog;
  for (const std::string& name : libraries) {
    fs::path library = name;
    std::error_code error;
    if (!LooksLikeLibrary(name) && !fs::exists(library, error)) {
      if (!catalog) catalog = montage::PluginCatalog::Scan(montage::PluginSearchPath(pluginPath));
      const montage::TemplateInfo* info = catalog->Find(name);
      if (info == nullptr) {
        std::cout << "== " << name << "\nFAIL  no such library file or template\n";
        passed = false;
        continue;
      }
      library = info->library;
    }
    passed = ValidateOne(library) && passed;
  }
  return passed ? 0 : kExitFailure;
}

}  // namespace

// Frees the drawing caches when main returns, for a clean leak check.
struct DrawingCachesRelease {
  DrawingCachesRelease() = default;
  DrawingCachesRelease(const DrawingCachesRelease&) = delete;
  DrawingCachesRelease& operator=(const DrawingCachesRelease&) = delete;
  ~DrawingCachesRelease() { montage::ReleaseDrawingCaches(); }
};

int main(int argc, char** argv) {
  const DrawingCachesRelease releaseCaches;
  CLI::App app{"Inspect, export, preview and check montage animation templates.", "montage-host"};
  app.require_subcommand(1);
  app.fallthrough();
  std::string pluginPath;
  app.add_option("--plugin-path", pluginPath,
                 "Plug-in folders, separated by ':'. Default: $MONTAGE_PLUGIN_PATH, else the plug-in folder of the "
                 "build or installation")
      ->type_name("DIR[:DIR...]");

  std::string templateName;
  std::string inputs;
  auto addTemplate = [&](CLI::App* command) {
    command->add_option("template", templateName, "Template name (any case) or plug-in library file")
        ->required()
        ->type_name("TEMPLATE");
    command->add_option("--inputs", inputs, "Number of inputs (default: the template's default input count)")
        ->check(kInputCount)
        ->type_name("N");
  };

  CLI::App* list = app.add_subcommand("list",
                                      "List every plug-in found: library, name, display name, input range, "
                                      "default input count, template code");

  CLI::App* keyframes = app.add_subcommand("keyframes", "Print a template's keyframes for N inputs");
  addTemplate(keyframes);
  std::string keyframesFormat = "table";
  keyframes->add_option("--format", keyframesFormat, "table, json or csv; json and csv keep every double exact")
      ->check(CLI::IsMember({"table", "json", "csv"}));

  CLI::App* sample = app.add_subcommand("sample", "Print the interpolated pose of every input at given times");
  addTemplate(sample);
  std::vector<std::string> timeTexts;
  sample->add_option("--time", timeTexts, "Effect time(s); 0 is the start, 1 the end (other values allowed)")
      ->required()
      ->check(kFiniteNumber)
      ->type_name("T");
  std::string sampleFormat = "table";
  sample->add_option("--format", sampleFormat, "table or json")->check(CLI::IsMember({"table", "json"}));

  CLI::App* render = app.add_subcommand("render", "Write a template's frames as PNG files and a contact sheet");
  addTemplate(render);
  RenderRequest request;
  render
      ->add_option("--images", request.images,
                   "Pictures for the inputs (PNG or JPEG), reused in turn; "
                   "default: numbered placeholder cards")
      ->type_name("FILE");
  render->add_option("--size", request.size, "Frame size")->check(kFrameSize)->type_name("WxH")->capture_default_str();
  render->add_option("--fps", request.fps, "Frames per second")
      ->check(kPositiveNumber)
      ->type_name("F")
      ->capture_default_str();
  render->add_option("--seconds", request.seconds, "Running time of the effect")
      ->check(kPositiveNumber)
      ->type_name("S")
      ->capture_default_str();
  render->add_option("--out", request.out, "Output folder (created when missing)")->required()->type_name("DIR");

  CLI::App* validate = app.add_subcommand("validate", "Check plug-in libraries against the host-visible contract");
  std::vector<std::string> libraries;
  validate->add_option("library", libraries, "Plug-in library files or template names")
      ->required()
      ->type_name("LIBRARY");

  CLI::App* sheets = app.add_subcommand("contact-sheets",
                                        "Render one contact sheet for every template found, at "
                                        "its default input count, and print the files");
  std::string sheetsOut;
  sheets->add_option("--out", sheetsOut, "Output folder (created when missing)")->required()->type_name("DIR");
  std::string thumbSize = "320x180";
  sheets->add_option("--size", thumbSize, "Size of each frame on the sheet")
      ->check(kFrameSize)
      ->type_name("WxH")
      ->capture_default_str();
  int sheetFrames = 16;
  sheets->add_option("--frames", sheetFrames, "Frames on each sheet, evenly from time 0 to 1")
      ->check(CLI::Range(1, kMaxSheetFrames))
      ->capture_default_str();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForAllHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& error) {
    std::cerr << "montage-host: error: " << error.what() << "\nRun 'montage-host --help' or 'montage-host COMMAND "
              << "--help' for usage.\n";
    return kExitUsage;
  }

  try {
    if (list->parsed()) return List(pluginPath);
    if (keyframes->parsed()) return KeyFrames(LoadAnimation(templateName, pluginPath, inputs), keyframesFormat);
    if (sample->parsed()) {
      std::vector<double> times;
      for (const std::string& text : timeTexts) times.push_back(*ParseDouble(text));
      return Sample(LoadAnimation(templateName, pluginPath, inputs), times, sampleFormat);
    }
    if (render->parsed()) return Render(LoadAnimation(templateName, pluginPath, inputs), request);
    if (validate->parsed()) return Validate(libraries, pluginPath);
    if (sheets->parsed()) return ContactSheets(pluginPath, sheetsOut, thumbSize, sheetFrames);
  } catch (const HostError& error) {
    std::cerr << "montage-host: error: " << error.what() << '\n';
    return kExitFailure;
  } catch (const std::bad_alloc&) {
    std::cerr << "montage-host: error: out of memory\n";
    return kExitFailure;
  } catch (const std::exception& error) {
    std::cerr << "montage-host: error: " << error.what() << '\n';
    return kExitFailure;
  }
  return kExitUsage;
}
