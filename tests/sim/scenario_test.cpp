// Board commands and scenario files: the grammar, and the errors that name the bad line.
#include "sim/scenario.h"

#include <gtest/gtest.h>

namespace {

TEST(Scenario, DurationsTakeSecondsOrUnitsTogether) {
  const struct {
    const char* text;
    uint64_t usecs;
  } kCases[] = {{"90", 90000000},    {"1.5", 1500000},    {"250ms", 250000},
                {"20s", 20000000},   {"2m", 120000000},   {"1h30m", 5400000000},
                {"1m30s", 90000000}, {"1.2s", 1200000}};
  for (const auto& c : kCases) {
    uint64_t u = 0;
    EXPECT_TRUE(sim::parse_duration(c.text, &u)) << c.text;
    EXPECT_EQ(u, c.usecs) << c.text;
  }
  for (const char* bad : {"", "x", "1x", "-3", "s", "1.2.3s", "+5"}) {
    uint64_t u = 0;
    EXPECT_FALSE(sim::parse_duration(bad, &u)) << bad;
  }
}

TEST(Scenario, EveryCommandOfTheGrammarParses) {
  for (const char* text :
       {"press rec 1.2s", "press interval 200ms", "press both 7.5s", "usb on", "usb off",
        "power off", "battery internal 3450mV", "battery 2 80%", "battery internal temp 47.5C",
        "load 150mA 900mA", "pack 2 plug 80%", "pack 3 unplug", "gauge internal nack 3",
        "gauge 1 never-ready", "gauge internal soc 173", "gauge internal ok", "sd remove",
        "sd full", "stm32 silent 3", "stm32 poke", "leds"}) {
    sim::BoardCommand c;
    std::string error;
    EXPECT_TRUE(sim::parse_board_command(text, &c, &error)) << text << ": " << error;
  }
}

TEST(Scenario, ABadLineIsReportedWithItsNumberBeforeAnythingRuns) {
  const struct {
    const char* text;
    const char* error;
  } kCases[] = {
      {"at 1s usb on\nat 2x press rec 1s\n", "line 2: bad time \"2x\""},
      {"# comment\n\nat 1s fly away\n", "line 3: unknown command \"fly\""},
      {"usb on\n", "line 1: expected \"at TIME COMMAND\""},
      {"at 1s battery internal 9000mV\n", "line 1: battery: expected NmV (0-5000), N% (0-100) or temp N.NC"},
      {"at 1s pack 4 plug 50%\n", "line 1: pack takes a cell 1-3 first"},
      {"at 1s press rec 0s\n", "line 1: press: bad duration \"0s\""},
      {"at 1s help\n", "line 1: help is for the keyboard only"},
  };
  for (const auto& c : kCases) {
    std::vector<sim::ScenarioStep> steps;
    std::string error;
    EXPECT_FALSE(sim::parse_scenario(c.text, &steps, &error)) << c.text;
    EXPECT_EQ(error, c.error);
  }
}

TEST(Scenario, StepsKeepTheirTimeLineAndCommand) {
  std::vector<sim::ScenarioStep> steps;
  std::string error;
  ASSERT_TRUE(sim::parse_scenario("at 10s press rec 1.2s   # start\n\nat 1m usb   off\n", &steps,
                                  &error));
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].at_us, 10000000u);
  EXPECT_EQ(steps[0].line, 1);
  EXPECT_EQ(steps[0].command.duration_us, 1200000u);
  EXPECT_EQ(steps[1].line, 3);
  EXPECT_EQ(steps[1].command.text, "usb off");
}

TEST(Scenario, TheLEDLineShowsTheColourTheWiFiLEDAndTheIntervalLEDs) {
  EXPECT_EQ(sim::led_text(0x0000, false), ". . ......");
  EXPECT_EQ(sim::led_text(0x0090 | 0x0008 | 0x0800, false), "Y W ..o...");
  EXPECT_EQ(sim::led_text(0x00D0 | 0x4200, false), "W . o....o");
}

}  // namespace
