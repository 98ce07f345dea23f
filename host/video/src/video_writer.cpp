// Video files written from frames drawn on demand. Three threads share the work: the
// calling thread draws into a small pool of images, a converter thread turns each drawn
// image into the encoder's pixel format, and an encoder thread encodes and writes. The
// queues between them are bounded, so memory stays the same whatever the running time.
#include "montage/video_writer.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ffmpeg_support.h"
#include "video_encoder.h"

namespace montage {

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Drawn images in flight: one being drawn, one waiting, one being converted.
constexpr int kDrawnImages = 3;
// Converted frames waiting for the encoder.
constexpr std::size_t kWaitingFrames = 2;
// How often the calling thread looks at `cancel` while the encoder drains at the end.
constexpr std::chrono::milliseconds kCancelPoll{50};

// What the drawing thread hands the converter.
struct Drawn {
  enum class Kind { kPaletteSample, kPaletteEnd, kFrame };
  Kind kind = Kind::kFrame;
  Image* image = nullptr;  // one of the pool's, returned once converted
  int index = 0;
};

class Pipeline {
 public:
  Pipeline(detail::VideoEncoder& encoder, const VideoSettings& settings) : encoder_(encoder) {
    images_.reserve(kDrawnImages);
    for (int i = 0; i < kDrawnImages; ++i) images_.emplace_back(settings.width, settings.height);
    for (Image& image : images_) free_.push_back(&image);
    converterThread_ = std::thread([this] { RunConverter(); });
    try {
      encoderThread_ = std::thread([this] { RunEncoder(); });
    } catch (...) {
      Stop();
      converterThread_.join();
      throw;
    }
  }
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;
  // Abandons whatever is in flight: the threads stop after their current step.
  ~Pipeline() {
    Stop();
    Join();
  }

  // A pool image to draw into, once one is free; null when the pipeline has stopped.
  Image* TakeImage() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stopped_ || !free_.empty(); });
    if (stopped_) return nullptr;
    Image* image = free_.back();
    free_.pop_back();
    return image;
  }

  void Submit(Drawn drawn) {
    {
      const std::lock_guard lock(mutex_);
      drawn_.push_back(drawn);
    }
    changed_.notify_all();
  }

  void EndDrawing() {
    {
      const std::lock_guard lock(mutex_);
      drawingDone_ = true;
    }
    changed_.notify_all();
  }

  [[nodiscard]] int FramesDone() {
    const std::lock_guard lock(mutex_);
    return framesDone_;
  }

  // Waits until the file is complete, handing `report` the frames encoded as they grow
  // and returning early (false) when `stop` says so. Rethrows a failure of the threads.
  template <typename Report, typename StopAsked>
  bool WaitForEncoder(const Report& report, const StopAsked& stop) {
    for (;;) {
      std::unique_lock lock(mutex_);
      changed_.wait_for(lock, kCancelPoll, [&] { return stopped_ || encodingDone_ || framesDone_ != reported_; });
      if (stopped_) {
        lock.unlock();
        Rethrow();
      }
      reported_ = framesDone_;
      const bool done = encodingDone_;
      const int frames = framesDone_;
      lock.unlock();
      report(frames);
      if (done) return true;
      if (stop()) return false;
    }
  }

  // The failure that stopped the threads.
  [[noreturn]] void Rethrow() {
    std::exception_ptr error;
    {
      const std::lock_guard lock(mutex_);
      error = error_;
    }
    if (error) std::rethrow_exception(error);
    throw HostError("the video was abandoned");
  }

  void Join() {
    if (converterThread_.joinable()) converterThread_.join();
    if (encoderThread_.joinable()) encoderThread_.join();
  }

  // After Join.
  [[nodiscard]] double ConvertSeconds() const { return convertSeconds_; }
  [[nodiscard]] double EncodeSeconds() const { return encodeSeconds_; }

 private:
  void Stop() {
    {
      const std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_all();
  }

  void Fail(std::exception_ptr error) {
    {
      const std::lock_guard lock(mutex_);
      if (!error_) error_ = std::move(error);
      stopped_ = true;
    }
    changed_.notify_all();
  }

  void RunConverter() {
    try {
      std::vector<detail::FramePtr> ready;
      const detail::VideoEncoder::Emit emit = [&](detail::FramePtr frame) { ready.push_back(std::move(frame)); };
      for (;;) {
        Drawn drawn;
        {
          std::unique_lock lock(mutex_);
          changed_.wait(lock, [&] { return stopped_ || !drawn_.empty() || drawingDone_; });
          if (stopped_) return;
          if (drawn_.empty()) break;
          drawn = drawn_.front();
          drawn_.pop_front();
        }
        const Clock::time_point start = Clock::now();
        switch (drawn.kind) {
          case Drawn::Kind::kPaletteSample:
            encoder_.AddPaletteSample(*drawn.image);
            break;
          case Drawn::Kind::kPaletteEnd:
            encoder_.MakePalette();
            break;
          case Drawn::Kind::kFrame:
            encoder_.Convert(*drawn.image, drawn.index, emit);
            break;
        }
        const double seconds = SecondsSince(start);
        {
          const std::lock_guard lock(mutex_);
          convertSeconds_ += seconds;
          if (drawn.image != nullptr) free_.push_back(drawn.image);
        }
        changed_.notify_all();
        if (!Hand(ready)) return;
      }
      const Clock::time_point start = Clock::now();
      encoder_.EndConversion(emit);
      const double seconds = SecondsSince(start);
      if (!Hand(ready)) return;
      {
        const std::lock_guard lock(mutex_);
        convertSeconds_ += seconds;
        conversionDone_ = true;
      }
      changed_.notify_all();
    } catch (...) {
      Fail(std::current_exception());
    }
  }

  // Queues converted frames for the encoder, waiting for room; false when stopped.
  bool Hand(std::vector<detail::FramePtr>& ready) {
    for (detail::FramePtr& frame : ready) {
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || converted_.size() < kWaitingFrames; });
        if (stopped_) return false;
        converted_.push_back(std::move(frame));
      }
      changed_.notify_all();
    }
    ready.clear();
    return true;
  }

  void RunEncoder() {
    try {
      for (;;) {
        detail::FramePtr frame;
        {
          std::unique_lock lock(mutex_);
          changed_.wait(lock, [&] { return stopped_ || !converted_.empty() || conversionDone_; });
          if (stopped_) return;
          if (converted_.empty()) break;
          frame = std::move(converted_.front());
          converted_.pop_front();
        }
        changed_.notify_all();
        const Clock::time_point start = Clock::now();
        encoder_.Encode(std::move(frame));
        const double seconds = SecondsSince(start);
        {
          const std::lock_guard lock(mutex_);
          encodeSeconds_ += seconds;
          ++framesDone_;
        }
        changed_.notify_all();
      }
      const Clock::time_point start = Clock::now();
      encoder_.Finish();
      const double seconds = SecondsSince(start);
      {
        const std::lock_guard lock(mutex_);
        encodeSeconds_ += seconds;
        encodingDone_ = true;
      }
      changed_.notify_all();
    } catch (...) {
      Fail(std::current_exception());
    }
  }

  detail::VideoEncoder& encoder_;
  std::vector<Image> images_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Image*> free_;
  std::deque<Drawn> drawn_;
  std::deque<detail::FramePtr> converted_;
  bool drawingDone_ = false;
  bool conversionDone_ = false;
  bool encodingDone_ = false;
  bool stopped_ = false;
  std::exception_ptr error_;
  int framesDone_ = 0;
  int reported_ = -1;
  double convertSeconds_ = 0;
  double encodeSeconds_ = 0;
  std::thread converterThread_;
  std::thread encoderThread_;
};

}  // namespace

VideoTimings WriteVideo(const std::filesystem::path& file, const VideoSettings& settings, const FrameSource& source,
                        const std::function<void(const VideoProgress&)>& progress, const std::atomic<bool>* cancel) {
  const Clock::time_point start = Clock::now();
  detail::CheckSettings(settings);
  auto cancelled = [&] { return cancel != nullptr && cancel->load(); };
  int reported = 0;
  auto report = [&](int frames) {
    if (!progress || frames == reported) return;
    reported = frames;
    progress(VideoProgress{frames, settings.frameCount, SecondsSince(start)});
  };

  detail::VideoEncoder encoder(file, settings);
  // Destroyed before the encoder: its threads stop before the encoder goes.
  Pipeline pipeline(encoder, settings);
  VideoTimings timings;
  auto draw = [&](Drawn::Kind kind, int index) {
    if (cancelled()) throw Cancelled();
    Image* image = pipeline.TakeImage();
    if (image == nullptr) pipeline.Rethrow();
    const Clock::time_point drawing = Clock::now();
    source(index, *image);
    timings.drawSeconds += SecondsSince(drawing);
    // The source may assign to the frame; a frame of another size cannot be converted.
    if (image->Width() != settings.width || image->Height() != settings.height) {
      throw HostError("cannot write " + file.string() + ": frame " + std::to_string(index) + " was drawn " +
                      std::to_string(image->Width()) + "x" + std::to_string(image->Height()) + ", not " +
                      std::to_string(settings.width) + "x" + std::to_string(settings.height));
    }
    pipeline.Submit(Drawn{kind, image, index});
    report(pipeline.FramesDone());
  };
  const std::vector<int> sample = encoder.PaletteSample();
  for (const int index : sample) draw(Drawn::Kind::kPaletteSample, index);
  if (!sample.empty()) pipeline.Submit(Drawn{Drawn::Kind::kPaletteEnd, nullptr, 0});
  for (int index = 0; index < settings.frameCount; ++index) draw(Drawn::Kind::kFrame, index);
  pipeline.EndDrawing();

  if (!pipeline.WaitForEncoder(report, cancelled)) throw Cancelled();
  pipeline.Join();
  if (cancelled()) throw Cancelled();
  encoder.Commit();
  timings.convertSeconds = pipeline.ConvertSeconds();
  timings.encodeSeconds = pipeline.EncodeSeconds();
  return timings;
}

}  // namespace montage
