// montage-host run as a user runs it: its output, files and exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host_run.h"
#include "host_test_support.h"
#include "montage/host.h"
#include "plugin_support.h"

namespace {

namespace fs = std::filesystem;

const fs::path kFixtures = HOST_FIXTURES_DIR;

fs::path BuiltPluginFolder() { return fs::path(kBuiltPlugins[0].path).parent_path(); }

int DefaultInputs(const BuiltPlugin& plugin) { return montage::Plugin::Load(plugin.path).Describe().defaultInputs; }

// The in-process settings of `plugin` for `count` inputs, read as a host reads them.
std::vector<std::vector<KeyFrame>> InProcessSettings(const BuiltPlugin& plugin, int count) {
  const montage::Effect effect = montage::Plugin::Load(plugin.path).CreateEffect();
  int n = 0;
  const CEffectSetting* settings = effect.Object().GetSettingsFor(count, &n);
  std::vector<std::vector<KeyFrame>> result;
  for (int index = 0; index < n; ++index) result.push_back(KeyFramesOf(settings[index]));
  return result;
}

double JsonNumber(const nlohmann::json& value) { return value.get<double>(); }

class EveryPluginThroughTheHost : public ::testing::TestWithParam<BuiltPlugin> {};

TEST_P(EveryPluginThroughTheHost, JsonAndCsvExportsReadBackBitForBit) {
  for (const int count : {DefaultInputs(GetParam()), 7}) {
    SCOPED_TRACE(count);
    const std::vector<std::vector<KeyFrame>> expected = InProcessSettings(GetParam(), count);
    const std::string name(GetParam().name);
    const std::string inputs = std::to_string(count);

    const HostRun json = RunHost({"keyframes", name, "--inputs", inputs, "--format", "json"});
    ASSERT_EQ(json.status, 0) << Describe(json);
    const nlohmann::json document = nlohmann::json::parse(json.out);
    EXPECT_EQ(document["template"], name);
    ASSERT_EQ(document["inputCount"], count);
    ASSERT_EQ(document["inputs"].size(), expected.size());
    for (std::size_t index = 0; index < expected.size(); ++index) {
      const nlohmann::json& frames = document["inputs"][index]["keyFrames"];
      std::vector<KeyFrame> read;
      for (const nlohmann::json& f : frames) {
        read.push_back({JsonNumber(f["posX"]), JsonNumber(f["posY"]), JsonNumber(f["scale"]), JsonNumber(f["opacity"]),
                        JsonNumber(f["rotation"]), JsonNumber(f["time"]), JsonNumber(f["aux0"]), f["aux1"].get<int>(),
                        f["aux2"].get<int>()});
      }
      EXPECT_TRUE(SameBits(read, expected[index])) << "input " << index;
    }

    const HostRun csv = RunHost({"keyframes", name, "--inputs", inputs, "--format", "csv"});
    ASSERT_EQ(csv.status, 0) << Describe(csv);
    std::istringstream lines(csv.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "input,keyframe,time,posX,posY,scale,opacity,rotation,aux0,aux1,aux2");
    std::vector<std::vector<KeyFrame>> read(expected.size());
    while (std::getline(lines, line)) {
      std::vector<std::string> cells;
      std::istringstream row(line);
      for (std::string cell; std::getline(row, cell, ',');) cells.push_back(cell);
      ASSERT_EQ(cells.size(), 11u) << line;
      auto number = [&](int column) { return std::strtod(cells[static_cast<std::size_t>(column)].c_str(), nullptr); };
      read.at(std::stoul(cells[0]))
          .push_back({number(3), number(4), number(5), number(6), number(7), number(2), number(8), std::stoi(cells[9]),
                      std::stoi(cells[10])});
    }
    for (std::size_t index = 0; index < expected.size(); ++index) {
      EXPECT_TRUE(SameBits(read[index], expected[index])) << "csv input " << index;
    }
  }
}

TEST_P(EveryPluginThroughTheHost, SampleFollowsTheInterpolationRulesAtAndBetweenKeyFrames) {
  const int count = DefaultInputs(GetParam());
  const std::vector<std::vector<KeyFrame>> settings = InProcessSettings(GetParam(), count);
  // Every keyframe time, and the midpoint between neighbouring keyframe times.
  std::set<double> times;
  for (const std::vector<KeyFrame>& frames : settings) {
    std::vector<KeyFrame> sorted = frames;
    std::ranges::stable_sort(sorted, {}, &KeyFrame::Time);
    for (std::size_t k = 0; k < sorted.size(); ++k) {
      times.insert(sorted[k].Time);
      if (k > 0 && sorted[k - 1].Time < sorted[k].Time) times.insert((sorted[k - 1].Time + sorted[k].Time) / 2);
    }
  }
  std::vector<std::string> args = {"sample", std::string(GetParam().name), "--format", "json", "--time"};
  for (const double time : times) args.push_back(montage::FormatDouble(time));
  const HostRun run = RunHost(args);
  ASSERT_EQ(run.status, 0) << Describe(run);
  const nlohmann::json samples = nlohmann::json::parse(run.out)["samples"];
  ASSERT_EQ(samples.size(), times.size());

  for (const nlohmann::json& sample : samples) {
    const double t = sample["time"].get<double>();
    for (std::size_t index = 0; index < settings.size(); ++index) {
      SCOPED_TRACE(testing::Message() << "input " << index << " at " << montage::FormatDouble(t));
      std::vector<KeyFrame> sorted = settings[index];
      std::ranges::stable_sort(sorted, {}, &KeyFrame::Time);
      const nlohmann::json& pose = sample["inputs"][index];
      if (sorted.empty() || t < sorted.front().Time || t > sorted.back().Time) {
        EXPECT_FALSE(pose["shown"].get<bool>());
        continue;
      }
      ASSERT_TRUE(pose["shown"].get<bool>());
      // At a keyframe time the last keyframe there is the pose; between two the fields
      // run linearly.
      KeyFrame expected{};
      const auto after = std::ranges::upper_bound(sorted, t, {}, &KeyFrame::Time);
      const KeyFrame& a = *(after - 1);
      if (a.Time == t) {
        expected = a;
      } else {
        const KeyFrame& b = *after;
        const double u = (t - a.Time) / (b.Time - a.Time);
        expected.PosX = a.PosX + (b.PosX - a.PosX) * u;
        expected.PosY = a.PosY + (b.PosY - a.PosY) * u;
        expected.Scale = a.Scale + (b.Scale - a.Scale) * u;
        expected.Opacity = a.Opacity + (b.Opacity - a.Opacity) * u;
        expected.Rotation = a.Rotation + (b.Rotation - a.Rotation) * u;
      }
      EXPECT_EQ(Bits(pose["posX"].get<double>()), Bits(expected.PosX));
      EXPECT_EQ(Bits(pose["posY"].get<double>()), Bits(expected.PosY));
      EXPECT_EQ(Bits(pose["scale"].get<double>()), Bits(expected.Scale));
      EXPECT_EQ(Bits(pose["opacity"].get<double>()), Bits(expected.Opacity));
      EXPECT_EQ(Bits(pose["rotation"].get<double>()), Bits(expected.Rotation));
    }
  }
}

TEST_P(EveryPluginThroughTheHost, ValidatePassesByFileAndByName) {
  for (const std::string& argument : {std::string(GetParam().path), std::string(GetParam().name)}) {
    const HostRun run = RunHost({"validate", argument});
    EXPECT_EQ(run.status, 0) << Describe(run);
    EXPECT_EQ(run.out.find("FAIL"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("PASS  Release"), std::string::npos) << run.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Plugins, EveryPluginThroughTheHost, ::testing::ValuesIn(kBuiltPlugins),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(HostList, FindsEveryBuiltPluginInTheDefaultFolder) {
  const HostRun run = RunHost({"list"});
  ASSERT_EQ(run.status, 0) << Describe(run);
  // Rows are LIBRARY NAME DISPLAY-NAME INPUTS DEFAULT CODE, in aligned columns.
  std::set<std::pair<std::string, std::string>> rows;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream cells(line);
    std::string library, name;
    cells >> library >> name;
    rows.emplace(library, name);
  }
  for (const BuiltPlugin& plugin : kBuiltPlugins) {
    EXPECT_TRUE(rows.contains({plugin.path, std::string(plugin.name)})) << plugin.name << "\n" << run.out;
  }
}

TEST(HostList, SearchPathComesFromTheOptionThenTheVariable) {
  const std::string oom = (kFixtures / "oom").string();
  const HostRun fromVariable = RunHost({"list"}, oom);
  EXPECT_EQ(fromVariable.status, 0) << Describe(fromVariable);
  EXPECT_NE(fromVariable.out.find("Exhausting"), std::string::npos);
  EXPECT_EQ(fromVariable.out.find("Brisolen"), std::string::npos);

  const HostRun fromOption = RunHost({"--plugin-path", "/nonexistent:" + BuiltPluginFolder().string(), "list"}, oom);
  EXPECT_EQ(fromOption.status, 0) << Describe(fromOption);
  EXPECT_NE(fromOption.out.find("Brisolen"), std::string::npos);
  EXPECT_EQ(fromOption.out.find("Exhausting"), std::string::npos);
}

TEST(HostList, ReportsLibrariesThatDoNotLoadNextToTheOthers) {
  const HostRun run =
      RunHost({"--plugin-path", (kFixtures / "broken").string() + ":" + BuiltPluginFolder().string(), "list"});
  EXPECT_EQ(run.status, 1) << Describe(run);
  EXPECT_NE(run.out.find("Brisolen"), std::string::npos);
  EXPECT_NE(run.err.find("Garbage.so"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("NoExports.so"), std::string::npos) << run.err;
}

TEST(HostSample, TimesOutsideZeroToOneShowOnlyInputsThatSpanThem) {
  for (const std::string time : {"1.5", "-0.25"}) {
    const HostRun run = RunHost({"sample", "brisolen", "--time", time});
    EXPECT_EQ(run.status, 0) << Describe(run);
    EXPECT_NE(run.out.find("outside 0..1"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("0      not shown: keyframes span 0 to 1"), std::string::npos) << run.out;
  }
}

TEST(HostRender, HalvexaQuadrantsCarryInputsOneToFourAtTimeOne) {
  if (std::ranges::none_of(kBuiltPlugins, [](const BuiltPlugin& p) { return p.name == "Halvexa"; })) {
    GTEST_SKIP() << "Halvexa is not built";
  }
  const ScratchFolder scratch("halvexa");
  // Solid pictures: input k shows picture k, opaque, so each quadrant is exactly its colour.
  std::vector<std::string> args = {"render",  "Halvexa",   "--size", "160x90", "--fps",
                                   "1",       "--seconds", "1",      "--out",  (scratch.Path() / "pictures").string(),
                                   "--images"};
  for (int k = 0; k < 5; ++k)
    args.push_back(WriteSolidPng(scratch.Path() / ("in" + std::to_string(k) + ".png"), k).string());
  const HostRun pictures = RunHost(args);
  ASSERT_EQ(pictures.status, 0) << Describe(pictures);
  const montage::Image withPictures = montage::Image::Read(scratch.Path() / "pictures" / "frame-0001.png");
  ASSERT_EQ(withPictures.Width(), 160);
  ASSERT_EQ(withPictures.Height(), 90);
  // Reading order: top left, top right, bottom left, bottom right.
  const int quadrantX[4] = {40, 120, 40, 120};
  const int quadrantY[4] = {22, 22, 67, 67};
  for (int k = 1; k <= 4; ++k) {
    EXPECT_EQ(withPictures.At(quadrantX[k - 1], quadrantY[k - 1]), SolidColour(k)) << "input " << k;
  }

  // Placeholder cards are translucent: each quadrant is nearest in hue to its input.
  const HostRun cards = RunHost({"render", "Halvexa", "--size", "320x180", "--fps", "1", "--seconds", "1", "--out",
                                 (scratch.Path() / "cards").string()});
  ASSERT_EQ(cards.status, 0) << Describe(cards);
  const montage::Image withCards = montage::Image::Read(scratch.Path() / "cards" / "frame-0001.png");
  for (int k = 1; k <= 4; ++k) {
    // Away from the outline and the number at the card's centre.
    const montage::Colour seen = withCards.At(2 * quadrantX[k - 1] - 50, 2 * quadrantY[k - 1] - 25);
    EXPECT_EQ(NearestPlaceholder(seen, 5), k) << "input " << k;
  }
}

TEST(HostRender, FramesHaveTheRequestedSizeAndPicturesCoverTheirRectangle) {
  const ScratchFolder scratch("cover");
  const fs::path jpeg = WriteSolidJpeg(scratch.Path() / "wide.jpg", 64, 16, {200, 40, 40, 255});
  const fs::path out = scratch.Path() / "frames";
  // Brisolen's background (input 0, scale 1.31, slightly off centre) covers the whole
  // frame at time 0, where it is the only input shown.
  const HostRun run = RunHost({"render", "Brisolen", "--images", jpeg.string(), "--size", "200x120", "--fps", "2",
                               "--seconds", "1.5", "--out", out.string()});
  ASSERT_EQ(run.status, 0) << Describe(run);
  for (int k = 0; k < 4; ++k) {
    const montage::Image frame = montage::Image::Read(out / ("frame-000" + std::to_string(k) + ".png"));
    EXPECT_EQ(frame.Width(), 200);
    EXPECT_EQ(frame.Height(), 120);
  }
  EXPECT_FALSE(fs::exists(out / "frame-0004.png"));
  EXPECT_TRUE(fs::exists(out / "contact-sheet.png"));
  const montage::Image first = montage::Image::Read(out / "frame-0000.png");
  for (const auto& [x, y] : {std::pair{0, 0}, {199, 0}, {0, 119}, {199, 119}, {100, 60}}) {
    const montage::Colour c = first.At(x, y);
    EXPECT_NEAR(c.r, 200, 3) << x << "," << y;
    EXPECT_NEAR(c.g, 40, 3) << x << "," << y;
    EXPECT_NEAR(c.b, 40, 3) << x << "," << y;
  }
}

TEST(HostContactSheets, OneSheetForEveryTemplateIntoOneFolder) {
  const ScratchFolder scratch("sheets");
  const fs::path out = scratch.Path() / "sheets";
  const HostRun run = RunHost({"contact-sheets", "--out", out.string(), "--frames", "4", "--size", "160x90"});
  ASSERT_EQ(run.status, 0) << Describe(run);
  for (const BuiltPlugin& plugin : kBuiltPlugins) {
    const fs::path sheet = out / (std::string(plugin.name) + ".png");
    EXPECT_NE(run.out.find(sheet.string() + "\n"), std::string::npos) << run.out;
    // Two by two thumbnails under a title line.
    EXPECT_GT(montage::Image::Read(sheet).Width(), 2 * 160) << plugin.name;
  }
}

TEST(HostTimeline, WritesTheChartInTheFormatItsNameAsks) {
  const ScratchFolder scratch("timeline");
  for (const std::string name : {"chart.png", "chart.SVG"}) {
    const fs::path file = scratch.Path() / name;
    const HostRun run = RunHost({"timeline", "Ostrane", "--out", file.string()});
    ASSERT_EQ(run.status, 0) << Describe(run);
    EXPECT_GT(fs::file_size(file), 1000u);
  }
  EXPECT_EQ(montage::Image::Read(scratch.Path() / "chart.png").Width(), 1400);
  EXPECT_TRUE(ReadFile(scratch.Path() / "chart.SVG").starts_with("<?xml"));
  const HostRun wrong = RunHost({"timeline", "Ostrane", "--out", (scratch.Path() / "chart.pdf").string()});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find("chart.pdf: a timeline is written as .png or .svg"), std::string::npos) << wrong.err;
}

TEST(HostValidate, ReportsEachBrokenRuleAndFails) {
  struct Case {
    fs::path library;
    std::vector<std::string> failures;
  };
  const Case cases[] = {
      {kFixtures / "sloppy" / "Sloppy.so",
       {"FAIL  GetName and GetDisplayName agree: GetName gives \"Sloppy\", GetDisplayName \"Slapdash\"",
        "FAIL  keyframe values are finite: keyframe 0 of input 1 of"}},
      {kFixtures / "oom" / "Exhausting.so", {"out of memory in template Exhausting"}},
      {kFixtures / "broken" / "NoExports.so",
       {"FAIL  exports exactly GetNumEffects and CreateEffect: exports NotATemplate",
        "FAIL  loads and resolves both exports", "lacks the export GetNumEffects"}},
      {kFixtures / "broken" / "Garbage.so", {"is not an ELF file", "FAIL  loads and resolves both exports"}},
      {"NoSuchTemplate", {"FAIL  no such library file or template"}},
  };
  for (const Case& c : cases) {
    const HostRun run = RunHost({"validate", c.library.string()});
    EXPECT_EQ(run.status, 1) << Describe(run);
    for (const std::string& failure : c.failures) EXPECT_NE(run.out.find(failure), std::string::npos) << run.out;
  }
  // Every library is checked, and one failure fails the run.
  const HostRun mixed = RunHost({"validate", kBuiltPlugins[0].path, (kFixtures / "sloppy" / "Sloppy.so").string()});
  EXPECT_EQ(mixed.status, 1);
  EXPECT_NE(mixed.out.find("== " + std::string(kBuiltPlugins[0].path) + "\n"), std::string::npos);
  EXPECT_NE(mixed.out.find("all checks passed"), std::string::npos);
}

TEST(HostErrors, BadInputGivesAClearMessageAndAStatus) {
  const ScratchFolder scratch("errors");
  const fs::path notImage = scratch.Path() / "notes.png";
  std::ofstream(notImage) << "just text";
  const fs::path aFile = scratch.Path() / "file";
  std::ofstream(aFile) << "x";
  const std::string missing = (scratch.Path() / "missing.png").string();
  const std::string out = (scratch.Path() / "out").string();
  struct Case {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> messages;  // all on standard error
  };
  const Case cases[] = {
      {{"keyframes", "Nope"}, 1, {"unknown template 'Nope'", "Brisolen"}},
      {{"--plugin-path", (kFixtures / "empty").string(), "list"}, 1, {"no plug-ins found in", "empty"}},
      {{"keyframes", (kFixtures / "broken" / "Garbage.so").string()}, 1, {"cannot load", "Garbage.so: file too short"}},
      {{"keyframes", (kFixtures / "broken" / "NoExports.so").string()}, 1, {"not a template plug-in", "GetNumEffects"}},
      {{"--plugin-path", (kFixtures / "oom").string(), "keyframes", "exhausting"}, 1, {"out of memory", "Exhausting"}},
      {{"keyframes", "Brisolen", "--inputs", "0"}, 2, {"--inputs", "whole number from 1 to"}},
      {{"keyframes", "Brisolen", "--inputs", "many"}, 2, {"--inputs", "not 'many'"}},
      {{"keyframes", "Brisolen", "--inputs", "100001"}, 2, {"--inputs", "whole number from 1 to 100000"}},
      {{"keyframes", "Brisolen", "--format", "xml"}, 2, {"--format"}},
      {{"sample", "Brisolen"}, 2, {"--time"}},
      {{"sample", "Brisolen", "--time", "soon"}, 2, {"--time", "finite number"}},
      {{"render", "Brisolen", "--images", missing, "--out", out}, 1, {"cannot read", missing, "No such file"}},
      {{"render", "Brisolen", "--images", notImage.string(), "--out", out},
       1,
       {"cannot decode image", notImage.string()}},
      {{"render", "Brisolen", "--out", (aFile / "sub").string()}, 1, {"cannot write to output folder", "sub"}},
      {{"render", "Brisolen", "--size", "0x90", "--out", out}, 2, {"--size", "WIDTHxHEIGHT"}},
      {{"render", "Brisolen", "--fps", "-1", "--out", out}, 2, {"--fps"}},
      {{"render", "Brisolen", "--images", "--fps", "1", "--out", out}, 2, {"--images", "'--fps' is an option"}},
      {{"render", "Brisolen", "--fps", "1000", "--seconds", "1000", "--out", out}, 1, {"more than 10000 frames"}},
      {{"frobnicate"}, 2, {"subcommand"}},
      {{}, 2, {"subcommand"}},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& arg : c.args) joined += arg + " ";
    SCOPED_TRACE(joined);
    const HostRun run = RunHost(c.args);
    EXPECT_EQ(run.status, c.status) << Describe(run);
    for (const std::string& message : c.messages) EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
  }
}

TEST(HostErrors, FewerInputsThanTheMinimumAreBuiltWithAWarning) {
  const HostRun run = RunHost({"keyframes", "Brisolen", "--inputs", "3"});
  EXPECT_EQ(run.status, 0) << Describe(run);
  EXPECT_NE(run.err.find("warning: Brisolen is designed for 16 or more inputs; building 3"), std::string::npos)
      << run.err;
  EXPECT_NE(run.out.find("Brisolen: 3 inputs"), std::string::npos);
}

TEST(HostHelp, EveryCommandExplainsItself) {
  for (const std::string command :
       {"list", "keyframes", "sample", "render", "timeline", "validate", "contact-sheets"}) {
    const HostRun run = RunHost({command, "--help"});
    EXPECT_EQ(run.status, 0) << Describe(run);
    EXPECT_NE(run.out.find("montage-host " + command), std::string::npos) << run.out;
  }
  const HostRun top = RunHost({"--help"});
  EXPECT_EQ(top.status, 0);
  EXPECT_NE(top.out.find("contact-sheets"), std::string::npos) << top.out;
}

}  // namespace
