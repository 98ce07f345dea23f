// Owning handles for Cairo objects and Cairo surfaces over Image pixels.
#ifndef MONTAGE_HOST_CAIRO_SUPPORT_H
#define MONTAGE_HOST_CAIRO_SUPPORT_H

#include <cairo.h>

#include <memory>

#include "montage/drawing.h"

namespace montage {

struct SurfaceRelease {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct ContextRelease {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceRelease>;
using ContextPtr = std::unique_ptr<cairo_t, ContextRelease>;

// A surface drawing straight into `image`'s pixels; `image` must outlive it.
inline SurfacePtr SurfaceOf(Image& image) {
  return SurfacePtr(cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(image.Data()),
                                                        CAIRO_FORMAT_ARGB32, image.Width(), image.Height(),
                                                        image.Width() * 4));
}

}  // namespace montage

#endif  // MONTAGE_HOST_CAIRO_SUPPORT_H
