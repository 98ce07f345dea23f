// Video files written from frames drawn on demand: MP4 (H.264), WebM (VP9), animated GIF
// and animated WebP, through FFmpeg's libraries, with an optional soundtrack.
//
// Frames stream from the caller to the encoder: at most a few frames are in memory at
// once, whatever the running time, and no frame is written to a file of its own. The
// caller's FrameSource draws on the calling thread; colour conversion and encoding run
// on threads of their own meanwhile.
//
// The file is written under a temporary name beside the target (montage/output_file.h)
// and renamed into place when complete: an error, a full disk or a cancelled write
// leaves no file that looks finished, and an existing file is replaced only by a
// complete one.
//
// Threads: WriteVideo may run on several threads at once for different files.
#ifndef MONTAGE_VIDEO_WRITER_H
#define MONTAGE_VIDEO_WRITER_H

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

#include "montage/drawing.h"

namespace montage {

enum class VideoFormat {
  kMp4,   // H.264 in yuv420p, playable everywhere; sound as AAC
  kWebM,  // VP9 in yuv420p; sound as Opus
  kGif,   // 256 colours from a palette made for the clip; no sound
  kWebP,  // animated WebP; no sound
};

// The format a file name asks for by its extension, in any case (.mp4, .webm, .gif,
// .webp); nothing for any other name.
std::optional<VideoFormat> VideoFormatFor(const std::filesystem::path& file);
// "MP4", "WebM", "GIF", "WebP".
std::string_view VideoFormatName(VideoFormat format);
// Whether the format's pixel layout needs even widths and heights (MP4 and WebM).
bool NeedsEvenSize(VideoFormat format);
// Whether the format carries a soundtrack (MP4 and WebM).
bool CarriesSound(VideoFormat format);

struct VideoSettings {
  VideoFormat format = VideoFormat::kMp4;
  int width = 640;  // 1..kMaxFrameSide; even for NeedsEvenSize formats
  int height = 360;
  double fps = 30.0;   // frames per second, above 0 and at most 1000
  int frameCount = 0;  // frames to write, 1..kMaxFrames; the video lasts frameCount / fps seconds
  // 1 (smallest file) to 100 (best picture); nothing gives the format's default
  // (DefaultQuality).
  std::optional<int> quality;
  // A soundtrack in any format FFmpeg reads: cut to the video's length with a fade-out
  // over its last second, or ending early when it is shorter. Only for formats that
  // CarriesSound.
  std::optional<std::filesystem::path> audio;
};

// The quality a format gets when none is asked for.
int DefaultQuality(VideoFormat format);

// Draws frame `index` into `frame`, which has the settings' size and holds whatever was
// drawn into it before. Indices ascend within one pass over the frames; a GIF makes two
// passes (one over a sample of the frames for its palette, then every frame).
using FrameSource = std::function<void(int index, Image& frame)>;

struct VideoProgress {
  int framesDone = 0;  // frames encoded so far
  int frameCount = 0;
  double elapsedSeconds = 0;
};

// Where the time of a write went, in seconds of each stage's own thread(s).
struct VideoTimings {
  double drawSeconds = 0;     // in the FrameSource
  double convertSeconds = 0;  // colour conversion
  double encodeSeconds = 0;   // encoding and writing, sound included
};

// Thrown by WriteVideo when `cancel` became true; the target is untouched.
class Cancelled : public HostError {
 public:
  Cancelled() : HostError("cancelled") {}
};

// Writes `settings.frameCount` frames from `source` into `file`. `progress` (when given)
// is called on the calling thread after frames are encoded; `cancel` (when given) is
// polled between frames. Throws HostError naming the file or value for bad settings,
// an unreadable soundtrack, a failed encoder or a failed write; what `source` throws
// passes through. In every case of failure the target is left as it was.
VideoTimings WriteVideo(const std::filesystem::path& file, const VideoSettings& settings, const FrameSource& source,
                        const std::function<void(const VideoProgress&)>& progress = {},
                        const std::atomic<bool>* cancel = nullptr);

}  // namespace montage

#endif  // MONTAGE_VIDEO_WRITER_H
