// Runs montage-host as a user runs it and collects its output and exit status.
#ifndef MONTAGE_TESTS_HOST_RUN_H
#define MONTAGE_TESTS_HOST_RUN_H

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "host_test_support.h"

extern char** environ;

struct HostRun {
  int status = -1;
  std::string out;
  std::string err;
};

// How to run it: the plug-in path variable (unset when empty), more environment
// entries, a file for standard output (a scratch file when empty, /dev/full to make
// writes fail), the working folder, and the cache folder (XDG_CACHE_HOME; a fresh one
// per run when empty, so that runs never share a scan cache unless a test asks).
struct HostCall {
  std::vector<std::string> args;
  std::string pluginPathVariable;
  std::vector<std::string> environment;
  std::filesystem::path standardOutput;
  std::filesystem::path workingFolder;
  std::filesystem::path cacheFolder;
  // When above 0: the largest file it may write, in 512-byte blocks (ulimit -f), to
  // make a disk "full".
  int fileSizeLimit = 0;
};

inline std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

// The command line and environment that run montage-host as `call` says, the cache in
// `cacheFolder`. Variables the call sets replace those of the test's environment.
struct HostCommand {
  std::vector<std::string> argv;
  std::vector<std::string> env;
};

inline HostCommand CommandFor(const HostCall& call, const std::filesystem::path& cacheFolder) {
  HostCommand command;
  std::vector<std::string> set = {"MONTAGE_PLUGIN_PATH=", "XDG_CACHE_HOME="};
  for (const std::string& entry : call.environment) set.push_back(entry.substr(0, entry.find('=') + 1));
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view variable(*entry);
    if (std::ranges::none_of(set, [&](const std::string& name) { return variable.starts_with(name); })) {
      command.env.emplace_back(variable);
    }
  }
  if (!call.pluginPathVariable.empty()) command.env.push_back("MONTAGE_PLUGIN_PATH=" + call.pluginPathVariable);
  command.env.push_back("XDG_CACHE_HOME=" + cacheFolder.string());
  command.env.insert(command.env.end(), call.environment.begin(), call.environment.end());
  command.argv = {MONTAGE_HOST_PROGRAM};
  if (call.fileSizeLimit > 0) {
    command.argv = {"/bin/sh", "-c", "ulimit -f " + std::to_string(call.fileSizeLimit) + " && exec \"$0\" \"$@\"",
                    MONTAGE_HOST_PROGRAM};
  }
  command.argv.insert(command.argv.end(), call.args.begin(), call.args.end());
  return command;
}

// Pointers to `strings`, null-terminated, for posix_spawn.
inline std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

inline HostRun RunHost(const HostCall& call) {
  const ScratchFolder scratch("run");
  const std::filesystem::path out = call.standardOutput.empty() ? scratch.Path() / "out" : call.standardOutput;
  const std::filesystem::path err = scratch.Path() / "err";
  HostCommand command = CommandFor(call, call.cacheFolder.empty() ? scratch.Path() / "cache" : call.cacheFolder);
  std::vector<char*> argvPointers = CStrings(command.argv);
  std::vector<char*> envPointers = CStrings(command.env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!call.workingFolder.empty()) posix_spawn_file_actions_addchdir_np(&actions, call.workingFolder.c_str());
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argvPointers[0], &actions, nullptr, argvPointers.data(), envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  HostRun run;
  if (spawned != 0) return run;
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (call.standardOutput.empty()) run.out = ReadFile(out);
  run.err = ReadFile(err);
  return run;
}

// Runs montage-host with `args`; MONTAGE_PLUGIN_PATH is unset unless `pluginPathVariable`
// gives it a value.
inline HostRun RunHost(const std::vector<std::string>& args, const std::string& pluginPathVariable = {}) {
  HostCall call;
  call.args = args;
  call.pluginPathVariable = pluginPathVariable;
  return RunHost(call);
}

inline std::string Describe(const HostRun& run) {
  return "status " + std::to_string(run.status) + "\nstdout:\n" + run.out + "\nstderr:\n" + run.err;
}

#endif  // MONTAGE_TESTS_HOST_RUN_H
