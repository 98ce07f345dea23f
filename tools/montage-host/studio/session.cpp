// A page's session: its template, settings, media and renderer.
#include "session.h"

#include <algorithm>
#include <set>
#include <utility>

#include "montage/pictures.h"
#include "montage/render_video.h"
#include "montage/timeline.h"
#include "request_error.h"

namespace studio {

namespace fs = std::filesystem;
using montage::HostError;

namespace {

// Whether two animations show the same: a rebuilt library that gives the same keyframes
// changes nothing on the page.
bool SameAnimation(const montage::Animation& a, const montage::Animation& b) {
  if (a.info.name != b.info.name || a.info.displayName != b.info.displayName || a.inputCount != b.inputCount ||
      a.info.minInputs != b.info.minInputs || a.info.maxInputs != b.info.maxInputs ||
      a.info.defaultInputs != b.info.defaultInputs || a.info.templateCode != b.info.templateCode ||
      a.settings.size() != b.settings.size()) {
    return false;
  }
  for (std::size_t k = 0; k < a.settings.size(); ++k) {
    if (!montage::SameBits(a.settings[k], b.settings[k])) return false;
  }
  return true;
}

// The input count a template is built with when none is chosen.
int DefaultInputs(const montage::TemplateInfo& info) {
  const int count = info.defaultInputs > 0 ? info.defaultInputs : std::max(1, info.minInputs);
  return std::clamp(count, 1, montage::kMaxInputs);
}

std::string Personal(std::string message, const std::vector<std::shared_ptr<MediaItem>>& media) {
  for (const auto& item : media) {
    const std::string path = item->File().string();
    const std::string name = "'" + item->Name() + "'";
    for (std::size_t at = message.find(path); at != std::string::npos; at = message.find(path, at + name.size())) {
      message.replace(at, path.size(), name);
    }
  }
  return message;
}

}  // namespace

Session::Session(std::string id, const PluginShelf& shelf) : id_(std::move(id)), shelf_(shelf) {}

void Session::Touch(std::chrono::steady_clock::duration lifetime) {
  const std::lock_guard lock(stateMutex_);
  deadline_ = std::chrono::steady_clock::now() + lifetime;
}

bool Session::Expired(std::chrono::steady_clock::time_point now) const {
  const std::lock_guard lock(stateMutex_);
  return now > deadline_;
}

SessionSettings Session::Settings() const {
  const std::lock_guard lock(stateMutex_);
  return settings_;
}

void Session::Changed() { ++changes_; }

void Session::SetSettings(const SessionSettings& settings) {
  const std::lock_guard lock(stateMutex_);
  settings_ = settings;
  Changed();
}

std::vector<std::shared_ptr<MediaItem>> Session::Media() const {
  const std::lock_guard lock(stateMutex_);
  return media_;
}

void Session::AddMedia(std::shared_ptr<MediaItem> item) {
  const std::lock_guard lock(stateMutex_);
  media_.push_back(std::move(item));
  Changed();
}

void Session::ArrangeMedia(const std::vector<std::string>& ids) {
  const std::lock_guard lock(stateMutex_);
  std::vector<std::shared_ptr<MediaItem>> arranged;
  std::set<std::string> seen;
  for (const std::string& id : ids) {
    if (!seen.insert(id).second) throw RequestError(400, "media " + id + " is listed twice");
    const auto found = std::ranges::find_if(media_, [&](const auto& item) { return item->Id() == id; });
    if (found == media_.end()) throw RequestError(400, "this page has no media " + id);
    arranged.push_back(*found);
  }
  media_ = std::move(arranged);
  Changed();
}

bool Session::RemoveMedia(const std::string& id) {
  const std::lock_guard lock(stateMutex_);
  const std::size_t removed = std::erase_if(media_, [&](const auto& item) { return item->Id() == id; });
  if (removed > 0) Changed();
  return removed > 0;
}

SessionView Session::View() {
  const SessionSettings settings = Settings();
  std::uint64_t changes = 0;
  {
    const std::lock_guard lock(stateMutex_);
    changes = changes_;
  }
  const std::lock_guard lock(viewMutex_);
  const std::shared_ptr<const ShelfState> state = shelf_.State();
  const TemplateEntry* entry = settings.library.empty() ? nullptr : state->Find(TemplateId(settings.library));
  const int inputs = settings.inputs > 0 ? settings.inputs : (entry != nullptr ? DefaultInputs(entry->info) : 0);
  const BuiltFor wanted{state->generation, settings.library, inputs};
  if (wanted != built_) {
    built_ = wanted;
    std::shared_ptr<const montage::Animation> animation;
    std::string error;
    if (settings.library.empty()) {
      error = "no template chosen";
    } else if (entry == nullptr) {
      const montage::PluginFailure* failure = state->FailureOf(settings.library);
      error = failure != nullptr ? failure->reason
                                 : settings.library.filename().string() + " is no longer on the plug-in path";
    } else {
      try {
        animation = std::make_shared<const montage::Animation>(shelf_.Build(settings.library, inputs));
      } catch (const HostError& failure) {
        error = failure.what();
      } catch (const std::bad_alloc&) {
        error = "out of memory building " + entry->info.name + " for " + std::to_string(inputs) + " inputs";
      }
    }
    const bool same =
        animation && view_.animation ? SameAnimation(*animation, *view_.animation) : !animation && !view_.animation;
    if (!same || error != view_.error) {
      ++contentVersion_;
      view_.animation = std::move(animation);
      view_.error = std::move(error);
    }
  }
  view_.entry = entry != nullptr ? std::optional<TemplateEntry>(*entry) : std::nullopt;
  view_.version = changes + contentVersion_;
  return view_;
}

std::string Session::Frame(double time, int width, int height, FrameFormat format, int quality) {
  const SessionView view = View();
  if (!view.animation) throw RequestError(409, view.error);
  const SessionSettings settings = Settings();
  const std::vector<std::shared_ptr<MediaItem>> media = Media();
  DrawnFor wanted{view.animation, {}, settings.seconds, settings.fit, settings.loopClips, settings.width,
                  settings.height};
  for (const auto& item : media) wanted.media.push_back(item->Id());

  const std::lock_guard lock(drawMutex_);
  try {
    if (!renderer_ || wanted != drawnFor_) {
      renderer_.reset();
      std::vector<fs::path> files;
      for (const auto& item : media) files.push_back(item->File());
      std::vector<std::shared_ptr<montage::InputMedia>> opened = montage::OpenInputMedia(
          *view.animation, files, montage::ClipOptions{settings.loopClips, 0}, settings.width, settings.height);
      renderer_.emplace(*view.animation, std::move(opened), montage::RenderSettings{settings.seconds, settings.fit});
      drawnFor_ = std::move(wanted);
    }
    if (!target_ || target_->Width() != width || target_->Height() != height) target_.emplace(width, height);
    renderer_->RenderInto(*target_, time);
  } catch (const RequestError&) {
    throw;
  } catch (const HostError& error) {
    renderer_.reset();  // a clip that failed half-way is opened anew next time
    throw RequestError(422, Personal(error.what(), media));
  }
  return format == FrameFormat::kPng ? montage::EncodePng(*target_) : montage::EncodeJpeg(*target_, quality);
}

std::string Session::TimelinePng() {
  const SessionView view = View();
  if (!view.animation) throw RequestError(409, view.error);
  const std::lock_guard lock(viewMutex_);
  if (timelineOf_ != view.animation) {
    timelinePng_ = montage::EncodePng(montage::TimelineImage(*view.animation));
    timelineOf_ = view.animation;
  }
  return timelinePng_;
}

}  // namespace studio
