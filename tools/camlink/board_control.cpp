#include "board_control.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "camhost/bus.h"

namespace camlink {

namespace {

void write_out(int fd, const std::string& text) {
  const char* p = text.data();
  size_t n = text.size();
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) return;
    p += w;
    n -= static_cast<size_t>(w);
  }
}

std::string stamp(uint64_t t) {
  char buf[48];
  snprintf(buf, sizeof buf, "[leds %llu.%06llu] ", static_cast<unsigned long long>(t / 1000000),
           static_cast<unsigned long long>(t % 1000000));
  return buf;
}

}  // namespace

bool BoardControl::load_scenario(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    fprintf(stderr, "camlink: cannot read the scenario %s\n", path.c_str());
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::string error;
  if (!sim::parse_scenario(text.str(), &steps_, &error)) {
    fprintf(stderr, "camlink: %s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  return true;
}

void BoardControl::start(sim::Board& board) {
  // The board's own lines go to stdout with the console, in the order things happened.
  driver_ = std::make_unique<sim::BoardDriver>(
      board, [](const std::string& line) { write_out(STDOUT_FILENO, line + "\n"); });
  if (leds_) {
    bool colour = isatty(STDERR_FILENO);
    board.on_leds_changed = [colour](uint64_t t, uint16_t leds) {
      write_out(STDERR_FILENO, stamp(t) + sim::led_text(leds, colour) + "\n");
    };
  }
  driver_->schedule(steps_);
}

void BoardControl::handle_line(const std::string& line) {
  if (line.find_first_not_of(" \t\r") == std::string::npos) return;
  sim::BoardCommand command;
  std::string error;
  if (!sim::parse_board_command(line, &command, &error)) {
    fprintf(stderr, "camlink: %s (\"help\" lists the commands)\n", error.c_str());
    return;
  }
  sim::BoardDriver* driver = driver_.get();
  camhost::at(camhost::time_now(), [driver, command] { driver->apply(command); });
}

void BoardControl::poll_stdin() {
  if (!stdin_open_ || !driver_) return;
  for (;;) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return;
    char buf[512];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
      stdin_open_ = false;
      return;
    }
    pending_.append(buf, static_cast<size_t>(n));
    for (size_t nl; (nl = pending_.find('\n')) != std::string::npos;) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      handle_line(line);
    }
  }
}

}  // namespace camlink
