// One video file being written: output file, muxer, encoder, colour conversion, sound.
#include "video_encoder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

#include "ffmpeg_headers.h"
#include "montage/host.h"
#include "soundtrack.h"

namespace montage {

namespace fs = std::filesystem;

// ---- Quality ------------------------------------------------------------------------------
// 1 (smallest file) .. 100 (best picture), mapped linearly onto each encoder's own scale;
// montage/video_writer.h documents the mapping.

namespace {

double Lerp(int quality, double atOne, double atHundred) {
  return atOne + (atHundred - atOne) * static_cast<double>(quality - 1) / 99.0;
}

// x264's constant rate factor: 45 .. 12, 23 at the default of 67.
double X264Crf(int quality) { return Lerp(quality, 45.0, 12.0); }
// VP9's constant quality level: 56 .. 12, 32 at the default of 55.
int Vp9Crf(int quality) { return static_cast<int>(std::lround(Lerp(quality, 56.0, 12.0))); }
// Colours of a GIF's palette: 4 .. 256.
int GifColours(int quality) { return static_cast<int>(std::lround(Lerp(quality, 4.0, 256.0))); }

// The x264 preset. On two cores, drawing and colour conversion take processor time the
// encoder would otherwise have: on a 1280x720 render they added 43 to 55 per cent to
// the time of veryfast alone, 25 to 38 per cent to that of faster (two reference
// frames, subpixel refinement 4, trellis), which still writes four times faster than
// real time with them.
constexpr const char* kX264Preset = "faster";
// BGRA to yuv420p: chroma from every pixel, then filtered 2 to 1 (bilinear); at 1280x720
// a third faster than without the full-chroma flag.
constexpr int kConversionFlags = SWS_BILINEAR | SWS_FULL_CHR_H_INP;
// VP9 in libvpx's real-time mode at its fastest speed, rows encoded in parallel: on a
// rendered slideshow the good-quality mode (speed 5) made files a third smaller at the
// same PSNR but took nine times as long; real-time speed 6 made them no smaller.
constexpr const char* kVp9Deadline = "realtime";
constexpr int kVp9Speed = 8;
// libwebp's method (0 fastest .. 6 smallest): 2 takes a third less time than its
// default of 4, for files some 7 per cent larger.
constexpr int kWebPMethod = 2;

// Seconds between keyframes of MP4 and WebM (seeking in a player lands on one).
constexpr double kKeyframeSeconds = 5.0;
// Frames that make the palette of a GIF, spread over the clip.
constexpr int kPaletteFrames = 32;
// Mapping onto a GIF's palette: ordered (Bayer) dithering, which stays still from frame
// to frame where error diffusion crawls, compresses better, and is several times
// faster (error diffusion held a 1280x720 GIF to under 40 frames per second); only the
// rectangle that changed since the frame before is mapped again.
constexpr const char* kPaletteUse = "dither=bayer:bayer_scale=3:diff_mode=rectangle";
// The frame rate as a fraction: denominators up to this (29.97 is 2997/100).
constexpr int kRateDenominator = 100000;

// The lowest and highest frame rates: a frame lasts at most 100 seconds (GIF delays end
// at 655 seconds, and time bases stay exact), at least a millisecond.
constexpr double kMinFps = 0.01;
constexpr double kMaxFps = 1000.0;
// GIF frame delays are whole hundredths of a second, and players show a delay of one
// hundredth as a tenth: 50 frames per second is the most a GIF plays as written.
constexpr double kMaxGifFps = 50.0;
// WebP pictures are at most this wide and high.
constexpr int kMaxWebPSide = 16383;

// Drawn frames: Cairo's ARGB32 in native byte order (BGRA in memory on little-endian).
constexpr AVPixelFormat kDrawnFormat = AV_PIX_FMT_RGB32;

std::string SizeText(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

}  // namespace

int DefaultQuality(VideoFormat format) {
  switch (format) {
    case VideoFormat::kMp4:
      return 67;
    case VideoFormat::kWebM:
      return 55;
    case VideoFormat::kGif:
      return 100;
    case VideoFormat::kWebP:
      return 75;
  }
  return 75;
}

namespace detail {

void CheckSettings(const VideoSettings& settings) {
  const std::string name(VideoFormatName(settings.format));
  const std::string size = SizeText(settings.width, settings.height);
  if (settings.width < 1 || settings.height < 1 || settings.width > kMaxFrameSide || settings.height > kMaxFrameSide) {
    throw HostError("a video must be 1 to " + std::to_string(kMaxFrameSide) + " pixels wide and high, not " + size);
  }
  if (NeedsEvenSize(settings.format) && (settings.width % 2 != 0 || settings.height % 2 != 0)) {
    throw HostError(name + " needs an even width and height, not " + size);
  }
  if (settings.format == VideoFormat::kWebP && (settings.width > kMaxWebPSide || settings.height > kMaxWebPSide)) {
    throw HostError("WebP pictures are at most " + std::to_string(kMaxWebPSide) + " pixels wide and high, not " + size);
  }
  if (settings.frameCount < 1 || settings.frameCount > kMaxFrames) {
    throw HostError("a video must have 1 to " + std::to_string(kMaxFrames) + " frames, not " +
                    std::to_string(settings.frameCount));
  }
  if (!std::isfinite(settings.fps) || settings.fps < kMinFps || settings.fps > kMaxFps) {
    throw HostError("the frame rate must be " + FormatDouble(kMinFps) + " to " + FormatDouble(kMaxFps) +
                    " frames per second, not " + FormatDouble(settings.fps));
  }
  if (settings.format == VideoFormat::kGif && settings.fps > kMaxGifFps) {
    throw HostError("a GIF plays at most " + FormatDouble(kMaxGifFps) + " frames per second, not " +
                    FormatDouble(settings.fps));
  }
  if (settings.quality && (*settings.quality < 1 || *settings.quality > 100)) {
    throw HostError("the quality must be 1 to 100, not " + std::to_string(*settings.quality));
  }
  if (settings.audio && !CarriesSound(settings.format)) {
    throw HostError(name + " carries no sound: cannot add the soundtrack " + settings.audio->string());
  }
}

// ---- The file under the muxer ---------------------------------------------------------------
// The muxer writes through a custom AVIOContext into the temporary file's descriptor, so
// that every write error is seen here (and kept, errno and all). MP4's fast start reads
// the file back through a second context opened by OpenForReading.

namespace {

#if LIBAVFORMAT_VERSION_MAJOR >= 61
using WriteBytes = const std::uint8_t*;
#else
using WriteBytes = std::uint8_t*;
#endif

constexpr int kIoBufferSize = 1 << 16;

int WriteToFile(void* opaque, WriteBytes data, int size) {
  auto& sink = *static_cast<FileSink*>(opaque);
  if (sink.error != 0) return AVERROR(sink.error);
  const std::uint8_t* bytes = data;
  std::size_t left = static_cast<std::size_t>(size);
  while (left > 0) {
    const ssize_t written = pwrite(sink.fd, bytes, left, sink.position);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      sink.error = written < 0 ? errno : ENOSPC;
      return AVERROR(sink.error);
    }
    bytes += written;
    left -= static_cast<std::size_t>(written);
    sink.position += written;
  }
  sink.size = std::max(sink.size, sink.position);
  return size;
}

// The new position for an AVIOContext seek callback, or an AVERROR.
std::int64_t SeekTo(std::int64_t& position, std::int64_t size, std::int64_t offset, int whence) {
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) return size;
  std::int64_t base = 0;
  if (whence == SEEK_CUR) {
    base = position;
  } else if (whence == SEEK_END) {
    base = size;
  } else if (whence != SEEK_SET) {
    return AVERROR(EINVAL);
  }
  if (offset < -base) return AVERROR(EINVAL);
  position = base + offset;
  return position;
}

std::int64_t SeekFile(void* opaque, std::int64_t offset, int whence) {
  auto& sink = *static_cast<FileSink*>(opaque);
  return SeekTo(sink.position, sink.size, offset, whence);
}

// The temporary file read back, from its own position.
struct FileSource {
  int fd = -1;
  std::int64_t position = 0;
  std::int64_t size = 0;
};

int ReadFromFile(void* opaque, std::uint8_t* data, int size) {
  auto& source = *static_cast<FileSource*>(opaque);
  for (;;) {
    const ssize_t got = pread(source.fd, data, static_cast<std::size_t>(size), source.position);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return AVERROR(errno);
    if (got == 0) return AVERROR_EOF;
    source.position += got;
    return static_cast<int>(got);
  }
}

std::int64_t SeekSource(void* opaque, std::int64_t offset, int whence) {
  auto& source = *static_cast<FileSource*>(opaque);
  return SeekTo(source.position, source.size, offset, whence);
}

}  // namespace

int VideoEncoder::OpenForReading(AVFormatContext* muxer, AVIOContext** io, const char* url, int flags,
                                 AVDictionary** /*options*/) {
  const auto* sink = static_cast<const FileSink*>(muxer->opaque);
  // Only the file being written, and only for reading it back.
  if (sink == nullptr || flags != AVIO_FLAG_READ || url == nullptr || muxer->url == nullptr ||
      std::strcmp(url, muxer->url) != 0) {
    return AVERROR(EPERM);
  }
  struct stat status {};
  if (fstat(sink->fd, &status) != 0) return AVERROR(errno);
  auto* source = new (std::nothrow) FileSource{sink->fd, 0, status.st_size};
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  AVIOContext* context = source != nullptr && buffer != nullptr
                             ? avio_alloc_context(buffer, kIoBufferSize, 0, source, ReadFromFile, nullptr, SeekSource)
                             : nullptr;
  if (context == nullptr) {
    av_free(buffer);
    delete source;
    return AVERROR(ENOMEM);
  }
  *io = context;
  return 0;
}

void VideoEncoder::CloseReading(AVFormatContext* /*muxer*/, AVIOContext* io) {
  if (io == nullptr) return;
  delete static_cast<FileSource*>(io->opaque);
  IoContextRelease{}(io);
}

// ---- Opening ------------------------------------------------------------------------------

VideoEncoder::VideoEncoder(const fs::path& file, const VideoSettings& settings)
    : file_(file), settings_(settings), quality_(settings.quality.value_or(DefaultQuality(settings.format))) {
  CaptureFfmpegLog();
  const AVRational rate = av_d2q(settings_.fps, kRateDenominator);
  rateNum_ = rate.num;
  rateDen_ = rate.den;
  // The soundtrack is checked before anything is written.
  if (settings_.audio) soundtrack_ = std::make_unique<Soundtrack>(*settings_.audio);
  output_ = std::make_unique<OutputFile>(file_);
  sink_.fd = output_->Descriptor();

  const char* formatName = "mp4";
  switch (settings_.format) {
    case VideoFormat::kMp4:
      break;
    case VideoFormat::kWebM:
      formatName = "webm";
      break;
    case VideoFormat::kGif:
      formatName = "gif";
      break;
    case VideoFormat::kWebP:
      formatName = "webp";
      break;
  }
  AVFormatContext* muxer = nullptr;
  int code = avformat_alloc_output_context2(&muxer, nullptr, formatName, output_->TemporaryPath().c_str());
  if (code < 0 || muxer == nullptr) WriteFailed(code < 0 ? code : AVERROR(ENOMEM));
  muxer_.reset(muxer);
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  if (buffer == nullptr) throw std::bad_alloc();
  io_.reset(avio_alloc_context(buffer, kIoBufferSize, 1, &sink_, nullptr, WriteToFile, SeekFile));
  if (!io_) {
    av_free(buffer);
    throw std::bad_alloc();
  }
  muxer->pb = io_.get();
  muxer->flags |= AVFMT_FLAG_CUSTOM_IO;
  muxer->opaque = &sink_;
  muxer->io_open = OpenForReading;
  muxer->io_close = CloseReading;

  OpenVideoEncoder();
  if (soundtrack_) {
    soundtrack_->AddStream(muxer, settings_.format == VideoFormat::kMp4 ? SoundCodec::kAac : SoundCodec::kOpus,
                           settings_.frameCount * static_cast<double>(rateDen_) / rateNum_, file_);
  }

  // The muxer's own options: an MP4 with its index first (players start before the end
  // has arrived), animations that loop for ever, a GIF's last frame as long as the rest.
  auto setOption = [&](const char* key, int result) {
    if (result < 0) {
      throw HostError("cannot write " + file_.string() + ": muxer option " + key + ": " + ErrorText(result));
    }
  };
  switch (settings_.format) {
    case VideoFormat::kMp4:
      setOption("movflags", av_opt_set(muxer->priv_data, "movflags", "+faststart", 0));
      break;
    case VideoFormat::kWebM:
      break;
    case VideoFormat::kGif: {
      // Frame k starts at k/fps rounded to hundredths; the last lasts up to N/fps.
      const AVRational timeBase{rateDen_, rateNum_};
      const AVRational hundredths{1, 100};
      const std::int64_t delay = av_rescale_q(settings_.frameCount, timeBase, hundredths) -
                                 av_rescale_q(settings_.frameCount - 1, timeBase, hundredths);
      setOption("loop", av_opt_set_int(muxer->priv_data, "loop", 0, 0));
      setOption("final_delay", av_opt_set_int(muxer->priv_data, "final_delay", std::max<std::int64_t>(delay, 1), 0));
      break;
    }
    case VideoFormat::kWebP:
      setOption("loop", av_opt_set_int(muxer->priv_data, "loop", 0, 0));
      break;
  }
  code = avformat_write_header(muxer, nullptr);
  if (code < 0) WriteFailed(code);
  headerWritten_ = true;
  packet_ = NewPacket();
}

VideoEncoder::~VideoEncoder() {
  // FFmpeg's GIF muxer holds its last packet until the trailer is written and frees it
  // nowhere else: a write that failed or was cancelled still ends with the trailer (into
  // the temporary file, which is removed), so that nothing leaks.
  if (headerWritten_ && !trailerWritten_ && settings_.format == VideoFormat::kGif) av_write_trailer(muxer_.get());
}

void VideoEncoder::OpenVideoEncoder() {
  const char* name = "libx264";
  const char* what = "H.264";
  AVPixelFormat pixels = AV_PIX_FMT_YUV420P;
  switch (settings_.format) {
    case VideoFormat::kMp4:
      break;
    case VideoFormat::kWebM:
      name = "libvpx-vp9";
      what = "VP9";
      break;
    case VideoFormat::kGif:
      name = "gif";
      what = "GIF";
      pixels = AV_PIX_FMT_PAL8;
      break;
    case VideoFormat::kWebP:
      name = "libwebp_anim";
      what = "WebP";
      pixels = kDrawnFormat;
      break;
  }
  const std::string failure = "cannot write " + file_.string() + ": the " + what + " encoder ";
  const AVCodec* codec = avcodec_find_encoder_by_name(name);
  if (codec == nullptr) throw HostError(failure + "(" + name + ") is not in this FFmpeg");
  encoder_.reset(avcodec_alloc_context3(codec));
  if (!encoder_) throw std::bad_alloc();
  AVCodecContext* context = encoder_.get();
  context->width = settings_.width;
  context->height = settings_.height;
  context->pix_fmt = pixels;
  context->sample_aspect_ratio = AVRational{1, 1};
  context->time_base = AVRational{rateDen_, rateNum_};
  context->framerate = AVRational{rateNum_, rateDen_};
  if ((muxer_->oformat->flags & AVFMT_GLOBALHEADER) != 0) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

  auto check = [&](const char* option, int code) {
    if (code < 0) throw HostError(failure + "refuses " + option + ": " + ErrorText(code));
  };
  void* options = context->priv_data;
  const int keyframes = static_cast<int>(std::clamp<long>(std::lround(kKeyframeSeconds * settings_.fps), 1, 1000));
  if (pixels == AV_PIX_FMT_YUV420P) {
    // BT.709, studio range: what the conversion produces, tagged so that players agree.
    context->colorspace = AVCOL_SPC_BT709;
    context->color_primaries = AVCOL_PRI_BT709;
    context->color_trc = AVCOL_TRC_BT709;
    context->color_range = AVCOL_RANGE_MPEG;
    context->gop_size = keyframes;
    // Every core (libavcodec's default is one thread): x264's frame threads, libvpx's
    // tiles and rows.
    context->thread_count = 0;
  }
  switch (settings_.format) {
    case VideoFormat::kMp4:
      check("preset", av_opt_set(options, "preset", kX264Preset, 0));
      check("crf", av_opt_set_double(options, "crf", X264Crf(quality_), 0));
      break;
    case VideoFormat::kWebM:
      context->bit_rate = 0;  // with crf: constant quality
      check("crf", av_opt_set_int(options, "crf", Vp9Crf(quality_), 0));
      check("deadline", av_opt_set(options, "deadline", kVp9Deadline, 0));
      check("cpu-used", av_opt_set_int(options, "cpu-used", kVp9Speed, 0));
      check("row-mt", av_opt_set_int(options, "row-mt", 1, 0));
      // Tiles at least 256 pixels wide, so that the threads share each row of blocks.
      check("tile-columns", av_opt_set_int(options, "tile-columns",
                                           std::clamp(static_cast<int>(std::log2(settings_.width / 256.0)), 0, 2), 0));
      break;
    case VideoFormat::kGif:
      break;
    case VideoFormat::kWebP:
      check("quality", av_opt_set_double(options, "quality", quality_, 0));
      context->compression_level = kWebPMethod;
      break;
  }
  const int code = avcodec_open2(context, codec, nullptr);
  if (code < 0) throw HostError(failure + "cannot start: " + ErrorText(code));

  stream_ = avformat_new_stream(muxer_.get(), nullptr);
  if (stream_ == nullptr) throw std::bad_alloc();
  const int copied = avcodec_parameters_from_context(stream_->codecpar, context);
  if (copied < 0) WriteFailed(copied);
  stream_->time_base = context->time_base;
  stream_->avg_frame_rate = context->framerate;
  stream_->r_frame_rate = context->framerate;
}

// ---- Conversion ---------------------------------------------------------------------------

// The frame as an AVFrame in the drawn format, made opaque: premultiplied pixels are the
// colours over black, which the other formats show for any transparency too.
FramePtr VideoEncoder::OpaqueCopy(const Image& image) const {
  FramePtr frame = NewFrame();
  frame->format = kDrawnFormat;
  frame->width = image.Width();
  frame->height = image.Height();
  if (av_frame_get_buffer(frame.get(), 0) < 0) throw std::bad_alloc();
  const auto width = static_cast<std::size_t>(image.Width());
  for (int y = 0; y < image.Height(); ++y) {
    const std::uint32_t* in = image.Data() + static_cast<std::size_t>(y) * width;
    auto* out = reinterpret_cast<std::uint32_t*>(frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0]);
    for (std::size_t x = 0; x < width; ++x) out[x] = in[x] | 0xFF000000u;
  }
  return frame;
}

std::vector<int> VideoEncoder::PaletteSample() const {
  if (settings_.format != VideoFormat::kGif) return {};
  const int count = std::min(kPaletteFrames, settings_.frameCount);
  std::vector<int> sample;
  for (int i = 0; i < count; ++i) {
    sample.push_back(
        count == 1 ? 0 : static_cast<int>(static_cast<std::int64_t>(i) * (settings_.frameCount - 1) / (count - 1)));
  }
  return sample;
}

namespace {

// A "buffer" source of `width` x `height` frames in `format`, for `graph`.
AVFilterContext* BufferSource(AVFilterGraph* graph, const char* name, int width, int height, int format,
                              AVRational timeBase) {
  const std::string arguments = "video_size=" + SizeText(width, height) + ":pix_fmt=" + std::to_string(format) +
                                ":time_base=" + std::to_string(timeBase.num) + "/" + std::to_string(timeBase.den) +
                                ":pixel_aspect=1/1";
  AVFilterContext* source = nullptr;
  const int code =
      avfilter_graph_create_filter(&source, avfilter_get_by_name("buffer"), name, arguments.c_str(), nullptr, graph);
  return code < 0 ? nullptr : source;
}

AVFilterContext* Filter(AVFilterGraph* graph, const char* filter, const std::string& arguments) {
  AVFilterContext* context = nullptr;
  const int code =
      avfilter_graph_create_filter(&context, avfilter_get_by_name(filter), filter, arguments.c_str(), nullptr, graph);
  return code < 0 ? nullptr : context;
}

}  // namespace

void VideoEncoder::AddPaletteSample(const Image& frame) {
  auto failed = [&](int code) {
    throw HostError("cannot write " + file_.string() + ": cannot make the palette: " + ErrorText(code));
  };
  if (!paletteGraph_) {
    paletteGraph_.reset(avfilter_graph_alloc());
    if (!paletteGraph_) throw std::bad_alloc();
    AVFilterGraph* graph = paletteGraph_.get();
    paletteSource_ = BufferSource(graph, "in", settings_.width, settings_.height, kDrawnFormat, {rateDen_, rateNum_});
    AVFilterContext* generator =
        Filter(graph, "palettegen", "max_colors=" + std::to_string(GifColours(quality_)) + ":reserve_transparent=0");
    paletteSink_ = Filter(graph, "buffersink", "");
    if (paletteSource_ == nullptr || generator == nullptr || paletteSink_ == nullptr) failed(AVERROR(ENOMEM));
    int code = avfilter_link(paletteSource_, 0, generator, 0);
    if (code >= 0) code = avfilter_link(generator, 0, paletteSink_, 0);
    if (code >= 0) code = avfilter_graph_config(graph, nullptr);
    if (code < 0) failed(code);
  }
  const FramePtr copy = OpaqueCopy(frame);
  const int code = av_buffersrc_add_frame(paletteSource_, copy.get());
  if (code < 0) failed(code);
}

void VideoEncoder::MakePalette() {
  auto failed = [&](int code) {
    throw HostError("cannot write " + file_.string() + ": cannot make the palette: " + ErrorText(code));
  };
  if (!paletteGraph_) failed(AVERROR(EINVAL));
  int code = av_buffersrc_add_frame(paletteSource_, nullptr);
  FramePtr palette = NewFrame();
  if (code >= 0) code = av_buffersink_get_frame(paletteSink_, palette.get());
  if (code < 0) failed(code);
  paletteGraph_.reset();
  paletteSource_ = paletteSink_ = nullptr;

  // paletteuse maps every frame onto the palette (see kPaletteUse).
  paletteGraph_.reset(avfilter_graph_alloc());
  if (!paletteGraph_) throw std::bad_alloc();
  AVFilterGraph* graph = paletteGraph_.get();
  frameSource_ = BufferSource(graph, "in", settings_.width, settings_.height, kDrawnFormat, {rateDen_, rateNum_});
  paletteSource_ =
      BufferSource(graph, "palette", palette->width, palette->height, palette->format, {rateDen_, rateNum_});
  AVFilterContext* user = Filter(graph, "paletteuse", kPaletteUse);
  frameSink_ = Filter(graph, "buffersink", "");
  if (frameSource_ == nullptr || paletteSource_ == nullptr || user == nullptr || frameSink_ == nullptr) {
    failed(AVERROR(ENOMEM));
  }
  code = avfilter_link(frameSource_, 0, user, 0);
  if (code >= 0) code = avfilter_link(paletteSource_, 0, user, 1);
  if (code >= 0) code = avfilter_link(user, 0, frameSink_, 0);
  if (code >= 0) code = avfilter_graph_config(graph, nullptr);
  // The palette is the second input's only frame: it holds for every frame.
  palette->pts = 0;
  if (code >= 0) code = av_buffersrc_add_frame(paletteSource_, palette.get());
  if (code >= 0) code = av_buffersrc_add_frame(paletteSource_, nullptr);
  if (code < 0) failed(code);
}

void VideoEncoder::Convert(const Image& frame, int index, const Emit& emit) {
  if (settings_.format == VideoFormat::kWebP) {
    FramePtr copy = OpaqueCopy(frame);
    copy->pts = index;
    emit(std::move(copy));
    return;
  }
  if (settings_.format == VideoFormat::kGif) {
    if (frameSource_ == nullptr) {
      throw HostError("cannot write " + file_.string() + ": a GIF frame came before the palette");
    }
    FramePtr copy = OpaqueCopy(frame);
    copy->pts = index;
    const int code = av_buffersrc_add_frame(frameSource_, copy.get());
    if (code < 0) {
      throw HostError("cannot write " + file_.string() + ": cannot map a frame onto the palette: " + ErrorText(code));
    }
    TakeMapped(emit);
    return;
  }
  if (!scaler_) {
    scaler_.reset(sws_getContext(settings_.width, settings_.height, kDrawnFormat, settings_.width, settings_.height,
                                 AV_PIX_FMT_YUV420P, kConversionFlags, nullptr, nullptr, nullptr));
    if (!scaler_) throw HostError("cannot write " + file_.string() + ": no colour conversion to yuv420p");
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    if (sws_setColorspaceDetails(scaler_.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16) < 0) {
      throw HostError("cannot write " + file_.string() + ": no BT.709 colour conversion");
    }
  }
  FramePtr converted = NewFrame();
  converted->format = AV_PIX_FMT_YUV420P;
  converted->width = settings_.width;
  converted->height = settings_.height;
  if (av_frame_get_buffer(converted.get(), 0) < 0) throw std::bad_alloc();
  const std::uint8_t* planes[1] = {reinterpret_cast<const std::uint8_t*>(frame.Data())};
  const int strides[1] = {frame.Width() * 4};
  if (sws_scale(scaler_.get(), planes, strides, 0, frame.Height(), converted->data, converted->linesize) <= 0) {
    throw HostError("cannot write " + file_.string() + ": colour conversion failed");
  }
  converted->pts = index;
  emit(std::move(converted));
}

void VideoEncoder::EndConversion(const Emit& emit) {
  if (frameSource_ == nullptr) return;
  // Closing the source makes the filter give up what it held back.
  const int code = av_buffersrc_add_frame(frameSource_, nullptr);
  if (code < 0) {
    throw HostError("cannot write " + file_.string() + ": cannot map a frame onto the palette: " + ErrorText(code));
  }
  frameSource_ = nullptr;
  TakeMapped(emit);
}

void VideoEncoder::TakeMapped(const Emit& emit) {
  for (;;) {
    FramePtr mapped = NewFrame();
    const int code = av_buffersink_get_frame(frameSink_, mapped.get());
    if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) return;
    if (code < 0) {
      throw HostError("cannot write " + file_.string() + ": cannot map a frame onto the palette: " + ErrorText(code));
    }
    emit(std::move(mapped));
  }
}

// ---- Encoding -----------------------------------------------------------------------------

void VideoEncoder::Encode(FramePtr frame) {
  const std::int64_t end = frame->pts + 1;
  SendFrame(frame.get());
  frame.reset();
  if (soundtrack_) {
    soundtrack_->WriteUntil(static_cast<double>(end) * rateDen_ / rateNum_,
                            [this](AVPacket& packet) { WritePacket(packet); });
  }
}

void VideoEncoder::SendFrame(const AVFrame* frame) {
  auto failed = [&](int code) {
    throw HostError("cannot write " + file_.string() + ": the " + std::string(VideoFormatName(settings_.format)) +
                    " encoder failed: " + ErrorText(code));
  };
  int code = avcodec_send_frame(encoder_.get(), frame);
  if (code < 0) failed(code);
  for (;;) {
    code = avcodec_receive_packet(encoder_.get(), packet_.get());
    if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) return;
    if (code < 0) failed(code);
    // Every frame lasts one tick of the time base, the last one included.
    if (packet_->duration <= 0) packet_->duration = 1;
    packet_->stream_index = stream_->index;
    av_packet_rescale_ts(packet_.get(), encoder_->time_base, stream_->time_base);
    WritePacket(*packet_);
  }
}

void VideoEncoder::WritePacket(AVPacket& packet) {
  const int code = av_interleaved_write_frame(muxer_.get(), &packet);
  if (code < 0 || sink_.error != 0) WriteFailed(code);
}

void VideoEncoder::WriteFailed(int code) const {
  if (sink_.error != 0) throw HostError(output_->WriteError(sink_.error));
  throw HostError("cannot write " + file_.string() + ": " + ErrorText(code));
}

void VideoEncoder::Finish() {
  SendFrame(nullptr);
  if (soundtrack_) soundtrack_->Finish([this](AVPacket& packet) { WritePacket(packet); });
  trailerWritten_ = true;
  int code = av_write_trailer(muxer_.get());
  if (code < 0) WriteFailed(code);
  avio_flush(io_.get());
  code = io_->error;
  if (code < 0 || sink_.error != 0) WriteFailed(code);
  finished_ = true;
}

void VideoEncoder::Commit() {
  if (!finished_) throw HostError("cannot write " + file_.string() + ": the video is not complete");
  output_->Commit();
}

}  // namespace detail

}  // namespace montage
