// Finding, loading and driving plug-in libraries.
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <utility>

#include "call_plugin.h"
#include "montage/host.h"

namespace montage {

namespace fs = std::filesystem;

namespace detail {

struct LoadedLibrary {
  fs::path path;
  std::string fileName;  // names the library in messages until its template's name is known
  void* handle = nullptr;
  PluginExports exports;
  // Calls into the library, one at a time (see Threads in host.h).
  std::mutex calls;

  LoadedLibrary() = default;
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  ~LoadedLibrary() {
    if (handle != nullptr) dlclose(handle);
  }

  // Runs `call` with the library locked; what it throws becomes a HostError naming
  // `templateName` (see CallPlugin).
  template <class Call>
  auto Locked(std::string_view templateName, Call&& call) -> decltype(call()) {
    const std::scoped_lock lock(calls);
    return CallPlugin(templateName, std::forward<Call>(call));
  }
};

}  // namespace detail

namespace {

template <class Function>
Function Resolve(void* handle, const char* symbol, const fs::path& library) {
  dlerror();
  void* address = dlsym(handle, symbol);
  if (address == nullptr) {
    const char* reason = dlerror();
    throw HostError(library.string() + " is not a template plug-in: it lacks the export " + symbol +
                    (reason != nullptr ? std::string(" (") + reason + ")" : std::string()));
  }
  return reinterpret_cast<Function>(reinterpret_cast<std::uintptr_t>(address));
}

std::vector<fs::path> SplitPath(std::string_view list) {
  std::vector<fs::path> directories;
  while (!list.empty()) {
    const std::size_t colon = list.find(':');
    const std::string_view entry = list.substr(0, colon);
    if (!entry.empty()) directories.emplace_back(entry);
    if (colon == std::string_view::npos) break;
    list.remove_prefix(colon + 1);
  }
  return directories;
}

}  // namespace

std::vector<fs::path> DefaultPluginDirectories() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&DefaultPluginDirectories), &info) == 0 || info.dli_fname == nullptr) {
    return {fs::path(MONTAGE_PLUGIN_BUILD_DIR)};
  }
  std::error_code error;
  const fs::path here = fs::weakly_canonical(fs::path(info.dli_fname), error).parent_path();
  const fs::path buildTree = fs::weakly_canonical(fs::path(MONTAGE_HOST_BUILD_DIR), error);
  if (here == buildTree) return {fs::path(MONTAGE_PLUGIN_BUILD_DIR)};
  return {here / MONTAGE_PLUGIN_LIBDIR_SUBDIR};
}

std::vector<fs::path> PluginSearchPath(std::string_view option) {
  auto split = [](std::string_view list, const std::string& what) {
    std::vector<fs::path> directories = SplitPath(list);
    if (directories.empty()) throw HostError(what + " '" + std::string(list) + "' names no folder");
    return directories;
  };
  if (!option.empty()) return split(option, "the plug-in path");
  if (const char* variable = std::getenv("MONTAGE_PLUGIN_PATH"); variable != nullptr && *variable != '\0') {
    return split(variable, "MONTAGE_PLUGIN_PATH");
  }
  return DefaultPluginDirectories();
}

std::vector<fs::path> FindPluginFiles(const std::vector<fs::path>& directories) {
  std::vector<fs::path> files;
  for (const fs::path& directory : directories) {
    std::vector<fs::path> here;
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
      if (it->path().extension() == ".so" && it->is_regular_file(error)) here.push_back(it->path());
    }
    std::ranges::sort(here);
    files.insert(files.end(), here.begin(), here.end());
  }
  return files;
}

// ---- Plugin -------------------------------------------------------------------------------

Plugin::Plugin(std::shared_ptr<detail::LoadedLibrary> library) : library_(std::move(library)) {}

Plugin Plugin::Load(const fs::path& library, SymbolBinding binding) {
  auto loaded = std::make_shared<detail::LoadedLibrary>();
  loaded->path = library;
  loaded->fileName = library.filename().string();
  // dlopen searches the library path for a bare file name; a file is meant here.
  const fs::path file = library.has_parent_path() ? library : fs::path(".") / library;
  loaded->handle = dlopen(file.c_str(), RTLD_NOW | (binding == SymbolBinding::kGlobal ? RTLD_GLOBAL : RTLD_LOCAL));
  if (loaded->handle == nullptr) {
    const char* reason = dlerror();
    throw HostError("cannot load " + library.string() + ": " + (reason != nullptr ? reason : "unknown reason"));
  }
  loaded->exports.getNumEffects = Resolve<GetNumEffectsFn>(loaded->handle, kGetNumEffectsSymbol, library);
  loaded->exports.createEffect = Resolve<CreateEffectFn>(loaded->handle, kCreateEffectSymbol, library);
  const int effects = Plugin(loaded).NumEffects();
  if (effects < 1) {
    throw HostError(library.string() + " is not a template plug-in: GetNumEffects returns " + std::to_string(effects));
  }
  return Plugin(std::move(loaded));
}

const fs::path& Plugin::Library() const { return library_->path; }

int Plugin::NumEffects() const {
  return library_->Locked(library_->fileName, [this] { return library_->exports.getNumEffects(); });
}

Effect Plugin::CreateEffect() const {
  IEffectMultiDLL* object = library_->Locked(library_->fileName, [this] { return library_->exports.createEffect(); });
  if (object == nullptr) throw HostError(library_->path.string() + ": CreateEffect returned no effect");
  return Effect(library_, object);
}

TemplateInfo Plugin::Describe() const { return CreateEffect().Describe(); }

PluginExports Plugin::Exports() const { return library_->exports; }

// ---- Effect -------------------------------------------------------------------------------

Effect::Effect(std::shared_ptr<detail::LoadedLibrary> library, IEffectMultiDLL* object)
    : library_(std::move(library)), object_(object) {}

Effect::Effect(Effect&& other) noexcept
    : library_(std::move(other.library_)),
      object_(std::exchange(other.object_, nullptr)),
      registered_(std::exchange(other.registered_, 0)) {}

Effect& Effect::operator=(Effect&& other) noexcept {
  if (this != &other) {
    Effect released(std::move(*this));
    object_ = std::exchange(other.object_, nullptr);
    library_ = std::move(other.library_);
    registered_ = std::exchange(other.registered_, 0);
  }
  return *this;
}

Effect::~Effect() {
  // The object goes before the library that holds its code.
  if (object_ != nullptr) {
    const std::scoped_lock lock(library_->calls);
    object_->Release();
  }
}

std::string Effect::Name() const {
  char buffer[CEffectSetting::kNameCapacity + 1] = {};
  library_->Locked(library_->fileName, [&] { object_->GetName(buffer, CEffectSetting::kNameCapacity); });
  return buffer;
}

std::string Effect::DisplayName() const {
  char buffer[CEffectSetting::kNameCapacity + 1] = {};
  library_->Locked(library_->fileName, [&] { object_->GetDisplayName(buffer, CEffectSetting::kNameCapacity); });
  return buffer;
}

TemplateInfo Effect::Describe() const {
  TemplateInfo info;
  info.library = library_->path;
  info.name = Name();
  info.displayName = DisplayName();
  library_->Locked(info.name, [&] {
    object_->GetInputRange(&info.minInputs, &info.maxInputs);
    info.defaultInputs = object_->GetDefaultInputCount();
    info.templateCode = object_->GetTemplateCode();
  });
  return info;
}

void Effect::SetInputCount(int count) {
  library_->Locked(Name(), [&] {
    // Bounded by what was registered: a plug-in that always answers 1 ends no loop.
    for (; registered_ > 0 && object_->RemoveInput(0) != 0; --registered_) {
    }
    registered_ = 0;
    if (count <= 0) return;
    // Inserting after the first node costs no walk along the list; inserting the ids
    // from the top down leaves them in ascending order.
    object_->InsertInput(0, 0);
    registered_ = 1;
    for (int id = count - 1; id >= 1; --id, ++registered_) object_->InsertInput(0, id);
  });
}

std::vector<std::vector<KeyFrame>> Effect::KeyFrames() const {
  const std::string name = Name();
  return library_->Locked(name, [&] {
    int count = 0;
    const CEffectSetting* settings = object_->GetSettings(&count);
    std::vector<std::vector<KeyFrame>> frames;
    if (settings == nullptr || count <= 0) return frames;
    // The array is read only as far as the count the plug-in was given: a count that
    // differs would be read past the array's end.
    if (count != registered_) {
      throw HostError("template " + name + " returned " + std::to_string(count) + " settings for " +
                      std::to_string(registered_) + " inputs");
    }
    frames.reserve(static_cast<std::size_t>(count));
    for (int index = 0; index < count; ++index) frames.push_back(KeyFramesOf(settings[index]));
    return frames;
  });
}

// ---- Reading keyframes --------------------------------------------------------------------

bool SameBits(const KeyFrame& a, const KeyFrame& b) {
  return Bits(a.PosX) == Bits(b.PosX) && Bits(a.PosY) == Bits(b.PosY) && Bits(a.Scale) == Bits(b.Scale) &&
         Bits(a.Opacity) == Bits(b.Opacity) && Bits(a.Rotation) == Bits(b.Rotation) && Bits(a.Time) == Bits(b.Time) &&
         Bits(a.Aux0) == Bits(b.Aux0) && a.Aux1 == b.Aux1 && a.Aux2 == b.Aux2;
}

bool SameBits(const std::vector<KeyFrame>& a, const std::vector<KeyFrame>& b) {
  return std::ranges::equal(a, b, [](const KeyFrame& x, const KeyFrame& y) { return SameBits(x, y); });
}

std::vector<KeyFrame> KeyFramesOf(const CEffectSetting& setting) {
  const KeyFrame* frames = setting.KeyFrames();
  if (frames == nullptr || setting.m_count <= 0) return {};
  return {frames, frames + setting.m_count};
}

std::vector<KeyFrame> GenerateKeyFrames(IEffectMultiDLL& effect, int index, int count) {
  int n = 0;
  const std::unique_ptr<KeyFrame[]> frames(effect.GenerateKeyFrames(index, count, &n));
  if (frames == nullptr || n <= 0) return {};
  return {frames.get(), frames.get() + n};
}

}  // namespace montage
