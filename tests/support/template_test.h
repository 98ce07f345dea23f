// The fixture of a test of one template plug-in, named by its plug-in name:
//   using Brisolen = TemplateTest<"Brisolen">;
//   TEST_F(Brisolen, ...) { ... GenerateKeyFrames(effect_, index, count) ... }
#ifndef MONTAGE_TESTS_TEMPLATE_TEST_H
#define MONTAGE_TESTS_TEMPLATE_TEST_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>

#include "plugin_support.h"

// A plug-in name as a template argument.
template <std::size_t N>
struct PluginName {
  // Implicit, so that a string literal is the template argument.
  constexpr PluginName(const char (&name)[N]) { std::copy_n(name, N, text); }
  char text[N];
};

// The built plug-in `Name`, loaded for the test, and one effect created from it.
template <PluginName Name>
class TemplateTest : public ::testing::Test {
 protected:
  montage::Plugin plugin_ = montage::Plugin::Load(FindBuiltPlugin(Name.text).path);
  montage::Effect owner_ = plugin_.CreateEffect();
  IEffectMultiDLL& effect_ = owner_.Object();
};

#endif  // MONTAGE_TESTS_TEMPLATE_TEST_H
