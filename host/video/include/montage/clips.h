// Video clips as the media of an input: any container and codec FFmpeg's libraries
// decode (MP4/H.264, MOV, MKV, WebM/VP9, ...), read forward frame by frame as the
// render needs them, scaled with libswscale to the size they are drawn at, turned
// upright by their rotation metadata. The sound of a clip is not used.
//
// Timing: a clip plays at its own speed from the moment its input first appears; after
// its last frame it holds that frame, or with `loop` plays again from the start. A
// request for an earlier moment than the last (a scrubbing studio) seeks back.
//
// Memory and time: a clip holds a decoder only while its input is on screen (the
// renderer suspends it otherwise) and never more than a few decoded frames, so a render
// costs what the clips on screen cost, not their length or number.
//
// Threads: one clip is used by one thread at a time; different clips are independent.
#ifndef MONTAGE_CLIPS_H
#define MONTAGE_CLIPS_H

#include <filesystem>
#include <memory>

#include "montage/drawing.h"

namespace montage {

struct ClipInfo {
  int width = 0;  // as shown: rotation applied, non-square pixels made square
  int height = 0;
  double seconds = 0;          // running time
  double framesPerSecond = 0;  // average frame rate
  bool hasSound = false;       // whether the file has an audio stream (never used)
};

// Opens `file` far enough to know it is a clip this library decodes and reads what
// ClipInfo holds, checking the declared frame size against kMaxFrameSide and
// kMaxClipPixels before decoding anything. Throws HostError naming the file: not a
// media file, no video stream, a codec that cannot be decoded, a clip of zero frames,
// too large, unreadable.
ClipInfo ReadClipInfo(const std::filesystem::path& file);

struct ClipOptions {
  bool loop = false;  // play again from the start after the end instead of holding
};

// A clip as the media of one input (a new playback; inputs that show the same file
// each get their own). Checks the file as ReadClipInfo does; decoding starts with the
// first frame asked for.
std::shared_ptr<InputMedia> OpenClip(const std::filesystem::path& file, ClipOptions options = {});

// Media for any file the user gives: a still picture (PNG, JPEG) or a clip. Pictures
// are decoded at once, at the smallest size that still covers `largestWidth` x
// `largestHeight` (0: full size); clips open as OpenClip does.
std::shared_ptr<InputMedia> OpenMedia(const std::filesystem::path& file, ClipOptions options = {}, int largestWidth = 0,
                                      int largestHeight = 0);

}  // namespace montage

#endif  // MONTAGE_CLIPS_H
