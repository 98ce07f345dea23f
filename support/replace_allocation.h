// Replaces a program's global allocation functions with a pair of its own:
//
//   void* Allocate(std::size_t size);  // throws std::bad_alloc when it fails
//   void Free(void* block) noexcept;
//   MONTAGE_REPLACE_GLOBAL_ALLOCATION(Allocate, Free)
//
// Use the macro once, at namespace scope, in one source file of the program. The
// plug-ins the program loads allocate through the replacements too: the executable's
// definitions come first in the dynamic linker's lookup order.
#ifndef MONTAGE_SUPPORT_REPLACE_ALLOCATION_H
#define MONTAGE_SUPPORT_REPLACE_ALLOCATION_H

#include <cstddef>
#include <new>

#define MONTAGE_REPLACE_GLOBAL_ALLOCATION(Allocate, Free)                  \
  void* operator new(std::size_t size) { return Allocate(size); }          \
  void* operator new[](std::size_t size) { return Allocate(size); }        \
  void operator delete(void* block) noexcept { Free(block); }              \
  void operator delete[](void* block) noexcept { Free(block); }            \
  void operator delete(void* block, std::size_t) noexcept { Free(block); } \
  void operator delete[](void* block, std::size_t) noexcept { Free(block); }

#endif  // MONTAGE_SUPPORT_REPLACE_ALLOCATION_H
