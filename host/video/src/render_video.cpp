// The media of a montage's inputs, and its animation written as a video.
#include "montage/render_video.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <string>

#include "montage/pictures.h"

namespace montage {

namespace fs = std::filesystem;

namespace {

// Whether a file that is no picture was meant as one: then the picture reader's reason
// ("not a PNG or JPEG file") says more than a clip decoder's.
bool NamedLikePicture(const fs::path& file) {
  std::string extension = file.extension().string();
  std::ranges::transform(extension, extension.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == ".png" || extension == ".jpg" || extension == ".jpeg";
}

// The largest Scale an input is drawn at, capped where decoding more would only cost:
// four times the frame is more than any zoom of the templates.
double LargestScale(const Track& track) {
  double largest = 0;
  for (const KeyFrame& frame : track.KeyFrames()) {
    if (std::isfinite(frame.Scale)) largest = std::max(largest, std::abs(frame.Scale));
  }
  return std::min(largest, 4.0);
}

}  // namespace

std::vector<std::shared_ptr<InputMedia>> OpenInputMedia(const Animation& animation, const std::vector<fs::path>& files,
                                                        const ClipOptions& clips, int frameWidth, int frameHeight) {
  std::vector<std::shared_ptr<InputMedia>> media;
  if (files.empty()) return media;
  // Per picture file, the largest rectangle an input draws it into: decoded to cover it.
  std::vector<double> largest(files.size(), 0.0);
  for (std::size_t index = 0; index < animation.tracks.size(); ++index) {
    double& scale = largest[index % files.size()];
    scale = std::max(scale, LargestScale(animation.tracks[index]));
  }
  std::map<std::size_t, std::shared_ptr<InputMedia>> pictures;
  const std::size_t inputs = std::max<std::size_t>(animation.tracks.size(), 1);
  for (std::size_t index = 0; index < inputs; ++index) {
    const std::size_t which = index % files.size();
    const fs::path& file = files[which];
    if (!LooksLikePicture(file) && !NamedLikePicture(file)) {
      media.push_back(OpenClip(file, clips));
      continue;
    }
    std::shared_ptr<InputMedia>& picture = pictures[which];
    if (!picture) {
      const auto side = [&](int frame) { return static_cast<int>(std::ceil(frame * largest[which])); };
      picture = PictureMedia(ReadPicture(file, side(frameWidth), side(frameHeight)));
    }
    media.push_back(picture);
  }
  return media;
}

int VideoFrameCount(double fps, double seconds) {
  const double frames = std::round(fps * seconds);
  if (!(frames >= 1)) return 0;
  return frames > kMaxFrames ? kMaxFrames + 1 : static_cast<int>(frames);
}

double VideoFrameTime(int index, int count) { return count <= 1 ? 0.0 : static_cast<double>(index) / (count - 1); }

VideoTimings RenderVideo(const fs::path& file, Renderer& renderer, const VideoSettings& settings,
                         const std::function<void(const VideoProgress&)>& progress, const std::atomic<bool>* cancel) {
  const int count = settings.frameCount;
  return WriteVideo(
      file, settings, [&](int index, Image& frame) { renderer.RenderInto(frame, VideoFrameTime(index, count)); },
      progress, cancel);
}

}  // namespace montage
