// camserver's command language, shared by the prompt, --exec and command files:
// "get NAME", "set NAME VALUE", "status", "battery", "sdcard", "files", "stats", "pair",
// "raw HEX" and the rest listed by command_help(); several separated by ';'.
#ifndef CAMSERVER_COMMANDS_H
#define CAMSERVER_COMMANDS_H

#include <string>

#include "server.h"

namespace camserver {

// Runs every command of `line`; appends one result line per command to `out` (with '\n'). False
// when any failed: an error bit in the reply, a time-out, or a command not understood.
bool run_commands(Server& server, const std::string& line, std::string* out);
std::string command_help();

}  // namespace camserver

#endif  // CAMSERVER_COMMANDS_H
