// The studio's templates: the catalog kept up to date, and fresh loads for builds.
#include "plugin_shelf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "media_store.h"

namespace studio {

namespace fs = std::filesystem;
using montage::HostError;

std::string TemplateId(const fs::path& library) {
  // FNV-1a, 64 bits.
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (const char c : library.string()) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3u;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string id(16, '0');
  for (int i = 15; i >= 0; --i, hash >>= 4) id[static_cast<std::size_t>(i)] = kDigits[hash & 15];
  return id;
}

const TemplateEntry* ShelfState::Find(std::string_view id) const {
  for (const TemplateEntry& entry : templates) {
    if (entry.id == id) return &entry;
  }
  return nullptr;
}

const montage::PluginFailure* ShelfState::FailureOf(const fs::path& library) const {
  for (const montage::PluginFailure& failure : failures) {
    if (failure.library == library) return &failure;
  }
  return nullptr;
}

PluginShelf::PluginShelf(std::vector<fs::path> directories, montage::ScanOptions options, fs::path copies)
    : directories_(std::move(directories)), options_(std::move(options)), copies_(std::move(copies)) {
  struct statvfs volume {};
  if (::statvfs(copies_.c_str(), &volume) == 0 && (volume.f_flag & ST_NOEXEC) != 0) loadCopies_ = false;
  seen_ = Stamps();
  Scan();
}

std::shared_ptr<const ShelfState> PluginShelf::State() const {
  const std::lock_guard lock(mutex_);
  return state_;
}

std::vector<PluginShelf::FileStamp> PluginShelf::Stamps() const {
  std::vector<FileStamp> stamps;
  for (const fs::path& file : montage::FindPluginFiles(directories_)) {
    struct stat status {};
    FileStamp stamp;
    stamp.path = file;
    if (::stat(file.c_str(), &status) == 0) {
      stamp.size = static_cast<std::uintmax_t>(status.st_size);
      stamp.modified = std::int64_t{status.st_mtim.tv_sec} * 1'000'000'000 + status.st_mtim.tv_nsec;
      stamp.inode = status.st_ino;
    }
    stamps.push_back(std::move(stamp));
  }
  return stamps;
}

void PluginShelf::Scan() {
  const montage::PluginCatalog catalog = montage::PluginCatalog::Scan(directories_, options_);
  auto state = std::make_shared<ShelfState>();
  for (const montage::TemplateInfo& info : catalog.Templates())
    state->templates.push_back({TemplateId(info.library), info});
  state->failures = catalog.Failures();
  state->warnings = catalog.Warnings();
  const std::lock_guard lock(mutex_);
  state->generation = state_ ? state_->generation + 1 : 1;
  state_ = std::move(state);
}

bool PluginShelf::Poll() {
  const std::lock_guard lock(pollMutex_);
  std::vector<FileStamp> now = Stamps();
  if (now != seen_) {
    seen_ = std::move(now);
    settled_ = false;
    return false;
  }
  if (settled_) return false;
  settled_ = true;
  Scan();
  return true;
}

namespace {

// Copies `from` to the new file `to`; false when it cannot (a full disk), with nothing
// left at `to`.
bool CopyFile(const fs::path& from, const fs::path& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  int out = -1;
  try {
    out = CreatePrivateFile(to);
  } catch (const HostError&) {
    ::close(in);
    return false;
  }
  bool copied = true;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      copied = got == 0;
      break;
    }
    for (ssize_t done = 0; done < got && copied;) {
      const ssize_t put = ::write(out, buffer + done, static_cast<std::size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) copied = false;
      if (put > 0) done += put;
    }
    if (!copied) break;
  }
  ::close(in);
  if (::close(out) != 0) copied = false;
  if (!copied) {
    std::error_code ignored;
    fs::remove(to, ignored);
  }
  return copied;
}

}  // namespace

montage::Animation PluginShelf::Build(const fs::path& library, int inputs) const {
  const fs::path copy =
      copies_ / (std::to_string(copyCount_.fetch_add(1)) + "-" + montage::SafeFileName(library.filename().string()));
  struct Remove {
    const fs::path& file;
    ~Remove() {
      std::error_code ignored;
      fs::remove(file, ignored);
    }
  } const remove{copy};
  // Where no copy can be made or run (a full or noexec temporary folder), the file is
  // loaded where it is: still anew, as no handle of it is kept.
  if (!loadCopies_ || !CopyFile(library, copy)) {
    montage::Animation animation = montage::BuildAnimation(montage::Plugin::Load(library), inputs);
    animation.info.library = library;
    return animation;
  }
  try {
    montage::Animation animation = montage::BuildAnimation(montage::Plugin::Load(copy), inputs);
    animation.info.library = library;
    return animation;
  } catch (const HostError& error) {
    // The copy is the studio's business: the message names the file the person knows.
    std::string message = error.what();
    const std::string copyName = copy.string();
    for (std::size_t at = message.find(copyName); at != std::string::npos;
         at = message.find(copyName, at + library.string().size())) {
      message.replace(at, copyName.size(), library.string());
    }
    throw HostError(message);
  }
}

}  // namespace studio
