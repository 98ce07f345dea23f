// The files of the studio's page (web/), built into the program: the build turns each
// file into bytes of a generated source (embed_assets.cmake).
#ifndef MONTAGE_STUDIO_WEB_ASSETS_H
#define MONTAGE_STUDIO_WEB_ASSETS_H

#include <span>
#include <string_view>

namespace studio {

struct WebAsset {
  std::string_view path;  // "/app.js"
  std::string_view type;  // "text/javascript; charset=utf-8"
  std::string_view body;
};

std::span<const WebAsset> WebAssets();

}  // namespace studio

#endif  // MONTAGE_STUDIO_WEB_ASSETS_H
