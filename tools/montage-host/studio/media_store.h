// Where the studio keeps what a person gives it: a private folder of its own, and the
// pictures and clips uploaded into it.
//
// The folder is made with mkdtemp (mode 0700) under the system's temporary folder and
// removed with everything in it when the studio ends. Every file in it has a name the
// studio chose (an id), is created anew (O_EXCL, O_NOFOLLOW: never through a link
// planted there) and is never served back as it is: uploads are shown only as frames
// the renderer draws.
//
// An upload is checked before it is accepted: its size against a limit per file and a
// limit for all uploads together (taken from the declared length before a byte is
// stored), then its content, as a picture (montage/pictures.h) or a clip
// (montage/clips.h), by drawing its thumbnail. A refused upload leaves nothing behind.
//
// Threads: MediaStore and MediaItem may be used from several threads at once; one
// Upload by one thread.
#ifndef MONTAGE_STUDIO_MEDIA_STORE_H
#define MONTAGE_STUDIO_MEDIA_STORE_H

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace studio {

// A folder only this user may enter, removed with its content when destroyed.
class PrivateFolder {
 public:
  explicit PrivateFolder(std::string_view label);
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  ~PrivateFolder();

  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
  // Creates the sub-folder `name` (mode 0700) and returns its path.
  [[nodiscard]] std::filesystem::path Folder(std::string_view name) const;

 private:
  std::filesystem::path path_;
};

// Creates `file` anew for writing (O_EXCL | O_NOFOLLOW, mode 0600) and returns its
// descriptor; HostError when it cannot.
int CreatePrivateFile(const std::filesystem::path& file);

struct UploadLimits {
  std::uint64_t perFile = std::uint64_t{200} << 20;  // 200 MiB
  std::uint64_t total = std::uint64_t{2} << 30;      // 2 GiB, every upload held at once
};

// "200 MB", "1.5 GB": a size for a person (binary units).
std::string SizeText(std::uint64_t bytes);

enum class MediaKind { kPicture, kClip };

// One accepted upload. The file is removed, and its bytes given back to the limit,
// when the last holder (a session's list, a render that uses it) lets go.
class MediaItem {
 public:
  MediaItem(const MediaItem&) = delete;
  MediaItem& operator=(const MediaItem&) = delete;
  ~MediaItem();

  [[nodiscard]] const std::string& Id() const { return id_; }
  [[nodiscard]] const std::string& Name() const { return name_; }  // as the person named it, UTF-8
  [[nodiscard]] MediaKind Kind() const { return kind_; }
  [[nodiscard]] int Width() const { return width_; }
  [[nodiscard]] int Height() const { return height_; }
  [[nodiscard]] double Seconds() const { return seconds_; }  // a clip's running time; 0 for a picture
  [[nodiscard]] std::uint64_t Bytes() const { return bytes_; }
  [[nodiscard]] const std::filesystem::path& File() const { return file_; }
  // A small frame of it (JPEG), drawn by the renderer when it was accepted.
  [[nodiscard]] const std::string& Thumbnail() const { return thumbnail_; }

 private:
  friend class Upload;
  MediaItem() = default;
  std::string id_;
  std::string name_;
  MediaKind kind_ = MediaKind::kPicture;
  int width_ = 0;
  int height_ = 0;
  double seconds_ = 0;
  std::uint64_t bytes_ = 0;
  std::filesystem::path file_;
  std::string thumbnail_;
  std::shared_ptr<std::atomic<std::uint64_t>> used_;
};

class MediaStore;

// One upload on its way in: a file created and its declared size taken from the limit.
// Destroyed without Finish, it removes its file and gives the size back.
class Upload {
 public:
  Upload(Upload&& other) noexcept;
  Upload& operator=(Upload&&) = delete;
  Upload(const Upload&) = delete;
  ~Upload();

  // Appends `size` bytes; false (and nothing written) once more bytes arrive than were
  // declared, or when the disk refuses them (why: Error(), with the HTTP status that
  // says so: 413 for a body longer than declared, 507 for a disk that refused).
  bool Write(const char* data, std::size_t size);
  [[nodiscard]] const std::string& Error() const { return error_; }
  [[nodiscard]] int ErrorStatus() const { return errorStatus_; }
  // Checks the complete file and makes it an item. Throws RequestError: 400 for a body
  // shorter than declared, 415 for content that is no picture or clip (with the
  // reader's reason, naming the file as the person named it).
  std::shared_ptr<MediaItem> Finish();

 private:
  friend class MediaStore;
  Upload() = default;
  void Discard();

  std::string id_;
  std::string name_;
  std::filesystem::path file_;
  int fd_ = -1;
  std::uint64_t declared_ = 0;
  std::uint64_t written_ = 0;
  std::string error_;
  int errorStatus_ = 400;
  std::shared_ptr<std::atomic<std::uint64_t>> used_;
};

class MediaStore {
 public:
  MediaStore(std::filesystem::path folder, UploadLimits limits);

  [[nodiscard]] const UploadLimits& Limits() const { return limits_; }
  // Bytes of every upload held now, the ones on their way in included.
  [[nodiscard]] std::uint64_t Used() const { return used_->load(); }

  // Starts the upload of a file the person calls `name` (only shown, never a path) of
  // `declaredBytes`. Throws RequestError 413 when it is larger than a file may be or
  // than what is left of the limit for all, 400 for an empty file.
  Upload Begin(std::string_view name, std::uint64_t declaredBytes);

 private:
  std::filesystem::path folder_;
  UploadLimits limits_;
  std::shared_ptr<std::atomic<std::uint64_t>> used_;
};

// What a person named a file, made fit to show: the last part of a path, valid UTF-8
// without control characters, at most 120 bytes; "upload" when nothing is left.
std::string DisplayName(std::string_view name);

}  // namespace studio

#endif  // MONTAGE_STUDIO_MEDIA_STORE_H
