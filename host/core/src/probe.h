// The probe: montage-probe, a small program of the core that loads plug-ins on the
// host's behalf, so that a plug-in that crashes, hangs or ends the process takes only
// the probe with it. The host starts it with posix_spawn (safe in a program with
// threads) and reads its answers as lines:
//
//   montage-probe describe LIBRARY...
//     BEGIN <library>                                         before each library
//     TEMPLATE <library> <name> <display> <min> <max> <default> <code>
//     BROKEN <library> <reason>
//   montage-probe validate LIBRARY
//     BEGIN <check>                                           before each check
//     PASS <check> <detail> | FAIL <check> <detail>
//     END                                                     after the last check
//
// Fields are separated by tabs; backslash, tab and newline inside a field are escaped,
// so every byte a plug-in gives survives. The answers go to file descriptor 3: a
// plug-in that prints on standard output cannot garble them.
#ifndef MONTAGE_HOST_PROBE_H
#define MONTAGE_HOST_PROBE_H

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace montage::detail {

// The file descriptor the probe answers on.
inline constexpr int kProbeAnswerFd = 3;

// ---- Lines --------------------------------------------------------------------------------

std::string EscapeField(std::string_view text);
std::string UnescapeField(std::string_view text);
// One line of tab-separated, escaped fields, ending in a newline.
std::string EncodeLine(const std::vector<std::string>& fields);
// The fields of one line (without its newline).
std::vector<std::string> DecodeLine(std::string_view line);

// ---- The probe process ------------------------------------------------------------------

// Where montage-probe is: beside the build's core library, or in the installed
// libexec folder. MONTAGE_PROBE overrides it.
std::filesystem::path ProbeProgram();

// How a process ended.
struct ProcessEnd {
  bool signalled = false;
  int code = 0;  // exit status, or signal number
  // "exit status 3", "signal 11 (Segmentation fault)".
  [[nodiscard]] std::string Describe() const;
};

// One running probe. The destructor kills it if it still runs and reaps it.
class ProbeProcess {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ProbeProcess(const std::vector<std::string>& arguments);
  ProbeProcess(const ProbeProcess&) = delete;
  ProbeProcess& operator=(const ProbeProcess&) = delete;
  ~ProbeProcess();

  // The next answer line, waiting at most until `deadline`. Nothing when the probe has
  // closed its answers (it ended) or when the deadline passed (TimedOut()).
  std::optional<std::string> ReadLine(Clock::time_point deadline);
  [[nodiscard]] bool TimedOut() const { return timedOut_; }
  // Kills the probe if it still runs, waits for it and says how it ended.
  ProcessEnd Finish();
  // The last non-empty line the probe (or a plug-in in it) wrote to standard error.
  [[nodiscard]] std::string LastErrorLine() const;

 private:
  // Reads what `fd` has; false when it had nothing (or ended).
  bool Drain(int fd, std::string& into, bool& open);

  pid_t pid_ = -1;
  int answers_ = -1;
  int errors_ = -1;
  bool answersOpen_ = true;
  bool errorsOpen_ = true;
  bool timedOut_ = false;
  std::optional<ProcessEnd> end_;
  std::string pending_;
  std::string errorText_;  // the tail of standard error
};

}  // namespace montage::detail

#endif  // MONTAGE_HOST_PROBE_H
