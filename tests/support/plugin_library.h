// Test-side access to built plug-in libraries: loading, effect ownership, keyframe
// copies and bit-exact comparison of doubles.
#ifndef MONTAGE_TESTS_PLUGIN_LIBRARY_H
#define MONTAGE_TESTS_PLUGIN_LIBRARY_H

#include <dlfcn.h>

#include <bit>
#include <cstdint>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "built_plugins.h"  // kBuiltPlugins: {name, path} of every plug-in of this build
#include "montage/effect.h"

// Test names and messages show a plug-in by its name.
inline void PrintTo(const BuiltPlugin& plugin, std::ostream* out) { *out << plugin.name; }

struct ReleaseEffect {
  void operator()(IEffectMultiDLL* effect) const { effect->Release(); }
};
using EffectPtr = std::unique_ptr<IEffectMultiDLL, ReleaseEffect>;

// One dlopen'ed plug-in library, closed on destruction.
class PluginLibrary {
 public:
  explicit PluginLibrary(const std::string& path, int flags = RTLD_NOW | RTLD_LOCAL)
      : handle_(dlopen(path.c_str(), flags)) {
    if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    getNumEffects_ = Resolve<GetNumEffectsFn>(kGetNumEffectsSymbol);
    createEffect_ = Resolve<CreateEffectFn>(kCreateEffectSymbol);
  }
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;
  ~PluginLibrary() { dlclose(handle_); }

  [[nodiscard]] int GetNumEffects() const { return getNumEffects_(); }
  [[nodiscard]] EffectPtr Create() const { return EffectPtr(createEffect_()); }
  [[nodiscard]] CreateEffectFn CreateFunction() const { return createEffect_; }

 private:
  template <class Function>
  Function Resolve(const char* symbol) {
    void* address = dlsym(handle_, symbol);
    if (address == nullptr) throw std::runtime_error(std::string("missing export ") + symbol);
    return reinterpret_cast<Function>(reinterpret_cast<std::uintptr_t>(address));
  }

  void* handle_;
  GetNumEffectsFn getNumEffects_ = nullptr;
  CreateEffectFn createEffect_ = nullptr;
};

// The built plug-in called `name`; throws when this build has none.
inline const BuiltPlugin& FindBuiltPlugin(std::string_view name) {
  for (const BuiltPlugin& plugin : kBuiltPlugins) {
    if (plugin.name == name) return plugin;
  }
  throw std::runtime_error("no plug-in built under the name " + std::string(name));
}

// A copy of GenerateKeyFrames(index, count) called through the table; the plug-in's
// array is released as the contract says.
inline std::vector<KeyFrame> Generate(IEffectMultiDLL& effect, int index, int count) {
  int n = 0;
  const std::unique_ptr<KeyFrame[]> frames(effect.GenerateKeyFrames(index, count, &n));
  if (frames == nullptr || n <= 0) return {};
  return {frames.get(), frames.get() + n};
}

// The keyframes of one setting as a vector (empty for an empty setting).
inline std::vector<KeyFrame> KeyFramesOf(const CEffectSetting& setting) {
  const KeyFrame* frames = setting.KeyFrames();
  if (frames == nullptr) return {};
  return {frames, frames + setting.m_count};
}

inline std::uint64_t Bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// Field-by-field equality with doubles compared by their bits.
inline bool SameBits(const KeyFrame& a, const KeyFrame& b) {
  return Bits(a.PosX) == Bits(b.PosX) && Bits(a.PosY) == Bits(b.PosY) && Bits(a.Scale) == Bits(b.Scale) &&
         Bits(a.Opacity) == Bits(b.Opacity) && Bits(a.Rotation) == Bits(b.Rotation) && Bits(a.Time) == Bits(b.Time) &&
         Bits(a.Aux0) == Bits(b.Aux0) && a.Aux1 == b.Aux1 && a.Aux2 == b.Aux2;
}

inline bool SameBits(const std::vector<KeyFrame>& a, const std::vector<KeyFrame>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!SameBits(a[i], b[i])) return false;
  }
  return true;
}

#endif  // MONTAGE_TESTS_PLUGIN_LIBRARY_H
