#include "module.h"

#include <gtest/gtest.h>

#include <cstdint>

// The string table of this test program.
MONTAGE_STRING_TABLE({IDS_EFFECT_NAME, "Test Display"}, {7, "Seven"})

namespace {

// Restores the recorded handle after a test that calls the entry point by hand.
class ModuleEntry : public ::testing::Test {
 protected:
  void TearDown() override { g_hModule = saved_; }

 private:
  ModuleHandle saved_ = g_hModule;
};

TEST_F(ModuleEntry, LoadingRecordedThisProgramsOwnHandle) { EXPECT_EQ(g_hModule, OwnModuleHandle()); }

TEST_F(ModuleEntry, AttachRecordsTheHandleAndDetachLeavesIt) {
  int first = 0;
  int second = 0;
  struct Step {
    ModuleHandle handle;
    std::uint32_t reason;
    ModuleHandle expected;
  };
  for (const Step step :
       {Step{&first, kProcessAttach, &first}, Step{&first, kThreadAttach, &first}, Step{&second, kThreadDetach, &first},
        Step{&second, kProcessDetach, &first}, Step{&second, kThreadAttach, &second}, Step{&first, 77, &second}}) {
    EXPECT_EQ(ModuleEntryPoint(step.handle, step.reason, nullptr), 1);
    EXPECT_EQ(g_hModule, step.expected) << "reason " << step.reason;
  }
}

TEST(ModuleStrings, CopyAtMostSizeMinusOneCharacters) {
  char buffer[16] = "untouched";
  EXPECT_EQ(LoadModuleString(OwnModuleHandle(), 7, buffer, sizeof buffer), 5);
  EXPECT_STREQ(buffer, "Seven");
  EXPECT_EQ(LoadModuleString(OwnModuleHandle(), 7, buffer, 3), 2);
  EXPECT_STREQ(buffer, "Se");
  EXPECT_EQ(LoadModuleString(OwnModuleHandle(), 7, buffer, 1), 0);
  EXPECT_STREQ(buffer, "");
}

TEST(ModuleStrings, UnknownIdsAndModulesGiveZero) {
  char buffer[16];
  int other = 0;
  EXPECT_EQ(LoadModuleString(OwnModuleHandle(), 8, buffer, sizeof buffer), 0);
  EXPECT_EQ(LoadModuleString(&other, 7, buffer, sizeof buffer), 0);
  EXPECT_EQ(LoadModuleString(nullptr, 7, buffer, sizeof buffer), 0);
  EXPECT_EQ(LoadModuleString(OwnModuleHandle(), 7, nullptr, 16), 0);
  EXPECT_EQ(LoadModuleString(OwnModuleHandle(), 7, buffer, 0), 0);
}

}  // namespace
