// montage-host: lists, exports, samples, renders and validates montage templates.
//
// Every command lives in a file of its own (command.h has the table's type); this file
// holds the table, the options every command shares and the reporting of errors. Exit
// status: 0 on success, 1 when a command fails, 2 for a command line that does not parse.
#include <CLI/CLI.hpp>
#include <exception>
#include <functional>
#include <iostream>
#include <new>
#include <vector>

#include "command.h"
#include "montage/drawing.h"
#include "montage/host.h"

namespace {

constexpr const Command* kCommands[] = {
    &kListCommand, &kKeyFramesCommand, &kSampleCommand, &kRenderCommand, &kValidateCommand, &kContactSheetsCommand,
};

// Frees the drawing caches when main returns, after every Renderer is gone, for a clean
// leak check.
struct DrawingCachesRelease {
  DrawingCachesRelease() = default;
  DrawingCachesRelease(const DrawingCachesRelease&) = delete;
  DrawingCachesRelease& operator=(const DrawingCachesRelease&) = delete;
  ~DrawingCachesRelease() { montage::ReleaseDrawingCaches(); }
};

int ReportError(const char* what) {
  std::cerr << "montage-host: error: " << what << '\n';
  return kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  const DrawingCachesRelease releaseCaches;
  CLI::App app{"Inspect, export, preview and check montage animation templates.", "montage-host"};
  app.require_subcommand(1);
  app.fallthrough();
  GlobalOptions globals;
  app.add_option("--plugin-path", globals.pluginPath,
                 "Plug-in folders, separated by ':'. Default: $MONTAGE_PLUGIN_PATH, else the plug-in folder of the "
                 "build or installation")
      ->type_name("DIR[:DIR...]");

  struct Defined {
    CLI::App* command;
    std::function<int()> run;
  };
  std::vector<Defined> defined;
  for (const Command* command : kCommands) {
    CLI::App* subcommand = app.add_subcommand(std::string(command->name), std::string(command->help));
    defined.push_back({subcommand, command->define(*subcommand, globals)});
  }

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
    for (const Defined& entry : defined) {
      if (entry.command->parsed()) return entry.run();
    }
  } catch (const montage::HostError& error) {
    return ReportError(error.what());
  } catch (const std::bad_alloc&) {
    return ReportError("out of memory");
  } catch (const std::exception& error) {
    return ReportError(error.what());
  }
  return kExitUsage;
}
