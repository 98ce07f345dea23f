// Picture files opened for reading and the size every reader checks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

#include "picture_formats.h"

namespace montage::pictures {

namespace fs = std::filesystem;

namespace {

constexpr unsigned char kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr unsigned char kJpegSignature[] = {0xFF, 0xD8, 0xFF};

Format FormatOf(const unsigned char* head, std::size_t length) {
  if (length >= sizeof kPngSignature && std::equal(std::begin(kPngSignature), std::end(kPngSignature), head)) {
    return Format::kPng;
  }
  if (length >= sizeof kJpegSignature && std::equal(std::begin(kJpegSignature), std::end(kJpegSignature), head)) {
    return Format::kJpeg;
  }
  return Format::kUnknown;
}

// What a file that is not a regular file is, for the message that refuses it.
const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "is a folder";
  if (S_ISCHR(mode)) return "is a character device, not a regular file";
  if (S_ISBLK(mode)) return "is a block device, not a regular file";
  if (S_ISFIFO(mode)) return "is a pipe, not a regular file";
  if (S_ISSOCK(mode)) return "is a socket, not a regular file";
  return "is not a regular file";
}

// Opens `file` read-only without waiting on a pipe or taking a terminal, and checks that
// it is a regular file. Returns the stream, or nothing with `reason` set.
std::FILE* OpenRegular(const fs::path& file, std::string& reason) {
  const int descriptor = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (descriptor < 0) {
    reason = std::strerror(errno);
    return nullptr;
  }
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) {
    reason = std::strerror(errno);
    ::close(descriptor);
    return nullptr;
  }
  if (!S_ISREG(status.st_mode)) {
    reason = KindOf(status.st_mode);
    ::close(descriptor);
    return nullptr;
  }
  std::FILE* stream = ::fdopen(descriptor, "rb");
  if (stream == nullptr) {
    reason = std::strerror(errno);
    ::close(descriptor);
  }
  return stream;
}

std::string SizeText(std::int64_t width, std::int64_t height) {
  return "the picture is " + std::to_string(width) + "x" + std::to_string(height) + " pixels";
}

}  // namespace

PictureFile::PictureFile(const fs::path& file) : path_(file) {
  std::string reason;
  stream_ = OpenRegular(file, reason);
  if (stream_ == nullptr) CannotRead(reason);
  unsigned char head[sizeof kPngSignature];
  const std::size_t length = std::fread(head, 1, sizeof head, stream_);
  const bool failed = std::ferror(stream_) != 0;
  const int error = errno;
  if (failed || std::fseek(stream_, 0, SEEK_SET) != 0) {
    std::fclose(std::exchange(stream_, nullptr));
    CannotRead(std::strerror(failed ? error : errno));
  }
  if (length == 0) {
    std::fclose(std::exchange(stream_, nullptr));
    CannotDecode("the file is empty");
  }
  format_ = FormatOf(head, length);
}

PictureFile::~PictureFile() {
  if (stream_ != nullptr) std::fclose(stream_);
}

void PictureFile::CannotRead(const std::string& reason) const {
  throw HostError("cannot read image " + path_.string() + ": " + reason);
}

void PictureFile::CannotDecode(const std::string& reason) const {
  throw HostError("cannot decode image " + path_.string() + ": " + reason);
}

void PictureFile::CheckSize(std::int64_t width, std::int64_t height) const {
  if (width <= 0 || height <= 0) CannotDecode(SizeText(width, height) + ", an empty picture");
  if (width > kMaxFrameSide || height > kMaxFrameSide) {
    CannotDecode(SizeText(width, height) + ", more than " + std::to_string(kMaxFrameSide) + " pixels a side");
  }
  if (width * height > kMaxPicturePixels) {
    CannotDecode(SizeText(width, height) + ", more than " + std::to_string(kMaxPicturePixels) + " pixels in all");
  }
}

Format SniffFormat(const fs::path& file) noexcept {
  std::string reason;
  std::FILE* stream = OpenRegular(file, reason);
  if (stream == nullptr) return Format::kUnknown;
  unsigned char head[sizeof kPngSignature];
  const std::size_t length = std::fread(head, 1, sizeof head, stream);
  std::fclose(stream);
  return FormatOf(head, length);
}

}  // namespace montage::pictures
