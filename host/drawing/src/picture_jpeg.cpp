// JPEG pictures through libjpeg: baseline and progressive, grey, YCbCr/RGB and
// CMYK/YCCK, at a reduced scale where a smaller picture is enough, turned upright by the
// orientation of their EXIF block.
#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jerror.h>
#include <jpeglib.h>

#include "jpeg_errors.h"
#include "picture_formats.h"

namespace montage::pictures {

namespace {

// A progressive file has a handful of scans; thousands of tiny ones only make every
// pass over the picture cost again.
constexpr int kMaxScans = 256;

// Warnings are ignored, except the one for a file that ends early: what a viewer would
// fill in there is not the picture.
void JpegWarning(j_common_ptr info, int level) {
  if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF) JpegFail(info);
}

void JpegProgress(j_common_ptr info) {
  if (!info->is_decompressor) return;
  if (reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > kMaxScans) {
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    std::snprintf(errors->message, sizeof errors->message, "more than %d progressive scans", kMaxScans);
    std::longjmp(errors->jump, 1);
  }
}

// The phases of a decode, each behind its own setjmp: every object that lives across the
// jump is created by the caller before the phase starts, so the jump skips no destructor.
// Each returns false when libjpeg failed, with the message in `errors`.
bool ReadHeaderPhase(jpeg_decompress_struct& info, JpegErrors& errors, std::FILE* stream) {
  if (setjmp(errors.jump) != 0) return false;
  jpeg_create_decompress(&info);
  info.progress = &errors.progress;
  jpeg_stdio_src(&info, stream);
  jpeg_save_markers(&info, JPEG_APP0 + 1, 0xFFFF);  // EXIF
  jpeg_read_header(&info, TRUE);
  return true;
}

// Picks the output colours and the smallest power-of-two reduction whose output is at
// least `minWidth` x `minHeight` (as stored).
bool ScalePhase(jpeg_decompress_struct& info, JpegErrors& errors, int minWidth, int minHeight) {
  if (setjmp(errors.jump) != 0) return false;
  switch (info.jpeg_color_space) {
    case JCS_GRAYSCALE:
      info.out_color_space = JCS_GRAYSCALE;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      info.out_color_space = JCS_CMYK;
      break;
    default:
      info.out_color_space = JCS_RGB;
      break;
  }
  info.scale_num = 1;
  info.scale_denom = 1;
  if (minWidth > 0 && minHeight > 0) {
    for (const unsigned denominator : {8u, 4u, 2u}) {
      info.scale_denom = denominator;
      jpeg_calc_output_dimensions(&info);
      if (info.output_width >= static_cast<JDIMENSION>(minWidth) &&
          info.output_height >= static_cast<JDIMENSION>(minHeight)) {
        return true;
      }
    }
    info.scale_denom = 1;
  }
  jpeg_calc_output_dimensions(&info);
  return true;
}

// One decoded row of `width` pixels as premultiplied ARGB (every pixel opaque).
void ConvertRow(const unsigned char* in, int components, bool invertedInk, int width, std::uint32_t* out) {
  auto opaque = [](std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    return 0xFF000000u | (r << 16) | (g << 8) | b;
  };
  switch (components) {
    case 1:
      for (int x = 0; x < width; ++x) out[x] = opaque(in[x], in[x], in[x]);
      break;
    case 3:
      for (int x = 0; x < width; ++x, in += 3) out[x] = opaque(in[0], in[1], in[2]);
      break;
    default:
      // CMYK as ink: red = (1 - cyan)(1 - black), and so on. Files with an Adobe marker
      // (nearly all CMYK files) store the ink inverted, 255 for none.
      for (int x = 0; x < width; ++x, in += 4) {
        auto channel = [&](int k) {
          const std::uint32_t ink = invertedInk ? in[k] : 255u - in[k];
          const std::uint32_t black = invertedInk ? in[3] : 255u - in[3];
          return (ink * black + 127) / 255;
        };
        out[x] = opaque(channel(0), channel(1), channel(2));
      }
      break;
  }
}

bool ReadRowsPhase(jpeg_decompress_struct& info, JpegErrors& errors, unsigned char* row, Image& image) {
  if (setjmp(errors.jump) != 0) return false;
  jpeg_start_decompress(&info);
  const int width = image.Width();
  const bool invertedInk = info.saw_Adobe_marker != 0;
  while (info.output_scanline < info.output_height) {
    const auto y = static_cast<std::size_t>(info.output_scanline);
    JSAMPROW rows[] = {row};
    if (jpeg_read_scanlines(&info, rows, 1) != 1) break;
    ConvertRow(row, info.output_components, invertedInk, width, image.Data() + y * static_cast<std::size_t>(width));
  }
  jpeg_finish_decompress(&info);
  return true;
}

class JpegDecoder {
 public:
  explicit JpegDecoder(const PictureFile& file) : file_(file), errors_(std::make_unique<JpegErrors>()) {
    info_.err = jpeg_std_error(&errors_->manager);
    errors_->manager.error_exit = JpegFail;
    errors_->manager.emit_message = JpegWarning;
    errors_->progress.progress_monitor = JpegProgress;
    errors_->message[0] = '\0';
  }
  JpegDecoder(const JpegDecoder&) = delete;
  JpegDecoder& operator=(const JpegDecoder&) = delete;
  ~JpegDecoder() { jpeg_destroy_decompress(&info_); }

  PictureInfo Header() {
    if (!ReadHeaderPhase(info_, *errors_, file_.Stream())) Fail();
    file_.CheckSize(info_.image_width, info_.image_height);
    PictureInfo picture;
    picture.format = "JPEG";
    picture.orientation = Orientation();
    const bool swap = SwapsSides(picture.orientation);
    picture.width = static_cast<int>(swap ? info_.image_height : info_.image_width);
    picture.height = static_cast<int>(swap ? info_.image_width : info_.image_height);
    return picture;
  }

  // The picture as stored, at least `minWidth` x `minHeight` where it is as large; Header
  // first.
  Image Pixels(int minWidth, int minHeight) {
    if (!ScalePhase(info_, *errors_, minWidth, minHeight)) Fail();
    Image image(static_cast<int>(info_.output_width), static_cast<int>(info_.output_height));
    std::vector<unsigned char> row(static_cast<std::size_t>(info_.output_width) *
                                   static_cast<std::size_t>(info_.output_components));
    if (!ReadRowsPhase(info_, *errors_, row.data(), image)) Fail();
    return image;
  }

 private:
  // The orientation of the first EXIF block, 1 without one.
  [[nodiscard]] int Orientation() const {
    static constexpr unsigned char kExif[] = {'E', 'x', 'i', 'f', 0, 0};
    for (jpeg_saved_marker_ptr marker = info_.marker_list; marker != nullptr; marker = marker->next) {
      if (marker->marker == JPEG_APP0 + 1 && marker->data_length > sizeof kExif &&
          std::memcmp(marker->data, kExif, sizeof kExif) == 0) {
        return ExifOrientation(marker->data, marker->data_length);
      }
    }
    return 1;
  }

  [[noreturn]] void Fail() const { file_.CannotDecode(errors_->message); }

  const PictureFile& file_;
  std::unique_ptr<JpegErrors> errors_;  // on the heap: libjpeg keeps its address
  jpeg_decompress_struct info_{};
};

}  // namespace

PictureInfo ReadJpegInfo(const PictureFile& file) { return JpegDecoder(file).Header(); }

Image ReadJpeg(const PictureFile& file, int minWidth, int minHeight) {
  JpegDecoder decoder(file);
  const int orientation = decoder.Header().orientation;
  // The request is as shown; the decoder scales the picture as stored.
  const bool swap = SwapsSides(orientation);
  return TurnUpright(decoder.Pixels(swap ? minHeight : minWidth, swap ? minWidth : minHeight), orientation);
}

}  // namespace montage::pictures
