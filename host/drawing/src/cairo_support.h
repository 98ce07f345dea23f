// Owning handles for Cairo objects and Cairo surfaces over Image pixels.
#ifndef MONTAGE_HOST_CAIRO_SUPPORT_H
#define MONTAGE_HOST_CAIRO_SUPPORT_H

#include <cairo.h>

#include <exception>
#include <memory>

#include "montage/drawing.h"
#include "montage/output_file.h"

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

// Where Cairo's stream writers (PNG, SVG) put their bytes: an OutputFile. What Write
// throws cannot pass through Cairo (C code), so it is kept and thrown again by Check
// once Cairo has returned.
struct CairoSink {
  OutputFile* file = nullptr;
  std::exception_ptr error;

  static cairo_status_t Write(void* closure, const unsigned char* data, unsigned int length) {
    auto* sink = static_cast<CairoSink*>(closure);
    try {
      sink->file->Write(data, length);
      return CAIRO_STATUS_SUCCESS;
    } catch (...) {
      sink->error = std::current_exception();
      return CAIRO_STATUS_WRITE_ERROR;
    }
  }

  // Throws what a write threw, or a HostError for a Cairo status that is not success.
  void Check(cairo_status_t status) const {
    if (error) std::rethrow_exception(error);
    if (status != CAIRO_STATUS_SUCCESS) {
      throw HostError("cannot write " + file->Target().string() + ": " + cairo_status_to_string(status));
    }
  }
};

}  // namespace montage

#endif  // MONTAGE_HOST_CAIRO_SUPPORT_H
