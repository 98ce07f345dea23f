// Tavrino and Pellumi: the scrolling-row layout with two sets of constants. Every test
// runs for both templates from one table of facts per template.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <new>
#include <string>
#include <vector>

#include "keyframe_matchers.h"

namespace {

// The decimals the layout tables give their times to.
constexpr int kTimeDecimals = 4;

// One keyframe as (PosX, Opacity, Time); PosX and Opacity are exact, Time is given to
// kTimeDecimals decimals. PosY and Rotation are 0.
struct Pose {
  double posX;
  double opacity;
  double time;
};

struct InputRow {
  double scale;
  std::vector<Pose> poses;
};

struct ScrollingRowFacts {
  std::string name;
  double pitch;
  double wrap;
  double carouselScale;
  std::vector<InputRow> eightInputs;
  std::vector<ExpectedTime> roundedTimes;  // to kTimeDecimals decimals
  std::vector<ExpectedTime> exactTimes;    // to the last bit
};

constexpr double kTavrinoPitch = 0.7222;
constexpr double kTavrinoWrap = 1.0111;
constexpr double kTavrinoCarousel = 0.75;
constexpr double kPellumiPitch = 0.5416;
constexpr double kPellumiWrap = 0.75824;
constexpr double kPellumiCarousel = 0.67;
constexpr double kBelowOne = 0.99999999999999989;  // 1 - 2^-53

// The tile times of eight inputs (step 0.2) do not depend on the constants; the wrap
// pairs are (i - 0.6) * step and (i - 0.4) * step with the difference formed first:
// 1.4 * 0.2 is 0.27999999999999997 where 2 * 0.2 - 0.6 * 0.2 gives 0.28.
// clang-format off
const std::vector<ExpectedTime> kWrapTimesOfEightInputs = {
    {8, 5, 2, 0.27999999999999997}, {8, 5, 3, 0.32000000000000006}, {8, 5, 7, 0.88000000000000012},
    {8, 6, 3, 0.48}, {8, 7, 1, 0.080000000000000016},
};

std::vector<ExpectedTime> WithWrapTimes(std::vector<ExpectedTime> cases) {
  cases.insert(cases.end(), kWrapTimesOfEightInputs.begin(), kWrapTimesOfEightInputs.end());
  return cases;
}

// The carousel rows of eight inputs followed by the three tile layers, which pass the
// slots at the template's pitch and wrap round at `w`, at times that do not depend on
// either.
std::vector<InputRow> WithTilesOfEightInputs(double p, double w, std::vector<InputRow> rows) {
  const std::vector<InputRow> tiles = {
      {1, {{0, 1, 0}, {-p, 1, 0.2}, {-w, 0, 0.28}, {w, 0, 0.32},
           {p, 1, 0.4}, {0, 1, 0.6}, {-p, 1, 0.8}, {-w, 0, 0.88},
           {w, 0, 0.92}, {p, 1, 1}}},
      {1, {{p, 1, 0}, {0, 1, 0.2}, {-p, 1, 0.4}, {-w, 0, 0.48},
           {w, 0, 0.52}, {p, 1, 0.6}, {0, 1, 0.8}, {-p, 1, 1}}},
      {1, {{-p, 1, 0}, {-w, 0, 0.08}, {w, 0, 0.12}, {p, 1, 0.2},
           {0, 1, 0.4}, {-p, 1, 0.6}, {-w, 0, 0.68}, {w, 0, 0.72},
           {p, 1, 0.8}, {0, 1, 1}}},
  };
  rows.insert(rows.end(), tiles.begin(), tiles.end());
  return rows;
}

const ScrollingRowFacts kTavrino{
    "Tavrino", kTavrinoPitch, kTavrinoWrap, kTavrinoCarousel,
    WithTilesOfEightInputs(kTavrinoPitch, kTavrinoWrap, {
        {kTavrinoCarousel, {{-kTavrinoPitch, 1, 0}, {-1, 1, 0.0769}, {-1, 0, 0.2256}, {1, 0, 0.3744},
                            {1, 1, 0.5231}, {-kTavrinoPitch, 1, 1}}},
        {kTavrinoCarousel, {{1, 1, 0.3231}, {-1, 1, 0.8769}}},
        {kTavrinoCarousel, {{1, 1, 0.1231}, {-1, 1, 0.6769}}},
        {kTavrinoCarousel, {{kTavrinoPitch, 1, 0}, {-1, 1, 0.4769}, {-1, 0, 0.6256}, {1, 0, 0.7744},
                            {1, 1, 0.9231}, {kTavrinoPitch, 1, 1}}},
        {kTavrinoCarousel, {{0, 1, 0}, {-1, 1, 0.2769}, {-1, 0, 0.4256}, {1, 0, 0.5744}, {1, 1, 0.7231}, {0, 1, 1}}},
    }),
    {
        // Ten inputs: crossing inputs (in, out).
        {10, 1, 0, 0.5165}, {10, 1, 1, 0.9121}, {10, 2, 0, 0.3736}, {10, 2, 1, 0.7692},
        {10, 3, 0, 0.2308}, {10, 3, 1, 0.6264}, {10, 4, 0, 0.0879}, {10, 4, 1, 0.4835},
        // Looping inputs: out, transparent, back at the right edge, opaque again.
        {10, 0, 1, 0.0550}, {10, 0, 2, 0.2564}, {10, 0, 3, 0.4579}, {10, 0, 4, 0.6593},
        {10, 5, 1, 0.3407}, {10, 5, 2, 0.5421}, {10, 5, 3, 0.7436}, {10, 5, 4, 0.9450},
        {10, 6, 1, 0.1978}, {10, 6, 2, 0.3993}, {10, 6, 3, 0.6007}, {10, 6, 4, 0.8022},
        // The last tile's first wrap pair and its entry into the right slot.
        {10, 9, 1, 0.0571}, {10, 9, 2, 0.0857}, {10, 9, 3, 0.1429},
        // Four inputs: the looping keyframes run out of time order, kept as computed.
        {4, 0, 1, 1.3847}, {4, 0, 4, -0.3847},
    },
    WithWrapTimes({
        {8, 0, 3, 0.3743561340348933},    // (T1 + d) + d, not T1 + 2d (...34)
        {16, 0, 1, 0.02958907611358457},  // speed = pitch / step, not pitch * m (...564)
        {16, 1, 0, 0.7396416931171848},   // the same for a crossing input (...46)
        {11, 5, 1, 0.4230822486845749},   // out = in + 2 / speed, not (k pitch + 1) / speed
    }),
};

const ScrollingRowFacts kPellumi{
    "Pellumi", kPellumiPitch, kPellumiWrap, kPellumiCarousel,
    WithTilesOfEightInputs(kPellumiPitch, kPellumiWrap, {
        {kPellumiCarousel, {{-kPellumiPitch, 1, 0}, {-1, 1, 0.1693}, {-1, 0, 0.2564}, {1, 0, 0.3436},
                            {1, 1, 0.4307}, {-kPellumiPitch, 1, 1}}},
        {kPellumiCarousel, {{1, 1, 0.2307}, {-1, 1, 0.9693}}},
        {kPellumiCarousel, {{1, 1, 0.0307}, {-1, 1, 0.7693}}},
        {kPellumiCarousel, {{kPellumiPitch, 1, 0}, {-1, 1, 0.5693}, {-1, 0, 0.6564}, {1, 0, 0.7436},
                            {1, 1, 0.8307}, {kPellumiPitch, 1, 1}}},
        {kPellumiCarousel, {{0, 1, 0}, {-1, 1, 0.3693}, {-1, 0, 0.4564}, {1, 0, 0.5436}, {1, 1, 0.6307}, {0, 1, 1}}},
    }),
    {
        // Nine inputs: crossing inputs (in, out), looping inputs (out, opaque again).
        {9, 1, 0, 0.3589}, {9, 1, 1, 0.9744}, {9, 2, 0, 0.1923}, {9, 2, 1, 0.8077},
        {9, 3, 0, 0.0256}, {9, 3, 1, 0.6411},
        {9, 0, 1, 0.1411}, {9, 0, 4, 0.5256}, {9, 4, 1, 0.4744}, {9, 4, 4, 0.8589},
        {9, 5, 1, 0.3077}, {9, 5, 4, 0.6923},
        // Four inputs: the looping keyframes run out of time order, kept as computed.
        {4, 0, 1, 1.8464}, {4, 0, 4, -0.8464},
    },
    WithWrapTimes({
        {10, 5, 3, 0.7216009003305902},   // (T1 + d) + d, not T1 + 2d (...01)
        {18, 0, 1, 0.05642540620384047},  // speed = pitch / step, not pitch * m (...0484)
        {16, 1, 0, 0.704124531303261},    // the same for a crossing input (...09)
        {9, 2, 1, 0.8077301821762679},    // out = in + 2 / speed, not (k pitch + 1) / speed
    }),
};
// clang-format on

// Keyframes per input; they do not depend on a template's constants.
struct CountsCase {
  int count;
  std::vector<int> perInput;
};
const std::vector<CountsCase> kKeyFrameCounts = {
    {4, {6, 2, 2, 4}},
    {5, {6, 6, 5, 3, 5}},
    {6, {6, 6, 6, 6, 6, 6}},
    {7, {6, 2, 6, 6, 7, 7, 9}},
    {8, {6, 2, 2, 6, 6, 10, 8, 10}},
    {9, {6, 2, 2, 2, 6, 6, 11, 11, 11}},
    {10, {6, 2, 2, 2, 2, 6, 6, 12, 12, 14}},
};

void PrintTo(const ScrollingRowFacts& facts, std::ostream* out) { *out << facts.name; }

class ScrollingRow : public ::testing::TestWithParam<ScrollingRowFacts> {
 protected:
  const ScrollingRowFacts& facts_ = GetParam();
  montage::Plugin plugin_ = montage::Plugin::Load(FindBuiltPlugin(facts_.name).path);
  montage::Effect owner_ = plugin_.CreateEffect();
  IEffectMultiDLL& effect_ = owner_.Object();
};

TEST_P(ScrollingRow, EightInputsMatchTheLayoutTable) {
  ASSERT_EQ(facts_.eightInputs.size(), 8u);
  std::vector<ExpectedInput> inputs;
  for (const InputRow& row : facts_.eightInputs) {
    std::vector<ExpectedKeyFrame> frames;
    for (const Pose& pose : row.poses) frames.push_back({pose.time, pose.posX, 0, row.scale, pose.opacity});
    inputs.push_back({8, static_cast<int>(inputs.size()), frames});
  }
  ExpectInputs(effect_, inputs, kTimeDecimals);
}

TEST_P(ScrollingRow, KeyFrameCountsPerInput) {
  for (const CountsCase& c : kKeyFrameCounts) {
    std::vector<int> counts;
    for (int index = 0; index < c.count; ++index)
      counts.push_back(static_cast<int>(GenerateKeyFrames(effect_, index, c.count).size()));
    EXPECT_EQ(counts, c.perInput) << c.count << " inputs";
  }
}

TEST_P(ScrollingRow, TimesMatchToTheStatedDecimals) { ExpectTimes(effect_, facts_.roundedTimes, kTimeDecimals); }

TEST_P(ScrollingRow, TimesFollowTheEvaluationOrderToTheLastBit) { ExpectTimes(effect_, facts_.exactTimes); }

TEST_P(ScrollingRow, TilesEndOnTheLastStepWhileLoopsEndAtOne) {
  // With 52 inputs 49 * (1 / 49) is the largest double below 1; the looping carousel
  // inputs (0, 47, 48) still end at exactly 1.
  const std::vector<std::pair<int, double>> ends = {{0, 1.0},        {47, 1.0},       {48, 1.0},
                                                    {49, kBelowOne}, {50, kBelowOne}, {51, kBelowOne}};
  for (const auto& [index, end] : ends) {
    const std::vector<KeyFrame> frames = GenerateKeyFrames(effect_, index, 52);
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(SameDouble(frames.back().Time, end)) << "input " << index;
  }
}

TEST_P(ScrollingRow, CarouselPassesTheCentreInFallingIndexOrder) {
  // Input count - 4 - j is in the centre slot at step j; the looping inputs end where
  // they started.
  for (const int count : {8, 9, 10, 23, 52}) {
    const int m = count - 3;
    for (int index = 0; index < m; ++index) {
      SCOPED_TRACE(testing::Message() << "input " << index << " of " << count);
      const std::vector<KeyFrame> frames = GenerateKeyFrames(effect_, index, count);
      ASSERT_FALSE(frames.empty());
      EXPECT_TRUE(SameDouble(frames.back().PosX, frames.size() == 6 ? frames.front().PosX : -1.0));
      double centre = -1.0;
      for (std::size_t k = 0; k + 1 < frames.size(); ++k) {
        const KeyFrame& a = frames[k];
        const KeyFrame& b = frames[k + 1];
        if (a.Opacity != 1.0 || b.Opacity != 1.0 || a.PosX < 0.0 || b.PosX >= 0.0) continue;
        centre = a.PosX == 0.0 ? a.Time : a.Time + a.PosX / (a.PosX - b.PosX) * (b.Time - a.Time);
      }
      EXPECT_NEAR(centre, static_cast<double>(m - 1 - index) / m, 1e-12);
    }
  }
}

TEST_P(ScrollingRow, FewInputsStartTheLoopsInTheCentreThenTheRightSlot) {
  // k = 0 takes the centre slot, else k = 1 the right slot, else the left slot: at four
  // and five inputs input 0 is not in the left slot. (Input 1 of seven crosses from +1.)
  const double p = facts_.pitch;
  const std::vector<std::pair<int, std::vector<double>>> starts = {
      {4, {0.0}}, {5, {p, 0.0}}, {6, {-p, p, 0.0}}, {7, {-p, 1.0, p, 0.0}}};
  for (const auto& [count, positions] : starts) {
    for (int index = 0; index < count - 3; ++index) {
      const std::vector<KeyFrame> frames = GenerateKeyFrames(effect_, index, count);
      ASSERT_FALSE(frames.empty());
      EXPECT_TRUE(SameDouble(frames.front().PosX, positions[index])) << "input " << index << " of " << count;
    }
  }
}

TEST_P(ScrollingRow, ThreeInputsOrFewerHaveNoKeyFrames) {
  for (const int count : {1, 2, 3}) {
    for (int index = -1; index <= count; ++index) {
      EXPECT_TRUE(GenerateKeyFrames(effect_, index, count).empty()) << "input " << index << " of " << count;
    }
    int n = 0;
    const CEffectSetting* settings = effect_.GetSettingsFor(count, &n);
    ASSERT_EQ(n, count);
    ASSERT_NE(settings, nullptr);
    for (int index = 0; index < count; ++index) {
      EXPECT_EQ(settings[index].m_type, CEffectSetting::kTypeNone);
      EXPECT_EQ(settings[index].KeyFrames(), nullptr);
    }
  }
  for (const int count : {0, -1, INT_MIN}) EXPECT_TRUE(GenerateKeyFrames(effect_, 0, count).empty()) << count;
}

TEST_P(ScrollingRow, IndicesPastTheTileLayersHaveNoKeyFrames) {
  for (const int count : {4, 8, 52, INT_MAX}) {
    for (const int index : {count, count == INT_MAX ? INT_MAX : count + 1, INT_MAX}) {
      EXPECT_TRUE(GenerateKeyFrames(effect_, index, count).empty()) << "input " << index << " of " << count;
    }
  }
}

TEST_P(ScrollingRow, NegativeIndicesCrossLikeCarouselInputsFurtherRight) {
  // Index -1 of eight inputs is one slot beyond input 0 (k = 5): it crosses once and
  // passes the centre at step 5, time 1.
  const std::vector<KeyFrame> near = GenerateKeyFrames(effect_, -1, 8);
  ASSERT_EQ(near.size(), 2u);
  EXPECT_TRUE(SameDouble(near[0].PosX, 1.0) && SameDouble(near[1].PosX, -1.0));
  EXPECT_TRUE(SameDouble(near[0].Scale, facts_.carouselScale));
  EXPECT_NEAR((near[0].Time + near[1].Time) / 2.0, 1.0, 1e-12);

  const std::vector<KeyFrame> far = GenerateKeyFrames(effect_, INT_MIN, INT_MAX);
  ASSERT_EQ(far.size(), 2u);
  EXPECT_TRUE(std::isfinite(far[0].Time) && std::isfinite(far[1].Time));
  EXPECT_GT(far[1].Time, far[0].Time);
}

TEST_P(ScrollingRow, HugeCountsFailTheTileAllocationUpFront) {
  // Carousel inputs have a fixed number of keyframes at any count.
  EXPECT_EQ(GenerateKeyFrames(effect_, 0, INT_MAX).size(), 6u);
  EXPECT_EQ(GenerateKeyFrames(effect_, 1, INT_MAX).size(), 2u);
  EXPECT_EQ(GenerateKeyFrames(effect_, INT_MAX - 5, INT_MAX).size(), 6u);
  // A tile layer needs about 5/3 keyframes per input: beyond int at the largest counts,
  // beyond a 32-bit byte size from about 40 million inputs. Both fail before any loop.
  for (const auto& [index, count] :
       {std::pair{INT_MAX - 1, INT_MAX}, std::pair{INT_MAX - 3, INT_MAX}, std::pair{49'999'999, 50'000'000}}) {
    int n = -1;
    EXPECT_THROW(static_cast<void>(effect_.GenerateKeyFrames(index, count, &n)), std::bad_alloc) << count;
  }
}

INSTANTIATE_TEST_SUITE_P(Templates, ScrollingRow, ::testing::Values(kTavrino, kPellumi),
                         [](const ::testing::TestParamInfo<ScrollingRowFacts>& param) { return param.param.name; });

}  // namespace
