// The seed sweep: runs the virtual camera (camlink) in virtual time with one seed after another
// and checks what every sound run shows, however the seed's latencies and jitter interleaved the
// threads. The sweep test and the seedsweep tool share it, so a seed that fails in either is
// replayed by the same camlink command.
#ifndef CAMLINK_TOOLS_SEEDSWEEP_SWEEP_H
#define CAMLINK_TOOLS_SEEDSWEEP_SWEEP_H

#include <cstdint>
#include <string>
#include <vector>

namespace sweep {

struct RunSpec {
  std::string camlink;             // the camlink binary
  uint64_t seed = 1;
  uint64_t seconds = 1800;         // simulated time
  std::vector<std::string> extra;  // more camlink options, passed on as they are
};

// camlink's arguments for the run (the binary first): the command that replays it.
std::vector<std::string> command(const RunSpec& spec);
// The same as one line for a shell, with the binary as given.
std::string command_line(const RunSpec& spec);

struct Run {
  std::string output;      // standard output: the module's console and the STM32's notes
  std::string errors;      // standard error: the trace hash and whatever the host reported
  int status = 0;          // exit status; 128 + the signal's number when one ended it
  bool timed_out = false;  // killed after the wall-clock limit
  bool started = true;     // false when camlink could not be started at all
};

// Runs camlink to its end. With `wall_limit_seconds` (0: none) a run still going after that long
// on the wall clock is killed: a guard against a hang, never a measure of the run.
Run run(const RunSpec& spec, int wall_limit_seconds = 0);

// The trace hash camlink printed (16 hex digits), or "" when there is none.
std::string trace_hash(const Run& run);

// What the scenario makes normal.
struct Expectations {
  // "ERROR!!" lines that hold one of these texts belong to the scenario.
  std::vector<std::string> allowed_errors;
  // How many times the module starts (its boot banner); 0: any number.
  int boots = 1;
};

// Every invariant the run of `seconds` breaks, one line each; empty for a sound run:
// camlink ended normally with a trace hash and nothing else on standard error (no stall report,
// no sanitizer report); no "ERROR!!" line the scenario does not allow; the module started as
// often as expected; the configuration mirror validated its data; the STM32 received every
// statistics report due (one a minute after boot, then one five minutes after each), none
// counting a UART time-out or a sequence error; and the console kept going to the end.
std::vector<std::string> check(const Run& run, uint64_t seconds, const Expectations& e = {});

}  // namespace sweep

#endif  // CAMLINK_TOOLS_SEEDSWEEP_SWEEP_H
