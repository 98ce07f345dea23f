// Other programs run by the tests: ffmpeg to make fixture clips, tones and photos, and
// ffprobe to read back what the host wrote.
#ifndef MONTAGE_TESTS_PROGRAMS_H
#define MONTAGE_TESTS_PROGRAMS_H

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

extern char** environ;

struct ProgramRun {
  int status = -1;
  std::string out;
};

// Runs `arguments` (the program's path first) and collects what it writes to standard
// output; standard error stays the test's.
inline ProgramRun RunProgram(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  ProgramRun run;
  char buffer[1 << 16];
  for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    run.out.append(buffer, static_cast<std::size_t>(got));
  }
  close(pipeEnds[0]);
  if (spawned != 0) return run;
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

#if defined(MONTAGE_FFMPEG) && defined(MONTAGE_FFPROBE)

// ffmpeg with `arguments` after "-nostdin -v error -y"; true when it succeeded.
inline bool Ffmpeg(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {MONTAGE_FFMPEG, "-nostdin", "-v", "error", "-y"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunProgram(argv).status == 0;
}

// What ffprobe says of `file`: its streams (frames counted) and format; an empty object
// when it cannot read it.
inline nlohmann::json Probe(const std::filesystem::path& file) {
  const ProgramRun run = RunProgram(
      {MONTAGE_FFPROBE, "-v", "error", "-count_frames", "-show_streams", "-show_format", "-of", "json", file.string()});
  return run.status == 0 ? nlohmann::json::parse(run.out) : nlohmann::json::object();
}

// The first stream of `type` ("video", "audio") of a Probe, or null.
inline nlohmann::json StreamOf(const nlohmann::json& probe, const std::string& type) {
  if (!probe.contains("streams")) return nullptr;
  for (const nlohmann::json& stream : probe["streams"]) {
    if (stream.value("codec_type", "") == type) return stream;
  }
  return nullptr;
}

// A number ffprobe writes as a string ("2.000000"); NaN when it is missing.
inline double ProbedNumber(const nlohmann::json& object, const std::string& key) {
  return object.contains(key) ? std::stod(object[key].get<std::string>()) : std::nan("");
}

#endif

#endif  // MONTAGE_TESTS_PROGRAMS_H
