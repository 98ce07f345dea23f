// One video file being written: the temporary output file, FFmpeg's muxer writing into
// it, the video encoder, the colour conversion in front of it and the soundtrack.
// WriteVideo (video_writer.cpp) drives it from its threads; the video benchmarks drive
// it directly to measure the encoder alone.
//
// Use: construct; for a GIF, give the palette its sample of frames (PaletteSample,
// AddPaletteSample, MakePalette); Convert every frame in order and EndConversion;
// Encode what those emit, in order; Finish; Commit. An object destroyed before Commit
// leaves no file behind.
//
// Threads: the palette calls, Convert and EndConversion use the converter's state only
// and may run on one thread while Encode and Finish run on another; each group keeps to
// one thread at a time, in the order above.
#ifndef MONTAGE_VIDEO_VIDEO_ENCODER_H
#define MONTAGE_VIDEO_VIDEO_ENCODER_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "ffmpeg_support.h"
#include "montage/output_file.h"
#include "montage/video_writer.h"

struct AVFilterContext;
struct AVStream;

namespace montage::detail {

class Soundtrack;

// Throws HostError naming the value for settings WriteVideo refuses.
void CheckSettings(const VideoSettings& settings);

// What the file sink saw: the first write error (an errno value) and the file's size.
struct FileSink {
  int fd = -1;
  std::int64_t position = 0;
  std::int64_t size = 0;
  int error = 0;
};

class VideoEncoder {
 public:
  // Opens the soundtrack, the temporary file beside `file`, the encoders and the muxer,
  // and writes the file's header. `settings` must have passed CheckSettings. Throws
  // HostError naming the file.
  VideoEncoder(const std::filesystem::path& file, const VideoSettings& settings);
  VideoEncoder(const VideoEncoder&) = delete;
  VideoEncoder& operator=(const VideoEncoder&) = delete;
  ~VideoEncoder();

  // The frames, ascending, whose colours make the palette; empty for formats without one.
  [[nodiscard]] std::vector<int> PaletteSample() const;
  void AddPaletteSample(const Image& frame);
  void MakePalette();

  using Emit = std::function<void(FramePtr frame)>;
  // Converts frame `index` (drawn into `frame`) into the encoder's pixel format and
  // hands what is ready to `emit`: usually that frame, sometimes nothing yet (a filter
  // holding it back) or more. `frame` may be reused once this returns.
  void Convert(const Image& frame, int index, const Emit& emit);
  // Hands over the frames still held back.
  void EndConversion(const Emit& emit);

  // Encodes one converted frame and writes what is ready, the sound up to the frame's
  // end included.
  void Encode(FramePtr frame);
  // Drains the encoders, writes the trailer and checks that every byte reached the file.
  void Finish();
  // Renames the complete file into place.
  void Commit();

 private:
  void OpenVideoEncoder();
  void TakeMapped(const Emit& emit);
  FramePtr OpaqueCopy(const Image& frame) const;
  void SendFrame(const AVFrame* frame);
  void WritePacket(AVPacket& packet);
  [[noreturn]] void WriteFailed(int code) const;
  static int OpenForReading(AVFormatContext* muxer, AVIOContext** io, const char* url, int flags,
                            AVDictionary** options);
  static void CloseReading(AVFormatContext* muxer, AVIOContext* io);

  std::filesystem::path file_;
  VideoSettings settings_;
  int quality_ = 0;
  int rateNum_ = 0;  // the frame rate as a fraction
  int rateDen_ = 1;
  std::unique_ptr<Soundtrack> soundtrack_;
  // The output file outlives the muxer that writes into it.
  std::unique_ptr<OutputFile> output_;
  FileSink sink_;
  IoContextPtr io_;
  OutputContextPtr muxer_;
  CodecContextPtr encoder_;
  AVStream* stream_ = nullptr;
  PacketPtr packet_;
  bool headerWritten_ = false;
  bool trailerWritten_ = false;  // av_write_trailer was called, whatever it answered
  bool finished_ = false;
  // The converter's state.
  SwsPtr scaler_;
  FilterGraphPtr paletteGraph_;  // palettegen while the sample comes, then paletteuse
  AVFilterContext* paletteSource_ = nullptr;
  AVFilterContext* paletteSink_ = nullptr;
  AVFilterContext* frameSource_ = nullptr;
  AVFilterContext* frameSink_ = nullptr;
};

}  // namespace montage::detail

#endif  // MONTAGE_VIDEO_VIDEO_ENCODER_H
