// Videos rendered on the studio's own threads, a few at a time, in the order asked.
//
// A render is fixed when it is asked for (RenderOrder): the animation as the page shows
// it, the uploads it uses (held until it ends, so removing one from the page does not
// pull it from under the render), the drawing and video settings. Each render opens its
// own media (montage::OpenInputMedia) and builds its own Renderer, so it shares nothing
// that draws with the page's scrubbing. The file is written by WriteVideo under a
// temporary name and appears only complete; it is removed when the job is forgotten or
// the queue ends.
//
// Renders give way to the scrubber: the render threads run at a lower scheduling
// priority (every thread the video writer and its encoders start inherits it), and
// before each frame a render calls `yield`, which the studio makes wait while a
// frame for a page is being drawn.
//
// Threads: every member may be used from several threads at once. The destructor
// cancels what runs, drops what waits and joins the workers.
#ifndef MONTAGE_STUDIO_RENDER_QUEUE_H
#define MONTAGE_STUDIO_RENDER_QUEUE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media_store.h"
#include "montage/clips.h"
#include "montage/drawing.h"
#include "montage/video_writer.h"

namespace studio {

struct RenderOrder {
  std::string session;  // the session that asked
  std::shared_ptr<const montage::Animation> animation;
  std::vector<std::shared_ptr<MediaItem>> media;  // input i shows media[i % size]; none: cards
  montage::RenderSettings drawing;
  montage::ClipOptions clips;
  montage::VideoSettings video;  // frameCount set
  std::string fileName;          // the name the download gets
};

enum class RenderState { kQueued, kRunning, kDone, kFailed, kCancelled };
const char* RenderStateName(RenderState state);

struct RenderStatus {
  RenderState state = RenderState::kQueued;
  int framesDone = 0;
  int frameCount = 0;
  double elapsedSeconds = 0;
  std::string error;  // why it failed
  std::uintmax_t fileBytes = 0;
};

class RenderJob {
 public:
  RenderJob(std::string id, RenderOrder order, std::filesystem::path file);
  RenderJob(const RenderJob&) = delete;
  RenderJob& operator=(const RenderJob&) = delete;
  ~RenderJob();  // removes the file

  [[nodiscard]] const std::string& Id() const { return id_; }
  [[nodiscard]] const RenderOrder& Order() const { return order_; }
  // The finished video; only for a job whose state is kDone.
  [[nodiscard]] const std::filesystem::path& File() const { return file_; }
  [[nodiscard]] RenderStatus Status() const;

 private:
  void Cancel() { cancel_.store(true); }
  friend class RenderQueue;
  void Run(const std::function<void()>& yield);
  void SetState(RenderState state, std::string error = {});

  std::string id_;
  RenderOrder order_;
  std::filesystem::path file_;
  std::atomic<bool> cancel_{false};
  mutable std::mutex mutex_;
  RenderStatus status_;
  std::chrono::steady_clock::time_point started_;
};

class RenderQueue {
 public:
  // Renders into `folder` on `workers` threads; `yield` is called before each frame.
  RenderQueue(std::filesystem::path folder, int workers, std::function<void()> yield);
  RenderQueue(const RenderQueue&) = delete;
  RenderQueue& operator=(const RenderQueue&) = delete;
  ~RenderQueue();

  // Queues a render. Throws RequestError 429 when its session has kMaxWaiting renders
  // queued or running already. A session keeps its last kMaxKept finished renders.
  std::shared_ptr<RenderJob> Submit(RenderOrder order);
  // The job `id` of `session`; null when there is none.
  [[nodiscard]] std::shared_ptr<RenderJob> Find(const std::string& session, const std::string& id) const;
  // The jobs of `session`, oldest first.
  [[nodiscard]] std::vector<std::shared_ptr<RenderJob>> OfSession(const std::string& session) const;
  // Cancels the job `id` of `session`: at once when it waits, at its next frame when it
  // runs. False when there is no such job.
  bool Cancel(const std::string& session, const std::string& id);
  // Cancels the job and drops it with its file (once its worker lets go).
  bool Forget(const std::string& session, const std::string& id);
  // Cancels every job of `session`; `forget` drops them too.
  void CancelSession(const std::string& session, bool forget);

  static constexpr int kMaxWaiting = 3;
  static constexpr int kMaxKept = 8;

 private:
  void Work();
  void CancelLocked(const std::shared_ptr<RenderJob>& job);

  std::filesystem::path folder_;
  std::function<void()> yield_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::deque<std::shared_ptr<RenderJob>> waiting_;
  std::vector<std::shared_ptr<RenderJob>> jobs_;  // every job not forgotten, oldest first
  std::vector<std::thread> workers_;
};

}  // namespace studio

#endif  // MONTAGE_STUDIO_RENDER_QUEUE_H
