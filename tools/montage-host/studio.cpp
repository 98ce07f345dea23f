// montage-host studio: the template studio, a web page served on this machine that
// shows every template, plays it with a person's pictures and clips, and renders it.
#include "studio/studio.h"

#include <iostream>
#include <optional>

#include "command.h"
#include "studio/http_guard.h"
#include "support.h"

namespace {

struct StudioCommandOptions {
  std::optional<int> port;
  std::string listen = "127.0.0.1";
};

void Define(CLI::App& command, StudioCommandOptions& options) {
  command
      .add_option("--port", options.port,
                  "Port to listen on; 0 picks any free port. Default: 8080, or the next free port after it")
      ->check(CLI::Range(0, 65535).description(""))
      ->type_name("N");
  command
      .add_option("--listen", options.listen,
                  "Address to listen on (an IPv4 or IPv6 address). Anything but 127.0.0.1 or ::1 lets other "
                  "machines use the studio")
      ->type_name("ADDR")
      ->capture_default_str();
}

int Run(const StudioCommandOptions& options, const GlobalOptions& globals) {
  studio::StudioOptions settings;
  settings.listenAddress = options.listen;
  settings.exactPort = options.port.has_value();
  if (options.port) settings.port = *options.port;
  settings.pluginDirectories = montage::PluginSearchPath(globals.pluginPath);
  settings.scan = {globals.timeoutSeconds, montage::DefaultScanCache()};
  if (!studio::HostCheck(options.listen, 0).Loopback()) {
    Warn("listening on " + options.listen +
         ": anyone who can reach this address can use the studio, upload files and start renders");
  }
  studio::Studio server(std::move(settings));
  std::cout << "montage studio: " << server.Url() << std::endl;
  std::cout << "press Ctrl-C to stop" << std::endl;
  server.Run(&InterruptRequested());
  std::cout << "studio stopped; its uploads and renders were removed" << std::endl;
  return 0;
}

}  // namespace

const Command kStudioCommand = MakeCommand<StudioCommandOptions, Define, Run>(
    "studio", "Serve the template studio on this machine: play templates with your pictures in a browser, render them");
