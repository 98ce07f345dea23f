// Owning handles for FFmpeg's objects, and FFmpeg's error codes in words.
#include <mutex>
#include <new>

#include "ffmpeg_headers.h"

namespace montage::detail {

void OutputContextRelease::operator()(AVFormatContext* context) const { avformat_free_context(context); }

void InputContextRelease::operator()(AVFormatContext* context) const { avformat_close_input(&context); }

void IoContextRelease::operator()(AVIOContext* context) const {
  // The buffer may have been replaced by FFmpeg since it was given; free the current one.
  av_freep(&context->buffer);
  avio_context_free(&context);
}

void CodecContextRelease::operator()(AVCodecContext* context) const { avcodec_free_context(&context); }

void FrameRelease::operator()(AVFrame* frame) const { av_frame_free(&frame); }

void PacketRelease::operator()(AVPacket* packet) const { av_packet_free(&packet); }

void SwsRelease::operator()(SwsContext* context) const { sws_freeContext(context); }

void SwrRelease::operator()(SwrContext* context) const { swr_free(&context); }

void FilterGraphRelease::operator()(AVFilterGraph* graph) const { avfilter_graph_free(&graph); }

void AudioFifoRelease::operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }

FramePtr NewFrame() {
  FramePtr frame(av_frame_alloc());
  if (!frame) throw std::bad_alloc();
  return frame;
}

PacketPtr NewPacket() {
  PacketPtr packet(av_packet_alloc());
  if (!packet) throw std::bad_alloc();
  return packet;
}

FramePtr CloneFrame(const AVFrame& frame) {
  FramePtr clone(av_frame_clone(&frame));
  if (!clone) throw std::bad_alloc();
  return clone;
}

std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(code, text, sizeof text) < 0) return "error " + std::to_string(code);
  return text;
}

void QuietenFfmpegLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
  });
}

}  // namespace montage::detail
