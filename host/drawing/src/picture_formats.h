// The picture readers behind montage/pictures.h: one open file checked before anything is
// decoded, a reader per format, and the EXIF orientation shared by both formats.
//
// Errors: every function here throws HostError naming the file, "cannot read image FILE:
// ..." when the file cannot be opened or read, "cannot decode image FILE: ..." when its
// content is not a picture this library decodes.
#ifndef MONTAGE_HOST_PICTURE_FORMATS_H
#define MONTAGE_HOST_PICTURE_FORMATS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "montage/drawing.h"
#include "montage/pictures.h"

namespace montage::pictures {

enum class Format { kUnknown, kPng, kJpeg };

// A picture file open for reading: a regular file (not a folder, a device or a pipe),
// its first bytes read to know its format, positioned at its start again.
class PictureFile {
 public:
  // Opens `file`; throws "cannot read image" for a file that is missing, unreadable,
  // a folder or not a regular file.
  explicit PictureFile(const std::filesystem::path& file);
  PictureFile(const PictureFile&) = delete;
  PictureFile& operator=(const PictureFile&) = delete;
  ~PictureFile();

  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
  [[nodiscard]] std::FILE* Stream() const { return stream_; }
  [[nodiscard]] Format Kind() const { return format_; }

  [[noreturn]] void CannotRead(const std::string& reason) const;
  [[noreturn]] void CannotDecode(const std::string& reason) const;
  // Throws "cannot decode image" for a picture of no pixels, or more than kMaxFrameSide
  // a side or kMaxPicturePixels in all.
  void CheckSize(std::int64_t width, std::int64_t height) const;

 private:
  std::filesystem::path path_;
  std::FILE* stream_ = nullptr;
  Format format_ = Format::kUnknown;
};

// Whether `file` is a regular file that starts like a PNG or JPEG; never throws.
Format SniffFormat(const std::filesystem::path& file) noexcept;

// Header and pixels of a PNG: every colour type and bit depth, tRNS transparency, an
// eXIf chunk before the image data for the orientation. The picture comes upright.
PictureInfo ReadPngInfo(const PictureFile& file);
Image ReadPng(const PictureFile& file);

// Header and pixels of a JPEG, with the orientation of its EXIF (APP1) block. ReadJpeg
// decodes at the smallest of the scales 1/8, 1/4, 1/2 and 1 at which the upright picture
// is at least `minWidth` x `minHeight`; a request of 0 on either side is the full size.
// The picture comes upright.
PictureInfo ReadJpegInfo(const PictureFile& file);
Image ReadJpeg(const PictureFile& file, int minWidth, int minHeight);

// The orientation (1..8) an EXIF block gives, 1 when it gives none or one out of range.
// `data` is a TIFF structure after the "Exif\0\0" header of a JPEG APP1 block, or with it.
int ExifOrientation(const unsigned char* data, std::size_t size);

// Whether `orientation` turns a picture a quarter (width and height swap).
inline bool SwapsSides(int orientation) { return orientation >= 5 && orientation <= 8; }

}  // namespace montage::pictures

#endif  // MONTAGE_HOST_PICTURE_FORMATS_H
