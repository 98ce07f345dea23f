// PNG pictures through libpng: the header checked before the image data is touched, then
// every colour type expanded to 8-bit RGBA and premultiplied.
#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "picture_formats.h"

namespace montage::pictures {

namespace {

// What libpng reported: it calls PngError for a fatal error, which jumps back to the
// setjmp of the phase that was running (see the phases below).
struct PngState {
  std::FILE* stream = nullptr;
  bool readFailed = false;  // the error is the system's, not the content's
  char error[256] = {};
  char warning[256] = {};
};

void PngError(png_structp png, png_const_charp message) {
  auto* state = static_cast<PngState*>(png_get_error_ptr(png));
  std::snprintf(state->error, sizeof state->error, "%s", message);
  png_longjmp(png, 1);
}

// Warnings are kept (the last one explains an error that follows, such as the zero width
// behind "Invalid IHDR data") and never printed.
void PngWarning(png_structp png, png_const_charp message) {
  auto* state = static_cast<PngState*>(png_get_error_ptr(png));
  std::snprintf(state->warning, sizeof state->warning, "%s", message);
}

void PngRead(png_structp png, png_bytep data, std::size_t length) {
  auto* state = static_cast<PngState*>(png_get_io_ptr(png));
  if (std::fread(data, 1, length, state->stream) == length) return;
  if (std::ferror(state->stream) != 0) {
    state->readFailed = true;
    png_error(png, std::strerror(errno));
  }
  png_error(png, "the file ends early (cut short)");
}

// The phases of a decode, each behind its own setjmp: every object that lives across the
// jump is created by the caller before the phase starts, so the jump skips no destructor.
// Each returns false when libpng failed.
bool ReadHeaderPhase(png_structp png, png_infop info) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_read_info(png, info);
  return true;
}

bool ExpandPhase(png_structp png, png_infop info) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_set_expand(png);    // palette to RGB, grey under 8 bits to 8, tRNS to an alpha channel
  png_set_scale_16(png);  // 16 bits to 8, rounded
  png_set_gray_to_rgb(png);
  png_set_filler(png, 0xFF, PNG_FILLER_AFTER);  // opaque alpha where there is none
  (void)png_set_interlace_handling(png);
  png_read_update_info(png, info);
  return true;
}

bool ReadRowsPhase(png_structp png, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_read_image(png, rows);
  png_read_end(png, nullptr);  // through IEND: a file cut after its image data is cut short
  return true;
}

class PngDecoder {
 public:
  explicit PngDecoder(const PictureFile& file) : file_(file) {
    state_.stream = file.Stream();
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state_, PngError, PngWarning);
    if (png_ == nullptr) throw std::bad_alloc();
    info_ = png_create_info_struct(png_);
    if (info_ == nullptr) {
      png_destroy_read_struct(&png_, nullptr, nullptr);
      throw std::bad_alloc();
    }
    png_set_read_fn(png_, &state_, PngRead);
    // The size limits are this library's (PictureFile::CheckSize), with its own message.
    png_set_user_limits(png_, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
  }
  PngDecoder(const PngDecoder&) = delete;
  PngDecoder& operator=(const PngDecoder&) = delete;
  ~PngDecoder() { png_destroy_read_struct(&png_, &info_, nullptr); }

  // Reads everything before the image data and checks the size it declares.
  PictureInfo Header() {
    if (!ReadHeaderPhase(png_, info_)) Fail();
    const png_uint_32 width = png_get_image_width(png_, info_);
    const png_uint_32 height = png_get_image_height(png_, info_);
    file_.CheckSize(width, height);
    PictureInfo picture;
    picture.format = "PNG";
    picture.orientation = Orientation();
    const bool swap = SwapsSides(picture.orientation);
    picture.width = static_cast<int>(swap ? height : width);
    picture.height = static_cast<int>(swap ? width : height);
    return picture;
  }

  // The picture as stored (not turned upright); Header first.
  Image Pixels() {
    if (!ExpandPhase(png_, info_)) Fail();
    const auto width = static_cast<int>(png_get_image_width(png_, info_));
    const auto height = static_cast<int>(png_get_image_height(png_, info_));
    if (png_get_rowbytes(png_, info_) != static_cast<std::size_t>(width) * 4 || png_get_bit_depth(png_, info_) != 8) {
      file_.CannotDecode("unexpected pixel layout after expanding to RGBA");
    }
    // libpng writes RGBA bytes straight into the picture's pixels, which are converted
    // in place afterwards: a 32-bit pixel has room for the four bytes.
    Image image(width, height);
    std::vector<png_bytep> rows(static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
      rows[static_cast<std::size_t>(y)] =
          reinterpret_cast<png_bytep>(image.Data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width));
    }
    if (!ReadRowsPhase(png_, rows.data())) Fail();
    auto* bytes = reinterpret_cast<const unsigned char*>(image.Data());
    std::uint32_t* pixel = image.Data();
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    for (std::size_t i = 0; i < count; ++i, bytes += 4) {
      const std::uint32_t a = bytes[3];
      auto premultiplied = [a](std::uint32_t value) { return (value * a + 127) / 255; };
      pixel[i] = (a << 24) | (premultiplied(bytes[0]) << 16) | (premultiplied(bytes[1]) << 8) | premultiplied(bytes[2]);
    }
    return image;
  }

 private:
  // The orientation of an eXIf chunk before the image data, 1 without one.
  [[nodiscard]] int Orientation() const {
    png_uint_32 length = 0;
    png_bytep exif = nullptr;
    if (png_get_eXIf_1(png_, info_, &length, &exif) == 0 || exif == nullptr || length == 0) return 1;
    // The chunk holds the TIFF structure alone; libexif reads it after a JPEG's header.
    static constexpr unsigned char kHeader[] = {'E', 'x', 'i', 'f', 0, 0};
    std::vector<unsigned char> block(std::begin(kHeader), std::end(kHeader));
    block.insert(block.end(), exif, exif + length);
    return ExifOrientation(block.data(), block.size());
  }

  [[noreturn]] void Fail() const {
    std::string reason = state_.error;
    if (state_.readFailed) file_.CannotRead(reason);
    if (state_.warning[0] != '\0' && reason.find(state_.warning) == std::string::npos) {
      reason += std::string(" (") + state_.warning + ")";
    }
    file_.CannotDecode(reason);
  }

  const PictureFile& file_;
  PngState state_;
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

}  // namespace

PictureInfo ReadPngInfo(const PictureFile& file) { return PngDecoder(file).Header(); }

Image ReadPng(const PictureFile& file) {
  PngDecoder decoder(file);
  const int orientation = decoder.Header().orientation;
  return TurnUpright(decoder.Pixels(), orientation);
}

}  // namespace montage::pictures
