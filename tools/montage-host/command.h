// The commands of montage-host: one table entry per command, each with its own typed
// options filled once by CLI11 and the function that runs it.
#ifndef MONTAGE_HOST_TOOL_COMMAND_H
#define MONTAGE_HOST_TOOL_COMMAND_H

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "montage/host.h"

// Exit status of montage-host: 0 on success, 1 when a command fails (bad input, a
// plug-in that does not load, a failed check), 2 for a command line that does not parse,
// 130 when it was interrupted.
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
// Stopped by Ctrl-C or SIGTERM: 128 + SIGINT, as shells report it.
inline constexpr int kExitInterrupted = 130;

// Options that every command takes, before or after its name.
struct GlobalOptions {
  std::string pluginPath;  // --plugin-path DIR[:DIR...]; empty: the default search path
  // --timeout S: how long a plug-in may take to be described, or one validate check.
  double timeoutSeconds = montage::kDefaultTimeoutSeconds;
};

// One command: its name, its help line, and how it adds its options to its CLI11
// subcommand. `define` returns the function that runs the command once the command line
// is parsed (the options live inside it).
struct Command {
  std::string_view name;
  std::string_view help;
  std::function<int()> (*define)(CLI::App& command, const GlobalOptions& globals);
};

// The Command of an options struct with its two functions:
//   void Define(CLI::App&, Options&)                  adds the options, with validators
//   int Run(const Options&, const GlobalOptions&)     runs the command; returns the status
template <class Options, void (*Define)(CLI::App&, Options&), int (*Run)(const Options&, const GlobalOptions&)>
constexpr Command MakeCommand(std::string_view name, std::string_view help) {
  return {name, help, [](CLI::App& command, const GlobalOptions& globals) -> std::function<int()> {
            auto options = std::make_shared<Options>();
            Define(command, *options);
            return [options, &globals] { return Run(*options, globals); };
          }};
}

// The commands, one file each.
extern const Command kListCommand;
extern const Command kKeyFramesCommand;
extern const Command kSampleCommand;
extern const Command kRenderCommand;
extern const Command kValidateCommand;
extern const Command kContactSheetsCommand;
extern const Command kTimelineCommand;
extern const Command kStudioCommand;

#endif  // MONTAGE_HOST_TOOL_COMMAND_H
