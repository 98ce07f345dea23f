// EXIF orientation: read from an EXIF block with libexif, and applied to a picture.
#include <libexif/exif-data.h>

#include <climits>
#include <cstddef>
#include <memory>
#include <new>

#include "picture_formats.h"

namespace montage::pictures {

namespace {

struct ExifRelease {
  void operator()(ExifData* data) const { exif_data_unref(data); }
};

}  // namespace

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

}  // namespace montage::pictures

namespace montage {

Image TurnUpright(Image stored, int orientation) {
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
  const bool swap = pictures::SwapsSides(orientation);
  Image upright(static_cast<int>(swap ? h : w), static_cast<int>(swap ? w : h));
  const std::uint32_t* in = stored.Data();
  std::uint32_t* out = upright.Data();
  for (int y = 0; y < upright.Height(); ++y) {
    const std::uint32_t* source = in + base + y * dy;
    for (int x = 0; x < upright.Width(); ++x) *out++ = source[x * dx];
  }
  return upright;
}

}  // namespace montage
