// The templates the studio offers: the core's catalog of the plug-in search path, kept
// up to date while the studio runs, and animations built from fresh loads of the files.
//
// Watching: Poll() looks at the plug-in files (path, size, modification time, inode)
// of every folder of the search path. When they changed and then held still for one
// look (a linker writing a library is not caught half-way), the folders are scanned
// again with the core's catalog: out of process and cached, so a broken library is a
// failure with its reason, and an unchanged one costs nothing. Each scan that is
// adopted gets a new generation number.
//
// Loading: Build() copies the library into a private folder under a name never used
// before and loads that copy. A file replaced while the studio runs is therefore always
// loaded anew (the dynamic loader would hand back a library of the same name that is
// still loaded), and a designer's build writing into the file cannot pull a mapped
// library from under a running call. The copy is removed as soon as it is loaded, and
// the library is closed when the animation is built: no handle outlives a build. Where
// the private folder does not allow running code (noexec) or has no room for the copy,
// the file is loaded in place.
//
// Threads: every member may be used from several threads at once; State() is a
// snapshot that stays valid while it is held. Builds of one library are serialised by
// the core.
#ifndef MONTAGE_STUDIO_PLUGIN_SHELF_H
#define MONTAGE_STUDIO_PLUGIN_SHELF_H

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "montage/host.h"

namespace studio {

// A template's id in requests: 16 hex digits of a hash of its library's path, the same
// across scans, so that an open page keeps its template when the file is rebuilt.
std::string TemplateId(const std::filesystem::path& library);

struct TemplateEntry {
  std::string id;
  montage::TemplateInfo info;
};

struct ShelfState {
  std::uint64_t generation = 0;
  std::vector<TemplateEntry> templates;
  std::vector<montage::PluginFailure> failures;
  std::vector<std::string> warnings;  // templates hidden by an earlier one of the same name

  [[nodiscard]] const TemplateEntry* Find(std::string_view id) const;
  // The failure of the library `library`, when the last scan found it broken.
  [[nodiscard]] const montage::PluginFailure* FailureOf(const std::filesystem::path& library) const;
};

class PluginShelf {
 public:
  // Scans `directories` once. `copies` is a private folder for the loaded copies.
  PluginShelf(std::vector<std::filesystem::path> directories, montage::ScanOptions options,
              std::filesystem::path copies);

  [[nodiscard]] const std::vector<std::filesystem::path>& Directories() const { return directories_; }
  [[nodiscard]] std::shared_ptr<const ShelfState> State() const;

  // One look at the plug-in files (see the top). Returns true when a new scan was
  // adopted.
  bool Poll();

  // The animation of the template in `library` for `inputs` inputs, from the file as it
  // is now (see the top). The animation's info.library is `library`. Throws HostError
  // as montage::Plugin::Load and montage::BuildAnimation do.
  [[nodiscard]] montage::Animation Build(const std::filesystem::path& library, int inputs) const;

 private:
  struct FileStamp {
    std::filesystem::path path;
    std::uintmax_t size = 0;
    std::int64_t modified = 0;  // nanoseconds
    std::uint64_t inode = 0;
    friend bool operator==(const FileStamp&, const FileStamp&) = default;
  };
  [[nodiscard]] std::vector<FileStamp> Stamps() const;
  void Scan();

  std::vector<std::filesystem::path> directories_;
  montage::ScanOptions options_;
  std::filesystem::path copies_;
  bool loadCopies_ = true;
  mutable std::atomic<std::uint64_t> copyCount_{0};

  mutable std::mutex mutex_;
  std::shared_ptr<const ShelfState> state_;
  std::mutex pollMutex_;  // one Poll at a time
  std::vector<FileStamp> seen_;
  bool settled_ = true;  // whether the files seen were scanned
};

}  // namespace studio

#endif  // MONTAGE_STUDIO_PLUGIN_SHELF_H
