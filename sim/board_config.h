// Board files and the STM32's state file: the camera's identity, settings and stored state as
// JSON. Both use the same keys (README.md, "Board configuration"); a board file may also name the
// board's inputs that are not kept (mode, usb_powered), a state file carries its format number.
#ifndef CAMSIM_BOARD_CONFIG_H
#define CAMSIM_BOARD_CONFIG_H

#include <string>

#include "sim/board.h"
#include "sim/stm32.h"

namespace sim {

constexpr int kStateFormat = 1;
// Limits on what is read: a board or state file is a regular file of at most this many bytes
// (a real one holds about 3 KB), nested at most this many levels (a real one, 3).
constexpr size_t kMaxConfigFileBytes = 1 << 20;
constexpr int kMaxJsonDepth = 32;
// How much of a bad value an error message shows.
constexpr size_t kMaxShownBytes = 64;

// Reads a board file's text over `config`: the keys it names replace what `config` holds, the
// others stay. On an unknown key, a key given twice, nesting deeper than kMaxJsonDepth or a bad
// value returns false with `error` naming the key (as a dotted path, e.g. "capture.sharpness")
// and leaves `config` unchanged. Values in `error` are cut to kMaxShownBytes.
bool parse_board_json(const std::string& text, BoardConfig* config, std::string* error);
// The same from a file; `error` starts with the file's path.
bool load_board_file(const std::string& path, BoardConfig* config, std::string* error);

// The whole of a board or state file. False, with `error` starting with the path, for anything
// but a regular file (or a link to one) of at most kMaxConfigFileBytes; never blocks on a FIFO.
bool read_config_file(const std::string& path, std::string* text, std::string* error);

// Where the STM32 keeps its state in a board's state directory.
std::string stm32_state_path(const std::string& state_dir);
// Takes an existing state directory for this process alone: an exclusive lock on DIR/lock, which
// then holds the process's id. Returns the lock's file descriptor (closing it lets go), or -1 with
// `error` saying which process holds the directory.
int lock_state_dir(const std::string& state_dir, std::string* error);
// The persistent part of `config` as a state file: every key written, rtc_time from rtc_utc and
// rtc_offset_minutes, held to kFirstLocalSecond..kLastLocalSecond so that it reads back.
std::string stm32_state_json(const Stm32Config& config);
// Reads a state file over `config`, as parse_board_json does; "format" must be present and known.
bool parse_stm32_state_json(const std::string& text, Stm32Config* config, std::string* error);

}  // namespace sim

#endif  // CAMSIM_BOARD_CONFIG_H
