// Files written so that no reader ever sees half of one: the bytes go to a temporary
// file beside the target, which replaces the target only once it is complete.
//
// A failed or interrupted write (an error, a full disk, Ctrl-C handled by unwinding)
// leaves the target as it was and removes the temporary file. The temporary file is
// created anew (never opened through an existing name), and the rename replaces a link
// planted at the target's name instead of writing through it. Nothing is synced to the
// disk: this protects against failing programs, not against a machine that loses power.
//
// Threads: an OutputFile is used by one thread at a time; distinct ones are independent.
#ifndef MONTAGE_OUTPUT_FILE_H
#define MONTAGE_OUTPUT_FILE_H

#include <cstddef>
#include <filesystem>
#include <string_view>

namespace montage {

class OutputFile {
 public:
  // Creates the temporary file `.<name>.<random>.part` in the target's folder, open for
  // reading and writing. Throws HostError naming the folder when it cannot.
  explicit OutputFile(std::filesystem::path target);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Removes the temporary file unless Commit succeeded.
  ~OutputFile();

  [[nodiscard]] const std::filesystem::path& Target() const { return target_; }
  [[nodiscard]] const std::filesystem::path& TemporaryPath() const { return temporary_; }
  // The open descriptor of the temporary file (for libraries that write through one).
  [[nodiscard]] int Descriptor() const { return fd_; }

  // Appends `size` bytes; throws HostError naming the target ("No space left on
  // device" and the like).
  void Write(const void* data, std::size_t size);
  void Write(std::string_view text) { Write(text.data(), text.size()); }
  // Closes the file and renames it to the target, replacing what was there. Throws
  // HostError when either fails; the target is then unchanged.
  void Commit();

  // The message for a failed write of this file with errno `error`.
  [[nodiscard]] std::string WriteError(int error) const;

 private:
  std::filesystem::path target_;
  std::filesystem::path temporary_;
  int fd_ = -1;
  bool committed_ = false;
};

}  // namespace montage

#endif  // MONTAGE_OUTPUT_FILE_H
