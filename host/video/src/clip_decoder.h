// One open clip: the file's demuxer and the decoder of its first video stream, read
// forward frame by frame (libavformat, libavcodec). Used by one thread at a time.
//
// Errors are HostErrors naming the file: "cannot read clip FILE: ..." when the file
// cannot be opened (missing, a folder, not a regular file), "cannot decode clip FILE:
// ..." for everything its content does wrong, with FFmpeg's own reason.
#ifndef MONTAGE_HOST_CLIP_DECODER_H
#define MONTAGE_HOST_CLIP_DECODER_H

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "ffmpeg_support.h"

namespace montage::clips {

class ClipDecoder {
 public:
  // Opens `file` and the decoder of its first video stream (attached cover pictures are
  // not clips), after checking the frame size the file declares against kMaxFrameSide
  // and kMaxClipPixels. `threads` is the decoder's thread count (1: none of its own).
  ClipDecoder(const std::filesystem::path& file, int threads);
  ClipDecoder(const ClipDecoder&) = delete;
  ClipDecoder& operator=(const ClipDecoder&) = delete;
  ~ClipDecoder();

  // Decodes the next frame into `frame` and gives its time in seconds from the clip's
  // start; nothing after the last frame. Throws when the file or a packet cannot be
  // read or decoded.
  std::optional<double> Next(AVFrame* frame);
  // Moves so that Next gives frames from the key frame at or before `seconds`; false
  // when the file cannot seek (reopen it instead).
  bool Seek(double seconds);

  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
  // Running time the file declares; 0 when it declares none.
  [[nodiscard]] double DeclaredSeconds() const { return declaredSeconds_; }
  // Whether DeclaredSeconds is the video stream's own (not a longer soundtrack's).
  [[nodiscard]] bool DeclaresVideoSeconds() const { return declaresVideoSeconds_; }
  // Average frames per second; 0 when unknown.
  [[nodiscard]] double FramesPerSecond() const { return framesPerSecond_; }
  [[nodiscard]] bool HasSound() const { return hasSound_; }
  // The turn the rotation metadata asks for, as an EXIF orientation (1: none).
  [[nodiscard]] int Orientation() const { return orientation_; }
  // The shape of the pixels of `frame` (1:1 when unknown).
  [[nodiscard]] AVRational PixelAspect(AVFrame* frame) const;

  [[noreturn]] void Fail(const std::string& reason) const;
  // FFmpeg's message for `error`, with the error it logged on this thread, if any.
  static std::string Reason(int error);

 private:
  void SelectStream();  // the first video stream, and whether there is sound
  void CheckDeclaredSize() const;

  std::filesystem::path path_;
  detail::InputContextPtr format_;
  detail::CodecContextPtr codec_;
  detail::PacketPtr packet_;
  AVStream* stream_ = nullptr;
  bool draining_ = false;                 // the demuxer ended; the decoder gives what it holds
  std::int64_t origin_ = AV_NOPTS_VALUE;  // timestamp of the clip's start
  double lastTime_ = -1;                  // of the last frame, for frames without one
  double declaredSeconds_ = 0;
  bool declaresVideoSeconds_ = false;
  double framesPerSecond_ = 0;
  bool hasSound_ = false;
  int orientation_ = 1;
};

}  // namespace montage::clips

#endif  // MONTAGE_HOST_CLIP_DECODER_H
