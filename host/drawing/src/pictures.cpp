// The picture readers of montage/pictures.h: the format is known from a file's first
// bytes before any reader touches the rest.
#include "montage/pictures.h"

#include "picture_formats.h"

namespace montage {

namespace {

[[noreturn]] void NotAPicture(const pictures::PictureFile& file) { file.CannotDecode("not a PNG or JPEG file"); }

}  // namespace

bool LooksLikePicture(const std::filesystem::path& file) {
  return pictures::SniffFormat(file) != pictures::Format::kUnknown;
}

PictureInfo ReadPictureInfo(const std::filesystem::path& file) {
  const pictures::PictureFile picture(file);
  switch (picture.Kind()) {
    case pictures::Format::kPng:
      return pictures::ReadPngInfo(picture);
    case pictures::Format::kJpeg:
      return pictures::ReadJpegInfo(picture);
    case pictures::Format::kUnknown:
      break;
  }
  NotAPicture(picture);
}

Image ReadPicture(const std::filesystem::path& file, int minWidth, int minHeight) {
  const pictures::PictureFile picture(file);
  switch (picture.Kind()) {
    case pictures::Format::kPng:
      return pictures::ReadPng(picture);
    case pictures::Format::kJpeg:
      return pictures::ReadJpeg(picture, minWidth, minHeight);
    case pictures::Format::kUnknown:
      break;
  }
  NotAPicture(picture);
}

}  // namespace montage
