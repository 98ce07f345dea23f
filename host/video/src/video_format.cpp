// The video formats a file name can ask for.
#include <algorithm>
#include <cctype>
#include <string>

#include "montage/video_writer.h"

namespace montage {

std::optional<VideoFormat> VideoFormatFor(const std::filesystem::path& file) {
  std::string extension = file.extension().string();
  std::ranges::transform(extension, extension.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == ".mp4") return VideoFormat::kMp4;
  if (extension == ".webm") return VideoFormat::kWebM;
  if (extension == ".gif") return VideoFormat::kGif;
  if (extension == ".webp") return VideoFormat::kWebP;
  return std::nullopt;
}

std::string_view VideoFormatName(VideoFormat format) {
  switch (format) {
    case VideoFormat::kMp4:
      return "MP4";
    case VideoFormat::kWebM:
      return "WebM";
    case VideoFormat::kGif:
      return "GIF";
    case VideoFormat::kWebP:
      return "WebP";
  }
  return "video";
}

bool NeedsEvenSize(VideoFormat format) { return format == VideoFormat::kMp4 || format == VideoFormat::kWebM; }

bool CarriesSound(VideoFormat format) { return format == VideoFormat::kMp4 || format == VideoFormat::kWebM; }

}  // namespace montage
