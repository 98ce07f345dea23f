// The host calls the effect through table slots, so their order is binary contract.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "montage/effect.h"

namespace {

// Under the Itanium C++ ABI a pointer to a virtual member function holds 1 plus the
// byte offset of its entry in the table.
template <class Member>
std::ptrdiff_t TableEntry(Member member) {
  static_assert(sizeof(Member) == 2 * sizeof(std::ptrdiff_t));
  std::ptrdiff_t words[2];
  std::memcpy(words, &member, sizeof words);
  EXPECT_EQ(words[0] % static_cast<std::ptrdiff_t>(sizeof(void*)), 1) << "not a virtual member";
  return (words[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

// Slot 11 is the destructor, which takes two entries: later slots sit one entry on.
constexpr std::ptrdiff_t Entry(int slot) { return slot < 11 ? slot : slot + 1; }

TEST(SlotOrder, EveryOperationSitsInItsSlot) {
  using E = IEffectMultiDLL;
  EXPECT_EQ(TableEntry(&E::GetEffectKind), Entry(0));
  EXPECT_EQ(TableEntry(&E::GetName), Entry(1));
  EXPECT_EQ(TableEntry(&E::GetDisplayName), Entry(2));
  EXPECT_EQ(TableEntry(&E::GetSettings), Entry(3));
  EXPECT_EQ(TableEntry(&E::Process), Entry(4));
  EXPECT_EQ(TableEntry(&E::GetFlags), Entry(5));
  EXPECT_EQ(TableEntry(&E::GetHostPair), Entry(6));
  EXPECT_EQ(TableEntry(&E::GetHostValue), Entry(7));
  EXPECT_EQ(TableEntry(&E::SetHostPair), Entry(8));
  EXPECT_EQ(TableEntry(&E::SetHostValue), Entry(9));
  EXPECT_EQ(TableEntry(&E::Reset), Entry(10));
  EXPECT_EQ(TableEntry(&E::GetInputRange), Entry(12));
  EXPECT_EQ(TableEntry(&E::GetDefaultInputCount), Entry(13));
  EXPECT_EQ(TableEntry(&E::GetInputCount), Entry(14));
  EXPECT_EQ(TableEntry(&E::GetSettingsFor), Entry(15));
  EXPECT_EQ(TableEntry(&E::GetTemplateCode), Entry(16));
  EXPECT_EQ(TableEntry(&E::InsertInput), Entry(17));
  EXPECT_EQ(TableEntry(&E::ReplaceInput), Entry(18));
  EXPECT_EQ(TableEntry(&E::RemoveInput), Entry(19));
  EXPECT_EQ(TableEntry(&E::Release), Entry(20));
  EXPECT_EQ(TableEntry(&E::GenerateKeyFrames), Entry(21));
}

}  // namespace
