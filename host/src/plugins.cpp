// Finding, loading and driving plug-in libraries.
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <system_error>
#include <utility>

#include "host_internal.h"
#include "montage/host.h"

namespace montage {

namespace fs = std::filesystem;

namespace detail {

struct LoadedLibrary {
  fs::path path;
  void* handle = nullptr;
  GetNumEffectsFn getNumEffects = nullptr;
  CreateEffectFn createEffect = nullptr;

  LoadedLibrary() = default;
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  ~LoadedLibrary() {
    if (handle != nullptr) dlclose(handle);
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

std::string ToLower(std::string_view text) {
  std::string lower(text);
  std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
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
  if (!option.empty()) return SplitPath(option);
  if (const char* variable = std::getenv("MONTAGE_PLUGIN_PATH"); variable != nullptr && *variable != '\0') {
    return SplitPath(variable);
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

// ---- Plugin -----------------------------------------------------------------------------

Plugin::Plugin(std::shared_ptr<const detail::LoadedLibrary> library) : library_(std::move(library)) {}

Plugin Plugin::Load(const fs::path& library) {
  auto loaded = std::make_shared<detail::LoadedLibrary>();
  loaded->path = library;
  // dlopen searches the library path for a bare file name; a file is meant here.
  const fs::path file = library.has_parent_path() ? library : fs::path(".") / library;
  loaded->handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (loaded->handle == nullptr) {
    const char* reason = dlerror();
    throw HostError("cannot load " + library.string() + ": " + (reason != nullptr ? reason : "unknown reason"));
  }
  loaded->getNumEffects = Resolve<GetNumEffectsFn>(loaded->handle, kGetNumEffectsSymbol, library);
  loaded->createEffect = Resolve<CreateEffectFn>(loaded->handle, kCreateEffectSymbol, library);
  const int effects = loaded->getNumEffects();
  if (effects < 1) {
    throw HostError(library.string() + " is not a template plug-in: GetNumEffects returns " + std::to_string(effects));
  }
  return Plugin(std::move(loaded));
}

const fs::path& Plugin::Library() const { return library_->path; }

int Plugin::NumEffects() const { return library_->getNumEffects(); }

Effect Plugin::CreateEffect() const {
  IEffectMultiDLL* object = CallPlugin(library_->path.filename().string(), [this] { return library_->createEffect(); });
  if (object == nullptr) throw HostError(library_->path.string() + ": CreateEffect returned no effect");
  return Effect(library_, object);
}

TemplateInfo Plugin::Describe() const { return CreateEffect().Describe(); }

// ---- Effect -----------------------------------------------------------------------------

Effect::Effect(std::shared_ptr<const detail::LoadedLibrary> library, IEffectMultiDLL* object)
    : library_(std::move(library)), object_(object) {}

Effect::Effect(Effect&& other) noexcept
    : library_(std::move(other.library_)), object_(std::exchange(other.object_, nullptr)) {}

Effect& Effect::operator=(Effect&& other) noexcept {
  if (this != &other) {
    if (object_ != nullptr) object_->Release();
    object_ = std::exchange(other.object_, nullptr);
    library_ = std::move(other.library_);
  }
  return *this;
}

Effect::~Effect() {
  // The object goes before the library that holds its code.
  if (object_ != nullptr) object_->Release();
}

std::string Effect::Name() const {
  char buffer[CEffectSetting::kNameCapacity + 1] = {};
  object_->GetName(buffer, CEffectSetting::kNameCapacity);
  return buffer;
}

std::string Effect::DisplayName() const {
  char buffer[CEffectSetting::kNameCapacity + 1] = {};
  object_->GetDisplayName(buffer, CEffectSetting::kNameCapacity);
  return buffer;
}

TemplateInfo Effect::Describe() const {
  return CallPlugin(library_->path.filename().string(), [this] { return DescribeNow(); });
}

TemplateInfo Effect::DescribeNow() const {
  TemplateInfo info;
  info.library = library_->path;
  info.name = Name();
  info.displayName = DisplayName();
  object_->GetInputRange(&info.minInputs, &info.maxInputs);
  info.defaultInputs = object_->GetDefaultInputCount();
  info.templateCode = object_->GetTemplateCode();
  return info;
}

void Effect::SetInputCount(int count) {
  CallPlugin(Name(), [&] {
    while (object_->RemoveInput(0) != 0) {
    }
    if (count <= 0) return;
    // Inserting after the first node costs no walk along the list; inserting the ids
    // from the top down leaves them in ascending order.
    object_->InsertInput(0, 0);
    for (int id = count - 1; id >= 1; --id) object_->InsertInput(0, id);
  });
}

std::vector<std::vector<KeyFrame>> Effect::KeyFrames() const {
  return CallPlugin(Name(), [&] {
    int count = 0;
    const CEffectSetting* settings = object_->GetSettings(&count);
    std::vector<std::vector<KeyFrame>> frames;
    if (settings == nullptr || count <= 0) return frames;
    frames.reserve(static_cast<std::size_t>(count));
    for (int index = 0; index < count; ++index) {
      const CEffectSetting& setting = settings[index];
      const KeyFrame* data = setting.KeyFrames();
      if (data == nullptr || setting.m_count <= 0) {
        frames.emplace_back();
      } else {
        frames.emplace_back(data, data + setting.m_count);
      }
    }
    return frames;
  });
}

// ---- Catalog ----------------------------------------------------------------------------

PluginCatalog PluginCatalog::Scan(const std::vector<fs::path>& directories) {
  PluginCatalog catalog;
  for (const fs::path& file : FindPluginFiles(directories)) {
    try {
      catalog.templates_.push_back(Plugin::Load(file).Describe());
    } catch (const HostError& error) {
      catalog.failures_.push_back({file, error.what()});
    }
  }
  return catalog;
}

const TemplateInfo* PluginCatalog::Find(std::string_view name) const {
  const std::string wanted = ToLower(name);
  for (const TemplateInfo& info : templates_) {
    if (ToLower(info.name) == wanted) return &info;
  }
  return nullptr;
}

// ---- Animation --------------------------------------------------------------------------

Animation BuildAnimation(const Plugin& plugin, int inputs) {
  if (inputs < 1 || inputs > kMaxInputs) {
    throw HostError("the input count must be from 1 to " + std::to_string(kMaxInputs) + ", not " +
                    std::to_string(inputs));
  }
  Effect effect = plugin.CreateEffect();
  Animation animation;
  animation.info = effect.Describe();
  effect.SetInputCount(inputs);
  animation.settings = effect.KeyFrames();
  if (animation.settings.size() != static_cast<std::size_t>(inputs)) {
    throw HostError("template " + animation.info.name + " returned " + std::to_string(animation.settings.size()) +
                    " settings for " + std::to_string(inputs) + " inputs");
  }
  animation.inputCount = inputs;
  animation.tracks.reserve(animation.settings.size());
  for (const std::vector<KeyFrame>& frames : animation.settings) animation.tracks.emplace_back(frames);
  return animation;
}

}  // namespace montage
