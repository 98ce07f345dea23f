// The studio's private folder and its uploads.
#include "media_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "http_guard.h"
#include "montage/clips.h"
#include "montage/drawing.h"
#include "montage/pictures.h"
#include "request_error.h"

namespace studio {

namespace fs = std::filesystem;
using montage::HostError;

namespace {

constexpr int kThumbWidth = 192;
constexpr int kThumbHeight = 108;
constexpr int kThumbQuality = 80;

// The extension of `name` when it is a short run of letters and digits (".mp4"), kept
// on the stored file because a few containers are known by it; empty otherwise.
std::string SafeExtension(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || name.size() - dot < 2 || name.size() - dot > 6) return {};
  std::string extension = ".";
  for (const char c : name.substr(dot + 1)) {
    if (!std::isalnum(static_cast<unsigned char>(c))) return {};
    extension += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return extension;
}

bool NamedLikePicture(std::string_view name) {
  const std::string extension = SafeExtension(name);
  return extension == ".png" || extension == ".jpg" || extension == ".jpeg";
}

// `message` with every mention of the private file replaced by the person's name for it.
std::string InPersonsWords(std::string message, const fs::path& file, const std::string& name) {
  const std::string path = file.string();
  const std::string quoted = "'" + name + "'";
  for (std::size_t at = message.find(path); at != std::string::npos; at = message.find(path, at + quoted.size())) {
    message.replace(at, path.size(), quoted);
  }
  return message;
}

// One input shown full frame for the whole effect: the thumbnail drawn by the renderer.
montage::Animation FullFrame() {
  KeyFrame start;
  KeyFrame end;
  end.Time = 1.0;
  montage::Animation animation;
  animation.info.name = "thumbnail";
  animation.inputCount = 1;
  animation.settings = {{start, end}};
  animation.tracks.emplace_back(animation.settings.front());
  return animation;
}

}  // namespace

// ---- PrivateFolder ------------------------------------------------------------------------

PrivateFolder::PrivateFolder(std::string_view label) {
  std::string pattern = (fs::temp_directory_path() / ("montage-" + std::string(label) + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw HostError("cannot create a private folder in " + fs::temp_directory_path().string() + ": " +
                    std::strerror(errno));
  }
  path_ = pattern;
}

PrivateFolder::~PrivateFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);  // removes links, never what they point to
}

fs::path PrivateFolder::Folder(std::string_view name) const {
  const fs::path folder = path_ / name;
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    throw HostError("cannot create " + folder.string() + ": " + std::strerror(errno));
  }
  return folder;
}

int CreatePrivateFile(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw HostError("cannot create " + file.string() + ": " + std::strerror(errno));
  return fd;
}

std::string SizeText(std::uint64_t bytes) {
  const char* units[] = {"bytes", "KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(units)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  if (unit == 0 || value >= 100 || value == static_cast<double>(static_cast<std::uint64_t>(value))) {
    std::snprintf(text, sizeof text, "%.0f %s", value, units[unit]);
  } else {
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  }
  return text;
}

std::string DisplayName(std::string_view name) {
  const std::size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name = name.substr(slash + 1);
  std::string text = montage::ValidUtf8(name);
  if (text.size() > 120) {
    std::size_t cut = 120;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // keep whole characters
    text.resize(cut);
  }
  return text.empty() ? "upload" : text;
}

// ---- MediaItem ----------------------------------------------------------------------------

MediaItem::~MediaItem() {
  std::error_code ignored;
  fs::remove(file_, ignored);
  if (used_) used_->fetch_sub(bytes_);
}

// ---- Upload -------------------------------------------------------------------------------

Upload::Upload(Upload&& other) noexcept
    : id_(std::move(other.id_)),
      name_(std::move(other.name_)),
      file_(std::move(other.file_)),
      fd_(std::exchange(other.fd_, -1)),
      declared_(std::exchange(other.declared_, 0)),
      written_(other.written_),
      error_(std::move(other.error_)),
      errorStatus_(other.errorStatus_),
      used_(std::move(other.used_)) {}

Upload::~Upload() { Discard(); }

void Upload::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!file_.empty()) {
    std::error_code ignored;
    fs::remove(file_, ignored);
    file_.clear();
  }
  if (used_) used_->fetch_sub(declared_);
  used_.reset();
}

bool Upload::Write(const char* data, std::size_t size) {
  if (fd_ < 0) return false;
  if (size > declared_ - written_) {
    error_ = "the upload of " + name_ + " is longer than it said";
    errorStatus_ = 413;
    return false;
  }
  while (size > 0) {
    const ssize_t done = ::write(fd_, data, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      error_ = "cannot store " + name_ + ": " + std::strerror(done < 0 ? errno : EIO);
      errorStatus_ = 507;
      return false;
    }
    data += done;
    size -= static_cast<std::size_t>(done);
    written_ += static_cast<std::uint64_t>(done);
  }
  return true;
}

std::shared_ptr<MediaItem> Upload::Finish() {
  if (fd_ < 0) throw RequestError(400, "the upload of " + name_ + " was already finished");
  if (written_ != declared_) {
    throw RequestError(400, "the upload of " + name_ + " ended after " + std::to_string(written_) + " of " +
                                std::to_string(declared_) + " bytes");
  }
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) throw RequestError(507, "cannot store " + name_ + ": " + std::strerror(errno));

  std::shared_ptr<MediaItem> item(new MediaItem);
  try {
    if (montage::LooksLikePicture(file_) || NamedLikePicture(name_)) {
      const montage::PictureInfo info = montage::ReadPictureInfo(file_);
      item->kind_ = MediaKind::kPicture;
      item->width_ = info.width;
      item->height_ = info.height;
    } else {
      const montage::ClipInfo info = montage::ReadClipInfo(file_);
      item->kind_ = MediaKind::kClip;
      item->width_ = info.width;
      item->height_ = info.height;
      item->seconds_ = info.seconds;
    }
    // Drawing the thumbnail decodes the whole picture, or the first frame of the clip:
    // a file whose header is fine but whose data is not is refused here, not later.
    std::vector<std::shared_ptr<montage::InputMedia>> media = {
        montage::OpenMedia(file_, {}, kThumbWidth, kThumbHeight)};
    montage::Renderer renderer(FullFrame(), std::move(media));
    item->thumbnail_ = montage::EncodeJpeg(renderer.Render(0.0, kThumbWidth, kThumbHeight), kThumbQuality);
  } catch (const RequestError&) {
    throw;
  } catch (const HostError& error) {
    throw RequestError(415, InPersonsWords(error.what(), file_, name_));
  }
  item->id_ = id_;
  item->name_ = name_;
  item->bytes_ = declared_;
  item->file_ = std::exchange(file_, {});
  item->used_ = std::move(used_);  // the item gives the bytes back from now on
  declared_ = 0;
  return item;
}

// ---- MediaStore ---------------------------------------------------------------------------

MediaStore::MediaStore(fs::path folder, UploadLimits limits)
    : folder_(std::move(folder)), limits_(limits), used_(std::make_shared<std::atomic<std::uint64_t>>(0)) {}

Upload MediaStore::Begin(std::string_view name, std::uint64_t declaredBytes) {
  const std::string shown = DisplayName(name);
  if (declaredBytes == 0) throw RequestError(400, shown + " is empty");
  if (declaredBytes > limits_.perFile) {
    throw RequestError(
        413, shown + " is " + SizeText(declaredBytes) + "; a file may be at most " + SizeText(limits_.perFile));
  }
  std::uint64_t used = used_->load();
  do {
    if (declaredBytes > limits_.total - std::min(used, limits_.total)) {
      throw RequestError(413, shown + " (" + SizeText(declaredBytes) + ") does not fit: uploads may take " +
                                  SizeText(limits_.total) + " in all and " + SizeText(used) +
                                  " are taken; remove some first");
    }
  } while (!used_->compare_exchange_weak(used, used + declaredBytes));

  Upload upload;
  upload.used_ = used_;
  upload.declared_ = declaredBytes;
  upload.id_ = RandomHex(kIdBytes);
  upload.name_ = shown;
  upload.file_ = folder_ / (upload.id_ + SafeExtension(shown));
  try {
    upload.fd_ = CreatePrivateFile(upload.file_);
  } catch (const HostError& error) {
    upload.file_.clear();  // not ours to remove
    throw RequestError(507, error.what());
  }
  return upload;
}

}  // namespace studio
