// The timeline chart: what its pixels show, its SVG, every template, and its file errors.
#include "montage/timeline.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "built_plugins.h"
#include "host_test_support.h"

namespace {

namespace fs = std::filesystem;

const auto* const kDrawingCaches = ::testing::AddGlobalTestEnvironment(new DrawingCachesEnvironment);

// The fill of the keyframe diamonds, #F4F4F8, in the PNG and as Cairo writes it in an SVG.
constexpr montage::Colour kMark{244, 244, 248, 255};
constexpr std::string_view kSvgMarkFill = "fill:rgb(95.686275%,95.686275%,97.254902%)";

KeyFrame Key(double time, double opacity, double scale = 0.5) {
  KeyFrame frame;
  frame.Time = time;
  frame.Opacity = opacity;
  frame.Scale = scale;
  return frame;
}

montage::Animation Made(std::vector<std::vector<KeyFrame>> settings) {
  montage::Animation animation;
  animation.info.name = "Handmade";
  animation.info.displayName = "Handmade";
  animation.inputCount = static_cast<int>(settings.size());
  animation.settings = std::move(settings);
  for (const std::vector<KeyFrame>& frames : animation.settings) animation.tracks.emplace_back(frames);
  return animation;
}

// Input 0 a full-frame layer; input 1 fades in from 0.2 to 0.4, holds, cuts to half at
// 0.6 and fades out by 0.8; input 2 has no keyframes; input 3 runs from -0.5 to 1.5.
montage::Animation Sample() {
  return Made({{Key(0, 1, 1.2), Key(1, 1, 1.2)},
               {Key(0.2, 0), Key(0.4, 1), Key(0.6, 1), Key(0.6, 0.5), Key(0.8, 0)},
               {},
               {Key(-0.5, 1), Key(1.5, 1)}});
}

double Distance(montage::Colour a, montage::Colour b) { return std::hypot(a.r - b.r, a.g - b.g, a.b - b.b); }

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::size_t Count(std::string_view text, std::string_view part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

bool WellFormedXml(const fs::path& file) {
  return std::system(("xmllint --noout '" + file.string() + "' 2>&1").c_str()) == 0;
}

std::vector<fs::path> FilesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path().filename());
  return files;
}

TEST(Timeline, ShadesEachInputWhereItIsShownAsStrongAsItsOpacity) {
  const montage::Animation animation = Sample();
  const montage::TimelineLayout layout = montage::LayoutTimeline(animation);
  const montage::Image chart = montage::TimelineImage(animation);
  ASSERT_EQ(chart.Width(), layout.width);
  ASSERT_EQ(chart.Height(), layout.height);
  EXPECT_EQ(layout.rowsShown, 4);
  // Above the diamonds on the row's middle line.
  auto shade = [&](int input, double time) {
    return chart.At(static_cast<int>(layout.TimeX(time)), static_cast<int>(layout.RowCentreY(input)) - 10);
  };
  const montage::Colour lane = shade(1, 0.1);  // before input 1 appears
  EXPECT_EQ(shade(1, 0.9), lane);
  EXPECT_EQ(shade(2, 0.3), lane);  // no keyframes: nothing shown
  EXPECT_EQ(NearestPlaceholder(shade(1, 0.45), 4), 1);
  const double full = Distance(shade(1, 0.45), lane);
  ASSERT_GT(full, 100);
  struct Case {
    double time;
    double opacity;
  };
  for (const Case c :
       {Case{0.27, 0.35}, Case{0.3, 0.5}, Case{0.35, 0.75}, Case{0.55, 1}, Case{0.65, 0.375}, Case{0.7, 0.25}}) {
    SCOPED_TRACE(c.time);
    EXPECT_NEAR(Distance(shade(1, c.time), lane) / full, c.opacity, 0.03);
  }
}

TEST(Timeline, MarksKeyFramesCutsAndInputsBeyondTheAxis) {
  const montage::Animation animation = Sample();
  const montage::TimelineLayout layout = montage::LayoutTimeline(animation);
  const montage::Image chart = montage::TimelineImage(animation);
  auto marksOnRow = [&](int input) {
    const int y = static_cast<int>(layout.RowCentreY(input));
    int runs = 0;
    bool inside = false;
    for (int x = static_cast<int>(layout.laneLeft) - 20; x < static_cast<int>(layout.laneRight) + 20; ++x) {
      const bool mark = chart.At(x, y) == kMark;
      runs += mark && !inside;
      inside = mark;
    }
    return runs;
  };
  EXPECT_EQ(marksOnRow(0), 2);
  EXPECT_EQ(marksOnRow(1), 5);  // the two at the cut side by side
  EXPECT_EQ(marksOnRow(2), 0);
  EXPECT_EQ(marksOnRow(3), 0);  // both keyframes lie beyond the axis ...
  // ... which arrows at both ends say; a row within the axis has none.
  const int y3 = static_cast<int>(layout.RowCentreY(3));
  const int y1 = static_cast<int>(layout.RowCentreY(1));
  const int left = static_cast<int>(layout.laneLeft) - 6;
  const int right = static_cast<int>(layout.laneRight) + 6;
  EXPECT_GT(chart.At(left, y3).r, 200);
  EXPECT_GT(chart.At(right, y3).r, 200);
  EXPECT_LT(chart.At(left, y1).r, 60);
  EXPECT_LT(chart.At(right, y1).r, 60);
}

TEST(Timeline, LayerRowsAreTintedAndBadged) {
  const montage::Animation animation = Sample();
  ASSERT_TRUE(montage::IsLayer(animation.tracks[0]));
  const montage::TimelineLayout layout = montage::LayoutTimeline(animation);
  const montage::Image chart = montage::TimelineImage(animation);
  const int x = static_cast<int>(layout.laneLeft) - 8;  // between the label and the lane
  const montage::Colour layer = chart.At(x, static_cast<int>(layout.RowCentreY(0)));
  for (const int input : {1, 2, 3}) {
    const montage::Colour other = chart.At(x, static_cast<int>(layout.RowCentreY(input)));
    EXPECT_GT(layer.b - layer.r, other.b - other.r + 10) << input;
  }
  // The badge: blue, at the right of the label column, on the layer's row only.
  auto badged = [&](int input) {
    const int y = static_cast<int>(layout.RowCentreY(input));
    for (int at = static_cast<int>(layout.laneLeft) - 80; at < layout.laneLeft; ++at) {
      const montage::Colour c = chart.At(at, y - 3);
      if (c.b > 180 && c.b - c.r > 80 && c.g < 140) return true;
    }
    return false;
  };
  EXPECT_TRUE(badged(0));
  EXPECT_FALSE(badged(1) || badged(2) || badged(3));
}

TEST(Timeline, WritesTheSamePictureAsPngAndOneMarkPerKeyFrameAsSvg) {
  const ScratchFolder scratch("timeline");
  const montage::Animation animation = Sample();
  montage::WriteTimeline(animation, scratch.Path() / "chart.png");
  const montage::Image drawn = montage::TimelineImage(animation);
  const montage::Image read = montage::Image::Read(scratch.Path() / "chart.png");
  ASSERT_EQ(read.Width(), drawn.Width());
  ASSERT_EQ(read.Height(), drawn.Height());
  EXPECT_TRUE(std::equal(drawn.Data(), drawn.Data() + drawn.Width() * drawn.Height(), read.Data()));

  // Upper case names the format as well. The legend has diamonds of its own: an
  // animation without keyframes gives their number.
  montage::WriteTimeline(animation, scratch.Path() / "chart.SVG");
  montage::WriteTimeline(Made({{}, {}, {}, {}}), scratch.Path() / "legend.svg");
  const std::string svg = ReadAll(scratch.Path() / "chart.SVG");
  EXPECT_TRUE(svg.starts_with("<?xml"));
  EXPECT_TRUE(WellFormedXml(scratch.Path() / "chart.SVG"));
  EXPECT_NE(svg.find("width=\"" + std::to_string(drawn.Width()) + "px\""), std::string::npos);
  const std::size_t legend = Count(ReadAll(scratch.Path() / "legend.svg"), kSvgMarkFill);
  EXPECT_EQ(Count(svg, kSvgMarkFill) - legend, 7u);  // 2 + 5 + 0 + none beyond the axis
}

TEST(Timeline, StaysBoundedAndDrawsWhateverTheValues) {
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  const double kInf = std::numeric_limits<double>::infinity();
  KeyFrame wild = Key(0.5, kInf, 1e300);
  wild.PosX = -1e300;
  wild.PosY = kNaN;
  struct Case {
    const char* what;
    montage::Animation animation;
    int rowsShown;
  };
  std::vector<Case> cases;
  cases.push_back({"one input", Made({{Key(0.2, 0), Key(0.8, 1)}}), 1});
  cases.push_back({"absurd values",
                   Made({{Key(0, kNaN, kNaN), wild, Key(1, -kInf, -1e12)},
                         {Key(-1e300, 1, 1e12), Key(1e300, 0.5, -1e12)},
                         {Key(0.5, 1), Key(0.5, 0), Key(0.5, 1), Key(0.5, 0), Key(0.5, 1)}}),
                   3});
  cases.push_back({"1000 inputs", Made(std::vector<std::vector<KeyFrame>>(1000, {Key(0, 1), Key(1, 0)})), 200});
  montage::Animation named = Made({{Key(0, 1)}});
  named.info.displayName = std::string("bad \xff\xfe bytes \x01 and a very long name ") + std::string(5000, 'x');
  cases.push_back({"a name that is no UTF-8", std::move(named), 1});
  const ScratchFolder scratch("timeline-values");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const montage::TimelineLayout layout = montage::LayoutTimeline(c.animation);
    EXPECT_EQ(layout.rowsShown, c.rowsShown);
    EXPECT_LE(layout.height, 3500);
    EXPECT_GE(layout.rowHeight, 16);
    const montage::Image chart = montage::TimelineImage(c.animation);
    EXPECT_EQ(chart.Height(), layout.height);
    EXPECT_NO_THROW(montage::WriteTimeline(c.animation, scratch.Path() / "chart.svg"));
    EXPECT_TRUE(WellFormedXml(scratch.Path() / "chart.svg"));
  }
}

TEST(Timeline, EveryTemplateAtItsDefaultInputCountWritesBothFormats) {
  const ScratchFolder scratch("timeline-templates");
  for (const BuiltPlugin& built : kBuiltPlugins) {
    SCOPED_TRACE(built.name);
    const montage::Plugin plugin = montage::Plugin::Load(built.path);
    const montage::Animation animation = montage::BuildAnimation(plugin, plugin.Describe().defaultInputs);
    const fs::path png = scratch.Path() / (std::string(built.name) + ".png");
    const fs::path svg = scratch.Path() / (std::string(built.name) + ".svg");
    montage::WriteTimeline(animation, png);
    montage::WriteTimeline(animation, svg);
    const montage::Image read = montage::Image::Read(png);
    EXPECT_EQ(read.Height(), montage::LayoutTimeline(animation).height);
    EXPECT_EQ(montage::LayoutTimeline(animation).rowsShown, animation.inputCount);
    EXPECT_TRUE(WellFormedXml(svg));
  }
}

TEST(Timeline, FilesItCannotWriteAreErrorsNamingThemAndLeaveNothing) {
  const ScratchFolder scratch("timeline-errors");
  std::ofstream(scratch.Path() / "plain") << "a file, not a folder";
  for (const fs::path& file : {scratch.Path() / "chart.gif", scratch.Path() / "chart", scratch.Path() / "chart.png.txt",
                               scratch.Path() / "missing" / "chart.png", scratch.Path() / "plain" / "chart.svg"}) {
    SCOPED_TRACE(file.string());
    try {
      montage::WriteTimeline(Sample(), file);
      ADD_FAILURE() << "no error";
    } catch (const montage::HostError& error) {
      EXPECT_NE(std::string(error.what()).find(file.string()), std::string::npos) << error.what();
    }
  }
  EXPECT_EQ(FilesIn(scratch.Path()), std::vector<fs::path>{"plain"});
}

// In a child process whose files may not grow beyond `limit` bytes (a full disk),
// writes the chart over `file`; the child's status says whether that was a HostError
// naming the file.
bool FailsOnAFullDisk(const fs::path& file, rlim_t limit) {
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit small{limit, limit};
    setrlimit(RLIMIT_FSIZE, &small);
    try {
      montage::WriteTimeline(Sample(), file);
    } catch (const montage::HostError& error) {
      _exit(std::string(error.what()).find(file.string()) != std::string::npos ? 0 : 2);
    }
    _exit(1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(Timeline, AFullDiskLeavesTheFileThatWasThere) {
  const ScratchFolder scratch("timeline-full");
  for (const char* name : {"chart.png", "chart.svg"}) {
    SCOPED_TRACE(name);
    const fs::path file = scratch.Path() / name;
    std::ofstream(file) << "the chart before";
    EXPECT_TRUE(FailsOnAFullDisk(file, 4096));
    EXPECT_EQ(ReadAll(file), "the chart before");
    EXPECT_EQ(FilesIn(scratch.Path()).size(), 1u);  // no temporary file left either
    // A complete chart does replace it.
    montage::WriteTimeline(Sample(), file);
    if (file.extension() == ".png") {
      EXPECT_EQ(montage::Image::Read(file).Height(), montage::LayoutTimeline(Sample()).height);
    } else {
      EXPECT_TRUE(WellFormedXml(file));
    }
    fs::remove(file);
  }
}

}  // namespace
