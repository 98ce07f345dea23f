// The studio's render queue.
#include "render_queue.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <utility>

#include "http_guard.h"
#include "montage/render_video.h"
#include "request_error.h"

namespace studio {

namespace fs = std::filesystem;

namespace {

// How much lower than the studio's other threads renders run (nice steps).
constexpr int kRenderNiceness = 10;

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace

const char* RenderStateName(RenderState state) {
  switch (state) {
    case RenderState::kQueued:
      return "queued";
    case RenderState::kRunning:
      return "running";
    case RenderState::kDone:
      return "done";
    case RenderState::kFailed:
      return "failed";
    case RenderState::kCancelled:
      return "cancelled";
  }
  return "unknown";
}

// ---- RenderJob ------------------------------------------------------------------------------

RenderJob::RenderJob(std::string id, RenderOrder order, fs::path file)
    : id_(std::move(id)), order_(std::move(order)), file_(std::move(file)) {
  status_.frameCount = order_.video.frameCount;
}

RenderJob::~RenderJob() {
  std::error_code ignored;
  fs::remove(file_, ignored);
}

RenderStatus RenderJob::Status() const {
  const std::lock_guard lock(mutex_);
  RenderStatus status = status_;
  if (status.state == RenderState::kRunning) {
    status.elapsedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  }
  return status;
}

void RenderJob::SetState(RenderState state, std::string error) {
  const std::lock_guard lock(mutex_);
  if (status_.state == RenderState::kRunning) {
    status_.elapsedSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  }
  status_.state = state;
  status_.error = std::move(error);
  if (state == RenderState::kRunning) started_ = std::chrono::steady_clock::now();
  if (state == RenderState::kDone) {
    std::error_code ignored;
    status_.fileBytes = fs::file_size(file_, ignored);
  }
}

void RenderJob::Run(const std::function<void()>& yield) {
  if (cancel_.load()) {
    SetState(RenderState::kCancelled);
    return;
  }
  SetState(RenderState::kRunning);
  // Messages name the private files as the person knows them.
  auto personal = [&](std::string message) {
    for (const auto& item : order_.media) message = Replaced(message, item->File().string(), "'" + item->Name() + "'");
    return Replaced(message, file_.string(), order_.fileName);
  };
  try {
    std::vector<fs::path> files;
    for (const auto& item : order_.media) files.push_back(item->File());
    const montage::VideoSettings& video = order_.video;
    std::vector<std::shared_ptr<montage::InputMedia>> media =
        montage::OpenInputMedia(*order_.animation, files, order_.clips, video.width, video.height);
    montage::Renderer renderer(*order_.animation, std::move(media), order_.drawing);
    const int count = video.frameCount;
    montage::WriteVideo(
        file_, video,
        [&](int index, montage::Image& frame) {
          if (yield) yield();
          renderer.RenderInto(frame, montage::VideoFrameTime(index, count));
        },
        [&](const montage::VideoProgress& progress) {
          const std::lock_guard lock(mutex_);
          status_.framesDone = progress.framesDone;
          status_.frameCount = progress.frameCount;
        },
        &cancel_);
    SetState(RenderState::kDone);
  } catch (const montage::Cancelled&) {
    SetState(RenderState::kCancelled);
  } catch (const std::bad_alloc&) {
    SetState(RenderState::kFailed, "out of memory");
  } catch (const std::exception& error) {
    SetState(RenderState::kFailed, personal(error.what()));
  }
}

// ---- RenderQueue ----------------------------------------------------------------------------

RenderQueue::RenderQueue(fs::path folder, int workers, std::function<void()> yield)
    : folder_(std::move(folder)), yield_(std::move(yield)) {
  for (int k = 0; k < std::max(1, workers); ++k) workers_.emplace_back([this] { Work(); });
}

RenderQueue::~RenderQueue() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    for (const auto& job : jobs_) job->Cancel();
    waiting_.clear();
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void RenderQueue::Work() {
  // Lower this thread's priority; the threads it starts (colour conversion, encoding,
  // the encoders' own) inherit it.
  setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kRenderNiceness);
  for (;;) {
    std::shared_ptr<RenderJob> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
      job = std::move(waiting_.front());
      waiting_.pop_front();
    }
    job->Run(yield_);
  }
}

std::shared_ptr<RenderJob> RenderQueue::Submit(RenderOrder order) {
  const std::string extension(montage::VideoFormatExtension(order.video.format));
  const std::string id = RandomHex(kIdBytes);
  auto job = std::make_shared<RenderJob>(id, std::move(order), folder_ / (id + extension));
  {
    const std::lock_guard lock(mutex_);
    const std::string& session = job->Order().session;
    int active = 0;
    std::vector<std::shared_ptr<RenderJob>> finished;
    for (const auto& other : jobs_) {
      if (other->Order().session != session) continue;
      const RenderState state = other->Status().state;
      if (state == RenderState::kQueued || state == RenderState::kRunning) {
        ++active;
      } else {
        finished.push_back(other);
      }
    }
    if (active >= kMaxWaiting) {
      throw RequestError(429, "this page has " + std::to_string(active) +
                                  " renders queued or running already; wait for one or cancel it");
    }
    // The oldest finished renders of the session make room.
    for (std::size_t k = 0; k + kMaxKept <= finished.size(); ++k) std::erase(jobs_, finished[k]);
    jobs_.push_back(job);
    waiting_.push_back(job);
  }
  wake_.notify_one();
  return job;
}

std::shared_ptr<RenderJob> RenderQueue::Find(const std::string& session, const std::string& id) const {
  const std::lock_guard lock(mutex_);
  for (const auto& job : jobs_) {
    if (job->Id() == id && job->Order().session == session) return job;
  }
  return nullptr;
}

std::vector<std::shared_ptr<RenderJob>> RenderQueue::OfSession(const std::string& session) const {
  const std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<RenderJob>> jobs;
  for (const auto& job : jobs_) {
    if (job->Order().session == session) jobs.push_back(job);
  }
  return jobs;
}

bool RenderQueue::Cancel(const std::string& session, const std::string& id) {
  const std::lock_guard lock(mutex_);
  for (const auto& job : jobs_) {
    if (job->Id() != id || job->Order().session != session) continue;
    CancelLocked(job);
    return true;
  }
  return false;
}

void RenderQueue::CancelLocked(const std::shared_ptr<RenderJob>& job) {
  job->Cancel();
  // A job that has not started ends at once; a running one at its next frame.
  if (std::erase(waiting_, job) > 0) job->SetState(RenderState::kCancelled);
}

bool RenderQueue::Forget(const std::string& session, const std::string& id) {
  const std::lock_guard lock(mutex_);
  const auto found =
      std::ranges::find_if(jobs_, [&](const auto& job) { return job->Id() == id && job->Order().session == session; });
  if (found == jobs_.end()) return false;
  (*found)->Cancel();
  std::erase(waiting_, *found);
  jobs_.erase(found);
  return true;
}

void RenderQueue::CancelSession(const std::string& session, bool forget) {
  const std::lock_guard lock(mutex_);
  for (const auto& job : jobs_) {
    if (job->Order().session == session) CancelLocked(job);
  }
  if (forget) std::erase_if(jobs_, [&](const auto& job) { return job->Order().session == session; });
}

}  // namespace studio
