#include "tools/seedsweep/sweep.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace sweep {

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

bool has(const std::string& s, const char* needle) { return s.find(needle) != std::string::npos; }

// A console line starts "NNNN  SSS,SSS.mmm,uuu: ": its number, then seconds and microseconds
// since boot. False for anything else (continuation lines, the STM32's notes).
bool console_stamp(const std::string& line, uint64_t* micros) {
  size_t i = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') i++;
  if (i == 0 || line.compare(i, 2, "  ") != 0) return false;
  i += 2;
  static const char kShape[] = "ddd,ddd.ddd,ddd:";
  uint64_t v = 0;
  for (size_t k = 0; kShape[k]; k++, i++) {
    if (i >= line.size()) return false;
    char c = line[i];
    if (kShape[k] == 'd') {
      if (c < '0' || c > '9') return false;
      v = v * 10 + uint64_t(c - '0');
    } else if (c != kShape[k]) {
      return false;
    }
  }
  *micros = v;
  return true;
}

std::string quoted(const std::string& arg) {
  bool plain = !arg.empty();
  for (char c : arg)
    plain &= (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
             strchr("-_./=:,+@%", c) != nullptr;
  if (plain) return arg;
  std::string out = "'";
  for (char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Adds at most a few of `items`, each prefixed, and says how many more there were.
void report_some(std::vector<std::string>* out, const std::vector<std::string>& items,
                 const std::string& prefix) {
  constexpr size_t kShown = 5;
  for (size_t i = 0; i < items.size() && i < kShown; i++) out->push_back(prefix + items[i]);
  if (items.size() > kShown)
    out->push_back(prefix + "... and " + std::to_string(items.size() - kShown) + " more");
}

}  // namespace

std::vector<std::string> command(const RunSpec& spec) {
  std::vector<std::string> args = {spec.camlink,           "--time", "virtual",
                                   "--for",                std::to_string(spec.seconds),
                                   "--seed",               std::to_string(spec.seed),
                                   "--trace-hash"};
  args.insert(args.end(), spec.extra.begin(), spec.extra.end());
  return args;
}

std::string command_line(const RunSpec& spec) {
  std::string line;
  for (const std::string& a : command(spec)) line += (line.empty() ? "" : " ") + quoted(a);
  return line;
}

Run run(const RunSpec& spec, int wall_limit_seconds) {
  Run r;
  std::vector<std::string> args = command(spec);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    r.started = false;
    return r;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    r.started = false;
    return r;
  }
  const std::string cannot_run = "cannot run " + spec.camlink + "\n";
  pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls here: the parent may have other threads.
    // The camera goes with whoever runs it, even one killed for taking too long.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execv(argv[0], argv.data());
    ssize_t ignored = write(STDERR_FILENO, cannot_run.data(), cannot_run.size());
    (void)ignored;
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    r.started = false;
    return r;
  }

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wall_limit_seconds);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.output, &r.errors};
  int open_fds = 2;
  while (open_fds > 0) {
    int wait_ms = -1;
    if (wall_limit_seconds > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) {
        r.timed_out = true;
        kill(pid, SIGKILL);
        break;
      }
      wait_ms = static_cast<int>(std::min<long long>(left, 1000));
    }
    int n = poll(fds, 2, wait_ms);
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        open_fds--;
      }
    }
  }
  for (pollfd& p : fds)
    if (p.fd >= 0) close(p.fd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

std::string trace_hash(const Run& run) {
  for (const std::string& l : lines_of(run.errors))
    if (l.rfind("trace hash ", 0) == 0) return l.substr(11);
  return "";
}

std::vector<std::string> check(const Run& run, uint64_t seconds, const Expectations& e) {
  std::vector<std::string> broken;
  if (!run.started) return {"camlink could not be started"};
  if (run.timed_out) {
    broken.push_back("still running at the wall-clock limit: a hang?");
  } else if (run.status != 0) {
    broken.push_back("camlink ended with status " + std::to_string(run.status));
  }

  // camlink's own notes (where the phone's BLE socket is, how the image is booted) are expected,
  // and its errors show in its exit status; anything else on standard error (a stall report, a
  // sanitizer, a dropped frame) is not.
  std::vector<std::string> host;
  for (const std::string& l : lines_of(run.errors))
    if (l.rfind("trace hash ", 0) != 0 && l.rfind("camlink: ", 0) != 0 && !l.empty())
      host.push_back(l);
  report_some(&broken, host, "reported on standard error: ");
  if (trace_hash(run).empty() && !run.timed_out) broken.push_back("no trace hash");

  std::vector<std::string> errors;
  int boots = 0;
  bool validated = false;
  uint64_t last_stamp = 0;
  int reports = 0;
  std::vector<std::string> bad_reports;
  for (const std::string& l : lines_of(run.output)) {
    uint64_t stamp = 0;
    if (console_stamp(l, &stamp)) last_stamp = std::max(last_stamp, stamp);
    if (has(l, "ERROR!!")) {
      bool allowed = false;
      for (const std::string& a : e.allowed_errors) allowed |= l.find(a) != std::string::npos;
      if (!allowed) errors.push_back(l);
    }
    if (has(l, "WiFi FW version")) boots++;
    if (has(l, "all data is valid after attempt #")) validated = true;
    if (l.rfind("[stm32 ", 0) == 0 && has(l, "] statistics report received: ")) {
      reports++;
      if (!has(l, "UART time-outs 0, sequence errors 0")) bad_reports.push_back(l);
    }
  }
  report_some(&broken, errors, "unexpected error line: ");
  if (e.boots > 0 && boots != e.boots)
    broken.push_back("the module started " + std::to_string(boots) + " times, not " +
                     std::to_string(e.boots));
  if (!validated) broken.push_back("the configuration was never validated");
  // One report a minute after boot, then one five minutes after the one before went through:
  // each adds its transaction's time, so allow each a second.
  int due = seconds >= 61 ? static_cast<int>((seconds - 61) / 301 + 1) : 0;
  if (reports < due)
    broken.push_back("the STM32 received " + std::to_string(reports) +
                     " statistics reports, not at least " + std::to_string(due));
  report_some(&broken, bad_reports,
              "a statistics report counts UART time-outs or sequence errors: ");
  // The main loop logs every 3 s; a minute of silence at the end means something stopped.
  constexpr uint64_t kQuietLimit = 60 * 1000000ull;
  if (seconds * 1000000 > kQuietLimit && last_stamp + kQuietLimit < seconds * 1000000)
    broken.push_back("the console went quiet at " + std::to_string(last_stamp / 1000000) + " s");
  return broken;
}

}  // namespace sweep
