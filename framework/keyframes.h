// Allocation of keyframe arrays, shared by the settings records and the templates.
#ifndef MONTAGE_FRAMEWORK_KEYFRAMES_H
#define MONTAGE_FRAMEWORK_KEYFRAMES_H

#include <cstdint>
#include <limits>
#include <new>

#include "montage/effect.h"

// Allocates `count` records as one block and default-constructs each, first to last.
// The byte size is computed in 32-bit unsigned arithmetic as on the original platform:
// a negative count or a size beyond 32 bits fails with std::bad_alloc instead of
// allocating a short block. Release the block with delete[].
inline KeyFrame* NewKeyFrames(int count) {
  constexpr auto kMaxBytes = std::numeric_limits<std::uint32_t>::max();
  if (count < 0 || static_cast<std::uint64_t>(count) * sizeof(KeyFrame) > kMaxBytes) {
    throw std::bad_alloc();
  }
  return new KeyFrame[static_cast<std::size_t>(count)];
}

#endif  // MONTAGE_FRAMEWORK_KEYFRAMES_H
