// Clips opened with libavformat and decoded with libavcodec, frame by frame.
#include "clip_decoder.h"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/log.h>
}

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "montage/host.h"

namespace montage::clips {

namespace fs = std::filesystem;

namespace {

// The turn a display matrix asks for, as an EXIF orientation. The matrix maps a stored
// pixel (x, y) to (a*x + c*y, b*x + d*y) on screen, y down; it is rounded to the
// nearest quarter turn, with or without a mirror.
int OrientationOfMatrix(const std::int32_t* matrix) {
  const double a = matrix[0];
  const double b = matrix[1];
  const double c = matrix[3];
  const double d = matrix[4];
  if (std::abs(a) + std::abs(d) >= std::abs(b) + std::abs(c)) {
    if (a >= 0) return d >= 0 ? 1 : 4;
    return d >= 0 ? 2 : 3;
  }
  if (b >= 0) return c >= 0 ? 5 : 6;
  return c >= 0 ? 8 : 7;
}

int OrientationOf(const AVStream* stream) {
  std::size_t size = 0;
  const std::uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (matrix != nullptr && size >= 9 * sizeof(std::int32_t)) {
    std::int32_t values[9];
    std::memcpy(values, matrix, sizeof values);
    return OrientationOfMatrix(values);
  }
  // Older files: a "rotate" tag in degrees clockwise.
  const AVDictionaryEntry* tag = av_dict_get(stream->metadata, "rotate", nullptr, 0);
  if (tag == nullptr) return 1;
  char* end = nullptr;
  const long degrees = std::strtol(tag->value, &end, 10);
  if (end == tag->value) return 1;
  switch (((degrees % 360) + 360) % 360) {
    case 90:
      return 6;
    case 180:
      return 3;
    case 270:
      return 8;
    default:
      return 1;
  }
}

}  // namespace

std::string ClipDecoder::Reason(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  std::string reason = text;
  const std::string& logged = detail::LastFfmpegError();
  if (!logged.empty() && logged != reason) reason += " (" + logged + ")";
  return reason;
}

void ClipDecoder::Fail(const std::string& reason) const {
  throw HostError("cannot decode clip " + path_.string() + ": " + reason);
}

ClipDecoder::ClipDecoder(const fs::path& file, int threads) : path_(file) {
  detail::CaptureFfmpegLog();
  detail::ClearFfmpegError();
  std::error_code error;
  const fs::file_status status = fs::status(file, error);
  if (error) throw HostError("cannot read clip " + file.string() + ": " + error.message());
  if (fs::is_directory(status)) throw HostError("cannot read clip " + file.string() + ": is a folder");
  if (!fs::is_regular_file(status)) throw HostError("cannot read clip " + file.string() + ": is not a regular file");
  if (fs::file_size(file, error) == 0 && !error) Fail("the file is empty");

  int result = detail::OpenInputFile(file, format_);
  if (result < 0) {
    const std::string reason = Reason(result);
    if (result == AVERROR(EACCES) || result == AVERROR(ENOENT) || result == AVERROR(EIO)) {
      throw HostError("cannot read clip " + file.string() + ": " + reason);
    }
    Fail(reason);
  }
  {
    SelectStream();
    if (stream_ != nullptr) CheckDeclaredSize();
    // Reading the streams' parameters may decode a frame or two: within the limits, on
    // this thread. Formats without a header find their streams only here.
    AVFormatContext* format = format_.get();
    std::vector<AVDictionary*> probeOptions(format->nb_streams, nullptr);
    for (AVDictionary*& probe : probeOptions) {
      av_dict_set_int(&probe, "max_pixels", kMaxClipPixels, 0);
      av_dict_set(&probe, "threads", "1", 0);
    }
    result = avformat_find_stream_info(format, probeOptions.empty() ? nullptr : probeOptions.data());
    for (AVDictionary*& probe : probeOptions) av_dict_free(&probe);
    if (result < 0) Fail(Reason(result));
    if (stream_ == nullptr) SelectStream();
    if (stream_ == nullptr) Fail(hasSound_ ? "no video stream (only sound)" : "no video stream");
    CheckDeclaredSize();
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
      if (format_->streams[i] != stream_) format_->streams[i]->discard = AVDISCARD_ALL;
    }

    const AVCodec* codec = avcodec_find_decoder(stream_->codecpar->codec_id);
    if (codec == nullptr) {
      std::string name = avcodec_get_name(stream_->codecpar->codec_id);
      if (stream_->codecpar->codec_id == AV_CODEC_ID_NONE) {
        char tag[AV_FOURCC_MAX_STRING_SIZE] = {};
        name = av_fourcc_make_string(tag, stream_->codecpar->codec_tag);
      }
      Fail("no decoder for its video codec (" + name + ")");
    }
    codec_.reset(avcodec_alloc_context3(codec));
    if (codec_ == nullptr) throw std::bad_alloc();
    packet_ = detail::NewPacket();
    result = avcodec_parameters_to_context(codec_.get(), stream_->codecpar);
    if (result < 0) Fail(Reason(result));
    codec_->pkt_timebase = stream_->time_base;
    codec_->max_pixels = kMaxClipPixels;
    codec_->thread_count = threads;
    codec_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    result = avcodec_open2(codec_.get(), codec, nullptr);
    if (result < 0) Fail("cannot open its " + std::string(codec->name) + " decoder: " + Reason(result));

    const double timeBase = av_q2d(stream_->time_base);
    if (stream_->start_time != AV_NOPTS_VALUE) origin_ = stream_->start_time;
    if (stream_->duration != AV_NOPTS_VALUE && stream_->duration > 0) {
      declaredSeconds_ = static_cast<double>(stream_->duration) * timeBase;
      declaresVideoSeconds_ = true;
    } else if (format_->duration != AV_NOPTS_VALUE && format_->duration > 0) {
      declaredSeconds_ = static_cast<double>(format_->duration) / AV_TIME_BASE;
      declaresVideoSeconds_ = format_->nb_streams == 1;
    }
    const AVRational rate = av_guess_frame_rate(format, stream_, nullptr);
    if (rate.num > 0 && rate.den > 0) framesPerSecond_ = av_q2d(rate);
    orientation_ = OrientationOf(stream_);
  }
}

ClipDecoder::~ClipDecoder() = default;

void ClipDecoder::SelectStream() {
  for (unsigned i = 0; i < format_->nb_streams; ++i) {
    const AVStream* stream = format_->streams[i];
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) hasSound_ = true;
    if (stream_ == nullptr && stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0) {
      stream_ = format_->streams[i];
    }
  }
}

void ClipDecoder::CheckDeclaredSize() const {
  const std::int64_t width = stream_->codecpar->width;
  const std::int64_t height = stream_->codecpar->height;
  if (width <= 0 || height <= 0) return;  // not declared (yet)
  const std::string size = std::to_string(width) + "x" + std::to_string(height) + " pixels";
  if (width > kMaxFrameSide || height > kMaxFrameSide) {
    Fail("its frames are " + size + ", more than " + std::to_string(kMaxFrameSide) + " pixels a side");
  }
  if (width * height > kMaxClipPixels) {
    Fail("its frames are " + size + ", more than " + std::to_string(kMaxClipPixels) + " pixels in all");
  }
}

std::optional<double> ClipDecoder::Next(AVFrame* frame) {
  detail::ClearFfmpegError();
  for (;;) {
    int result = avcodec_receive_frame(codec_.get(), frame);
    if (result == 0) {
      std::int64_t stamp = frame->best_effort_timestamp;
      double seconds = 0;
      if (stamp == AV_NOPTS_VALUE) {
        seconds = lastTime_ < 0 ? 0 : lastTime_ + (framesPerSecond_ > 0 ? 1 / framesPerSecond_ : 0.04);
      } else {
        if (origin_ == AV_NOPTS_VALUE) origin_ = stamp;
        seconds = static_cast<double>(stamp - origin_) * av_q2d(stream_->time_base);
      }
      lastTime_ = seconds;
      return seconds;
    }
    if (result == AVERROR_EOF) return std::nullopt;
    if (result != AVERROR(EAGAIN)) Fail(Reason(result));
    if (draining_) return std::nullopt;
    result = av_read_frame(format_.get(), packet_.get());
    if (result == AVERROR_EOF) {
      draining_ = true;
      result = avcodec_send_packet(codec_.get(), nullptr);
      if (result < 0 && result != AVERROR_EOF) Fail(Reason(result));
      continue;
    }
    if (result < 0) Fail(Reason(result));
    if (packet_->stream_index != stream_->index) {
      av_packet_unref(packet_.get());
      continue;
    }
    result = avcodec_send_packet(codec_.get(), packet_.get());
    av_packet_unref(packet_.get());
    if (result < 0 && result != AVERROR(EAGAIN)) Fail(Reason(result));
  }
}

bool ClipDecoder::Seek(double seconds) {
  const std::int64_t start = origin_ == AV_NOPTS_VALUE ? 0 : origin_;
  const std::int64_t target = start + static_cast<std::int64_t>(std::floor(seconds / av_q2d(stream_->time_base)));
  detail::ClearFfmpegError();
  if (av_seek_frame(format_.get(), stream_->index, target, AVSEEK_FLAG_BACKWARD) < 0) return false;
  avcodec_flush_buffers(codec_.get());
  draining_ = false;
  lastTime_ = -1;
  return true;
}

AVRational ClipDecoder::PixelAspect(AVFrame* frame) const {
  const AVRational aspect = av_guess_sample_aspect_ratio(format_.get(), stream_, frame);
  if (aspect.num <= 0 || aspect.den <= 0) return AVRational{1, 1};
  return aspect;
}

}  // namespace montage::clips
