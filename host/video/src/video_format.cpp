// The video formats a file name can ask for, and what each is called.
#include <algorithm>
#include <cctype>
#include <string>

#include "montage/video_writer.h"

namespace montage {
namespace {

struct FormatNames {
  VideoFormat format;
  std::string_view extension;
  std::string_view name;
  std::string_view mediaType;
};

constexpr FormatNames kFormats[] = {
    {VideoFormat::kMp4, ".mp4", "MP4", "video/mp4"},
    {VideoFormat::kWebM, ".webm", "WebM", "video/webm"},
    {VideoFormat::kGif, ".gif", "GIF", "image/gif"},
    {VideoFormat::kWebP, ".webp", "WebP", "image/webp"},
};

const FormatNames& NamesOf(VideoFormat format) {
  const auto* found = std::ranges::find(kFormats, format, &FormatNames::format);
  return found != std::end(kFormats) ? *found : kFormats[0];
}

}  // namespace

std::optional<VideoFormat> VideoFormatFor(const std::filesystem::path& file) {
  std::string extension = file.extension().string();
  std::ranges::transform(extension, extension.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto* found = std::ranges::find(kFormats, extension, &FormatNames::extension);
  if (found == std::end(kFormats)) return std::nullopt;
  return found->format;
}

std::string_view VideoFormatName(VideoFormat format) { return NamesOf(format).name; }

std::string_view VideoFormatExtension(VideoFormat format) { return NamesOf(format).extension; }

std::string_view VideoFormatMediaType(VideoFormat format) { return NamesOf(format).mediaType; }

bool NeedsEvenSize(VideoFormat format) { return format == VideoFormat::kMp4 || format == VideoFormat::kWebM; }

bool CarriesSound(VideoFormat format) { return format == VideoFormat::kMp4 || format == VideoFormat::kWebM; }

}  // namespace montage
