// A montage from a person's pictures and clips: the media of every input opened the way
// the renderer wants it, and a template's animation written as a video file. What
// `montage-host render` and the studio do with an animation and a list of files.
//
// Video timing
//   A video of S seconds at F frames per second has N = round(F * S) frames and lasts
//   N / F seconds. Frame k shows the effect at time k / (N - 1), so the first frame is
//   the effect's start and the last its end, as the first and last of a folder of PNG
//   frames are (a single frame shows time 0).
//
// Threads: as WriteVideo; the media opened for one render belong to that render.
#ifndef MONTAGE_RENDER_VIDEO_H
#define MONTAGE_RENDER_VIDEO_H

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "montage/clips.h"
#include "montage/drawing.h"
#include "montage/host.h"
#include "montage/video_writer.h"

namespace montage {

// The media of every input of `animation`: input i shows files[i % files.size()]. A
// picture is decoded once, at the largest size any of its inputs draws it on a
// `frameWidth` x `frameHeight` frame, and shared; a clip is opened once per input that
// shows it, so that each plays from its input's first appearance. No files: nothing
// (placeholder cards). Throws HostError naming the file that cannot be used.
std::vector<std::shared_ptr<InputMedia>> OpenInputMedia(const Animation& animation,
                                                        const std::vector<std::filesystem::path>& files,
                                                        const ClipOptions& clips, int frameWidth, int frameHeight);

// Frames of a video of `seconds` at `fps` (see Video timing): round(fps * seconds).
int VideoFrameCount(double fps, double seconds);
// The effect time that frame `index` of `count` shows.
double VideoFrameTime(int index, int count);

// Writes `renderer`'s animation as a video of `settings.frameCount` frames (see Video
// timing) with WriteVideo; the renderer draws each frame on the calling thread.
VideoTimings RenderVideo(const std::filesystem::path& file, Renderer& renderer, const VideoSettings& settings,
                         const std::function<void(const VideoProgress&)>& progress = {},
                         const std::atomic<bool>* cancel = nullptr);

}  // namespace montage

#endif  // MONTAGE_RENDER_VIDEO_H
