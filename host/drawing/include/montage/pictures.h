// Still pictures read from files: PNG through libpng (grey, palette, 1 to 16 bits, with
// or without alpha or tRNS transparency) and JPEG through libjpeg (baseline or
// progressive, grey, YCbCr, RGB, CMYK or YCCK), turned upright by their EXIF orientation
// (a JPEG's APP1 block, a PNG's eXIf chunk; read with libexif). Decoded pictures are
// Images: premultiplied ARGB.
//
// Every reader checks the size a file declares in its header before decoding anything
// (at most kMaxFrameSide a side and kMaxPicturePixels in all), so that a small file
// claiming a huge picture is refused at once; and no file is read whole before its
// type is known: folders, devices and pipes are refused unread, and the format is told
// from the first bytes. Errors are HostErrors that name the file and the real reason:
// "cannot read image FILE: ..." when the file cannot be opened or read (missing, a
// folder, not a regular file), "cannot decode image FILE: ..." when its content is not
// a picture this library decodes (a bad CRC, a zero width, a picture too large, a file
// cut short, not a PNG or JPEG).
//
// Pictures are also encoded in memory (EncodeJpeg, EncodePng), for programs that send
// them rather than write files, such as a studio serving its frames to a web page.
//
// Threads: every function here may run on several threads at once.
#ifndef MONTAGE_PICTURES_H
#define MONTAGE_PICTURES_H

#include <filesystem>
#include <string>
#include <string_view>

#include "montage/drawing.h"

namespace montage {

// What a picture file's header says.
struct PictureInfo {
  std::string_view format;  // "PNG" or "JPEG"
  // Size as shown, turned upright by the EXIF orientation (width and height swap for a
  // quarter turn).
  int width = 0;
  int height = 0;
  // EXIF orientation 1..8 (1: as stored); 1 without EXIF.
  int orientation = 1;
};

// Whether `file` starts like a picture this library reads (PNG or JPEG signature).
// Reads at most a few bytes; false for anything that cannot be read.
bool LooksLikePicture(const std::filesystem::path& file);

// Reads the header of a picture file; throws HostError naming the file.
PictureInfo ReadPictureInfo(const std::filesystem::path& file);

// Decodes a picture file, turned upright. When `minWidth` x `minHeight` (as shown) is
// smaller than the picture, a JPEG is decoded at the smallest of 1/8, 1/4 and 1/2 of
// its size that still covers it (libjpeg's scaled decoding), so a camera photo drawn
// small costs little; a PNG always comes at its full size. 0 (or less) on either side
// asks for the full size. Throws HostError naming the file.
Image ReadPicture(const std::filesystem::path& file, int minWidth = 0, int minHeight = 0);

// `picture` turned as an EXIF orientation says, so that it stands upright: 2 mirrors it
// left to right, 3 turns it half a turn, 4 mirrors it top to bottom, 5 and 7 mirror it
// along a diagonal, 6 turns it a quarter clockwise, 8 a quarter counter-clockwise (width
// and height swap for 5..8); 1 and values outside 1..8 leave it as it is. For any
// picture held the wrong way, such as a video frame with rotation metadata.
Image TurnUpright(Image picture, int orientation);

// `picture` as a baseline JPEG file's bytes (4:2:0 chroma, libjpeg's quality 1..100;
// anything else is a HostError). JPEG has no transparency: each pixel is written as its
// premultiplied colour over black, as the video writer does (the Renderer's frames are
// opaque already). Throws HostError "cannot encode JPEG: ..." when libjpeg fails.
std::string EncodeJpeg(const Image& picture, int quality);

// `picture` as a PNG file's bytes: 8-bit RGBA, not premultiplied, so that reading it
// back with ReadPicture gives the same pixels wherever they are opaque (a translucent
// pixel may move by a rounding step). Compressed for speed rather than size. Throws
// HostError "cannot encode PNG: ..." when libpng fails.
std::string EncodePng(const Image& picture);

}  // namespace montage

#endif  // MONTAGE_PICTURES_H
