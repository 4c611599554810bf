// camlink's board control: a scenario file of timed board events (--scenario), the same commands
// typed on stdin while the camera runs in real time, and the LEDs on stderr (--leds).
#ifndef CAMLINK_BOARD_CONTROL_H
#define CAMLINK_BOARD_CONTROL_H

#include <memory>
#include <string>
#include <vector>

#include "sim/board.h"
#include "sim/scenario.h"

namespace camlink {

class BoardControl {
 public:
  // Reads and checks the scenario file before anything runs; false, with the reason (the file and
  // the bad line) on stderr.
  bool load_scenario(const std::string& path);
  void show_leds(bool on) { leds_ = on; }
  // Hooks the board (LED lines, the scenario's events) once it exists, before the boot.
  void start(sim::Board& board);
  // Real time only: applies whatever commands have been typed on stdin since the last call.
  void poll_stdin();

 private:
  void handle_line(const std::string& line);

  std::vector<sim::ScenarioStep> steps_;
  bool leds_ = false;
  std::unique_ptr<sim::BoardDriver> driver_;
  std::string pending_;
  bool stdin_open_ = true;
};

}  // namespace camlink

#endif  // CAMLINK_BOARD_CONTROL_H
