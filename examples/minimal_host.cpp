// A minimal host: loads one plug-in library, registers inputs, prints the keyframes of
// every input and releases the effect.
//
//   minimal_host PLUGIN.so [INPUTS]
#include <dlfcn.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "montage/effect.h"

namespace {

// The shortest decimal that reads back as the same double.
void PrintDouble(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  std::printf(" %.*s", static_cast<int>(result.ptr - text), text);
}

template <class Function>
Function Resolve(void* library, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<std::uintptr_t>(dlsym(library, name)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PLUGIN.so [INPUTS]\n", argv[0]);
    return 2;
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
    return 1;
  }
  const auto getNumEffects = Resolve<GetNumEffectsFn>(library, kGetNumEffectsSymbol);
  const auto createEffect = Resolve<CreateEffectFn>(library, kCreateEffectSymbol);
  if (getNumEffects == nullptr || createEffect == nullptr || getNumEffects() < 1) {
    std::fprintf(stderr, "%s is not a template plug-in\n", argv[1]);
    dlclose(library);
    return 1;
  }

  IEffectMultiDLL* effect = createEffect();
  char name[256];
  effect->GetDisplayName(name, sizeof name);
  const int inputs = argc > 2 ? std::atoi(argv[2]) : effect->GetDefaultInputCount();
  for (int id = 0; id < inputs; ++id) effect->InsertInput(-1, id);

  int count = 0;
  const CEffectSetting* settings = effect->GetSettings(&count);
  std::printf("%s: %d inputs\n", name, count);
  for (int input = 0; input < count; ++input) {
    const CEffectSetting& setting = settings[input];
    std::printf("input %d: %d keyframes\n", input, setting.KeyFrames() ? setting.m_count : 0);
    for (int k = 0; setting.KeyFrames() != nullptr && k < setting.m_count; ++k) {
      const KeyFrame& frame = setting.KeyFrames()[k];
      std::printf("  time");
      PrintDouble(frame.Time);
      std::printf("  pos");
      PrintDouble(frame.PosX);
      PrintDouble(frame.PosY);
      std::printf("  scale");
      PrintDouble(frame.Scale);
      std::printf("  opacity");
      PrintDouble(frame.Opacity);
      std::printf("  rotation");
      PrintDouble(frame.Rotation);
      std::printf("\n");
    }
  }
  effect->Release();
  dlclose(library);
  return 0;
}
