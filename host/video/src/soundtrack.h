// The soundtrack of a video file: the first audio stream of any file FFmpeg reads,
// decoded, resampled with libswresample to what the encoder takes (48000 Hz stereo),
// cut to the video's length and encoded (AAC or Opus) into the video's muxer.
//
// Fade-out: when the track lasts at least as long as the video, its last second (or the
// whole video, when shorter than that) fades linearly to silence; a shorter track ends
// where it ends. Whether the track reaches the end is known by decoding up to one fade
// length ahead, so memory stays within about a second of sound whatever the lengths.
//
// Threads: one thread at a time (the video's encoder thread).
#ifndef MONTAGE_VIDEO_SOUNDTRACK_H
#define MONTAGE_VIDEO_SOUNDTRACK_H

#include <cstdint>
#include <filesystem>
#include <functional>

#include "ffmpeg_support.h"

struct AVStream;

namespace montage::detail {

enum class SoundCodec { kAac, kOpus };

class Soundtrack {
 public:
  // Opens `file` and a decoder for its first audio stream. Throws HostError naming the
  // file: unreadable, not a media file, no audio stream, a codec that cannot be decoded.
  explicit Soundtrack(std::filesystem::path file);
  Soundtrack(const Soundtrack&) = delete;
  Soundtrack& operator=(const Soundtrack&) = delete;
  ~Soundtrack();

  // Opens the encoder and adds its stream to `muxer` (before the muxer's header is
  // written), for a video of `seconds`. `target` names the video in error messages.
  void AddStream(AVFormatContext* muxer, SoundCodec codec, double seconds, const std::filesystem::path& target);

  // Packets are handed to `write` with their stream index set and their times in the
  // stream's time base; `write` takes their contents.
  using PacketWriter = std::function<void(AVPacket& packet)>;
  // Encodes the sound up to `seconds` into the video (after the muxer's header).
  void WriteUntil(double seconds, const PacketWriter& write);
  // Encodes the rest, up to the video's end or the track's, and drains the encoder.
  void Finish(const PacketWriter& write);

 private:
  [[noreturn]] void CannotDecode(int code) const;
  bool Pull();
  void Resample(const AVFrame& decoded);
  void Keep(const std::uint8_t* const* samples, int count);
  bool EncodeFrame(const PacketWriter& write);
  void Send(const AVFrame* frame, const PacketWriter& write);

  std::filesystem::path file_;
  std::filesystem::path target_;
  InputContextPtr input_;
  int streamIndex_ = -1;
  CodecContextPtr decoder_;
  PacketPtr packet_;
  FramePtr decoded_;
  SwrPtr resampler_;
  int resamplerRate_ = 0;  // the input the resampler was made for
  int resamplerFormat_ = -1;
  int resamplerChannels_ = 0;
  FramePtr resampled_;
  CodecContextPtr encoder_;
  AVStream* stream_ = nullptr;
  AudioFifoPtr fifo_;
  FramePtr encoded_;
  std::int64_t total_ = 0;    // samples of the video's length
  std::int64_t fade_ = 0;     // samples of the fade-out
  std::int64_t kept_ = 0;     // samples of the track put into the FIFO so far
  std::int64_t written_ = 0;  // samples given to the encoder so far
  bool inputEnded_ = false;
};

}  // namespace montage::detail

#endif  // MONTAGE_VIDEO_SOUNDTRACK_H
