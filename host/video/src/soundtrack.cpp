// The soundtrack of a video file: decoded, resampled, cut, faded and encoded.
#include "soundtrack.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <string>
#include <utility>

#include "ffmpeg_headers.h"
#include "montage/host.h"

namespace montage::detail {

namespace fs = std::filesystem;

namespace {

constexpr int kSampleRate = 48000;
constexpr int kChannels = 2;

// Bit rates of the sound: transparent for music at these rates for both codecs.
constexpr std::int64_t kAacBitRate = 128000;
constexpr std::int64_t kOpusBitRate = 96000;

}  // namespace

Soundtrack::Soundtrack(fs::path file) : file_(std::move(file)) {
  auto cannotRead = [&](int code) {
    throw HostError("cannot read soundtrack " + file_.string() + ": " +
                    (code == AVERROR_INVALIDDATA ? std::string("not a media file") : ErrorText(code)));
  };
  int code = OpenInputFile(file_, input_);
  if (code < 0) cannotRead(code);
  AVFormatContext* raw = input_.get();
  code = avformat_find_stream_info(raw, nullptr);
  if (code < 0) cannotRead(code);

  for (unsigned i = 0; i < raw->nb_streams; ++i) {
    if (streamIndex_ < 0 && raw->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      streamIndex_ = static_cast<int>(i);
    } else {
      raw->streams[i]->discard = AVDISCARD_ALL;
    }
  }
  if (streamIndex_ < 0) throw HostError("soundtrack " + file_.string() + " has no audio stream");

  const AVStream* stream = raw->streams[streamIndex_];
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (codec == nullptr) {
    const AVCodecID id = stream->codecpar->codec_id;
    throw HostError("cannot decode soundtrack " + file_.string() + ": " +
                    (id == AV_CODEC_ID_NONE ? std::string("its audio codec is unknown")
                                            : std::string("no decoder for ") + avcodec_get_name(id)));
  }
  decoder_.reset(avcodec_alloc_context3(codec));
  if (!decoder_) throw std::bad_alloc();
  code = avcodec_parameters_to_context(decoder_.get(), stream->codecpar);
  if (code < 0) CannotDecode(code);
  decoder_->pkt_timebase = stream->time_base;
  code = avcodec_open2(decoder_.get(), codec, nullptr);
  if (code < 0) CannotDecode(code);
  packet_ = NewPacket();
  decoded_ = NewFrame();
}

Soundtrack::~Soundtrack() = default;

void Soundtrack::CannotDecode(int code) const {
  throw HostError("cannot decode soundtrack " + file_.string() + ": " + ErrorText(code));
}

void Soundtrack::AddStream(AVFormatContext* muxer, SoundCodec codec, double seconds, const fs::path& target) {
  target_ = target;
  const char* name = codec == SoundCodec::kAac ? "AAC" : "Opus";
  const AVCodec* encoder =
      codec == SoundCodec::kAac ? avcodec_find_encoder(AV_CODEC_ID_AAC) : avcodec_find_encoder_by_name("libopus");
  if (encoder == nullptr) throw HostError("cannot write " + target_.string() + ": no " + name + " encoder");
  // Float samples, planar (AAC) or interleaved (Opus): the fade works on floats.
  AVSampleFormat format = AV_SAMPLE_FMT_NONE;
  for (const AVSampleFormat* f = encoder->sample_fmts; f != nullptr && *f != AV_SAMPLE_FMT_NONE; ++f) {
    if (*f == AV_SAMPLE_FMT_FLTP || *f == AV_SAMPLE_FMT_FLT) {
      format = *f;
      break;
    }
  }
  if (format == AV_SAMPLE_FMT_NONE) {
    throw HostError("cannot write " + target_.string() + ": the " + name + " encoder takes no float samples");
  }
  encoder_.reset(avcodec_alloc_context3(encoder));
  if (!encoder_) throw std::bad_alloc();
  encoder_->sample_fmt = format;
  encoder_->sample_rate = kSampleRate;
  av_channel_layout_default(&encoder_->ch_layout, kChannels);
  encoder_->bit_rate = codec == SoundCodec::kAac ? kAacBitRate : kOpusBitRate;
  encoder_->time_base = AVRational{1, kSampleRate};
  if ((muxer->oformat->flags & AVFMT_GLOBALHEADER) != 0) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int code = avcodec_open2(encoder_.get(), encoder, nullptr);
  if (code < 0) {
    throw HostError("cannot write " + target_.string() + ": cannot open the " + name + " encoder: " + ErrorText(code));
  }
  stream_ = avformat_new_stream(muxer, nullptr);
  if (stream_ == nullptr) throw std::bad_alloc();
  code = avcodec_parameters_from_context(stream_->codecpar, encoder_.get());
  if (code < 0) throw HostError("cannot write " + target_.string() + ": " + ErrorText(code));
  stream_->time_base = encoder_->time_base;
  fifo_.reset(av_audio_fifo_alloc(format, kChannels, kSampleRate));
  if (!fifo_) throw std::bad_alloc();
  resampled_ = NewFrame();
  encoded_ = NewFrame();
  total_ = std::max<std::int64_t>(1, std::llround(seconds * kSampleRate));
  fade_ = std::min<std::int64_t>(total_, kSampleRate);
}

// Decodes the next frame of the track into the FIFO; false once the track has ended.
bool Soundtrack::Pull() {
  while (!inputEnded_) {
    int code = avcodec_receive_frame(decoder_.get(), decoded_.get());
    if (code == 0) {
      Resample(*decoded_);
      av_frame_unref(decoded_.get());
      return true;
    }
    if (code == AVERROR_EOF) {
      if (resampler_) Keep(nullptr, 0);  // what the resampler holds back
      inputEnded_ = true;
      break;
    }
    // A damaged frame loses its own sound, not the rest of the track.
    if (code == AVERROR_INVALIDDATA) continue;
    if (code != AVERROR(EAGAIN)) CannotDecode(code);
    code = av_read_frame(input_.get(), packet_.get());
    if (code == AVERROR_EOF) {
      code = avcodec_send_packet(decoder_.get(), nullptr);
      if (code < 0 && code != AVERROR_EOF) CannotDecode(code);
      continue;
    }
    if (code < 0) throw HostError("cannot read soundtrack " + file_.string() + ": " + ErrorText(code));
    if (packet_->stream_index == streamIndex_) code = avcodec_send_packet(decoder_.get(), packet_.get());
    av_packet_unref(packet_.get());
    if (code < 0 && code != AVERROR_INVALIDDATA) CannotDecode(code);
  }
  return false;
}

void Soundtrack::Resample(const AVFrame& decoded) {
  const int channels = decoded.ch_layout.nb_channels;
  if (channels < 1 || decoded.sample_rate < 1) CannotDecode(AVERROR_INVALIDDATA);
  if (!resampler_ || decoded.sample_rate != resamplerRate_ || decoded.format != resamplerFormat_ ||
      channels != resamplerChannels_) {
    // The track changed its rate or layout (or this is its first frame): what the old
    // resampler holds back goes first.
    if (resampler_) Keep(nullptr, 0);
    // A track that gives only a channel count gets the usual layout for that count.
    AVChannelLayout layout{};
    int code = 0;
    if (decoded.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
      av_channel_layout_default(&layout, channels);
    } else {
      code = av_channel_layout_copy(&layout, &decoded.ch_layout);
    }
    SwrContext* raw = nullptr;
    if (code >= 0) {
      code = swr_alloc_set_opts2(&raw, &encoder_->ch_layout, encoder_->sample_fmt, kSampleRate, &layout,
                                 static_cast<AVSampleFormat>(decoded.format), decoded.sample_rate, 0, nullptr);
    }
    av_channel_layout_uninit(&layout);
    resampler_.reset(raw);
    if (code >= 0) code = swr_init(raw);
    if (code < 0) CannotDecode(code);
    resamplerRate_ = decoded.sample_rate;
    resamplerFormat_ = decoded.format;
    resamplerChannels_ = channels;
  }
  Keep(const_cast<const std::uint8_t* const*>(decoded.extended_data), decoded.nb_samples);
}

// Resamples `count` samples (none: what the resampler holds back) into the FIFO, up to
// the video's length.
void Soundtrack::Keep(const std::uint8_t* const* samples, int count) {
  const int capacity = swr_get_out_samples(resampler_.get(), count);
  if (capacity < 0) CannotDecode(capacity);
  if (capacity == 0) return;
  if (resampled_->nb_samples < capacity) {
    av_frame_unref(resampled_.get());
    resampled_->format = encoder_->sample_fmt;
    resampled_->sample_rate = kSampleRate;
    int code = av_channel_layout_copy(&resampled_->ch_layout, &encoder_->ch_layout);
    resampled_->nb_samples = capacity;
    if (code >= 0) code = av_frame_get_buffer(resampled_.get(), 0);
    if (code < 0) throw std::bad_alloc();
  }
  const int made = swr_convert(resampler_.get(), resampled_->extended_data, resampled_->nb_samples,
                               const_cast<const std::uint8_t**>(samples), count);
  if (made < 0) CannotDecode(made);
  const int kept = static_cast<int>(std::min<std::int64_t>(made, total_ - kept_));
  if (kept <= 0) return;
  if (av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(resampled_->extended_data), kept) < kept) {
    throw std::bad_alloc();
  }
  kept_ += kept;
}

// Encodes the next frame of sound; false when there is none (the video's end or the
// track's).
bool Soundtrack::EncodeFrame(const PacketWriter& write) {
  const int frameSize = encoder_->frame_size > 0 ? encoder_->frame_size : 1024;
  const int wanted = static_cast<int>(std::min<std::int64_t>(frameSize, total_ - written_));
  if (wanted <= 0) return false;
  // A frame inside the fade needs to know whether the track reaches the video's end:
  // it is decoded that far ahead (at most a fade's length).
  const bool fading = written_ + wanted > total_ - fade_;
  while (av_audio_fifo_size(fifo_.get()) < wanted || (fading && kept_ < total_)) {
    if (!Pull()) break;
  }
  const int count = std::min(wanted, av_audio_fifo_size(fifo_.get()));
  if (count == 0) return false;

  const bool shortAllowed =
      (encoder_->codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE)) != 0;
  av_frame_unref(encoded_.get());
  encoded_->format = encoder_->sample_fmt;
  encoded_->sample_rate = kSampleRate;
  encoded_->nb_samples = count < frameSize && !shortAllowed ? frameSize : count;
  int code = av_channel_layout_copy(&encoded_->ch_layout, &encoder_->ch_layout);
  if (code >= 0) code = av_frame_get_buffer(encoded_.get(), 0);
  if (code < 0) throw std::bad_alloc();
  if (encoded_->nb_samples > count) {
    av_samples_set_silence(encoded_->extended_data, count, encoded_->nb_samples - count, kChannels,
                           encoder_->sample_fmt);
  }
  if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(encoded_->extended_data), count) < count) {
    CannotDecode(AVERROR_BUG);
  }
  if (kept_ >= total_) {
    // The track lasts the whole video: fade its end.
    const bool planar = av_sample_fmt_is_planar(encoder_->sample_fmt) != 0;
    for (int i = 0; i < count; ++i) {
      const std::int64_t position = written_ + i;
      if (position < total_ - fade_) continue;
      const auto gain = static_cast<float>(static_cast<double>(total_ - position) / static_cast<double>(fade_));
      for (int c = 0; c < kChannels; ++c) {
        float* sample = planar ? reinterpret_cast<float*>(encoded_->extended_data[c]) + i
                               : reinterpret_cast<float*>(encoded_->extended_data[0]) + i * kChannels + c;
        *sample *= gain;
      }
    }
  }
  encoded_->pts = written_;
  written_ += count;
  Send(encoded_.get(), write);
  return true;
}

// Encodes `frame` (null: drains the encoder) and writes the packets that are ready.
void Soundtrack::Send(const AVFrame* frame, const PacketWriter& write) {
  auto failed = [&](int code) {
    throw HostError("cannot write " + target_.string() + ": the sound encoder failed: " + ErrorText(code));
  };
  int code = avcodec_send_frame(encoder_.get(), frame);
  if (code < 0) failed(code);
  const PacketPtr packet = NewPacket();
  for (;;) {
    code = avcodec_receive_packet(encoder_.get(), packet.get());
    if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) return;
    if (code < 0) failed(code);
    packet->stream_index = stream_->index;
    av_packet_rescale_ts(packet.get(), encoder_->time_base, stream_->time_base);
    write(*packet);
    av_packet_unref(packet.get());
  }
}

void Soundtrack::WriteUntil(double seconds, const PacketWriter& write) {
  const std::int64_t until = std::min<std::int64_t>(total_, std::llround(seconds * kSampleRate));
  while (written_ < until && EncodeFrame(write)) {
  }
}

void Soundtrack::Finish(const PacketWriter& write) {
  while (EncodeFrame(write)) {
  }
  Send(nullptr, write);
}

}  // namespace montage::detail
