// One open page of the studio: the template it shows, its settings and pictures, and
// the renderer that draws its frames.
//
// What a session shows is built when it is asked for: the animation of its template
// (from a fresh load: PluginShelf::Build) whenever the template, the input count or the
// catalog's generation changed, and a Renderer whenever the animation, the media or a
// drawing setting changed. Media are opened as `montage-host render` opens them
// (montage::OpenInputMedia at the output size), so a frame drawn for the page at the
// output size is the frame a render writes for that time. Version() grows with every
// change a page must redraw for, its own or a rebuilt plug-in's.
//
// Threads: every member may be used from several threads at once. Frames are drawn
// one at a time (a Renderer is used by one thread at a time); the settings, the media
// list and the view have locks of their own, so a status request never waits for a
// frame being drawn.
#ifndef MONTAGE_STUDIO_SESSION_H
#define MONTAGE_STUDIO_SESSION_H

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "media_store.h"
#include "montage/drawing.h"
#include "montage/host.h"
#include "plugin_shelf.h"

namespace studio {

struct SessionSettings {
  std::filesystem::path library;  // the template's plug-in file; empty: none chosen
  int inputs = 0;                 // 0: the template's default input count
  double seconds = 2.0;           // running time of the effect
  double fps = 30.0;
  montage::Fit fit = montage::Fit::kCover;
  bool loopClips = false;
  int width = 1280;  // output size of renders; frames for the page keep its proportions
  int height = 720;
};

// What a session shows now.
struct SessionView {
  std::uint64_t version = 0;
  std::optional<TemplateEntry> entry;                   // the template, while the catalog has it
  std::shared_ptr<const montage::Animation> animation;  // null when it cannot be built
  std::string error;                                    // why not
};

enum class FrameFormat { kJpeg, kPng };

class Session {
 public:
  Session(std::string id, const PluginShelf& shelf);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  [[nodiscard]] const std::string& Id() const { return id_; }

  // The session stays alive until `lifetime` from now (each request of its page).
  void Touch(std::chrono::steady_clock::duration lifetime);
  [[nodiscard]] bool Expired(std::chrono::steady_clock::time_point now) const;

  [[nodiscard]] SessionSettings Settings() const;
  void SetSettings(const SessionSettings& settings);

  [[nodiscard]] std::vector<std::shared_ptr<MediaItem>> Media() const;
  void AddMedia(std::shared_ptr<MediaItem> item);
  // Keeps the media of `ids`, in that order; throws RequestError 400 for an id the
  // session does not have or one given twice.
  void ArrangeMedia(const std::vector<std::string>& ids);
  bool RemoveMedia(const std::string& id);

  // Builds what changed since the last call (see the top) and returns what is shown.
  SessionView View();

  // The frame at `time`, `width` x `height`, encoded. Throws RequestError 409 with the
  // reason when the template cannot be built, 422 when the media cannot be drawn.
  std::string Frame(double time, int width, int height, FrameFormat format, int quality);
  // The timeline chart of the current animation as PNG (drawn once per animation).
  std::string TimelinePng();

 private:
  struct DrawnFor {
    std::shared_ptr<const montage::Animation> animation;
    std::vector<std::string> media;
    double seconds = 0;
    montage::Fit fit = montage::Fit::kCover;
    bool loopClips = false;
    int width = 0;
    int height = 0;
    friend bool operator==(const DrawnFor&, const DrawnFor&) = default;
  };
  void Changed();

  const std::string id_;
  const PluginShelf& shelf_;

  mutable std::mutex stateMutex_;
  SessionSettings settings_;
  std::vector<std::shared_ptr<MediaItem>> media_;
  std::chrono::steady_clock::time_point deadline_;
  std::uint64_t changes_ = 0;  // settings and media changes

  std::mutex viewMutex_;
  SessionView view_;
  struct BuiltFor {
    std::uint64_t generation = 0;
    std::filesystem::path library;
    int inputs = -1;
    friend bool operator==(const BuiltFor&, const BuiltFor&) = default;
  } built_;
  std::uint64_t contentVersion_ = 0;  // grows when the animation or its error changes
  std::shared_ptr<const montage::Animation> timelineOf_;
  std::string timelinePng_;

  std::mutex drawMutex_;
  std::optional<montage::Renderer> renderer_;
  DrawnFor drawnFor_;
  std::optional<montage::Image> target_;
};

}  // namespace studio

#endif  // MONTAGE_STUDIO_SESSION_H
