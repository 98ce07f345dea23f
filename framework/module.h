// What a plug-in library knows about itself: its module handle, recorded by the load
// notification, and its own string table. Both stay inside the library (hidden
// visibility), so every plug-in loaded into one process sees only its own.
#ifndef MONTAGE_FRAMEWORK_MODULE_H
#define MONTAGE_FRAMEWORK_MODULE_H

#include <cstdint>
#include <span>

// Identifies one loaded library: the address of that library's own `__dso_handle`.
using ModuleHandle = const void*;

// Reasons passed to the library entry point.
enum ModuleReason : std::uint32_t {
  kProcessDetach = 0,
  kProcessAttach = 1,
  kThreadAttach = 2,
  kThreadDetach = 3,
};

// String-table id of the effect's display name.
inline constexpr std::uint32_t IDS_EFFECT_NAME = 101;

struct StringResource {
  std::uint32_t id;
  const char* text;
};

// The handle of this library, recorded when it is attached; null before.
extern ModuleHandle g_hModule;

// The handle that identifies the library this code is linked into.
ModuleHandle OwnModuleHandle();

// Library entry point. Attach (process or thread) records `module` in g_hModule;
// detach does nothing. Always returns 1. The library calls it itself with its own
// handle when it is loaded and unloaded; Linux has no thread notifications.
int ModuleEntryPoint(ModuleHandle module, std::uint32_t reason, void* reserved);

// Looks up string `id` in the string table of the library `module` and copies it into
// `buffer`: at most size - 1 characters, then a terminator. Returns the number of
// characters copied; 0 when the library or the id is unknown, or when there is no
// room (null buffer or size <= 0: nothing is written).
int LoadModuleString(ModuleHandle module, std::uint32_t id, char* buffer, int size);

// Defined once in every library by MONTAGE_STRING_TABLE: the library's string table.
extern const std::span<const StringResource> kModuleStringTable;

// Defines this library's string table from {id, text} pairs.
#define MONTAGE_STRING_TABLE(...)                                  \
  namespace {                                                      \
  constexpr StringResource kModuleStringEntries[] = {__VA_ARGS__}; \
  }                                                                \
  const std::span<const StringResource> kModuleStringTable{kModuleStringEntries};

#endif  // MONTAGE_FRAMEWORK_MODULE_H
