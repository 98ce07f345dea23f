// montage-probe: loads plug-ins on the host's behalf in a process of its own and
// answers on file descriptor 3 (the protocol is in host/core/src/probe.h). Started by
// the host core; not meant to be run by hand.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "montage/host.h"
#include "probe.h"
#include "validator.h"

// Built with the address sanitizer, the probe still dies of the signal a plug-in
// raises, so that the host can say which; leaks of a plug-in are not the probe's to
// report.
extern "C" const char* __asan_default_options() {
  return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:detect_leaks=0";
}

namespace {

using montage::detail::EncodeLine;

void Answer(const std::vector<std::string>& fields) {
  std::string line = EncodeLine(fields);
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t written = write(montage::detail::kProbeAnswerFd, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) _exit(3);  // the host is gone
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

void Describe(const std::string& library) {
  Answer({"BEGIN", library});
  try {
    const montage::TemplateInfo info = montage::Plugin::Load(library).Describe();
    Answer({"TEMPLATE", library, info.name, info.displayName, std::to_string(info.minInputs),
            std::to_string(info.maxInputs), std::to_string(info.defaultInputs), std::to_string(info.templateCode)});
  } catch (const montage::HostError& error) {
    Answer({"BROKEN", library, error.what()});
  }
}

void Validate(const std::string& library) {
  montage::detail::RunChecks(
      library,
      [](const std::string& check) {
        Answer({"BEGIN", check});
      },
      [](const montage::CheckResult& result) {
        Answer({result.passed ? "PASS" : "FAIL", result.check, result.detail});
      });
  Answer({"END"});
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.size() >= 2 && arguments[0] == "describe") {
    for (std::size_t i = 1; i < arguments.size(); ++i) Describe(arguments[i]);
    return 0;
  }
  if (arguments.size() == 2 && arguments[0] == "validate") {
    Validate(arguments[1]);
    return 0;
  }
  std::fprintf(stderr, "usage: montage-probe describe LIBRARY... | validate LIBRARY (started by montage hosts)\n");
  return 2;
}
