// Starting the probe and reading its answers.
#include "probe.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "montage/host.h"

extern char** environ;

namespace montage::detail {

namespace fs = std::filesystem;

namespace {

// Standard error kept from the probe: enough for the last lines of a message.
constexpr std::size_t kErrorTail = 4096;

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

std::string EscapeField(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '\\':
        escaped += "\\\\";
        break;
      case '\t':
        escaped += "\\t";
        break;
      case '\n':
        escaped += "\\n";
        break;
      default:
        escaped += c;
        break;
    }
  }
  return escaped;
}

std::string UnescapeField(std::string_view text) {
  std::string plain;
  plain.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      plain += text[i];
      continue;
    }
    const char next = text[++i];
    plain += next == 't' ? '\t' : next == 'n' ? '\n' : next;
  }
  return plain;
}

std::string EncodeLine(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    // Appended piece by piece: GCC 12 at -O3 takes `"\t" + std::string` for an
    // overlapping copy (-Wrestrict) and fails the optimised builds.
    if (i > 0) line += '\t';
    line += EscapeField(fields[i]);
  }
  return line + '\n';
}

std::vector<std::string> DecodeLine(std::string_view line) {
  std::vector<std::string> fields;
  for (;;) {
    const std::size_t tab = line.find('\t');
    fields.push_back(UnescapeField(line.substr(0, tab)));
    if (tab == std::string_view::npos) return fields;
    line.remove_prefix(tab + 1);
  }
}

fs::path ProbeProgram() {
  if (const char* variable = std::getenv("MONTAGE_PROBE"); variable != nullptr && *variable != '\0') return variable;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ProbeProgram), &info) == 0 || info.dli_fname == nullptr) {
    return MONTAGE_PROBE_BUILD_PATH;
  }
  std::error_code error;
  const fs::path here = fs::weakly_canonical(fs::path(info.dli_fname), error).parent_path();
  const fs::path buildTree = fs::weakly_canonical(fs::path(MONTAGE_HOST_BUILD_DIR), error);
  if (here == buildTree) return MONTAGE_PROBE_BUILD_PATH;
  return here / MONTAGE_PROBE_LIBDIR_RELATIVE;
}

std::string ProcessEnd::Describe() const {
  if (!signalled) return "exit status " + std::to_string(code);
  return "signal " + std::to_string(code) + " (" + strsignal(code) + ")";
}

ProbeProcess::ProbeProcess(const std::vector<std::string>& arguments) {
  const fs::path program = ProbeProgram();
  int answers[2] = {-1, -1};
  int errors[2] = {-1, -1};
  if (pipe2(answers, O_CLOEXEC) != 0 || pipe2(errors, O_CLOEXEC) != 0) {
    const int error = errno;
    for (int& fd : answers) CloseIfOpen(fd);
    for (int& fd : errors) CloseIfOpen(fd);
    throw HostError(std::string("cannot start the plug-in probe: ") + std::strerror(error));
  }
  std::vector<std::string> argv = {program.string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> pointers;
  for (std::string& argument : argv) pointers.push_back(argument.data());
  pointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, errors[1], 2);
  posix_spawn_file_actions_adddup2(&actions, answers[1], kProbeAnswerFd);
  const int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(answers[1]);
  close(errors[1]);
  answers_ = answers[0];
  errors_ = errors[0];
  fcntl(answers_, F_SETFL, O_NONBLOCK);
  fcntl(errors_, F_SETFL, O_NONBLOCK);
  if (spawned != 0) {
    pid_ = -1;
    CloseIfOpen(answers_);
    CloseIfOpen(errors_);
    throw HostError("cannot start the plug-in probe " + program.string() + ": " + std::strerror(spawned));
  }
}

ProbeProcess::~ProbeProcess() {
  Finish();
  CloseIfOpen(answers_);
  CloseIfOpen(errors_);
}

bool ProbeProcess::Drain(int fd, std::string& into, bool& open) {
  char buffer[4096];
  const ssize_t got = read(fd, buffer, sizeof buffer);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return false;
  if (got <= 0) {
    open = false;
    return false;
  }
  into.append(buffer, static_cast<std::size_t>(got));
  return true;
}

std::optional<std::string> ProbeProcess::ReadLine(Clock::time_point deadline) {
  for (;;) {
    if (const std::size_t end = pending_.find('\n'); end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    if (!answersOpen_) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timedOut_ = true;
      return std::nullopt;
    }
    pollfd fds[2] = {{answers_, POLLIN, 0}, {errorsOpen_ ? errors_ : -1, POLLIN, 0}};
    const int ready = poll(fds, 2, static_cast<int>(std::min<long long>(left, 1000)));
    if (ready < 0 && errno != EINTR)
      throw HostError(std::string("cannot read the plug-in probe: ") + std::strerror(errno));
    if (ready <= 0) continue;
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      Drain(errors_, errorText_, errorsOpen_);
      if (errorText_.size() > 2 * kErrorTail) errorText_.erase(0, errorText_.size() - kErrorTail);
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) Drain(answers_, pending_, answersOpen_);
  }
}

ProcessEnd ProbeProcess::Finish() {
  if (end_) return *end_;
  if (pid_ < 0) return *(end_ = ProcessEnd{});
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {
  }
  if (done == 0) {
    // Still running: it hangs or was given up on. It cannot be asked to stop.
    kill(pid_, SIGKILL);
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  // What it wrote to standard error before it ended (whatever a process it started may
  // still write is not waited for: the pipe does not block).
  while (errorsOpen_ && Drain(errors_, errorText_, errorsOpen_)) {
    if (errorText_.size() > 2 * kErrorTail) errorText_.erase(0, errorText_.size() - kErrorTail);
  }
  pid_ = -1;
  end_ = WIFSIGNALED(status) ? ProcessEnd{true, WTERMSIG(status)} : ProcessEnd{false, WEXITSTATUS(status)};
  return *end_;
}

std::string ProbeProcess::LastErrorLine() const {
  std::string_view text = errorText_;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.remove_suffix(1);
  const std::size_t start = text.rfind('\n');
  return std::string(start == std::string_view::npos ? text : text.substr(start + 1));
}

}  // namespace montage::detail
