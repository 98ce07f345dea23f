// Still pictures as input media: a pyramid of halvings, and the exact drawn size of the
// last few requests, so that drawing a picture costs what its drawn pixels cost.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <utility>
#include <vector>

#include "cairo_support.h"
#include "montage/drawing.h"

namespace montage {

namespace {

// Half the size (rounded up), each pixel the mean of the 2x2 block it covers; the
// pixels are premultiplied, so averaging the channels is exact colour averaging.
Image Halve(const Image& source) {
  const int width = (source.Width() + 1) / 2;
  const int height = (source.Height() + 1) / 2;
  Image half(width, height);
  const std::uint32_t* in = source.Data();
  std::uint32_t* out = half.Data();
  const auto sourceWidth = static_cast<std::size_t>(source.Width());
  for (int y = 0; y < height; ++y) {
    const std::size_t y0 = static_cast<std::size_t>(2 * y);
    const std::size_t y1 = std::min<std::size_t>(y0 + 1, static_cast<std::size_t>(source.Height()) - 1);
    for (int x = 0; x < width; ++x) {
      const std::size_t x0 = static_cast<std::size_t>(2 * x);
      const std::size_t x1 = std::min(x0 + 1, sourceWidth - 1);
      const std::uint32_t p[4] = {in[y0 * sourceWidth + x0], in[y0 * sourceWidth + x1], in[y1 * sourceWidth + x0],
                                  in[y1 * sourceWidth + x1]};
      std::uint32_t pixel = 0;
      for (int shift = 0; shift < 32; shift += 8) {
        std::uint32_t sum = 2;  // rounds to nearest
        for (const std::uint32_t value : p) sum += (value >> shift) & 0xFFu;
        pixel |= (sum / 4) << shift;
      }
      out[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] = pixel;
    }
  }
  return half;
}

// `source` resampled to exactly `width` x `height` with Cairo's good filter.
Image Resample(const Image& source, int width, int height) {
  Image exact(width, height);
  const SurfacePtr target = SurfaceOf(exact);
  const ContextPtr context(cairo_create(target.get()));
  cairo_t* cr = context.get();
  cairo_scale(cr, static_cast<double>(width) / source.Width(), static_cast<double>(height) / source.Height());
  const SurfacePtr picture = SurfaceOf(const_cast<Image&>(source));  // only read
  cairo_set_source_surface(cr, picture.get(), 0, 0);
  cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_surface_flush(target.get());
  return exact;
}

class Picture final : public InputMedia {
 public:
  explicit Picture(Image picture) { levels_.push_back(std::move(picture)); }

  [[nodiscard]] int Width() const override { return levels_.front().Width(); }
  [[nodiscard]] int Height() const override { return levels_.front().Height(); }

  const Image& Frame(double /*seconds*/, int width, int height) override {
    // A size asked for twice in a row is one an input keeps (a picture that does not
    // zoom): it gets a copy at exactly that size, which draws without resampling.
    for (auto it = exact_.begin(); it != exact_.end(); ++it) {
      if (it->Width() == width && it->Height() == height) {
        exact_.splice(exact_.begin(), exact_, it);
        lastWidth_ = width;
        lastHeight_ = height;
        return exact_.front();
      }
    }
    const Image& level = Level(width, height);
    const bool steady = width == lastWidth_ && height == lastHeight_;
    lastWidth_ = width;
    lastHeight_ = height;
    if (!steady || width >= level.Width() || height >= level.Height()) return level;
    exact_.push_front(Resample(level, width, height));
    if (exact_.size() > kExactSizes) exact_.pop_back();
    return exact_.front();
  }

 private:
  // Exact sizes kept at once: enough for a picture shared by a few inputs.
  static constexpr std::size_t kExactSizes = 4;

  // The smallest level at least `width` x `height`, or the picture itself.
  const Image& Level(int width, int height) {
    std::size_t k = 0;
    for (;;) {
      const Image& current = levels_[k];
      const int nextWidth = (current.Width() + 1) / 2;
      const int nextHeight = (current.Height() + 1) / 2;
      if (current.Width() == 1 || current.Height() == 1 || nextWidth < width || nextHeight < height) return current;
      if (k + 1 == levels_.size()) levels_.push_back(Halve(current));
      ++k;
    }
  }

  std::vector<Image> levels_;  // the picture, then halvings made as they are asked for
  std::list<Image> exact_;     // most recently used first
  int lastWidth_ = 0;
  int lastHeight_ = 0;
};

}  // namespace

std::shared_ptr<InputMedia> PictureMedia(Image picture) { return std::make_shared<Picture>(std::move(picture)); }

}  // namespace montage
