// Power cuts during a version-2 self-update: before every erase and write of the update, what
// would the module boot? Only the copy over the running image may leave nothing to boot; a cut
// anywhere else boots the old image (and the STM32 offers the update again) or the new one.
#include <cstdio>

#include "update_fixture.h"

namespace {

enum class Boots { kOld, kNew, kNothing };

class PowerCut : public UpdateBoard {
 protected:
  void SetUp() override {
    UpdateBoard::SetUp();
    if (IsSkipped()) return;
    std::string why;
    old_library = camhost::flash_boot_library(flash.dir, &why);
    ASSERT_FALSE(old_library.empty()) << why;
    std::vector<uint8_t> part1, part2;
    camhost::image_split(ImageOf(CAMFW_NEXT_PATH), &part1, &part2);
    feed().set_files(part1, part2);
  }

  // What the boot loader finds in the flash now.
  Boots WouldBoot() const {
    std::string why, lib = camhost::flash_boot_library(flash.dir, &why);
    if (lib.empty()) return Boots::kNothing;
    return lib == old_library ? Boots::kOld : Boots::kNew;
  }

  std::string old_library;
};

TEST_F(PowerCut, OnlyACutDuringTheCopyOverTheImageLeavesNothingToBoot) {
  // Every operation of one whole update, with what a cut just before it would leave.
  struct Point {
    camhost::FlashOperation op;
    Boots boots;
  };
  std::vector<Point> points;
  camhost::flash_on_operation([&](const camhost::FlashOperation& op) {
    points.push_back({op, WouldBoot()});
    return false;
  });
  inst.boot();
  ASSERT_TRUE(inst.run_until([&] { return inst.boots() == 2; }, 120 * kSec));
  camhost::flash_on_operation(nullptr);
  Boots after_last = WouldBoot();
  EXPECT_EQ(after_last, Boots::kNew);

  // The window: from the first erase inside the image region to the last write there.
  size_t first = points.size(), last = 0;
  for (size_t i = 0; i < points.size(); i++)
    if (points[i].op.address < camhost::kImageEnd) {
      first = std::min(first, i);
      last = i;
    }
  ASSERT_LT(first, points.size());
  int old_count = 0, new_count = after_last == Boots::kNew ? 1 : 0, nothing = 0;
  for (size_t i = 0; i < points.size(); i++) {
    Boots b = points[i].boots;
    old_count += b == Boots::kOld;
    new_count += b == Boots::kNew;
    nothing += b == Boots::kNothing;
    if (i <= first) {
      EXPECT_EQ(b, Boots::kOld) << "cut before operation " << i;
    } else if (i <= last) {
      EXPECT_EQ(b, Boots::kNothing) << "cut before operation " << i;
    }
  }
  printf("power-cut sweep: %zu cut points (before each of %zu erases and writes, and after the "
         "last): old %d, new %d, nothing %d; unavoidable window: operations %zu..%zu\n",
         points.size() + 1, points.size(), old_count, new_count, nothing, first + 1, last);
  RecordProperty("cut_points", static_cast<int>(points.size() + 1));
  RecordProperty("boots_old", old_count);
  RecordProperty("boots_new", new_count);
  RecordProperty("boots_nothing", nothing);
}

struct Cut {
  const char* name;
  int at;  // the operation before which the power goes; negative: counted from the first copy
  Boots boots;
  bool offered_again;  // the STM32 had not yet sent the whole image when the power went
};

class RealCut : public PowerCut, public ::testing::WithParamInterface<Cut> {};

TEST_P(RealCut, TheModuleBootsWhatTheSweepSays) {
  // The staging of the new image's pages takes 2 operations a page, as does the copy.
  int pages = static_cast<int>((ImageOf(CAMFW_NEXT_PATH).size() + 4095) / 4096);
  int at = GetParam().at >= 0 ? GetParam().at : 2 * pages - 2 - GetParam().at;
  bool cut = false;
  size_t cut_at = 0;  // the console's length when the power went
  camhost::flash_on_operation([&](const camhost::FlashOperation& op) {
    if (cut || op.index != at) return false;
    cut = true;
    cut_at = inst.console().size();
    return true;
  });
  inst.boot();
  ASSERT_TRUE(inst.run_until([&] { return cut; }, 120 * kSec));
  camhost::flash_on_operation(nullptr);
  inst.run_for(kSec);
  auto after_cut = [&] { return inst.console().substr(cut_at); };
  EXPECT_EQ(inst.reset_reason(), OS_RESET_POWER_ON);
  switch (GetParam().boots) {
    case Boots::kOld:
      EXPECT_NE(after_cut().find("WiFi FW version 0.1.15254"), std::string::npos);
      if (!GetParam().offered_again) break;
      // The STM32 offers the update again, and this time it lands.
      ASSERT_TRUE(inst.run_until(
          [&] { return after_cut().find("WiFi FW version 0.1.15255") != std::string::npos; },
          120 * kSec));
      break;
    case Boots::kNothing:
      EXPECT_NE(after_cut().find("boot: no firmware to run ("),
                std::string::npos);
      EXPECT_EQ(after_cut().find("WiFi FW version"), std::string::npos);
      break;
    case Boots::kNew:
      EXPECT_NE(after_cut().find("WiFi FW version 0.1.15255"), std::string::npos);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Points, RealCut,
    ::testing::Values(Cut{"BeforeTheFirstStagingErase", 0, Boots::kOld, true},
                      Cut{"BeforeTheLastStagingWrite", -1, Boots::kOld, true},
                      Cut{"BeforeTheFirstCopyErase", -2, Boots::kOld, false},
                      Cut{"BeforeTheSecondCopyOperation", -3, Boots::kNothing, false}),
    [](const ::testing::TestParamInfo<Cut>& i) { return std::string(i.param.name); });

}  // namespace
