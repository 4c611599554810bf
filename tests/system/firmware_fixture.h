// A small board for whole-firmware tests: the firmware image on the host kernel in virtual time,
// with a hook to put a stand-in module into one of the main loop's poll slots.
#ifndef CAMLINK_TESTS_SYSTEM_FIRMWARE_FIXTURE_H
#define CAMLINK_TESTS_SYSTEM_FIRMWARE_FIXTURE_H

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "camhost/runtime.h"
#include "os.h"
#include "sim/board.h"

constexpr uint64_t kSec = 1000000;

inline camhost::Options FirmwareOptions(uint64_t seed = 1) {
  camhost::Options o;
  o.clock = camhost::ClockKind::Virtual;
  o.seed = seed;
  o.firmware = CAMFW_PATH;
  return o;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

inline std::vector<std::string> LinesWith(const std::string& text, const std::string& needle) {
  std::vector<std::string> out;
  for (auto& l : Lines(text))
    if (l.find(needle) != std::string::npos) out.push_back(l);
  return out;
}

// The 15-character time stamp of a log line ("000,012.345,678"), after the packet number (four
// digits or more).
inline std::string Stamp(const std::string& line) {
  size_t at = line.find_first_not_of(' ', line.find(' '));
  return at == std::string::npos ? std::string() : line.substr(at, 15);
}

// The time stamp of a log line in microseconds.
inline uint64_t Micros(const std::string& line) {
  std::string digits;
  for (char c : Stamp(line))
    if (c >= '0' && c <= '9') digits += c;
  return std::stoull(digits);
}

class Firmware : public ::testing::Test {
 protected:
  using PollFn = systimer_t (*)(systimer_t);
  struct PollSlot {  // the firmware's table of module polls, as main lays it out
    PollFn poll;
    const char* name;
  };

  void SetUp() override { ASSERT_TRUE(inst.ok()); }

  // Replaces the poll of slot `index` (0 BLE ... 5 statistics) until the next reset.
  void ReplacePoll(int index, PollFn fn) {
    auto* slots = static_cast<PollSlot*>(inst.firmware_symbol("mainModulePolls"));
    ASSERT_NE(slots, nullptr);
    slots[index].poll = fn;
  }

  // The Wi-Fi poll asks for its own wake-ups (credential retries); tests that time the main loop
  // alone put a quiet stand-in into its slot.
  static systimer_t QuietPoll(systimer_t next) { return next; }
  void QuietWiFi() { ReplacePoll(1, QuietPoll); }

  template <typename Fn>
  Fn Symbol(const char* mangled) {
    void* p = inst.firmware_symbol(mangled);
    EXPECT_NE(p, nullptr) << mangled;
    return reinterpret_cast<Fn>(p);
  }

  camhost::Instance inst{FirmwareOptions()};
  sim::Board board;
};

#endif  // CAMLINK_TESTS_SYSTEM_FIRMWARE_FIXTURE_H
