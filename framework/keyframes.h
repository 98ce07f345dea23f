// Allocation of keyframe arrays, shared by the settings records and the templates.
#ifndef MONTAGE_FRAMEWORK_KEYFRAMES_H
#define MONTAGE_FRAMEWORK_KEYFRAMES_H

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>

#include "montage/effect.h"

// The byte size of `count` records, computed in 32-bit unsigned arithmetic as on the
// original platform: a negative count or a size beyond 32 bits fails with std::bad_alloc
// instead of allocating a short block.
inline std::size_t KeyFrameArrayBytes(int count) {
  constexpr auto kMaxBytes = std::numeric_limits<std::uint32_t>::max();
  if (count < 0 || static_cast<std::uint64_t>(count) * sizeof(KeyFrame) > kMaxBytes) {
    throw std::bad_alloc();
  }
  return static_cast<std::size_t>(count) * sizeof(KeyFrame);
}

// Allocates `count` records as one block and default-constructs each, first to last.
// Release the block with delete[].
inline KeyFrame* NewKeyFrames(int count) { return new KeyFrame[KeyFrameArrayBytes(count) / sizeof(KeyFrame)]; }

// A new array holding copies of `count` records of `frames`, with the same size rule and
// release as NewKeyFrames. Each record is copied into place rather than default-constructed
// and then overwritten: the result is the same, written once.
inline KeyFrame* CopyKeyFrames(const KeyFrame* frames, int count) {
  auto* copy = static_cast<KeyFrame*>(::operator new[](KeyFrameArrayBytes(count)));
  std::uninitialized_copy_n(frames, count, copy);
  return copy;
}

#endif  // MONTAGE_FRAMEWORK_KEYFRAMES_H
