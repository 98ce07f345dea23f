// What the video benchmarks make their fixtures with: a temporary folder of the run and
// the ffmpeg program (MONTAGE_FFMPEG, else `ffmpeg` on the PATH).
#ifndef MONTAGE_BENCH_VIDEO_BENCH_FILES_H
#define MONTAGE_BENCH_VIDEO_BENCH_FILES_H

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

// A folder for this run's fixtures, made on first use; RemoveBenchFolder removes it.
inline const std::filesystem::path& BenchFolder() {
  static const std::filesystem::path folder = [] {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("montage-video-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(path);
    return path;
  }();
  return folder;
}

inline void RemoveBenchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(BenchFolder(), ignored);
}

// Runs ffmpeg with `arguments` after "-nostdin -v error -y"; throws when it fails.
inline void RunFfmpeg(const std::string& arguments) {
  const char* ffmpeg = std::getenv("MONTAGE_FFMPEG");
  const std::string command = std::string(ffmpeg != nullptr ? ffmpeg : "ffmpeg") + " -nostdin -v error -y " + arguments;
  if (std::system(command.c_str()) != 0) throw std::runtime_error("ffmpeg failed: " + command);
}

#endif  // MONTAGE_BENCH_VIDEO_BENCH_FILES_H
