// Picture fuzzer: every input is a picture file for the readers of montage/pictures.h
// (PNG, JPEG, EXIF orientation). The input is written to an in-memory file and read
// through its path, as any picture is: LooksLikePicture, ReadPictureInfo, then
// ReadPicture at full size and at a reduced size that the input's last bytes pick. Every
// result is checked against the header: an upright size within the limits, a decoded
// picture of that size, a reduced one that still covers the request. Inputs may only
// fail with HostError; the sanitizers catch memory and undefined-behaviour faults.
//
// Pictures that declare more than kDecodePixels are only read to their header: decoding
// them is bounded by the library's own limits, but would spend the run allocating
// pixels instead of exploring the readers.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "montage/pictures.h"

namespace {

constexpr std::int64_t kDecodePixels = std::int64_t{1} << 22;

[[noreturn]] void Fail(int line, const char* what) {
  std::fprintf(stderr, "picture_fuzzer.cpp:%d: check failed: %s\n", line, what);
  std::abort();
}

#define CHECK(condition)                          \
  do {                                            \
    if (!(condition)) Fail(__LINE__, #condition); \
  } while (false)

// The in-memory file every input is written to, and the path it is read through.
struct MemoryFile {
  MemoryFile() : descriptor(memfd_create("picture", MFD_CLOEXEC)), path("/proc/self/fd/" + std::to_string(descriptor)) {
    if (descriptor < 0) {
      std::perror("memfd_create");
      std::abort();
    }
  }
  void Write(const std::uint8_t* data, std::size_t size) const {
    if (ftruncate(descriptor, 0) != 0) std::abort();
    std::size_t done = 0;
    while (done < size) {
      const ssize_t written = pwrite(descriptor, data + done, size - done, static_cast<off_t>(done));
      if (written <= 0) std::abort();
      done += static_cast<std::size_t>(written);
    }
  }
  int descriptor;
  std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const MemoryFile file;
  file.Write(data, size);
  const bool looksLike = montage::LooksLikePicture(file.path);
  montage::PictureInfo info;
  try {
    info = montage::ReadPictureInfo(file.path);
  } catch (const montage::HostError&) {
    return 0;
  }
  CHECK(looksLike);
  CHECK(info.format == "PNG" || info.format == "JPEG");
  CHECK(info.width >= 1 && info.width <= montage::kMaxFrameSide);
  CHECK(info.height >= 1 && info.height <= montage::kMaxFrameSide);
  CHECK(std::int64_t{info.width} * info.height <= montage::kMaxPicturePixels);
  CHECK(info.orientation >= 1 && info.orientation <= 8);
  if (std::int64_t{info.width} * info.height > kDecodePixels) return 0;

  try {
    const montage::Image full = montage::ReadPicture(file.path);
    CHECK(full.Width() == info.width && full.Height() == info.height);
  } catch (const montage::HostError&) {
  }
  // A request from the last two bytes: 1..64 a side.
  const int minWidth = 1 + (size >= 2 ? data[size - 2] % 64 : 0);
  const int minHeight = 1 + (size >= 1 ? data[size - 1] % 64 : 0);
  try {
    const montage::Image reduced = montage::ReadPicture(file.path, minWidth, minHeight);
    CHECK(reduced.Width() <= info.width && reduced.Height() <= info.height);
    CHECK(reduced.Width() >= std::min(minWidth, info.width));
    CHECK(reduced.Height() >= std::min(minHeight, info.height));
    if (info.format == "PNG") CHECK(reduced.Width() == info.width && reduced.Height() == info.height);
  } catch (const montage::HostError&) {
  }
  return 0;
}
