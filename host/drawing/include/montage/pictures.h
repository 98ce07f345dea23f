// Still pictures read from files: PNG (grey, palette, 8 or 16 bits, with or without
// alpha) and JPEG (baseline or progressive, grey, RGB or CMYK), turned upright by their
// EXIF orientation.
//
// Every reader checks the size a file declares in its header before decoding anything
// (at most kMaxFrameSide a side and kMaxPicturePixels in all), so that a small file
// claiming a huge picture is refused at once; and no file is read whole before its
// type is known. Errors are HostErrors that name the file and the real reason (a bad
// CRC, a zero width, a picture too large, a folder, a file cut short).
//
// Threads: every function here may run on several threads at once.
#ifndef MONTAGE_PICTURES_H
#define MONTAGE_PICTURES_H

#include <filesystem>
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
// smaller than the picture, a JPEG is decoded at a reduced scale that still covers it
// (libjpeg's scaled decoding, 1/2 to 1/8), so a camera photo drawn small costs little;
// 0 asks for the full size. Throws HostError naming the file.
Image ReadPicture(const std::filesystem::path& file, int minWidth = 0, int minHeight = 0);

// `picture` turned as an EXIF orientation says, so that it stands upright: 2 mirrors it
// left to right, 3 turns it half a turn, 4 mirrors it top to bottom, 5 and 7 mirror it
// along a diagonal, 6 turns it a quarter clockwise, 8 a quarter counter-clockwise (width
// and height swap for 5..8); 1 and values outside 1..8 leave it as it is. For any
// picture held the wrong way, such as a video frame with rotation metadata.
Image TurnUpright(Image picture, int orientation);

}  // namespace montage

#endif  // MONTAGE_PICTURES_H
