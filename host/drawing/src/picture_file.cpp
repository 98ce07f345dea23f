// Picture files opened for reading, the size every reader checks, and the EXIF
// orientation both formats share.
#include <fcntl.h>
#include <libexif/exif-data.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
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

struct ExifRelease {
  void operator()(ExifData* data) const { exif_data_unref(data); }
};

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

int ExifOrientation(const unsigned char* data, std::size_t size) {
  if (data == nullptr || size == 0 || size > UINT_MAX) return 1;
  const std::unique_ptr<ExifData, ExifRelease> exif(exif_data_new());
  if (exif == nullptr) throw std::bad_alloc();
  // Only the orientation is wanted: nothing is added to or checked against the standard.
  exif_data_unset_option(exif.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_load_data(exif.get(), data, static_cast<unsigned int>(size));
  const ExifEntry* entry = exif_content_get_entry(exif->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
  if (entry == nullptr || entry->format != EXIF_FORMAT_SHORT || entry->components < 1 || entry->size < 2 ||
      entry->data == nullptr) {
    return 1;
  }
  const int orientation = exif_get_short(entry->data, exif_data_get_byte_order(exif.get()));
  return orientation >= 1 && orientation <= 8 ? orientation : 1;
}

Image Upright(Image stored, int orientation) {
  if (orientation < 2 || orientation > 8) return stored;
  const std::ptrdiff_t w = stored.Width();
  const std::ptrdiff_t h = stored.Height();
  // Pixel (x, y) of the upright picture is stored pixel base + x * dx + y * dy.
  std::ptrdiff_t base = 0;
  std::ptrdiff_t dx = 1;
  std::ptrdiff_t dy = w;
  switch (orientation) {
    case 2:  // mirrored left to right
      base = w - 1, dx = -1, dy = w;
      break;
    case 3:  // turned half a turn
      base = (h - 1) * w + w - 1, dx = -1, dy = -w;
      break;
    case 4:  // mirrored top to bottom
      base = (h - 1) * w, dx = 1, dy = -w;
      break;
    case 5:  // mirrored along the diagonal from the top left
      base = 0, dx = w, dy = 1;
      break;
    case 6:  // stored a quarter turn counter-clockwise: turned clockwise to show
      base = (h - 1) * w, dx = -w, dy = 1;
      break;
    case 7:  // mirrored along the diagonal from the top right
      base = (h - 1) * w + w - 1, dx = -w, dy = -1;
      break;
    default:  // 8: stored a quarter turn clockwise: turned counter-clockwise to show
      base = w - 1, dx = w, dy = -1;
      break;
  }
  const bool swap = SwapsSides(orientation);
  Image upright(static_cast<int>(swap ? h : w), static_cast<int>(swap ? w : h));
  const std::uint32_t* in = stored.Data();
  std::uint32_t* out = upright.Data();
  for (int y = 0; y < upright.Height(); ++y) {
    const std::uint32_t* source = in + base + y * dy;
    for (int x = 0; x < upright.Width(); ++x) *out++ = source[x * dx];
  }
  return upright;
}

}  // namespace montage::pictures
