// The host core in process: interpolation, number formatting and plug-in loading.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "montage/host.h"
#include "plugin_support.h"

namespace {

KeyFrame At(double time, double posX, double opacity = 1.0) {
  KeyFrame frame;
  frame.Time = time;
  frame.PosX = posX;
  frame.Opacity = opacity;
  return frame;
}

TEST(Track, InterpolatesLinearlyCutsAtEqualTimesAndHidesOutsideItsKeyFrames) {
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  // Given out of order; the two keyframes at 0.5 are a cut from PosX 1 to PosX 10, and
  // the keyframe with a time that is not a number is dropped.
  const montage::Track track(
      std::vector<KeyFrame>{At(1.0, 20), At(0.5, 1), At(kNaN, 99), At(0.0, 0, 0.0), At(0.5, 10)});
  ASSERT_EQ(track.KeyFrames().size(), 4u);
  EXPECT_EQ(track.Start(), 0.0);
  EXPECT_EQ(track.End(), 1.0);
  struct Case {
    double time;
    std::optional<double> posX;  // nothing: not shown
    double opacity = 1.0;
  };
  for (const Case& c : {
           Case{-0.01, std::nullopt},
           Case{0.0, 0.0, 0.0},
           Case{0.25, 0.5, 0.5},
           Case{0.5, 10.0},  // at the cut the later keyframe holds
           Case{0.4999999999999999, 1 * 0.9999999999999998 + 0.0},
           Case{0.75, 15.0},
           Case{1.0, 20.0},
           Case{1.0000000000000002, std::nullopt},
           Case{kNaN, std::nullopt},
       }) {
    SCOPED_TRACE(montage::FormatDouble(c.time));
    const std::optional<montage::Pose> pose = track.PoseAt(c.time);
    ASSERT_EQ(pose.has_value(), c.posX.has_value());
    if (!pose) continue;
    EXPECT_DOUBLE_EQ(pose->posX, *c.posX);
    EXPECT_DOUBLE_EQ(pose->opacity, c.opacity);
    EXPECT_EQ(pose->scale, 1.0);
  }
  EXPECT_FALSE(montage::Track(std::vector<KeyFrame>{}).PoseAt(0.5).has_value());
  // A single keyframe shows its input at that one moment.
  const montage::Track single(std::vector<KeyFrame>{At(0.3, 7)});
  EXPECT_EQ(single.PoseAt(0.3)->posX, 7.0);
  EXPECT_FALSE(single.PoseAt(0.30000000000000004).has_value());
}

TEST(Track, KeyFramesAtOneTimeKeepThePluginOrder) {
  const montage::Track track(std::vector<KeyFrame>{At(0.0, 1), At(0.0, 2), At(0.0, 3), At(1.0, 4)});
  EXPECT_EQ(track.KeyFrames()[0].PosX, 1.0);
  EXPECT_EQ(track.KeyFrames()[2].PosX, 3.0);
  EXPECT_EQ(track.PoseAt(0.0)->posX, 3.0);
}

TEST(FormatDouble, ReadsBackToTheSameBitsAsJsonAndText) {
  for (const double value : {0.0, -0.0, 1.0, -0.3, 0.1 + 0.2, 1.0 / 3, 1e300, 5e-324, 9007199254740993.0,
                             18446744073709551616.0, -1.7976931348623157e308}) {
    const std::string text = montage::FormatDouble(value);
    double back = 0;
    std::from_chars(text.data(), text.data() + text.size(), back);
    EXPECT_EQ(Bits(back), Bits(value)) << text;
    EXPECT_EQ(Bits(nlohmann::json::parse(text).get<double>()), Bits(value)) << text;
  }
  EXPECT_EQ(montage::FormatDouble(0.30000000000000004), "0.30000000000000004");
  EXPECT_EQ(montage::FormatDouble(-0.0), "-0.0");
  EXPECT_EQ(montage::FormatDouble(2.0), "2");
}

TEST(Plugin, EffectsKeepTheirLibraryLoadedAndSeveralLibrariesWorkAtOnce) {
  std::vector<montage::Effect> effects;
  for (const BuiltPlugin& built : kBuiltPlugins) {
    // The Plugin is gone after this statement; the effect must keep its code loaded.
    effects.push_back(montage::Plugin::Load(built.path).CreateEffect());
  }
  effects.push_back(montage::Plugin::Load(std::string(HOST_FIXTURES_DIR) + "/sloppy/Sloppy.so").CreateEffect());
  for (std::size_t i = 0; i < effects.size(); ++i) {
    const std::string expected = i < std::size(kBuiltPlugins) ? std::string(kBuiltPlugins[i].name) : "Sloppy";
    EXPECT_EQ(effects[i].Name(), expected);
    effects[i].SetInputCount(6);
    EXPECT_EQ(effects[i].KeyFrames().size(), 6u) << expected;
    effects[i].SetInputCount(2);
    EXPECT_EQ(effects[i].Object().GetInputCount(), 2) << expected;
  }
}

TEST(Plugin, AnimationsOfOneLibraryBuildOnSeveralThreadsAtOnce) {
  // The library serialises the calls into the plug-in; every thread gets the keyframes
  // a lone build gives.
  const montage::Plugin plugin = montage::Plugin::Load(FindBuiltPlugin("Tavrino").path);
  const montage::Animation alone = montage::BuildAnimation(plugin, 40);
  std::vector<std::thread> threads;
  std::atomic<int> mismatches = 0;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 20; ++round) {
        const montage::Animation built = montage::BuildAnimation(plugin, 40);
        for (std::size_t i = 0; i < built.settings.size(); ++i) {
          if (!SameBits(built.settings[i], alone.settings[i])) ++mismatches;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, 0);
}

// The full-frame layers each template's description names, as a function of the input
// count: the first input, the last, the last three, or a pair.
struct LayerFacts {
  std::string_view name;
  std::vector<int> (*layers)(int count);
};
const LayerFacts kLayerFacts[] = {
    {"Brisolen", [](int) { return std::vector<int>{0}; }},
    {"Darvello", [](int) { return std::vector<int>{0}; }},
    {"Wistaro", [](int) { return std::vector<int>{0}; }},
    {"Halvexa", [](int) { return std::vector<int>{0}; }},
    {"Quenmar", [](int n) { return std::vector<int>{n - 1}; }},
    {"Zindomar", [](int n) { return std::vector<int>{n - 1}; }},
    {"Keluvo", [](int n) { return std::vector<int>{n - 1}; }},
    {"Morsela", [](int n) { return std::vector<int>{n - 1}; }},
    {"Tavrino",
     [](int n) {
       return std::vector<int>{n - 3, n - 2, n - 1};
     }},
    {"Pellumi",
     [](int n) {
       return std::vector<int>{n - 3, n - 2, n - 1};
     }},
    {"Ostrane",
     [](int n) {
       return std::vector<int>{0, n - 2};
     }},
    {"Fendral",
     [](int n) {
       return std::vector<int>{0, n - 1};
     }},
};

TEST(DrawingOrder, FindsExactlyTheLayersEachTemplateNamesAndDrawsThemFirst) {
  for (const LayerFacts& facts : kLayerFacts) {
    const montage::Plugin plugin = montage::Plugin::Load(FindBuiltPlugin(facts.name).path);
    const int defaultCount = plugin.Describe().defaultInputs;
    for (const int count : {defaultCount, defaultCount + 3}) {
      SCOPED_TRACE(testing::Message() << facts.name << " with " << count << " inputs");
      const montage::Animation animation = montage::BuildAnimation(plugin, count);
      const std::vector<int> layers = facts.layers(count);
      std::vector<int> expected = layers;
      for (int index = 0; index < count; ++index) {
        if (std::ranges::find(layers, index) == layers.end()) expected.push_back(index);
      }
      EXPECT_EQ(montage::DrawingOrder(animation), expected);
    }
  }
}

TEST(DrawingOrder, ALayerSpansTheWholeEffectAtFullSizeOrMore) {
  auto track = [](std::vector<std::pair<double, double>> timesAndScales) {
    std::vector<KeyFrame> frames;
    for (const auto& [time, scale] : timesAndScales) {
      KeyFrame frame;
      frame.Time = time;
      frame.Scale = scale;
      frames.push_back(frame);
    }
    return montage::Track(std::move(frames));
  };
  struct Case {
    const char* what;
    montage::Track track;
    bool layer;
  };
  const Case cases[] = {
      {"0 to 1 at full size", track({{0, 1}, {1, 1}}), true},
      {"given out of order, zooming in", track({{1, 2.77}, {0, 1}, {0.8, 1}}), true},
      {"from before 0 to after 1", track({{-0.5, 1.3}, {1.5, 1.3}}), true},
      {"ending before 1", track({{0, 1}, {0.9999999999999999, 1}}), false},
      {"starting after 0", track({{0.1, 1}, {1, 1}}), false},
      {"smaller than the frame once", track({{0, 1}, {0.5, 0.99}, {1, 1}}), false},
      {"a scale that is not a number", track({{0, 1}, {1, std::numeric_limits<double>::quiet_NaN()}}), false},
      {"no keyframes", track({}), false},
  };
  for (const Case& c : cases) EXPECT_EQ(montage::IsLayer(c.track), c.layer) << c.what;
}

}  // namespace
