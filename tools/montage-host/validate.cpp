// montage-host validate: the host-visible contract on plug-in files or templates.
#include <iostream>
#include <optional>

#include "command.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

struct ValidateOptions {
  std::vector<std::string> libraries;
};

void Define(CLI::App& command, ValidateOptions& options) {
  command.add_option("library", options.libraries, "Plug-in library files or template names")
      ->required()
      ->type_name("LIBRARY");
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

int Run(const ValidateOptions& options, const GlobalOptions& globals) {
  bool passed = true;
  std::optional<montage::PluginCatalog> catalog;
  for (const std::string& name : options.libraries) {
    fs::path library = name;
    std::error_code error;
    if (!LooksLikeLibrary(name) && !fs::exists(library, error)) {
      if (!catalog) catalog = montage::PluginCatalog::Scan(montage::PluginSearchPath(globals.pluginPath));
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

const Command kValidateCommand =
    MakeCommand<ValidateOptions, Define, Run>("validate", "Check plug-in libraries against the host-visible contract");
