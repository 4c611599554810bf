// Board commands and scenarios: a person's (or a file's) way to drive the simulated board: press
// buttons, plug USB power and battery packs, drain, heat or fail a battery, take the SD card out,
// silence the STM32. One command per line; a scenario puts a time in front of each,
// "at 1m30s press rec 1.2s". The grammar is in README.md ("Scenarios").
#ifndef CAMSIM_SCENARIO_H
#define CAMSIM_SCENARIO_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/board.h"

namespace sim {

struct BoardCommand {
  enum Kind {
    kPress,      // button (1 rec, 2 interval, 3 both) held for duration_us
    kUsb,        // on = value != 0
    kPower,      // the power switch: value != 0 asks to power off
    kBattery,    // battery id: word "mV", "%", "temp" (value in 0.1 K)
    kLoad,       // value idle mA, value2 recording mA
    kPackPlug,   // id, value %
    kPackUnplug, // id
    kGauge,      // id, word: fault name; value: count or SOC
    kSd,         // word: remove, insert, full, error, ok
    kStm32,      // word: silent (value requests), ok, poke
    kLeds,       // print the LEDs
    kHelp,
  };
  Kind kind = kHelp;
  int id = 0;
  double value = 0, value2 = 0;
  uint64_t duration_us = 0;
  std::string word;
  std::string text;  // the command as written, spaces normalised
};

// One command ("press rec 1.2s"); false with `error` saying what is wrong.
bool parse_board_command(const std::string& text, BoardCommand* command, std::string* error);
// A time or duration: "90" (seconds), "1.5s", "250ms", "2m", "1h30m", "1m30s".
bool parse_duration(const std::string& text, uint64_t* usecs);
// The commands, one per line, for "help".
std::string board_command_help();

struct ScenarioStep {
  uint64_t at_us;
  int line;
  BoardCommand command;
};
// A whole scenario ("at TIME COMMAND" lines; blank lines and "#" comments are skipped). False on
// the first bad line, with `error` = "line N: ...". Steps keep the file's order.
bool parse_scenario(const std::string& text, std::vector<ScenarioStep>* steps, std::string* error);

// The LEDs as one line: start/stop colour (R G B Y C M W, or . when dark), Wi-Fi (W or .), then
// the six interval LEDs (10 s, 30 s, 1 min, 5 min, 10 min, custom: o or .). With `colour`, ANSI
// colours for a terminal.
std::string led_text(uint16_t leds, bool colour);

// Applies commands to a board at the instance's current time (call on a kernel thread or the
// thread that drives the instance). `note` gets a line for each command applied.
class BoardDriver {
 public:
  BoardDriver(Board& board, std::function<void(const std::string&)> note);
  void apply(const BoardCommand& command);
  // Schedules every step at its time (instance time).
  void schedule(const std::vector<ScenarioStep>& steps);

 private:
  void update_usb();
  Board& board_;
  std::function<void(const std::string&)> note_;
  bool usb_wall_;
};

}  // namespace sim

#endif  // CAMSIM_SCENARIO_H
