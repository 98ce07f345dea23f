#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "keyframe_matchers.h"
#include "template_test.h"

namespace {

class Darvello : public TemplateTest<"Darvello"> {
 protected:
  montage::Plugin brisolenPlugin_ = montage::Plugin::Load(FindBuiltPlugin("Brisolen").path);
  montage::Effect brisolen_ = brisolenPlugin_.CreateEffect();
};

TEST_F(Darvello, BackgroundIsEnlargedAndAlmostCentredForEveryCount) {
  const std::vector<ExpectedKeyFrame> background = {{0, 0.0611, -0.037, 1.31, 1}, {1, 0.0611, -0.037, 1.31, 1}};
  ExpectInputs(effect_,
               {{1, 0, background}, {2, 0, background}, {5, 0, background}, {16, 0, background}, {100, 0, background}});
}

TEST_F(Darvello, EveryInputButTheBackgroundIsBrisolens) {
  // The pictures, and whatever lies outside the inputs (a negative index has no column,
  // an index past the count runs past time 1), are Brisolen's to the bit.
  for (const int count : {1, 2, 3, 4, 5, 16, 17, 100}) {
    std::vector<int> indices = {INT_MIN, -1, count, count + 3};
    for (int index = 1; index < count; ++index) indices.push_back(index);
    for (const int index : indices) {
      const std::vector<KeyFrame> darvello = GenerateKeyFrames(effect_, index, count);
      EXPECT_TRUE(SameBits(darvello, GenerateKeyFrames(brisolen_.Object(), index, count)))
          << "input " << index << " of " << count;
      EXPECT_EQ(darvello.size(), index > 0 ? 4u : 0u) << "input " << index << " of " << count;
    }
  }
  // The last picture at the minimum ends exactly at 1 in the right column.
  const std::vector<KeyFrame> last = GenerateKeyFrames(effect_, 15, 16);
  ASSERT_EQ(last.size(), 4u);
  EXPECT_TRUE(SameDouble(last[3].Time, 1.0));
  EXPECT_TRUE(SameDouble(last[3].PosX, 0.3));
}

}  // namespace
