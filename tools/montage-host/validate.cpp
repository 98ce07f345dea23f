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

// Checks one library in a probe process, so that a plug-in that crashes, hangs or ends
// the process fails the check it was in instead of ending the validation. Returns
// whether every check passed.
bool ValidateOne(const fs::path& library, double timeoutSeconds) {
  std::cout << "== " << montage::PrintableText(library.string()) << '\n' << std::flush;
  int failed = 0;
  auto print = [&](const montage::CheckResult& result) {
    failed += result.passed ? 0 : 1;
    std::cout << (result.passed ? "PASS  " : "FAIL  ") << result.check;
    if (!result.detail.empty()) {
      std::cout << (result.passed ? " (" : ": ") << montage::PrintableText(result.detail) << (result.passed ? ")" : "");
    }
    std::cout << '\n' << std::flush;
  };
  const montage::ValidationOutcome outcome = montage::ValidateInChild(library, print, timeoutSeconds);
  if (!outcome.abnormalEnd.empty()) {
    // The checks stopped early: a crash, a hang, or a plug-in that ended the process.
    std::cout << failed << " check(s) failed; the checks after it did not run\n";
    return false;
  }
  std::cout << (failed == 0 ? "all checks passed" : std::to_string(failed) + " check(s) failed") << '\n';
  return outcome.passed;
}

int Run(const ValidateOptions& options, const GlobalOptions& globals) {
  bool passed = true;
  std::optional<montage::PluginCatalog> catalog;
  for (const std::string& name : options.libraries) {
    // The same rule as every other command: a path or a name ending in .so is a file,
    // anything else a template's name (a folder of that name in the working folder is
    // not a plug-in).
    fs::path library = name;
    if (!LooksLikeLibrary(name)) {
      if (!catalog) catalog = Catalog(globals);
      const montage::TemplateInfo* info = catalog->Find(name);
      if (info == nullptr) {
        std::cout << "== " << montage::PrintableText(name) << "\nFAIL  no such library file or template\n";
        passed = false;
        continue;
      }
      library = info->library;
    }
    passed = ValidateOne(library, globals.timeoutSeconds) && passed;
  }
  return passed ? 0 : kExitFailure;
}

}  // namespace

const Command kValidateCommand =
    MakeCommand<ValidateOptions, Define, Run>("validate", "Check plug-in libraries against the host-visible contract");
