// Files written under a temporary name and renamed into place.
#include "montage/output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "montage/host.h"

namespace montage {

namespace fs = std::filesystem;

namespace {

std::string RandomSuffix() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(generator()));
  return text;
}

}  // namespace

OutputFile::OutputFile(fs::path target) : target_(std::move(target)) {
  const fs::path folder = target_.has_parent_path() ? target_.parent_path() : fs::path(".");
  if (!target_.has_filename()) throw HostError("cannot write " + target_.string() + ": it names a folder");
  // A fresh name each time: O_EXCL refuses anything that exists, links included.
  for (int attempt = 0;; ++attempt) {
    temporary_ = folder / ("." + target_.filename().string() + "." + RandomSuffix() + ".part");
    fd_ = open(temporary_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) return;
    if (errno != EEXIST || attempt == 16) {
      throw HostError("cannot write to " + folder.string() + ": " + std::strerror(errno));
    }
  }
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) close(fd_);
  if (!committed_) unlink(temporary_.c_str());
}

std::string OutputFile::WriteError(int error) const {
  return "cannot write " + target_.string() + ": " + std::strerror(error);
}

void OutputFile::Write(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = write(fd_, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) throw HostError(WriteError(errno));
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
}

void OutputFile::Commit() {
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) throw HostError(WriteError(errno));
  if (rename(temporary_.c_str(), target_.c_str()) != 0) throw HostError(WriteError(errno));
  committed_ = true;
}

}  // namespace montage
