// Helpers shared by the commands of montage-host.
#include "support.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <system_error>

namespace fs = std::filesystem;
using montage::HostError;

void Warn(const std::string& message) {
  std::cerr << "montage-host: warning: " << montage::PrintableText(message) << '\n';
}

void PrintTable(const std::vector<std::vector<std::string>>& cells) {
  std::vector<std::vector<std::string>> rows;
  for (const auto& row : cells) {
    rows.emplace_back();
    for (const std::string& cell : row) rows.back().push_back(montage::PrintableText(cell));
  }
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

namespace {

std::string JoinPath(const std::vector<fs::path>& directories) {
  std::string text;
  for (const fs::path& directory : directories) text += (text.empty() ? "" : ":") + directory.string();
  return text;
}

}  // namespace

montage::PluginCatalog Catalog(const GlobalOptions& globals) {
  montage::PluginCatalog catalog = montage::PluginCatalog::Scan(montage::PluginSearchPath(globals.pluginPath),
                                                                {globals.timeoutSeconds, montage::DefaultScanCache()});
  for (const std::string& warning : catalog.Warnings()) Warn(warning);
  return catalog;
}

montage::PluginCatalog ScanPlugins(const GlobalOptions& globals) {
  const std::vector<fs::path> directories = montage::PluginSearchPath(globals.pluginPath);
  montage::PluginCatalog catalog = Catalog(globals);
  if (catalog.Templates().empty()) {
    std::string message = "no plug-ins found in " + JoinPath(directories);
    if (globals.pluginPath.empty()) message += " (set --plugin-path or MONTAGE_PLUGIN_PATH)";
    for (const montage::PluginFailure& failure : catalog.Failures()) message += "\n  " + failure.reason;
    throw HostError(message);
  }
  return catalog;
}

bool LooksLikeLibrary(const std::string& name) {
  return name.find('/') != std::string::npos || fs::path(name).extension() == ".so";
}

montage::Plugin OpenTemplate(const std::string& name, const GlobalOptions& globals) {
  if (LooksLikeLibrary(name)) return montage::Plugin::Load(name);
  const montage::PluginCatalog catalog = ScanPlugins(globals);
  if (const montage::TemplateInfo* info = catalog.Find(name)) return montage::Plugin::Load(info->library);
  std::string message = "unknown template '" + name + "'; templates found in " +
                        JoinPath(montage::PluginSearchPath(globals.pluginPath)) + ":";
  for (const montage::TemplateInfo& info : catalog.Templates()) message += " " + info.name;
  for (const montage::PluginFailure& failure : catalog.Failures()) message += "\n  skipped: " + failure.reason;
  throw HostError(message);
}

montage::Animation LoadAnimation(const TemplateChoice& choice, const GlobalOptions& globals) {
  const montage::Plugin plugin = OpenTemplate(choice.name, globals);
  const montage::TemplateInfo info = plugin.Describe();
  const int count = choice.inputs.value_or(info.defaultInputs);
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

std::vector<double> EvenTimes(int count) {
  std::vector<double> times;
  for (int k = 0; k < count; ++k) times.push_back(count == 1 ? 0.0 : static_cast<double>(k) / (count - 1));
  return times;
}

Progress::Progress(std::string label, int total) : label_(std::move(label)), total_(total), shown_(isatty(2) != 0) {}

Progress::~Progress() {
  if (shown_) std::cerr << '\n';
}

void Progress::Step(int done) const {
  if (!shown_) return;
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::cerr << '\r' << label_ << ' ' << done << '/' << total_;
  if (elapsed > 0.2 && done > 0) {
    const double rate = done / elapsed;
    char text[64];
    std::snprintf(text, sizeof text, ", %.1f/s, %.0f s left  ", rate, (total_ - done) / rate);
    std::cerr << text;
  }
  std::cerr << std::flush;
}

namespace {

std::atomic<bool> g_interrupt{false};

extern "C" void RequestInterrupt(int /*signal*/) { g_interrupt.store(true); }

}  // namespace

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = RequestInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

const std::atomic<bool>& InterruptRequested() { return g_interrupt; }

void StopIfInterrupted() {
  if (g_interrupt.load()) throw Interrupted();
}
