// The firmware with the simulated board and its batteries, for the battery, LED and button tests:
// presses, reads of the log by message, and pulses on the LED timeline.
#ifndef CAMLINK_TESTS_SYSTEM_POWER_FIXTURE_H
#define CAMLINK_TESTS_SYSTEM_POWER_FIXTURE_H

#include <string>
#include <vector>

#include "firmware_fixture.h"

constexpr uint16_t kRec = 0x0002, kInterval = 0x0004, kBoth = 0x0006;
constexpr uint16_t kSsMask = 0x00D0, kRed = 0x0080, kGreen = 0x0010, kYellow = 0x0090;

// A stretch of time during which the LEDs under a mask showed one value.
struct Pulse {
  uint64_t on, off;
};

// The stretches in [from, to) during which (leds & mask) == value.
inline std::vector<Pulse> Pulses(const std::vector<sim::Board::LedChange>& timeline, uint16_t mask,
                                 uint16_t value, uint64_t from, uint64_t to) {
  std::vector<Pulse> out;
  uint16_t leds = 0;
  bool lit = false;
  uint64_t since = 0;
  for (const auto& c : timeline) {
    if (c.time >= to) break;
    bool now = (c.leds & mask) == value;
    if (now != lit) {
      if (lit && since >= from) out.push_back(Pulse{since, c.time});
      since = c.time;
      lit = now;
    }
    leds = c.leds;
  }
  (void)leds;
  return out;
}

// The message of every log line (after "<module>::<function>() @<line>: "), with its time.
struct Message {
  uint64_t time;
  std::string text;
};

inline std::vector<Message> Messages(const std::string& console) {
  std::vector<Message> out;
  for (const std::string& line : Lines(console)) {
    size_t at = line.find("() @");
    if (at == std::string::npos || line.size() < 21) continue;
    size_t colon = line.find(": ", at);
    if (colon == std::string::npos) continue;
    out.push_back(Message{Micros(line), line.substr(colon + 2)});
  }
  return out;
}

class PowerBoard : public Firmware {
 protected:
  void Press(uint16_t buttons, uint64_t hold) {
    board.set_buttons(buttons);
    inst.run_for(hold);
    board.set_buttons(0);
  }
  int Count(const std::string& message) const {
    int n = 0;
    for (const Message& m : Messages(inst.console())) n += m.text == message;
    return n;
  }
  int CountStartingWith(const std::string& prefix) const {
    int n = 0;
    for (const Message& m : Messages(inst.console())) n += m.text.rfind(prefix, 0) == 0;
    return n;
  }
  // Boot time of the first message equal to `message` at or after `from` (µs), or all ones.
  uint64_t TimeOf(const std::string& message, uint64_t from = 0) const {
    for (const Message& m : Messages(inst.console()))
      if (m.time >= from && m.text == message) return m.time;
    return ~uint64_t(0);
  }
  sim::Batteries& batteries() { return board.batteries(); }
};

#endif  // CAMLINK_TESTS_SYSTEM_POWER_FIXTURE_H
