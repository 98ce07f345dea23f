#include "module.h"

#include <algorithm>
#include <cstring>

// Provided by the C runtime once per shared object (and executable); its address is
// unique to the module, which makes it a natural module handle.
extern "C" void* __dso_handle;  // NOLINT(bugprone-reserved-identifier)

ModuleHandle g_hModule = nullptr;

ModuleHandle OwnModuleHandle() { return &__dso_handle; }

int ModuleEntryPoint(ModuleHandle module, std::uint32_t reason, void* /*reserved*/) {
  if (reason == kProcessAttach || reason == kThreadAttach) g_hModule = module;
  return 1;
}

int LoadModuleString(ModuleHandle module, std::uint32_t id, char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  if (module == nullptr || module != OwnModuleHandle()) {
    buffer[0] = '\0';
    return 0;
  }
  const auto entry = std::ranges::find(kModuleStringTable, id, &StringResource::id);
  if (entry == kModuleStringTable.end()) {
    buffer[0] = '\0';
    return 0;
  }
  const std::size_t length = std::min(std::strlen(entry->text), static_cast<std::size_t>(size) - 1);
  std::memcpy(buffer, entry->text, length);
  buffer[length] = '\0';
  return static_cast<int>(length);
}

namespace {
// The load notification: the dynamic loader runs these when the library is mapped and
// unmapped, as the platform's attach/detach calls would.
[[gnu::constructor]] void NotifyAttach() { ModuleEntryPoint(OwnModuleHandle(), kProcessAttach, nullptr); }
[[gnu::destructor]] void NotifyDetach() { ModuleEntryPoint(OwnModuleHandle(), kProcessDetach, nullptr); }
}  // namespace
