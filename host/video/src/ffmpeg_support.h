// Owning handles for FFmpeg's objects, and FFmpeg's error codes in words. The FFmpeg
// types are only declared here, so that code holding the handles (video_encoder.h) does
// not need FFmpeg's headers; ffmpeg_headers.h has them.
#ifndef MONTAGE_VIDEO_FFMPEG_SUPPORT_H
#define MONTAGE_VIDEO_FFMPEG_SUPPORT_H

#include <filesystem>
#include <memory>
#include <string>

struct AVAudioFifo;
struct AVCodecContext;
struct AVDictionary;
struct AVFilterGraph;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;
struct SwrContext;
struct SwsContext;

namespace montage::detail {

// An output format context (avformat_free_context); its AVIOContext is owned apart.
struct OutputContextRelease {
  void operator()(AVFormatContext* context) const;
};
// An input format context opened with avformat_open_input.
struct InputContextRelease {
  void operator()(AVFormatContext* context) const;
};
// An AVIOContext made with avio_alloc_context, with its buffer.
struct IoContextRelease {
  void operator()(AVIOContext* context) const;
};
struct CodecContextRelease {
  void operator()(AVCodecContext* context) const;
};
struct FrameRelease {
  void operator()(AVFrame* frame) const;
};
struct PacketRelease {
  void operator()(AVPacket* packet) const;
};
struct SwsRelease {
  void operator()(SwsContext* context) const;
};
struct SwrRelease {
  void operator()(SwrContext* context) const;
};
struct FilterGraphRelease {
  void operator()(AVFilterGraph* graph) const;
};
struct AudioFifoRelease {
  void operator()(AVAudioFifo* fifo) const;
};

using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextRelease>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextRelease>;
using IoContextPtr = std::unique_ptr<AVIOContext, IoContextRelease>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextRelease>;
using FramePtr = std::unique_ptr<AVFrame, FrameRelease>;
using PacketPtr = std::unique_ptr<AVPacket, PacketRelease>;
using SwsPtr = std::unique_ptr<SwsContext, SwsRelease>;
using SwrPtr = std::unique_ptr<SwrContext, SwrRelease>;
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, FilterGraphRelease>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoRelease>;

// A new frame or packet; throws std::bad_alloc when there is no memory for one.
FramePtr NewFrame();
PacketPtr NewPacket();
// A new reference to the pictures of `frame` (av_frame_clone).
FramePtr CloneFrame(const AVFrame& frame);

// Opens `file` for demuxing through the file protocol alone: a playlist in it opens no
// other protocol, and a name with a colon is not taken for a URL. Returns FFmpeg's
// result (0, or a negative error code) and leaves `context` null on failure.
int OpenInputFile(const std::filesystem::path& file, InputContextPtr& context);

// What an FFmpeg error code means ("No space left on device", "Invalid data found when
// processing input").
std::string ErrorText(int code);

// FFmpeg's log, taken over once per process: nothing is printed (a host reports errors
// itself, naming the file), but the last error FFmpeg logged on each thread is kept,
// since its codes alone ("Invalid data found when processing input") rarely say what is
// wrong and the log line ("moov atom not found") does. MONTAGE_FFMPEG_LOG=1 in the
// environment passes every line on to FFmpeg's own logger, for debugging.
void CaptureFfmpegLog();
// The last error FFmpeg logged on this thread since ClearFfmpegError; empty for none.
const std::string& LastFfmpegError();
void ClearFfmpegError();

}  // namespace montage::detail

#endif  // MONTAGE_VIDEO_FFMPEG_SUPPORT_H
