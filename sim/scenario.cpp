// Board commands: parsing, scenarios and their effect on the board.
#include "sim/scenario.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace sim {

namespace {

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// A decimal number followed by exactly `unit` ("3450mV", "80%", "47.5C").
bool number_with_unit(const std::string& w, const std::string& unit, double* value) {
  if (w.size() <= unit.size() || w.compare(w.size() - unit.size(), unit.size(), unit) != 0)
    return false;
  std::string digits = w.substr(0, w.size() - unit.size());
  if (digits.empty() || digits[0] == '+') return false;
  char* end = nullptr;
  double v = strtod(digits.c_str(), &end);
  if (*end || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

bool whole_number(const std::string& w, long lo, long hi, long* value) {
  if (w.empty()) return false;
  char* end = nullptr;
  long v = strtol(w.c_str(), &end, 10);
  if (*end || v < lo || v > hi) return false;
  *value = v;
  return true;
}

// "internal" or 0 for the internal battery, 1-3 for the pack's cells.
bool battery_id(const std::string& w, int* id) {
  if (w == "internal") {
    *id = 0;
    return true;
  }
  long v = 0;
  if (!whole_number(w, 0, 3, &v)) return false;
  *id = static_cast<int>(v);
  return true;
}

std::string seconds_text(uint64_t t) {
  char buf[32];
  snprintf(buf, sizeof buf, "%llu.%06llu", static_cast<unsigned long long>(t / 1000000),
           static_cast<unsigned long long>(t % 1000000));
  return buf;
}

}  // namespace

bool parse_duration(const std::string& text, uint64_t* usecs) {
  if (text.empty()) return false;
  // A bare number is seconds.
  char* end = nullptr;
  double plain = strtod(text.c_str(), &end);
  if (!*end) {
    if (!(plain >= 0) || !std::isfinite(plain) || plain > 1e9 || text[0] == '+') return false;
    *usecs = static_cast<uint64_t>(std::llround(plain * 1e6));
    return true;
  }
  uint64_t total = 0;
  size_t i = 0;
  int parts = 0;
  while (i < text.size()) {
    size_t start = i;
    while (i < text.size() && (isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.')) i++;
    if (i == start) return false;
    const std::string digits = text.substr(start, i - start);
    double v = strtod(digits.c_str(), &end);
    if (*end || !std::isfinite(v)) return false;
    double scale;
    if (text.compare(i, 2, "ms") == 0) {
      scale = 1e3;
      i += 2;
    } else if (i < text.size() && text[i] == 's') {
      scale = 1e6;
      i++;
    } else if (i < text.size() && text[i] == 'm') {
      scale = 60e6;
      i++;
    } else if (i < text.size() && text[i] == 'h') {
      scale = 3600e6;
      i++;
    } else {
      return false;
    }
    if (v * scale > 1e15) return false;
    total += static_cast<uint64_t>(std::llround(v * scale));
    parts++;
  }
  if (parts == 0) return false;
  *usecs = total;
  return true;
}

std::string board_command_help() {
  return "press rec|interval|both DURATION   hold buttons (e.g. press rec 1.2s)\n"
         "usb on|off                         USB power\n"
         "power off|on                       the power switch\n"
         "battery internal|1|2|3 NmV|N%      set a battery's voltage or charge\n"
         "battery internal|1|2|3 temp N.NC   set a battery's temperature\n"
         "load IDLEmA RECORDINGmA            the camera's draw from its batteries\n"
         "pack 1|2|3 plug N% | pack N unplug a cell of the external pack\n"
         "gauge internal|1|2|3 FAULT         nack N|nack|never-ready|stuck-busy|bad-checksum|\n"
         "                                   seal-fails|soc N|ok\n"
         "sd remove|insert|full|error|ok     the SD card\n"
         "stm32 silent N|poke|ok             the STM32\n"
         "leds                               print the LEDs\n"
         "help                               this list\n";
}

bool parse_board_command(const std::string& text, BoardCommand* out, std::string* error) {
  std::vector<std::string> w = words(text);
  auto fail = [&](const std::string& what) {
    *error = what;
    return false;
  };
  if (w.empty()) return fail("empty command");
  BoardCommand c;
  for (size_t i = 0; i < w.size(); i++) c.text += (i ? " " : "") + w[i];
  const std::string& verb = w[0];
  size_t n = w.size();
  if (verb == "press") {
    if (n != 3) return fail("press takes rec|interval|both and a duration");
    c.kind = BoardCommand::kPress;
    if (w[1] == "rec") c.id = 1;
    else if (w[1] == "interval") c.id = 2;
    else if (w[1] == "both") c.id = 3;
    else return fail("press: unknown button \"" + w[1] + "\" (rec, interval, both)");
    if (!parse_duration(w[2], &c.duration_us) || c.duration_us == 0)
      return fail("press: bad duration \"" + w[2] + "\"");
  } else if (verb == "usb" || verb == "power") {
    if (n != 2 || (w[1] != "on" && w[1] != "off")) return fail(verb + " takes on or off");
    c.kind = verb == "usb" ? BoardCommand::kUsb : BoardCommand::kPower;
    c.value = verb == "usb" ? (w[1] == "on") : (w[1] == "off");
  } else if (verb == "battery") {
    c.kind = BoardCommand::kBattery;
    if (n < 3 || !battery_id(w[1], &c.id)) return fail("battery takes internal|1|2|3 first");
    double v = 0;
    if (n == 3 && number_with_unit(w[2], "mV", &v) && v >= 0 && v <= 5000) {
      c.word = "mV";
      c.value = v;
    } else if (n == 3 && number_with_unit(w[2], "%", &v) && v >= 0 && v <= 100) {
      c.word = "%";
      c.value = v;
    } else if (n == 4 && w[2] == "temp" && number_with_unit(w[3], "C", &v) && v > -60 &&
               v < 150) {
      c.word = "temp";
      c.value = std::round((v + 273.15) * 10);
    } else {
      return fail("battery: expected NmV (0-5000), N% (0-100) or temp N.NC");
    }
  } else if (verb == "load") {
    double idle = 0, rec = 0;
    if (n != 3 || !number_with_unit(w[1], "mA", &idle) || !number_with_unit(w[2], "mA", &rec) ||
        idle < 0 || rec < 0 || idle > 10000 || rec > 10000)
      return fail("load takes IDLEmA RECORDINGmA (0-10000)");
    c.kind = BoardCommand::kLoad;
    c.value = idle;
    c.value2 = rec;
  } else if (verb == "pack") {
    long id = 0;
    if (n < 3 || !whole_number(w[1], 1, 3, &id)) return fail("pack takes a cell 1-3 first");
    c.id = static_cast<int>(id);
    double v = 0;
    if (n == 4 && w[2] == "plug" && number_with_unit(w[3], "%", &v) && v >= 0 && v <= 100) {
      c.kind = BoardCommand::kPackPlug;
      c.value = v;
    } else if (n == 3 && w[2] == "unplug") {
      c.kind = BoardCommand::kPackUnplug;
    } else {
      return fail("pack: expected plug N% or unplug");
    }
  } else if (verb == "gauge") {
    c.kind = BoardCommand::kGauge;
    if (n < 3 || !battery_id(w[1], &c.id)) return fail("gauge takes internal|1|2|3 first");
    c.word = w[2];
    long v = 0;
    if (c.word == "nack" && n == 4 && whole_number(w[3], 1, 1000000, &v)) {
      c.value = static_cast<double>(v);
    } else if (c.word == "soc" && n == 4 && whole_number(w[3], 0, 65535, &v)) {
      c.value = static_cast<double>(v);
    } else if (n == 3 && (c.word == "nack" || c.word == "never-ready" || c.word == "stuck-busy" ||
                          c.word == "bad-checksum" || c.word == "seal-fails" || c.word == "ok")) {
      c.value = -1;
    } else {
      return fail("gauge: expected nack [N], never-ready, stuck-busy, bad-checksum, seal-fails, "
                  "soc N or ok");
    }
  } else if (verb == "sd") {
    if (n != 2 || (w[1] != "remove" && w[1] != "insert" && w[1] != "full" && w[1] != "error" &&
                   w[1] != "ok"))
      return fail("sd takes remove, insert, full, error or ok");
    c.kind = BoardCommand::kSd;
    c.word = w[1];
  } else if (verb == "stm32") {
    c.kind = BoardCommand::kStm32;
    long v = 0;
    if (n == 3 && w[1] == "silent" && whole_number(w[2], 1, 1000000, &v)) {
      c.word = "silent";
      c.value = static_cast<double>(v);
    } else if (n == 2 && (w[1] == "poke" || w[1] == "ok")) {
      c.word = w[1];
    } else {
      return fail("stm32 takes silent N, poke or ok");
    }
  } else if (verb == "leds" && n == 1) {
    c.kind = BoardCommand::kLeds;
  } else if (verb == "help" && n == 1) {
    c.kind = BoardCommand::kHelp;
  } else {
    return fail("unknown command \"" + verb + "\"");
  }
  *out = c;
  return true;
}

bool parse_scenario(const std::string& text, std::vector<ScenarioStep>* steps,
                    std::string* error) {
  std::vector<ScenarioStep> out;
  std::istringstream in(text);
  int line_no = 0;
  for (std::string line; std::getline(in, line);) {
    line_no++;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::vector<std::string> w = words(line);
    if (w.empty()) continue;
    auto fail = [&](const std::string& what) {
      *error = "line " + std::to_string(line_no) + ": " + what;
      return false;
    };
    if (w[0] != "at" || w.size() < 3) return fail("expected \"at TIME COMMAND\"");
    ScenarioStep step;
    step.line = line_no;
    if (!parse_duration(w[1], &step.at_us)) return fail("bad time \"" + w[1] + "\"");
    std::string rest;
    for (size_t i = 2; i < w.size(); i++) rest += w[i] + " ";
    std::string why;
    if (!parse_board_command(rest, &step.command, &why)) return fail(why);
    if (step.command.kind == BoardCommand::kHelp) return fail("help is for the keyboard only");
    out.push_back(step);
  }
  *steps = std::move(out);
  return true;
}

std::string led_text(uint16_t leds, bool colour) {
  const uint16_t red = 0x0080, green = 0x0010, blue = 0x0040, wifi = 0x0008;
  static const char* const names = ".BGCRMYW";  // index: red<<2 | green<<1 | blue
  int ss = ((leds & red) ? 4 : 0) | ((leds & green) ? 2 : 0) | ((leds & blue) ? 1 : 0);
  static const char* const ansi[] = {"",         "\033[94m", "\033[92m", "\033[96m",
                                     "\033[91m", "\033[95m", "\033[93m", "\033[97m"};
  std::string s;
  auto put = [&](char c, const char* code) {
    if (colour && c != '.') {
      s += code;
      s += c;
      s += "\033[0m";
    } else {
      s += c;
    }
  };
  put(names[ss], ansi[ss]);
  s += ' ';
  put((leds & wifi) ? 'W' : '.', "\033[94m");
  s += ' ';
  for (int bit = 9; bit <= 14; bit++) put((leds & (1u << bit)) ? 'o' : '.', "\033[92m");
  return s;
}

BoardDriver::BoardDriver(Board& board, std::function<void(const std::string&)> note)
    : board_(board), note_(std::move(note)), usb_wall_(board.config().usb_powered) {}

void BoardDriver::update_usb() {
  bool pack = board_.batteries().plugged(1) || board_.batteries().plugged(2) ||
              board_.batteries().plugged(3);
  // A pack is plugged into the camera's USB socket: it shows as USB power.
  board_.set_usb_power(usb_wall_ || pack);
}

void BoardDriver::apply(const BoardCommand& c) {
  uint64_t now = camhost::time_now();
  std::string note = c.text;
  Batteries& bat = board_.batteries();
  switch (c.kind) {
    case BoardCommand::kPress: {
      uint16_t mask = static_cast<uint16_t>((c.id & 1 ? 0x0002 : 0) | (c.id & 2 ? 0x0004 : 0));
      board_.set_buttons(mask);
      Board* b = &board_;
      camhost::at(now + c.duration_us, [b] { b->set_buttons(0); });
      break;
    }
    case BoardCommand::kUsb:
      usb_wall_ = c.value != 0;
      update_usb();
      break;
    case BoardCommand::kPower:
      board_.set_power_switch_off(c.value != 0);
      break;
    case BoardCommand::kBattery:
      if (c.word == "mV") bat.set_voltage(c.id, static_cast<uint16_t>(c.value));
      else if (c.word == "%") bat.set_soc(c.id, c.value);
      else bat.set_temperature(c.id, static_cast<uint16_t>(c.value));
      break;
    case BoardCommand::kLoad:
      bat.set_load(static_cast<uint32_t>(c.value), static_cast<uint32_t>(c.value2));
      break;
    case BoardCommand::kPackPlug:
      bat.plug(c.id, c.value);
      update_usb();
      break;
    case BoardCommand::kPackUnplug:
      bat.unplug(c.id);
      update_usb();
      break;
    case BoardCommand::kGauge: {
      Rt9426a& g = bat.gauge(c.id);
      if (c.word == "nack") g.set_fault(GaugeFault::kNack, c.value > 0 ? static_cast<int>(c.value) : -1);
      else if (c.word == "never-ready") g.set_fault(GaugeFault::kNeverReady);
      else if (c.word == "stuck-busy") g.set_fault(GaugeFault::kStuckBusy);
      else if (c.word == "bad-checksum") g.set_fault(GaugeFault::kBadChecksum);
      else if (c.word == "seal-fails") g.set_fault(GaugeFault::kSealFails);
      else if (c.word == "soc") g.set_soc_override(static_cast<int>(c.value));
      else {
        g.set_fault(GaugeFault::kNone);
        g.set_soc_override(-1);
      }
      break;
    }
    case BoardCommand::kSd:
      if (c.word == "remove") board_.stm32().sd_card_removed();
      else if (c.word == "insert") board_.stm32().sd_card_inserted();
      else if (c.word == "full") board_.stm32().set_sd_full(true);
      else if (c.word == "error") board_.stm32().set_sd_error(true);
      else {
        board_.stm32().set_sd_full(false);
        board_.stm32().set_sd_error(false);
      }
      break;
    case BoardCommand::kStm32:
      if (c.word == "silent") board_.stm32().set_fault(Stm32Fault::kSilent, static_cast<int>(c.value));
      else if (c.word == "poke") board_.stm32().poke();
      else board_.stm32().set_fault(Stm32Fault::kNone, 0);
      break;
    case BoardCommand::kLeds:
      note = "leds " + led_text(board_.leds(), false);
      break;
    case BoardCommand::kHelp:
      note = "commands:\n" + board_command_help();
      break;
  }
  if (note_) note_("[board " + seconds_text(now) + "] " + note);
}

void BoardDriver::schedule(const std::vector<ScenarioStep>& steps) {
  for (const ScenarioStep& s : steps) {
    BoardCommand c = s.command;
    camhost::at(s.at_us, [this, c] { apply(c); });
  }
}

}  // namespace sim
