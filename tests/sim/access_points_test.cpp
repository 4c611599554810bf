// Access points in a board file: what each key sets, and the errors that name the key.
#include <gtest/gtest.h>

#include <string>

#include "sim/board_config.h"

namespace {

TEST(BoardFileAccessPoints, EachAccessPointTakesItsSsidPassphraseJoinTimeAndSignal) {
  sim::BoardConfig c;
  std::string error;
  ASSERT_TRUE(sim::parse_board_json(R"({"access_points": [
      {"ssid": "Cabin", "passphrase": "hunter2222", "join_ms": 3000, "rssi": -70},
      {"ssid": "Cafe"}]})", &c, &error)) << error;
  ASSERT_EQ(c.access_points.size(), 2u);
  EXPECT_EQ(c.access_points[0].ssid, "Cabin");
  EXPECT_EQ(c.access_points[0].passphrase, "hunter2222");
  EXPECT_EQ(c.access_points[0].join_ms, 3000u);
  EXPECT_EQ(c.access_points[0].rssi, -70);
  EXPECT_EQ(c.access_points[1].passphrase, "");  // open
  EXPECT_EQ(c.access_points[1].join_ms, 1200u);
}

TEST(BoardFileAccessPoints, ABadAccessPointIsNamedByItsPlaceInTheList) {
  const struct {
    const char* text;
    const char* error_starts;
  } kCases[] = {
      {R"({"access_points": {"ssid": "x"}})", "\"access_points\": must be a list"},
      {R"({"access_points": [{"passphrase": "hunter2222"}]})", "\"access_points[0].ssid\""},
      {R"({"access_points": [{"ssid": "a"}, {"ssid": "b", "rssi": 5}]})",
       "\"access_points[1].rssi\""},
      {R"({"access_points": [{"ssid": "a", "channel": 6}]})", "\"access_points[0].channel\""},
  };
  for (const auto& k : kCases) {
    sim::BoardConfig c;
    std::string error;
    EXPECT_FALSE(sim::parse_board_json(k.text, &c, &error)) << k.text;
    EXPECT_EQ(error.rfind(k.error_starts, 0), 0u) << error;
    EXPECT_TRUE(c.access_points.empty());
  }
}

TEST(BoardFileAccessPoints, TheStm32sStateFileKeepsNoAccessPoints) {
  sim::Stm32Config s;
  std::string error;
  EXPECT_FALSE(sim::parse_stm32_state_json(R"({"format": 1, "access_points": []})", &s, &error));
}

}  // namespace
