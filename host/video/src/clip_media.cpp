// Clips as input media: decoded forward as the render asks for later moments, scaled with
// libswscale to the size they are drawn at, turned upright, and freed while out of sight.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "clip_decoder.h"
#include "montage/clips.h"
#include "montage/pictures.h"

namespace montage {

namespace {

using clips::ClipDecoder;
using detail::FramePtr;

// A jump forward longer than this seeks instead of decoding every frame between, so that
// a render that samples a long clip sparsely (a contact sheet) stays quick.
constexpr double kSeekAheadSeconds = 5.0;

// Decoders open in this process, for the threads each new one gets.
std::atomic<int> g_openDecoders{0};

// Frame threads pay off for a clip decoded alone; with several on screen the render
// decodes them one after another and the cores are better spent without the hand-over.
int DecoderThreads(int asked) {
  if (asked > 0) return asked;
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  return g_openDecoders.load() == 0 ? std::min(cores, 2) : 1;
}

// An open decoder, counted while it lives.
struct CountedDecoder {
  explicit CountedDecoder(const std::filesystem::path& file, int threads) : decoder(file, DecoderThreads(threads)) {
    ++g_openDecoders;
  }
  CountedDecoder(const CountedDecoder&) = delete;
  CountedDecoder& operator=(const CountedDecoder&) = delete;
  ~CountedDecoder() { --g_openDecoders; }
  ClipDecoder decoder;
};

bool SwapsSides(int orientation) { return orientation >= 5 && orientation <= 8; }

// What a clip is, from its header and first frame.
struct Probe {
  ClipInfo info;
  int orientation = 1;
};

Probe ProbeClip(const std::filesystem::path& file) {
  ClipDecoder decoder(file, 1);
  const FramePtr frame = detail::NewFrame();
  if (!decoder.Next(frame.get())) decoder.Fail("it has no frames");
  Probe probe;
  probe.orientation = decoder.Orientation();
  const AVRational aspect = decoder.PixelAspect(frame.get());
  const double shownWidth = std::round(frame->width * av_q2d(aspect));
  if (!(shownWidth >= 1 && shownWidth <= kMaxFrameSide)) {
    decoder.Fail("its frames are shown " + std::to_string(shownWidth) + " pixels wide, more than " +
                 std::to_string(kMaxFrameSide));
  }
  const bool swap = SwapsSides(probe.orientation);
  probe.info.width = swap ? frame->height : static_cast<int>(shownWidth);
  probe.info.height = swap ? static_cast<int>(shownWidth) : frame->height;
  probe.info.seconds = decoder.DeclaredSeconds();
  probe.info.framesPerSecond = decoder.FramesPerSecond();
  probe.info.hasSound = decoder.HasSound();
  return probe;
}

// The size to scale a `width` x `height` media to so that it covers `w` x `h` with its
// own proportions, never larger than the media itself.
std::pair<int, int> CoverSize(int width, int height, int w, int h) {
  const double k = std::max(static_cast<double>(std::max(w, 1)) / width, static_cast<double>(std::max(h, 1)) / height);
  if (k >= 1) return {width, height};
  auto side = [k](int length) { return static_cast<int>(std::clamp(std::ceil(length * k - 1e-6), 1.0, 1.0 * length)); };
  return {side(width), side(height)};
}

// The coefficients libswscale converts YUV with: the frame's own, else what HD and SD
// video use by convention.
const int* YuvCoefficients(const AVFrame* frame) {
  switch (frame->colorspace) {
    case AVCOL_SPC_BT709:
      return sws_getCoefficients(SWS_CS_ITU709);
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      return sws_getCoefficients(SWS_CS_BT2020);
    case AVCOL_SPC_FCC:
      return sws_getCoefficients(SWS_CS_FCC);
    case AVCOL_SPC_SMPTE240M:
      return sws_getCoefficients(SWS_CS_SMPTE240M);
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
      return sws_getCoefficients(SWS_CS_ITU601);
    default:
      return sws_getCoefficients(frame->height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601);
  }
}

bool FullRange(const AVFrame* frame) {
  switch (frame->format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
      return true;
    default:
      return frame->color_range == AVCOL_RANGE_JPEG;
  }
}

class Clip final : public InputMedia {
 public:
  Clip(std::filesystem::path file, ClipOptions options, const Probe& probe)
      : file_(std::move(file)),
        options_(options),
        probe_(probe),
        period_(probe.info.seconds),
        current_(detail::NewFrame()),
        pending_(detail::NewFrame()) {}
  Clip(const Clip&) = delete;
  Clip& operator=(const Clip&) = delete;
  ~Clip() override { sws_freeContext(scaler_); }

  [[nodiscard]] int Width() const override { return probe_.info.width; }
  [[nodiscard]] int Height() const override { return probe_.info.height; }

  const Image& Frame(double seconds, int width, int height) override {
    double t = seconds > 0 ? seconds : 0;  // before the start, and NaN: the first frame
    if (options_.loop) t = Wrap(t);
    Advance(t);
    return Picture(width, height);
  }

  void Suspend() override {
    decoder_.reset();
    Forget();
    sws_freeContext(scaler_);
    scaler_ = nullptr;
    picture_ = Image();
    pictureSerial_ = 0;
  }

 private:
  // `t` within one run of the clip, for looping.
  [[nodiscard]] double Wrap(double t) const {
    if (!(period_ > 0)) return t;
    const double wrapped = std::fmod(t, period_);
    return std::isfinite(wrapped) ? wrapped : 0;
  }

  [[nodiscard]] ClipDecoder& Decoder() const { return decoder_->decoder; }

  void Forget() {
    av_frame_unref(current_.get());
    av_frame_unref(pending_.get());
    hasCurrent_ = hasPending_ = ended_ = false;
  }

  // Starts decoding again at the key frame at or before `t`: a seek, or the file opened
  // anew (and decoded from its start where it cannot seek).
  void Restart(double t) {
    Forget();
    if (decoder_ != nullptr && Decoder().Seek(t)) return;
    Reopen();
    if (t > 0 && !Decoder().Seek(t)) Reopen();
  }

  void Reopen() {
    decoder_.reset();
    decoder_ = std::make_unique<CountedDecoder>(file_, options_.decoderThreads);
  }

  // Makes the current frame the last one at or before `t` (the first frame when `t` is
  // before it; the last frame when `t` is after the end).
  void Advance(double t) {
    // After a seek the first frame may come later than `t`: then from the start.
    bool sought = false;
    if (decoder_ == nullptr ||
        (hasCurrent_ && (t < currentTime_ || (!ended_ && t - currentTime_ > kSeekAheadSeconds)))) {
      Restart(t);
      sought = t > 0;
    }
    for (int wraps = 0;;) {
      if (!hasPending_) {
        if (ended_) return;
        const std::optional<double> time = Decoder().Next(pending_.get());
        if (!time) {
          ended_ = true;
          if (!hasCurrent_ && sought) {  // a seek past the last frame: from the start instead
            Restart(0);
            sought = false;
            continue;
          }
          if (!hasCurrent_) Decoder().Fail("it has no frames");
          CheckComplete();
          const double end = currentTime_ + FrameSeconds();
          if (options_.loop && t >= end && wraps++ < 2) {
            // The clip's real end, now that it is known: loops wrap there.
            period_ = end;
            t = Wrap(t);
            Restart(t);
            sought = t > 0;
            continue;
          }
          return;
        }
        pendingTime_ = *time;
        hasPending_ = true;
      }
      if (!hasCurrent_ && sought && pendingTime_ > t + FrameSeconds()) {
        Restart(0);
        sought = false;
        continue;
      }
      if (hasCurrent_ && pendingTime_ > t) return;
      std::swap(current_, pending_);
      av_frame_unref(pending_.get());
      currentTime_ = pendingTime_;
      hasCurrent_ = true;
      hasPending_ = false;
      ++serial_;
    }
  }

  [[nodiscard]] double FrameSeconds() const {
    const double fps = probe_.info.framesPerSecond;
    return fps > 0 ? 1 / fps : 0.04;
  }

  static std::string Seconds(double t) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", t);
    return text;
  }

  // A file whose frames stop well before the running time it declares was cut short.
  void CheckComplete() const {
    const ClipDecoder& decoder = Decoder();
    if (!decoder.DeclaresVideoSeconds()) return;
    const double end = currentTime_ + FrameSeconds();
    if (end < decoder.DeclaredSeconds() - std::max(0.25, 2 * FrameSeconds())) {
      decoder.Fail("the file ends early: its frames stop at " + Seconds(end) + " of the " +
                   Seconds(decoder.DeclaredSeconds()) + " it declares");
    }
  }

  // The current frame scaled to cover `width` x `height` as shown, turned upright.
  const Image& Picture(int width, int height) {
    const auto [shownWidth, shownHeight] = CoverSize(Width(), Height(), width, height);
    if (pictureSerial_ == serial_ && picture_.Width() == shownWidth && picture_.Height() == shownHeight) {
      return picture_;
    }
    const AVFrame* frame = current_.get();
    const int orientation = probe_.orientation;
    const bool swap = SwapsSides(orientation);
    const int storedWidth = swap ? shownHeight : shownWidth;
    const int storedHeight = swap ? shownWidth : shownHeight;
    const auto format = static_cast<AVPixelFormat>(frame->format);
    scaler_ = sws_getCachedContext(scaler_, frame->width, frame->height, format, storedWidth, storedHeight,
                                   AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (scaler_ == nullptr) {
      const char* name = av_get_pix_fmt_name(format);
      Decoder().Fail(std::string("cannot convert its frames (") + (name != nullptr ? name : "unknown") + ") to RGB");
    }
    sws_setColorspaceDetails(scaler_, YuvCoefficients(frame), FullRange(frame) ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    Image stored = orientation == 1 && picture_.Width() == storedWidth && picture_.Height() == storedHeight
                       ? std::move(picture_)
                       : Image(storedWidth, storedHeight);
    std::uint8_t* planes[4] = {reinterpret_cast<std::uint8_t*>(stored.Data()), nullptr, nullptr, nullptr};
    const int strides[4] = {storedWidth * 4, 0, 0, 0};
    sws_scale(scaler_, frame->data, frame->linesize, 0, frame->height, planes, strides);
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    if (descriptor != nullptr && (descriptor->flags & AV_PIX_FMT_FLAG_ALPHA) != 0) {
      // Clips are shown opaque; their alpha, not premultiplied, would not fit the picture.
      std::uint32_t* pixel = stored.Data();
      const std::size_t count = static_cast<std::size_t>(storedWidth) * static_cast<std::size_t>(storedHeight);
      for (std::size_t i = 0; i < count; ++i) pixel[i] |= 0xFF000000u;
    }
    picture_ = TurnUpright(std::move(stored), orientation);
    pictureSerial_ = serial_;
    return picture_;
  }

  std::filesystem::path file_;
  ClipOptions options_;
  Probe probe_;
  double period_;                            // running time, for loops: as declared, then as found at the end
  std::unique_ptr<CountedDecoder> decoder_;  // none while suspended
  FramePtr current_;                         // the frame shown
  FramePtr pending_;                         // the one after it, decoded ahead
  double currentTime_ = 0;
  double pendingTime_ = 0;
  bool hasCurrent_ = false;
  bool hasPending_ = false;
  bool ended_ = false;        // the decoder has given its last frame
  std::uint64_t serial_ = 0;  // counts the frames made current
  SwsContext* scaler_ = nullptr;
  Image picture_;                    // the current frame as last scaled
  std::uint64_t pictureSerial_ = 0;  // serial_ of the frame in picture_; 0 for none
};

}  // namespace

ClipInfo ReadClipInfo(const std::filesystem::path& file) { return ProbeClip(file).info; }

std::shared_ptr<InputMedia> OpenClip(const std::filesystem::path& file, ClipOptions options) {
  return std::make_shared<Clip>(file, options, ProbeClip(file));
}

}  // namespace montage
