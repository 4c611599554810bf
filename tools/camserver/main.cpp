// camserver: the reference camera server on the command line. Serves one camera on UDP, logs
// every datagram decoded, and runs commands from --exec, a file or an interactive prompt.
#include <getopt.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "commands.h"
#include "server.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
camserver::Server* g_server = nullptr;

void on_signal(int) {
  g_stop = 1;
  if (g_server != nullptr) g_server->stop();
}

void usage(FILE* out) {
  fprintf(out,
          "usage: camserver [options]\n"
          "A camera server for the camera's Wi-Fi module: opens its session (with a redirection),\n"
          "sends keep-alives with this machine's UTC clock, acknowledges status bits, and runs\n"
          "commands. Every datagram is logged decoded, one line each.\n"
          "\n"
          "  --port N             UDP port to listen on, on 127.0.0.1 (default 46103; 0: any)\n"
          "  --redirect-ip TEXT   the address the redirection names (default 10.0.2.2, this\n"
          "                       machine as the camera sees it)\n"
          "  --redirect-port N    the port the redirection names (default: the listening port;\n"
          "                       0 is sent as is and refused by the camera)\n"
          "  --keepalive SECONDS  keep-alive period (default 10)\n"
          "  --no-clear           do not acknowledge status bits (no ClearKAStatus, no pairing)\n"
          "  --duplicate N        send every command N more times, as a network may\n"
          "  --reorder            swap each pair of commands in flight\n"
          "  --timeout SECONDS    how long a command waits for its reply (default 5)\n"
          "  --wait SECONDS       how long --exec and --file wait for the session (default 120)\n"
          "  --exec \"CMDS\"        run these commands once the session is open, then exit\n"
          "  --file PATH          the same, one or more commands per line\n"
          "  --quiet              leave keep-alives out of the log\n"
          "  --out DIR            where get, frame, block and live save files (default .)\n"
          "  --help               this text\n"
          "\n"
          "Without --exec or --file, commands are read from standard input (a prompt on a\n"
          "terminal) while the server runs. Failures go to stderr, everything else to stdout.\n"
          "Exit status: 0 when every command succeeded, 1 when one failed (an error bit, a camera\n"
          "error, a time-out or no session), 2 for bad options.\n\n%s",
          camserver::command_help().c_str());
}

bool parse_num(const char* s, long min, long max, long* v) {
  char* end = nullptr;
  long x = strtol(s, &end, 10);
  if (end == s || *end != '\0' || x < min || x > max) return false;
  *v = x;
  return true;
}

// Whether a line of command output reports a failure: "error: ...", a reply's error bit or time-out
// ("NAME: temporaryError ...", "NAME: timed out"), a camera error ("NAME: error CODE") or a live
// view without its end marker. Listing rows (indented) never do.
bool failure_line(const std::string& line) {
  if (line.rfind("error: ", 0) == 0) return true;
  if (line.empty() || line[0] == ' ') return false;
  if (line.find("; no end marker") != std::string::npos) return true;
  size_t at = line.find(": ");
  if (at == std::string::npos) return false;
  for (const char* f : {"error ", "temporaryError", "persistentError", "timed out"})
    if (line.compare(at + 2, strlen(f), f) == 0) return true;
  return false;
}

// Command output: failures to stderr, the rest to stdout.
void emit(const std::string& out) {
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    fprintf(failure_line(line) ? stderr : stdout, "%s\n", line.c_str());
  fflush(stdout);
}

int run_script(camserver::Server& server, const std::string& script, long wait_secs) {
  if (!server.wait_for_session(static_cast<uint64_t>(wait_secs) * 1000000)) {
    fprintf(stderr, "camserver: no session with a camera within %ld s\n", wait_secs);
    return 1;
  }
  bool ok = true;
  std::istringstream lines(script);
  for (std::string line; std::getline(lines, line) && !g_stop;) {
    std::string out;
    if (!camserver::run_commands(server, line, &out)) ok = false;
    emit(out);
  }
  return ok && !g_stop ? 0 : 1;
}

int run_interactive(camserver::Server& server) {
  bool tty = isatty(0);
  bool ok = true;
  std::string pending;
  auto prompt = [&] {
    if (tty) {
      fputs("camserver> ", stdout);
      fflush(stdout);
    }
  };
  prompt();
  while (!g_stop) {
    // Serve in short turns so that standard input is read between them.
    pollfd p = {0, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) {
      server.serve_until(server.waiter().now_us() + 50000);
      continue;
    }
    char buf[4096];
    ssize_t n = read(0, buf, sizeof buf);
    if (n <= 0) break;
    pending.append(buf, n);
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      if (line == "quit" || line == "exit") return ok ? 0 : 1;
      std::string out;
      if (!camserver::run_commands(server, line, &out)) ok = false;
      emit(out);
      prompt();
    }
  }
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  camserver::Options o;
  // Fresh tokens each run, as a real server hands out: a token repeated from the last run would
  // let a camera still retrying that run's redirected opening pass as this run's.
  o.seed = std::random_device{}();
  std::string script;
  bool have_script = false;
  long wait_secs = 120;
  enum { kPort = 1, kRedirectIp, kRedirectPort, kKeepalive, kNoClear, kDuplicate, kReorder,
         kTimeout, kWait, kExec, kFile, kQuiet, kOut, kHelp };
  static const option longopts[] = {
      {"port", required_argument, nullptr, kPort},
      {"redirect-ip", required_argument, nullptr, kRedirectIp},
      {"redirect-port", required_argument, nullptr, kRedirectPort},
      {"keepalive", required_argument, nullptr, kKeepalive},
      {"no-clear", no_argument, nullptr, kNoClear},
      {"duplicate", required_argument, nullptr, kDuplicate},
      {"reorder", no_argument, nullptr, kReorder},
      {"timeout", required_argument, nullptr, kTimeout},
      {"wait", required_argument, nullptr, kWait},
      {"exec", required_argument, nullptr, kExec},
      {"file", required_argument, nullptr, kFile},
      {"quiet", no_argument, nullptr, kQuiet},
      {"out", required_argument, nullptr, kOut},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0}};
  int c;
  long v;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    switch (c) {
      case kPort:
        if (!parse_num(optarg, 0, 65535, &v)) return fprintf(stderr, "camserver: bad --port\n"), 2;
        o.port = static_cast<uint16_t>(v);
        break;
      case kRedirectIp:
        o.redirect_ip = optarg;
        if (o.redirect_ip.size() > 16) return fprintf(stderr, "camserver: --redirect-ip too long\n"), 2;
        break;
      case kRedirectPort:
        if (!parse_num(optarg, 0, 65535, &v)) return fprintf(stderr, "camserver: bad --redirect-port\n"), 2;
        o.redirect_port = static_cast<int>(v);
        break;
      case kKeepalive:
        if (!parse_num(optarg, 1, 3600, &v)) return fprintf(stderr, "camserver: bad --keepalive\n"), 2;
        o.keepalive_period_ms = static_cast<uint32_t>(v * 1000);
        break;
      case kNoClear:
        o.auto_clear = false;
        break;
      case kDuplicate:
        if (!parse_num(optarg, 0, 10, &v)) return fprintf(stderr, "camserver: bad --duplicate\n"), 2;
        o.duplicate = static_cast<int>(v);
        break;
      case kReorder:
        o.reorder = true;
        break;
      case kTimeout:
        if (!parse_num(optarg, 1, 3600, &v)) return fprintf(stderr, "camserver: bad --timeout\n"), 2;
        o.command_timeout_ms = static_cast<uint32_t>(v * 1000);
        break;
      case kWait:
        if (!parse_num(optarg, 0, 86400, &v)) return fprintf(stderr, "camserver: bad --wait\n"), 2;
        wait_secs = v;
        break;
      case kExec:
        script += std::string(optarg) + "\n";
        have_script = true;
        break;
      case kFile: {
        std::ifstream f(optarg);
        if (!f) return fprintf(stderr, "camserver: cannot read %s\n", optarg), 2;
        std::stringstream ss;
        ss << f.rdbuf();
        script += ss.str() + "\n";
        have_script = true;
        break;
      }
      case kOut:
        o.download_dir = optarg;
        break;
      case kQuiet:
        o.quiet = true;
        break;
      case kHelp:
        usage(stdout);
        return 0;
      default:
        usage(stderr);
        return 2;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "camserver: unexpected argument '%s'\n", argv[optind]);
    return 2;
  }
  o.log = [](const std::string& line) {
    fprintf(stdout, "%s\n", line.c_str());
    fflush(stdout);
  };
  camserver::Server server(o, camserver::wall_clock_waiter());
  if (!server.ok()) {
    fprintf(stderr, "camserver: %s\n", server.error().c_str());
    return 1;
  }
  g_server = &server;
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  fprintf(stdout, "camserver listening on 127.0.0.1:%u\n", server.port());
  fflush(stdout);
  return have_script ? run_script(server, script, wait_secs) : run_interactive(server);
}
