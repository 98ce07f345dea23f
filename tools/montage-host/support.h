// What several commands of montage-host share: messages, tables, finding templates,
// output folders and progress.
#ifndef MONTAGE_HOST_TOOL_SUPPORT_H
#define MONTAGE_HOST_TOOL_SUPPORT_H

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "command.h"
#include "montage/host.h"
#include "options.h"

// "montage-host: warning: MESSAGE" on standard error, with what a plug-in named made
// printable (montage::PrintableText).
void Warn(const std::string& message);

// Rows of cells printed in aligned columns on standard output; cells are made printable.
void PrintTable(const std::vector<std::vector<std::string>>& rows);

// "5+" or "2-8".
std::string Range(const montage::TemplateInfo& info);

// The plug-ins of the search path given by --plugin-path (or its defaults), described
// out of process within --timeout and cached; warns about hidden templates.
montage::PluginCatalog Catalog(const GlobalOptions& globals);
// The same, failing when the search path has no template at all.
montage::PluginCatalog ScanPlugins(const GlobalOptions& globals);

// Whether a TEMPLATE argument names a library file (a path, or a name ending in .so)
// rather than a template.
bool LooksLikeLibrary(const std::string& name);

// The plug-in a TEMPLATE argument names: a library file, or a template of the search
// path. Fails with the templates found when there is none of that name.
montage::Plugin OpenTemplate(const std::string& name, const GlobalOptions& globals);

// The animation of the chosen template; warns when the input count lies outside the
// template's range (the range is advisory: it is built anyway).
montage::Animation LoadAnimation(const TemplateChoice& choice, const GlobalOptions& globals);

// Creates `folder` when missing and checks that files can be written into it.
void PrepareOutputFolder(const std::filesystem::path& folder);

// `count` times spread evenly over 0..1, both ends included.
std::vector<double> EvenTimes(int count);

// Shows "label i/n, r/s, t s left" on standard error while it is a terminal.
class Progress {
 public:
  Progress(std::string label, int total);
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress();
  void Step(int done) const;

 private:
  std::string label_;
  int total_;
  bool shown_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Ctrl-C and SIGTERM ask the running command to stop: long loops poll this flag (and
// hand it to WriteVideo), unwind, and leave no file half-written.
void CatchInterrupts();
const std::atomic<bool>& InterruptRequested();
// Throws Interrupted when a stop was asked for.
void StopIfInterrupted();

// How a command ends after Ctrl-C: main reports it and exits with 130.
class Interrupted : public montage::HostError {
 public:
  Interrupted() : HostError("interrupted") {}
};

#endif  // MONTAGE_HOST_TOOL_SUPPORT_H
