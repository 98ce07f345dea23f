#include <gtest/gtest.h>

#include <climits>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "test_effect.h"

namespace {

enum class ListOp { Insert, Replace, Remove };

struct ListCase {
  const char* name;
  std::vector<int> before;
  ListOp op;
  int index;
  int result;
  std::vector<int> after;
};

// Shown by name: gtest would otherwise print the record's bytes, padding included.
void PrintTo(const ListCase& c, std::ostream* out) { *out << c.name; }

constexpr int kNew = 99;  // id of the input an operation adds

class InputList : public ::testing::TestWithParam<ListCase> {};

TEST_P(InputList, ChangesTheListAsDocumented) {
  const ListCase& c = GetParam();
  const TestEffectPtr effect = NewTestEffect();
  for (const int id : c.before) effect->InsertInput(-1, id);
  ASSERT_EQ(ListIds(*effect), c.before);

  int result = 0;
  switch (c.op) {
    case ListOp::Insert:
      result = effect->InsertInput(c.index, kNew);
      break;
    case ListOp::Replace:
      result = effect->ReplaceInput(c.index, kNew);
      break;
    case ListOp::Remove:
      result = effect->RemoveInput(c.index);
      break;
  }
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(ListIds(*effect), c.after);
  EXPECT_EQ(effect->GetInputCount(), static_cast<int>(c.after.size()));
  if (c.after.empty()) {
    EXPECT_EQ(effect->m_inputs, nullptr);
  }
}

std::string CaseName(const ::testing::TestParamInfo<ListCase>& param) { return param.param.name; }

const std::vector<int> kAbc = {1, 2, 3};

INSTANTIATE_TEST_SUITE_P(
    Operations, InputList,
    ::testing::Values(ListCase{"InsertIntoEmptyAtAnyIndex", {}, ListOp::Insert, 5, 0, {kNew}},
                      ListCase{"InsertIntoEmptyNegative", {}, ListOp::Insert, -1, 0, {kNew}},
                      ListCase{"InsertAtZeroGoesAfterTheFirst", kAbc, ListOp::Insert, 0, 1, {1, kNew, 2, 3}},
                      ListCase{"InsertInTheMiddle", kAbc, ListOp::Insert, 1, 2, {1, 2, kNew, 3}},
                      ListCase{"InsertAfterTheLast", kAbc, ListOp::Insert, 2, 3, {1, 2, 3, kNew}},
                      ListCase{"InsertNegativeAppends", kAbc, ListOp::Insert, -1, 3, {1, 2, 3, kNew}},
                      ListCase{"InsertMostNegativeAppends", kAbc, ListOp::Insert, INT_MIN, 3, {1, 2, 3, kNew}},
                      // Past the end there is no anchor; appending keeps every node.
                      ListCase{"InsertAtLengthAppends", kAbc, ListOp::Insert, 3, 3, {1, 2, 3, kNew}},
                      ListCase{"InsertFarPastTheEndAppends", kAbc, ListOp::Insert, INT_MAX, 3, {1, 2, 3, kNew}},
                      ListCase{"ReplaceNegativeNamesTheFirst", kAbc, ListOp::Replace, -3, 1, {kNew, 2, 3}},
                      ListCase{"ReplaceTheLast", kAbc, ListOp::Replace, 2, 1, {1, 2, kNew}},
                      ListCase{"ReplacePastTheEnd", kAbc, ListOp::Replace, 3, 0, kAbc},
                      ListCase{"ReplaceInEmpty", {}, ListOp::Replace, 0, 0, {}},
                      ListCase{"RemoveNegativeNamesTheFirst", kAbc, ListOp::Remove, -1, 1, {2, 3}},
                      ListCase{"RemoveTheMiddle", kAbc, ListOp::Remove, 1, 1, {1, 3}},
                      ListCase{"RemoveTheLast", kAbc, ListOp::Remove, 2, 1, {1, 2}},
                      ListCase{"RemovePastTheEnd", kAbc, ListOp::Remove, 3, 0, kAbc},
                      ListCase{"RemoveFarPastTheEnd", kAbc, ListOp::Remove, INT_MAX, 0, kAbc},
                      ListCase{"RemoveTheOnlyInput", {1}, ListOp::Remove, 0, 1, {}},
                      ListCase{"RemoveFromEmpty", {}, ListOp::Remove, 0, 0, {}}),
    CaseName);

TEST(HostValues, AreStoredAndResetClearsThemWithTheList) {
  const TestEffectPtr effect = NewTestEffect();
  effect->SetHostPair(7, -2);
  effect->SetHostValue(42);
  effect->InsertInput(-1, 1);
  int a = 0;
  int b = 0;
  effect->GetHostPair(&a, &b);
  EXPECT_EQ(a, 7);
  EXPECT_EQ(b, -2);
  EXPECT_EQ(effect->GetHostValue(), 42);

  effect->Reset();
  effect->GetHostPair(&a, &b);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(effect->GetHostValue(), 0);
  EXPECT_EQ(effect->m_inputs, nullptr);
  EXPECT_EQ(effect->GetInputCount(), 0);
}

TEST(HostValues, NullResultPointersAreNotWritten) {
  const TestEffectPtr effect = NewTestEffect();
  effect->SetHostPair(1, 2);
  int b = 0;
  effect->GetHostPair(nullptr, &b);
  EXPECT_EQ(b, 2);
  effect->GetHostPair(nullptr, nullptr);
  effect->GetInputRange(nullptr, nullptr);
  EXPECT_EQ(effect->GetSettings(nullptr), nullptr);
}

TEST(DefaultInputCount, FollowsTheRange) {
  struct Row {
    int min, max, expected;
  };
  for (const Row row : {Row{16, -1, 16}, Row{5, -1, 5}, Row{2, -1, 4}, Row{1, -1, 4}, Row{3, 8, 6}, Row{2, 3, 3},
                        Row{1, 1, 1}, Row{INT_MAX, INT_MAX, INT_MAX}}) {
    const TestEffectPtr effect = NewTestEffect();
    effect->range = {row.min, row.max};
    EXPECT_EQ(effect->GetDefaultInputCount(), row.expected) << row.min << ", " << row.max;
  }
  // The base range (1, no maximum) proposes four inputs.
  EXPECT_EQ(NewTestEffect()->GetDefaultInputCount(), 4);
}

}  // namespace
