// montage-host: lists, exports, samples, renders and validates montage templates.
//
// Every command lives in a file of its own (command.h has the table's type); this file
// holds the table, the options every command shares and the reporting of errors. Exit
// status: 0 on success, 1 when a command fails, 2 for a command line that does not parse.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>
#include <new>
#include <streambuf>
#include <vector>

#include "command.h"
#include "montage/drawing.h"
#include "montage/host.h"
#include "options.h"
#include "support.h"

namespace {

constexpr const Command* kCommands[] = {
    &kListCommand,     &kKeyFramesCommand, &kSampleCommand,        &kRenderCommand,
    &kTimelineCommand, &kValidateCommand,  &kContactSheetsCommand, &kStudioCommand,
};

// Frees the drawing caches when main returns, after every Renderer is gone, for a clean
// leak check.
struct DrawingCachesRelease {
  DrawingCachesRelease() = default;
  DrawingCachesRelease(const DrawingCachesRelease&) = delete;
  DrawingCachesRelease& operator=(const DrawingCachesRelease&) = delete;
  ~DrawingCachesRelease() { montage::ReleaseDrawingCaches(); }
};

int ReportError(const std::string& what) {
  std::cerr << "montage-host: error: " << montage::PrintableText(what) << '\n';
  return kExitFailure;
}

// Standard output through a buffer that remembers why a write failed: output that
// cannot be written (a full disk, a closed pipe) is a failure to report, not a success
// with the output lost.
class StandardOutput final : public std::streambuf {
 public:
  StandardOutput() { setp(buffer_, buffer_ + sizeof buffer_); }
  StandardOutput(const StandardOutput&) = delete;
  StandardOutput& operator=(const StandardOutput&) = delete;

  // The errno of the first write that failed; 0 when none did.
  [[nodiscard]] int Error() const { return error_; }

 protected:
  int overflow(int c) override {
    if (!Flush()) return traits_type::eof();
    if (c != traits_type::eof()) {
      *pptr() = static_cast<char>(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override { return Flush() ? 0 : -1; }

 private:
  bool Flush() {
    const char* data = pbase();
    std::size_t size = static_cast<std::size_t>(pptr() - pbase());
    while (size > 0 && error_ == 0) {
      const ssize_t written = write(1, data, size);
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) error_ = errno;
      if (written <= 0) break;
      data += written;
      size -= static_cast<std::size_t>(written);
    }
    setp(buffer_, buffer_ + sizeof buffer_);
    return error_ == 0;
  }

  char buffer_[1 << 16];
  int error_ = 0;
};

// The status to exit with once standard output is flushed.
int CheckStandardOutput(StandardOutput& out, int status) {
  std::cout.flush();
  if (out.Error() == 0) return status;
  std::cerr << "montage-host: error: cannot write standard output: " << std::strerror(out.Error()) << '\n';
  return kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  // A file-size limit (ulimit -f) then fails the write with EFBIG, which is reported,
  // instead of killing the program with a half-written file.
  std::signal(SIGXFSZ, SIG_IGN);
  const DrawingCachesRelease releaseCaches;
  StandardOutput standardOutput;
  std::streambuf* const console = std::cout.rdbuf(&standardOutput);
  struct Restore {
    std::streambuf* buffer;
    ~Restore() {
      std::cout.flush();
      std::cout.rdbuf(buffer);
    }
  } const restore{console};
  CLI::App app{"Inspect, export, preview and check montage animation templates.", "montage-host"};
  app.require_subcommand(1);
  app.fallthrough();
  GlobalOptions globals;
  app.add_option("--plugin-path", globals.pluginPath,
                 "Plug-in folders, separated by ':'. Default: $MONTAGE_PLUGIN_PATH, else the plug-in folder of the "
                 "build or installation")
      ->type_name("DIR[:DIR...]");
  app.add_option("--timeout", globals.timeoutSeconds,
                 "Seconds a plug-in may take to be described, or to pass one validate check, before it counts as "
                 "hanging")
      ->check(kPositiveNumber)
      ->type_name("S")
      ->capture_default_str();

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

  int status = kExitUsage;
  CatchInterrupts();
  try {
    for (const Defined& entry : defined) {
      if (entry.command->parsed()) status = entry.run();
    }
  } catch (const Interrupted&) {
    std::cerr << "montage-host: interrupted; files not finished were removed\n";
    status = kExitInterrupted;
  } catch (const montage::HostError& error) {
    status = ReportError(error.what());
  } catch (const std::bad_alloc&) {
    status = ReportError("out of memory");
  } catch (const std::exception& error) {
    status = ReportError(error.what());
  }
  return CheckStandardOutput(standardOutput, status);
}
