// Video files written from frames drawn on demand: MP4 (H.264), WebM (VP9), animated GIF
// and animated WebP, through FFmpeg's libraries, with an optional soundtrack.
//
// Frames stream from the caller to the encoder: at most a few frames are in memory at
// once, whatever the running time, and no frame is written to a file of its own (an
// animated WebP holds its compressed frames: libwebp assembles the file in memory before
// it is written). The caller's FrameSource draws on the calling thread; colour
// conversion and encoding run on threads of their own meanwhile.
//
// The file is written under a temporary name beside the target (montage/output_file.h)
// and renamed into place when complete: an error, a full disk or a cancelled write
// leaves no file that looks finished, and an existing file is replaced only by a
// complete one.
//
// Pictures: frames are written opaque, each pixel its premultiplied colour over black
// (Cairo's frames from the Renderer are opaque already). MP4 and WebM hold BT.709
// studio-range yuv420p, tagged as such; a GIF holds one palette of up to 256 colours made
// for the clip from a sample of up to 32 frames spread over it (palettegen), every frame
// mapped onto it with ordered dithering (paletteuse); an animated WebP holds lossy frames.
// GIF and WebP loop for ever. An MP4 has its index (moov) before its media, so that a
// browser plays it while it downloads; MP4 and WebM have a keyframe every 5 seconds.
//
// Timing: frame k starts at k / fps and lasts 1 / fps, the last one included, so that
// a video of N frames lasts N / fps. The time base is the fraction nearest fps with a
// denominator up to 100000 (29.97 is 2997/100). GIF delays are whole hundredths of a
// second: frame k starts at k / fps rounded to them.
//
// Sound (MP4: AAC at 128 kb/s; WebM: Opus at 96 kb/s; 48000 Hz stereo): see
// VideoSettings::audio.
//
// Threads: WriteVideo may run on several threads at once for different files. Each
// write runs two threads of its own (colour conversion; encoding and writing) besides the
// encoder's own (x264 and libvpx use every core). FFmpeg's log is taken over on first use:
// nothing is printed, its last error on each thread goes into the messages
// (MONTAGE_FFMPEG_LOG=1 in the environment prints it all, for debugging).
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
// The extension a file of the format is named with: ".mp4", ".webm", ".gif", ".webp".
std::string_view VideoFormatExtension(VideoFormat format);
// Its media type: "video/mp4", "video/webm", "image/gif", "image/webp".
std::string_view VideoFormatMediaType(VideoFormat format);
// Whether the format's pixel layout needs even widths and heights (MP4 and WebM).
bool NeedsEvenSize(VideoFormat format);
// Whether the format carries a soundtrack (MP4 and WebM).
bool CarriesSound(VideoFormat format);

struct VideoSettings {
  VideoFormat format = VideoFormat::kMp4;
  // 1..kMaxFrameSide (WebP: 1..16383); even for NeedsEvenSize formats.
  int width = 640;
  int height = 360;
  // Frames per second, 0.01 to 1000 (a frame lasts at most 100 seconds); a GIF at most
  // 50, as its delays are whole hundredths and players show one hundredth as ten.
  double fps = 30.0;
  int frameCount = 0;  // frames to write, 1..kMaxFrames; the video lasts frameCount / fps seconds
  // 1 (smallest file) to 100 (best picture); nothing gives the format's default
  // (DefaultQuality). Each format maps it linearly onto its encoder's own scale:
  //   MP4   x264 constant rate factor 45 (1) .. 12 (100); default 67 = CRF 23; preset
  //         faster;
  //   WebM  VP9 constant quality (crf) 56 (1) .. 12 (100), rounded; default 55 = crf 32;
  //         libvpx's real-time mode at speed 8 with row multithreading;
  //   GIF   palette colours 4 (1) .. 256 (100), rounded; default 100 = 256 colours;
  //   WebP  libwebp's lossy quality, the same number; default 75; method 2.
  std::optional<int> quality;
  // A soundtrack in any format FFmpeg reads (its first audio stream): cut to the video's
  // length with a linear fade-out over its last second (over the whole video when that is
  // shorter) when it lasts at least as long as the video, or ending early, unfaded, when
  // it is shorter. Only for formats that CarriesSound.
  std::optional<std::filesystem::path> audio;
};

// The quality a format gets when none is asked for (see VideoSettings::quality): MP4 67,
// WebM 55, GIF 100, WebP 75.
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

// Where the time of a write went: seconds spent in each stage's work on its own thread
// (waits for the other stages left out). The encoders' own threads work beside the
// encoding thread, so encodeSeconds is the time that thread spent handing frames over
// and waiting for them to be encoded, not the processor time of the encoder.
struct VideoTimings {
  double drawSeconds = 0;     // in the FrameSource, on the calling thread
  double convertSeconds = 0;  // colour conversion (a GIF's palette included)
  double encodeSeconds = 0;   // encoding and writing, sound included
};

// Thrown by WriteVideo when `cancel` became true; the target is untouched.
class Cancelled : public HostError {
 public:
  Cancelled() : HostError("cancelled") {}
};

// Writes `settings.frameCount` frames from `source` into `file`. `progress` (when given)
// is called on the calling thread after frames are encoded, with framesDone growing, the
// last time with frameCount; `cancel` (when given) is polled between frames and while
// the encoder drains at the end. Throws HostError naming the file or value for bad
// settings (before `source` is called), an unreadable soundtrack, a failed encoder or a
// failed write ("cannot write FILE: No space left on device"); what `source` or
// `progress` throws passes through. In every case of failure the target is left as it
// was and no temporary file remains.
VideoTimings WriteVideo(const std::filesystem::path& file, const VideoSettings& settings, const FrameSource& source,
                        const std::function<void(const VideoProgress&)>& progress = {},
                        const std::atomic<bool>* cancel = nullptr);

}  // namespace montage

#endif  // MONTAGE_VIDEO_WRITER_H
