// Media for any file the user gives: a still picture or a clip.
#include "montage/clips.h"
#include "montage/pictures.h"

namespace montage {

std::shared_ptr<InputMedia> OpenMedia(const std::filesystem::path& file, ClipOptions options, int largestWidth,
                                      int largestHeight) {
  if (LooksLikePicture(file)) return PictureMedia(ReadPicture(file, largestWidth, largestHeight));
  return OpenClip(file, options);
}

}  // namespace montage
