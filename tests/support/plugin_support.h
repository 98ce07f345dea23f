// Test-side helpers over the plug-ins of this build, and the host core's keyframe
// helpers under the short names the tests use.
#ifndef MONTAGE_TESTS_PLUGIN_SUPPORT_H
#define MONTAGE_TESTS_PLUGIN_SUPPORT_H

#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "built_plugins.h"  // kBuiltPlugins: {name, path} of every plug-in of this build
#include "montage/effect.h"
#include "montage/host.h"

using montage::Bits;
using montage::GenerateKeyFrames;
using montage::KeyFramesOf;
using montage::SameBits;

// Test names and messages show a plug-in by its name.
inline void PrintTo(const BuiltPlugin& plugin, std::ostream* out) { *out << plugin.name; }

// The built plug-in called `name`; throws when this build has none.
inline const BuiltPlugin& FindBuiltPlugin(std::string_view name) {
  for (const BuiltPlugin& plugin : kBuiltPlugins) {
    if (plugin.name == name) return plugin;
  }
  throw std::runtime_error("no plug-in built under the name " + std::string(name));
}

// Ends an effect object a test made itself (not through a library) with Release.
struct ReleaseEffect {
  void operator()(IEffectMultiDLL* effect) const { effect->Release(); }
};

#endif  // MONTAGE_TESTS_PLUGIN_SUPPORT_H
