// seedsweep: runs the virtual camera with many seeds, checks every run and prints, for a seed
// that fails, the camlink command that replays it.
#include <getopt.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/seedsweep/sweep.h"

namespace {

void usage(FILE* out) {
  fprintf(out,
          "usage: seedsweep [options] [-- camlink options]\n"
          "Runs the virtual camera (camlink --time virtual) once per seed and checks each run:\n"
          "it ends normally with nothing on standard error but its trace hash (no stall or\n"
          "sanitizer report), shows no \"ERROR!!\" line the scenario does not allow, boots once,\n"
          "validates its configuration, gets every statistics report due to the STM32 without\n"
          "UART time-outs or sequence errors, and logs to the end. Seeds that ran identically\n"
          "fail too. For each failing seed it prints the camlink command that replays it.\n"
          "\n"
          "  --from N           first seed (default 1)\n"
          "  --count N          how many seeds (default 20)\n"
          "  --minutes M        simulated minutes per seed (default 30)\n"
          "  --jobs N           seeds run at once (default 1)\n"
          "  --camlink PATH     the camlink binary (default: the one beside seedsweep)\n"
          "  --allow-error TEXT \"ERROR!!\" lines holding TEXT belong to the scenario\n"
          "                     (repeatable)\n"
          "  --boots N          times the module starts in the scenario (default 1; 0 any)\n"
          "  --timeout SECONDS  wall-clock limit per seed, against hangs (default 600; 0 none)\n"
          "  --verbose          also print every failing run's output\n"
          "  --help             this text\n"
          "Options after -- go to camlink as they are (e.g. -- --boot-arg wifi.cloud_pm=0).\n"
          "Exit status: 0 when every seed ran soundly, 1 when one did not, 2 on bad usage.\n");
}

bool parse_u64(const char* s, uint64_t* out) {
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(s, &end, 0);
  if (errno || !*s || *end || s[0] == '-') return false;
  *out = v;
  return true;
}

// The camlink built beside this binary.
std::string default_camlink() {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "camlink";
  return (self.parent_path() / "camlink").string();
}

// `path` as a shell would take it from here: relative when it lies below the current directory.
std::string shown_path(const std::string& path) {
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(path, ec);
  if (ec) return path;
  std::filesystem::path rel = std::filesystem::relative(abs, std::filesystem::current_path(ec), ec);
  if (ec || rel.empty() || *rel.begin() == "..") return abs.string();
  std::string s = rel.string();
  return s.find('/') == std::string::npos ? "./" + s : s;
}

struct Outcome {
  std::string hash;
  std::vector<std::string> broken;
};

}  // namespace

int main(int argc, char** argv) {
  uint64_t from = 1, count = 20, jobs = 1, timeout = 600, boots = 1;
  double minutes = 30;
  bool verbose = false;
  std::string camlink = default_camlink();
  sweep::Expectations expect;

  enum { kFrom = 1, kCount, kMinutes, kJobs, kCamlink, kAllowError, kBoots, kTimeout, kVerbose,
         kHelp };
  static const option longopts[] = {
      {"from", required_argument, nullptr, kFrom},
      {"count", required_argument, nullptr, kCount},
      {"minutes", required_argument, nullptr, kMinutes},
      {"jobs", required_argument, nullptr, kJobs},
      {"camlink", required_argument, nullptr, kCamlink},
      {"allow-error", required_argument, nullptr, kAllowError},
      {"boots", required_argument, nullptr, kBoots},
      {"timeout", required_argument, nullptr, kTimeout},
      {"verbose", no_argument, nullptr, kVerbose},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };
  auto bad = [](const char* what, const char* arg) {
    fprintf(stderr, "seedsweep: %s, not \"%s\"\n", what, arg);
    return 2;
  };
  int c;
  while ((c = getopt_long(argc, argv, "h", longopts, nullptr)) != -1) {
    switch (c) {
      case kFrom:
        if (!parse_u64(optarg, &from)) return bad("--from takes a seed", optarg);
        break;
      case kCount:
        if (!parse_u64(optarg, &count) || count == 0)
          return bad("--count takes a number from 1 up", optarg);
        break;
      case kMinutes: {
        char* end = nullptr;
        minutes = strtod(optarg, &end);
        if (!*optarg || *end || !(minutes > 0) || !std::isfinite(minutes) || minutes > 1e7)
          return bad("--minutes takes a positive number", optarg);
        break;
      }
      case kJobs:
        if (!parse_u64(optarg, &jobs) || jobs == 0 || jobs > 64)
          return bad("--jobs takes a number from 1 to 64", optarg);
        break;
      case kCamlink:
        camlink = optarg;
        break;
      case kAllowError:
        expect.allowed_errors.push_back(optarg);
        break;
      case kBoots:
        if (!parse_u64(optarg, &boots) || boots > 1000000)
          return bad("--boots takes a number", optarg);
        expect.boots = static_cast<int>(boots);
        break;
      case kTimeout:
        if (!parse_u64(optarg, &timeout) || timeout > 86400 * 7)
          return bad("--timeout takes seconds", optarg);
        break;
      case kVerbose:
        verbose = true;
        break;
      case kHelp:
      case 'h':
        usage(stdout);
        return 0;
      default:
        usage(stderr);
        return 2;
    }
  }
  if (from + count - 1 < from) return bad("--from and --count go past the last seed", "");
  std::vector<std::string> extra(argv + optind, argv + argc);
  if (access(camlink.c_str(), X_OK) != 0) {
    fprintf(stderr, "seedsweep: cannot run %s: %s (see --camlink)\n", camlink.c_str(),
            strerror(errno));
    return 2;
  }

  const uint64_t seconds = static_cast<uint64_t>(std::llround(minutes * 60));
  const std::string shown = shown_path(camlink);
  std::vector<Outcome> outcomes(count);
  std::atomic<uint64_t> next{0};
  std::mutex print_m;
  auto worker = [&] {
    for (uint64_t i; (i = next++) < count;) {
      sweep::RunSpec spec{camlink, from + i, seconds, extra};
      sweep::Run run = sweep::run(spec, static_cast<int>(timeout));
      Outcome& o = outcomes[i];
      o.hash = sweep::trace_hash(run);
      o.broken = sweep::check(run, seconds, expect);
      std::lock_guard<std::mutex> g(print_m);
      if (o.broken.empty()) {
        printf("seed %" PRIu64 ": sound, trace hash %s\n", spec.seed, o.hash.c_str());
      } else {
        printf("seed %" PRIu64 ": FAILED\n", spec.seed);
        for (const std::string& b : o.broken) printf("  %s\n", b.c_str());
        spec.camlink = shown;
        printf("  replay: %s\n", sweep::command_line(spec).c_str());
        if (verbose) {
          fwrite(run.output.data(), 1, run.output.size(), stdout);
          fwrite(run.errors.data(), 1, run.errors.size(), stdout);
        }
      }
      fflush(stdout);
    }
  };
  std::vector<std::thread> pool;
  for (uint64_t j = 0; j < std::min(jobs, count); j++) pool.emplace_back(worker);
  for (std::thread& t : pool) t.join();

  uint64_t failed = 0;
  for (const Outcome& o : outcomes) failed += !o.broken.empty();
  // Seeds exist to vary the run: two seeds with one trace hash ran the same path.
  std::map<std::string, uint64_t> first_with;
  for (uint64_t i = 0; i < count; i++) {
    const std::string& h = outcomes[i].hash;
    if (h.empty()) continue;
    auto [it, fresh] = first_with.emplace(h, from + i);
    if (!fresh) {
      printf("seeds %" PRIu64 " and %" PRIu64 " ran identically (trace hash %s)\n", it->second,
             from + i, h.c_str());
      failed++;
    }
  }
  printf("%" PRIu64 " seeds from %" PRIu64 ", %g simulated minutes each: %s\n", count, from,
         minutes, failed ? "FAILED" : "all sound");
  return failed ? 1 : 0;
}
