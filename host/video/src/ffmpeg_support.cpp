// Owning handles for FFmpeg's objects, FFmpeg's error codes in words, and its log.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string_view>

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

int OpenInputFile(const std::filesystem::path& file, InputContextPtr& context) {
  const std::string url = "file:" + file.string();
  AVDictionary* options = nullptr;
  if (av_dict_set(&options, "protocol_whitelist", "file", 0) < 0) throw std::bad_alloc();
  AVFormatContext* raw = nullptr;
  const int result = avformat_open_input(&raw, url.c_str(), nullptr, &options);
  av_dict_free(&options);  // what it did not take
  context.reset(result < 0 ? nullptr : raw);
  return result;
}

namespace {

thread_local std::string t_loggedError;
bool g_passLogOn = false;

void CaptureLog(void* context, int level, const char* format, va_list arguments) {
  if (level <= AV_LOG_ERROR) {
    char line[512];
    va_list copy;
    va_copy(copy, arguments);
    std::vsnprintf(line, sizeof line, format, copy);
    va_end(copy);
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (!text.empty()) t_loggedError = text;
  }
  if (g_passLogOn) av_log_default_callback(context, level, format, arguments);
}

}  // namespace

void CaptureFfmpegLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    const char* pass = std::getenv("MONTAGE_FFMPEG_LOG");
    g_passLogOn = pass != nullptr && std::string_view(pass) == "1";
    av_log_set_callback(CaptureLog);
  });
}

const std::string& LastFfmpegError() { return t_loggedError; }

void ClearFfmpegError() { t_loggedError.clear(); }

}  // namespace montage::detail
