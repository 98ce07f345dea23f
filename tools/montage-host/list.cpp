// montage-host list: one row per plug-in found.
#include <iostream>

#include "command.h"
#include "support.h"

namespace {

struct ListOptions {};

void Define(CLI::App& /*command*/, ListOptions& /*options*/) {}

int Run(const ListOptions& /*options*/, const GlobalOptions& globals) {
  const montage::PluginCatalog catalog = ScanPlugins(globals);
  std::vector<std::vector<std::string>> rows = {{"LIBRARY", "NAME", "DISPLAY NAME", "INPUTS", "DEFAULT", "CODE"}};
  for (const montage::TemplateInfo& info : catalog.Templates()) {
    rows.push_back({info.library.string(), info.name, info.displayName, Range(info), std::to_string(info.defaultInputs),
                    std::to_string(info.templateCode)});
  }
  PrintTable(rows);
  for (const montage::PluginFailure& failure : catalog.Failures()) Warn("skipped " + failure.reason);
  return catalog.Failures().empty() ? 0 : kExitFailure;
}

}  // namespace

const Command kListCommand = MakeCommand<ListOptions, Define, Run>(
    "list", "List every plug-in found: library, name, display name, input range, default input count, template code");
