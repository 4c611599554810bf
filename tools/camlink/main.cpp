// camlink: one virtual camera module. Boots the firmware on the host kernel and prints its serial
// console on stdout.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>
#include <algorithm>

#include "boot_args.h"
#include "board_control.h"
#include "camhost/bus.h"
#include "camhost/flash.h"
#include "camhost/net.h"
#include "camhost/ble_air.h"
#include "camhost/runtime.h"
#include "sim/board.h"
#include "sim/board_config.h"
#include "internal_server.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

void usage(FILE* out) {
  fprintf(out,
          "usage: camlink [options]\n"
          "Runs the camera's Wi-Fi/BLE module firmware on this PC and prints its serial console.\n"
          "\n"
          "  --time virtual|real   the clock: simulated (fast, repeatable) or the wall clock\n"
          "                        (default real)\n"
          "  --for SECONDS         stop after this much time on the chosen clock, at most\n"
          "                        18446744073709 (default: run until interrupted)\n"
          "  --seed N              seed of every random source (default 1)\n"
          "  --heap BYTES          the module's heap (default %u)\n"
          "  --boot-arg NAME=VALUE a platform boot argument the firmware reads (below); each\n"
          "                        name once (repeatable)\n"
          "  --firmware PATH       program the flash with this firmware library at start\n"
          "                        (default: a new state gets the one built beside camlink;\n"
          "                        the module boots whatever its flash holds)\n"
          "  --trace-hash          print a hash of the run's scheduling trace on stderr at the end\n"
          "  --no-board-notes      leave out the simulated STM32's \"[stm32 ...]\" lines about what\n"
          "                        it received (statistics reports, clock, battery information)\n"
          "  --state DIR           the board's state directory: what the camera's chips keep\n"
          "                        across runs (the STM32's settings, credentials, codes, camera\n"
          "                        UID, clock, SD-card state and non-volatile blocks, in\n"
          "                        DIR/stm32.json); created if missing, and held by one camlink\n"
          "                        at a time. Default: a fresh temporary directory, removed at\n"
          "                        exit\n"
          "  --sdcard DIR          the SD card: a directory whose files (names of at most 12\n"
          "                        characters) are the card's. Default: DIR/sdcard of the state\n"
          "                        directory, made with a few sample recordings\n"
          "  --board FILE          a JSON board file: the camera's identity and settings (keys in\n"
          "                        README.md, \"Board configuration\"). It seeds a new state\n"
          "                        directory only: a DIR that already holds a state keeps its\n"
          "                        values; mode and usb_powered, which are not kept, always apply\n"
          "  --scenario FILE       timed board events, one per line (\"at 1m usb off\"; grammar\n"
          "                        in README.md, \"Scenarios\"); checked before the run\n"
          "  --leds                an LED line on stderr whenever the LEDs change\n"
          "  --ap SSID[:PASSPHRASE] an access point in range besides the default one (\"%s\",\n"
          "                        whose credentials the default STM32 holds); no passphrase:\n"
          "                        an open network; the default's SSID replaces it (repeatable)\n"
          "  --server-host NAME=ADDR  the link's DNS answers NAME with the IPv4 ADDR (default:\n"
          "                        %s=10.0.2.2, this PC's loopback) (repeatable)\n"
          "  --pcap FILE           write every frame on the Wi-Fi link to FILE (pcap, Ethernet)\n"
          "  --server internal|external  the camera server: internal (default) runs one in this\n"
          "                        process on the link's far side, in a network namespace of\n"
          "                        its own (so several camlinks run at once); external leaves\n"
          "                        10.0.2.2:46103 to a server on this PC's loopback (camserver)\n"
          "  --ble PATH            the BLE air: a Unix SOCK_SEQPACKET socket, one ATT PDU per\n"
          "                        packet (default: ble.sock in the state directory)\n"
          "  --ble-pcap FILE       write every ATT PDU to FILE (pcap, Bluetooth HCI H4)\n"
          "  --update-files DIR    where the STM32 finds the module's update files (default:\n"
          "                        the SD card's root, where camserver's update puts them)\n"
          "                        (qvr8k_w1.udf, qvr8k_w2.udf): present at a boot of the module,\n"
          "                        they are sent over the UART and deleted once taken\n"
          "  --update-feed auto|silent|line  what the STM32 offers at the module's boot: auto\n"
          "                        (default) the version-2 transfer when the module's update\n"
          "                        files are there, else \"nf\" at once; silent says nothing (the\n"
          "                        module listens for its full 160 s); line the older line\n"
          "                        commands (uf/ub/ud) with the same files\n"
          "  --update-listen       the same as --update-feed silent\n"
          "  --write-update-files LIBRARY DIR  write the camera's four update files into DIR and\n"
          "                        exit: the module's two (qvr8k_w1.udf, qvr8k_w2.udf) for a\n"
          "                        firmware library, and sample qvr8k_fw.bin and qvr8k_hw.udf\n"
          "                        (the STM32's and the FPGA's) unless DIR has them, so that\n"
          "                        camserver's \"update DIR\" has all it needs\n"
          "  --help                this text\n"
          "In real time, board commands typed on stdin act at once (\"help\" lists them).\n"
          "\n"
          "Boot arguments:\n",
          camhost::kDefaultHeapBytes, sim::kDefaultApSsid, camhost::net::kDefaultServerHost);
  for (const camlink::BootArgInfo& a : camlink::kBootArgs)
    fprintf(out, "  %-21s %ld..%ld\n", a.name, a.min, a.max);
}

// An argument as a message shows it: a long one is cut.
std::string shown(const char* arg) {
  const size_t kMax = 64;
  std::string s(arg);
  return s.size() <= kMax ? s : s.substr(0, kMax) + "...";
}

bool parse_u64(const char* s, uint64_t* out) {
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(s, &end, 0);
  if (errno || !*s || *end || s[0] == '-') return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  camhost::Options opt;
  opt.clock = camhost::ClockKind::Real;
  opt.firmware = CAMFW_DEFAULT_PATH;
  opt.echo_fd = STDOUT_FILENO;
  double for_seconds = -1;
  bool print_hash = false;
  bool board_notes = true;
  bool internal_server = true;

  std::string state_dir, board_file, sdcard_dir;
  bool program_flash = false;  // --firmware given: the flash gets it even in a kept state
  std::vector<camhost::net::AccessPoint> extra_aps;
  camhost::net::LinkOptions link_options;
  enum {
    kTime = 1, kFor, kSeed, kHeap, kBootArg, kFirmware, kTraceHash, kNoBoardNotes, kState, kBoard,
    kHelp, kScenario, kLeds, kAp, kServerHost, kPcap, kServer, kSdcard, kUpdateFiles,
    kUpdateListen, kWriteUpdateFiles, kUpdateFeed
  };
  // BLE options.
  enum { kBle = 100, kBlePcap };
  std::string ble_path, ble_pcap;
  std::string update_dir;
  sim::FeedMode update_feed = sim::FeedMode::kAuto;
  camlink::BoardControl control;
  static const option longopts[] = {
      {"ble", required_argument, nullptr, kBle},
      {"ble-pcap", required_argument, nullptr, kBlePcap},
      {"time", required_argument, nullptr, kTime},
      {"for", required_argument, nullptr, kFor},
      {"seed", required_argument, nullptr, kSeed},
      {"heap", required_argument, nullptr, kHeap},
      {"boot-arg", required_argument, nullptr, kBootArg},
      {"firmware", required_argument, nullptr, kFirmware},
      {"trace-hash", no_argument, nullptr, kTraceHash},
      {"no-board-notes", no_argument, nullptr, kNoBoardNotes},
      {"state", required_argument, nullptr, kState},
      {"sdcard", required_argument, nullptr, kSdcard},
      {"board", required_argument, nullptr, kBoard},
      {"help", no_argument, nullptr, kHelp},
      {"update-files", required_argument, nullptr, kUpdateFiles},
      {"update-listen", no_argument, nullptr, kUpdateListen},
      {"update-feed", required_argument, nullptr, kUpdateFeed},
      {"write-update-files", required_argument, nullptr, kWriteUpdateFiles},
      {"scenario", required_argument, nullptr, kScenario},
      {"leds", no_argument, nullptr, kLeds},
      {"ap", required_argument, nullptr, kAp},
      {"server-host", required_argument, nullptr, kServerHost},
      {"pcap", required_argument, nullptr, kPcap},
      {"server", required_argument, nullptr, kServer},
      {nullptr, 0, nullptr, 0},
  };
  int c;
  while ((c = getopt_long(argc, argv, "h", longopts, nullptr)) != -1) {
    uint64_t n = 0;
    switch (c) {
      case kTime:
        if (!strcmp(optarg, "virtual")) {
          opt.clock = camhost::ClockKind::Virtual;
        } else if (!strcmp(optarg, "real")) {
          opt.clock = camhost::ClockKind::Real;
        } else {
          fprintf(stderr, "camlink: --time takes virtual or real, not \"%s\"\n",
                  shown(optarg).c_str());
          return 2;
        }
        break;
      case kFor: {
        // Run times are whole microseconds in 64 bits: below 2^64 µs, about 584,000 years.
        char* end = nullptr;
        for_seconds = strtod(optarg, &end);
        if (!*optarg || *end || !(for_seconds >= 0) ||
            !(for_seconds * 1e6 < 18446744073709551616.0)) {
          fprintf(stderr, "camlink: --for takes seconds from 0 to %llu, not \"%s\"\n",
                  static_cast<unsigned long long>(UINT64_MAX / 1000000), shown(optarg).c_str());
          return 2;
        }
        break;
      }
      case kSeed:
        if (!parse_u64(optarg, &opt.seed)) {
          fprintf(stderr, "camlink: --seed takes a whole number, not \"%s\"\n",
                  shown(optarg).c_str());
          return 2;
        }
        break;
      case kHeap:
        if (!parse_u64(optarg, &n) || n < 1024 || n > 0x7fffffff) {
          fprintf(stderr, "camlink: --heap takes a size in bytes from 1024 up, not \"%s\"\n",
                  shown(optarg).c_str());
          return 2;
        }
        opt.heap_bytes = static_cast<uint32_t>(n);
        break;
      case kBootArg: {
        const char* eq = strchr(optarg, '=');
        if (!eq || eq == optarg) {
          fprintf(stderr, "camlink: --boot-arg takes NAME=VALUE, not \"%s\"\n",
                  shown(optarg).c_str());
          return 2;
        }
        const std::string name(optarg, static_cast<size_t>(eq - optarg)), value(eq + 1);
        std::string error = camlink::check_boot_arg(name, value);
        for (const auto& given : opt.boot_args)
          if (given.first == name) error = "given twice";
        if (!error.empty()) {
          fprintf(stderr, "camlink: --boot-arg %s: %s\n", shown(optarg).c_str(), error.c_str());
          return 2;
        }
        opt.boot_args.emplace_back(name, value);
        break;
      }
      case kFirmware:
        opt.firmware = optarg;
        program_flash = true;
        break;
      case kNoBoardNotes:
        board_notes = false;
        break;
      case kTraceHash:
        print_hash = true;
        break;
      case kSdcard:
        if (!*optarg) {
          fprintf(stderr, "camlink: --sdcard takes a directory\n");
          return 2;
        }
        sdcard_dir = optarg;
        break;
      case kUpdateFiles:
        update_dir = optarg;
        break;
      case kUpdateListen:
        update_feed = sim::FeedMode::kSilent;
        break;
      case kUpdateFeed:
        if (strcmp(optarg, "auto") == 0) {
          update_feed = sim::FeedMode::kAuto;
        } else if (strcmp(optarg, "silent") == 0) {
          update_feed = sim::FeedMode::kSilent;
        } else if (strcmp(optarg, "line") == 0) {
          update_feed = sim::FeedMode::kLine;
        } else {
          fprintf(stderr, "camlink: --update-feed takes auto, silent or line, not \"%s\"\n",
                  shown(optarg).c_str());
          return 2;
        }
        break;
      case kWriteUpdateFiles: {
        if (optind >= argc) {
          fprintf(stderr, "camlink: --write-update-files takes a library and a directory\n");
          return 2;
        }
        std::string error, dir = argv[optind++];
        std::vector<uint8_t> image = camhost::image_from_library_file(optarg, &error), p1, p2;
        if (image.empty()) {
          fprintf(stderr, "camlink: %s\n", error.c_str());
          return 1;
        }
        camhost::image_split(image, &p1, &p2);
        for (auto [name, part] : {std::pair{sim::kModuleUpdateFile1, &p1},
                                  std::pair{sim::kModuleUpdateFile2, &p2}}) {
          std::string path = dir + "/" + name;
          FILE* f = fopen(path.c_str(), "wb");
          if (!f || fwrite(part->data(), 1, part->size(), f) != part->size() || fclose(f) != 0) {
            fprintf(stderr, "camlink: cannot write %s\n", path.c_str());
            return 1;
          }
          printf("%s: %zu bytes\n", path.c_str(), part->size());
        }
        // The STM32's and the FPGA's files are samples the board's STM32 takes as they come.
        for (auto [name, size, what] :
             {std::tuple{"qvr8k_fw.bin", size_t(65536), "STM32 firmware"},
              std::tuple{"qvr8k_hw.udf", size_t(32768), "FPGA configuration"}}) {
          std::string path = dir + "/" + name;
          if (access(path.c_str(), F_OK) == 0) {
            printf("%s: kept as it is\n", path.c_str());
            continue;
          }
          std::string text = std::string("camlink sample ") + what + "\n";
          std::vector<uint8_t> data(size);
          for (size_t i = 0; i < size; i++)
            data[i] = i < text.size() ? uint8_t(text[i]) : uint8_t(i * 31 + (i >> 8));
          FILE* f = fopen(path.c_str(), "wb");
          if (!f || fwrite(data.data(), 1, size, f) != size || fclose(f) != 0) {
            fprintf(stderr, "camlink: cannot write %s\n", path.c_str());
            return 1;
          }
          printf("%s: %zu bytes (a sample)\n", path.c_str(), size);
        }
        return 0;
      }
      case kState:
        if (!*optarg) {
          fprintf(stderr, "camlink: --state takes a directory\n");
          return 2;
        }
        state_dir = optarg;
        break;
      case kBoard:
        if (!*optarg) {
          fprintf(stderr, "camlink: --board takes a file\n");
          return 2;
        }
        board_file = optarg;
        break;
      case kScenario:
        if (!control.load_scenario(optarg)) return 2;
        break;
      case kLeds:
        control.show_leds(true);
        break;
      case kAp: {
        std::string arg = optarg;
        size_t colon = arg.find(':');
        camhost::net::AccessPoint ap;
        ap.ssid = arg.substr(0, colon);
        if (colon != std::string::npos) ap.passphrase = arg.substr(colon + 1);
        if (ap.ssid.empty() || ap.ssid.size() > 32 ||
            (colon != std::string::npos && (ap.passphrase.size() < 8 || ap.passphrase.size() > 63))) {
          fprintf(stderr,
                  "camlink: --ap takes SSID (1-32 characters) and optionally :PASSPHRASE (8-63 "
                  "characters), not \"%s\"\n", optarg);
          return 2;
        }
        extra_aps.push_back(ap);
        break;
      }
      case kServerHost: {
        const char* eq = strchr(optarg, '=');
        uint32_t address = 0;
        if (!eq || eq == optarg || !camhost::net::parse_ipv4(eq + 1, &address)) {
          fprintf(stderr, "camlink: --server-host takes NAME=a.b.c.d, not \"%s\"\n", optarg);
          return 2;
        }
        link_options.hosts.emplace_back(std::string(optarg, static_cast<size_t>(eq - optarg)),
                                        address);
        break;
      }
      case kPcap:
        if (!*optarg) {
          fprintf(stderr, "camlink: --pcap takes a file name\n");
          return 2;
        }
        link_options.pcap_path = optarg;
        break;
      case kServer:
        if (strcmp(optarg, "internal") != 0 && strcmp(optarg, "external") != 0) {
          fprintf(stderr, "camlink: --server takes internal or external, not \"%s\"\n", optarg);
          return 2;
        }
        internal_server = strcmp(optarg, "internal") == 0;
        break;
      case kBle:
      case kBlePcap:
        if (!*optarg) {
          fprintf(stderr, "camlink: --%s takes a file name\n", c == kBle ? "ble" : "ble-pcap");
          return 2;
        }
        (c == kBle ? ble_path : ble_pcap) = optarg;
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
  if (optind < argc) {
    fprintf(stderr, "camlink: unexpected argument \"%s\"\n", shown(argv[optind]).c_str());
    usage(stderr);
    return 2;
  }

  sim::BoardConfig board_config;
  // The default board is in range of the default access point and its STM32 knows the
  // credentials; a board file may say otherwise.
  board_config.stm32.ssid = sim::kDefaultApSsid;
  board_config.stm32.password = sim::kDefaultApPassphrase;
  board_config.access_points.push_back({sim::kDefaultApSsid, sim::kDefaultApPassphrase});
  if (!board_file.empty()) {
    std::string error;
    if (!sim::load_board_file(board_file, &board_config, &error)) {
      fprintf(stderr, "camlink: %s\n", error.c_str());
      return 2;
    }
  }
  if (!state_dir.empty()) {
    std::error_code ec;
    if (!board_file.empty() && std::filesystem::exists(sim::stm32_state_path(state_dir), ec))
      fprintf(stderr, "camlink: %s already holds a state; %s seeds only a new one\n",
              state_dir.c_str(), board_file.c_str());
  }

  // The in-process server gets a network of its own before any thread starts.
  if (internal_server) {
    std::string error;
    if (!camlink::enter_private_network(&error)) {
      fprintf(stderr, "camlink: --server internal: %s\n", error.c_str());
      return 1;
    }
  }

  // Outlives the instance: its kernel thread is parked, never resumed, when the instance ends.
  std::unique_ptr<camlink::InternalServer> server;
  // The module boots what its flash holds, at every boot: an update changes what runs next. The
  // stripped library fits the image region; a sanitizer build's does not, and then boots as a
  // library, without the flash.
  std::string image_error;
  std::vector<uint8_t> flash_image = camhost::image_from_library_file(
      program_flash ? opt.firmware : std::string(CAMFW_FLASH_PATH), &image_error);
  if (flash_image.empty()) {
    fprintf(stderr, "camlink: %s; the module boots it without the flash\n", image_error.c_str());
  } else {
    opt.boot_image = [&state_dir](std::string* why) {
      return camhost::flash_boot_library(state_dir, why);
    };
  }
  camhost::Instance inst(opt);
  if (!inst.ok()) return 1;

  // Without --state the camera starts from its defaults and the board file, and forgets at exit.
  std::string temporary_state;
  if (state_dir.empty()) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "camlink-state-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
      fprintf(stderr, "camlink: cannot make a temporary state directory: %s\n", strerror(errno));
      return 1;
    }
    temporary_state = state_dir = pattern;
  }
  board_config.state_dir = state_dir;
  board_config.sdcard_dir = sdcard_dir;
  board_config.state_is_temporary = !temporary_state.empty();
  auto remove_temporary_state = [&] {
    std::error_code ec;
    if (!temporary_state.empty()) std::filesystem::remove_all(temporary_state, ec);
  };

  std::unique_ptr<sim::Board> board;
  try {
    board = std::make_unique<sim::Board>(board_config);
  } catch (const std::exception& e) {
    fprintf(stderr, "camlink: %s\n", e.what());
    remove_temporary_state();
    return 1;
  }
  if (board_notes) {
    // The board's own lines, marked apart from the module's console, on the same stream.
    board->stm32().on_note = [](const std::string& note) {
      uint64_t t = camhost::time_now();
      char head[64];
      snprintf(head, sizeof head, "[stm32 %llu.%06llu] ", (unsigned long long)(t / 1000000),
               (unsigned long long)(t % 1000000));
      std::string line = head + note + "\n";
      if (write(STDOUT_FILENO, line.data(), line.size()) < 0) {
      }
    };
  }
  // The access points: the board's, then --ap's (an SSID named again replaces the earlier one).
  extra_aps.insert(extra_aps.begin(), board_config.access_points.begin(),
                   board_config.access_points.end());
  for (const auto& ap : extra_aps) {
    auto& list = link_options.access_points;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const camhost::net::AccessPoint& a) { return a.ssid == ap.ssid; }),
               list.end());
    list.push_back(ap);
  }
  link_options.pace_outside_peers = opt.clock == camhost::ClockKind::Virtual;
  if (internal_server) link_options.pace_outside_peers = false;  // the peer is in this process
  auto link = std::make_unique<camhost::net::Link>(link_options);
  if (internal_server) {
    server = std::make_unique<camlink::InternalServer>(opt.clock == camhost::ClockKind::Virtual,
                                                       static_cast<uint32_t>(opt.seed));
    if (!server->ok()) {
      fprintf(stderr, "camlink: --server internal: %s\n", server->error().c_str());
      return 1;
    }
    server->start(inst);
  }
  // The BLE air, before the firmware can advertise on it.
  if (ble_path.empty()) ble_path = (std::filesystem::path(state_dir) / "ble.sock").string();
  if (!camhost::ble_listen(ble_path) || (!ble_pcap.empty() && !camhost::ble_pcap(ble_pcap))) {
    remove_temporary_state();
    return 1;
  }
  fprintf(stderr, "camlink: BLE socket %s\n", ble_path.c_str());
  {
    std::string error;
    if (!camhost::flash_open(state_dir + "/flash.bin", &error)) {
      fprintf(stderr, "camlink: %s\n", error.c_str());
      remove_temporary_state();
      return 1;
    }
    if (!flash_image.empty() && (camhost::flash_was_fresh() || program_flash))
      camhost::flash_install_image(flash_image);
  }
  if (!update_dir.empty()) board->module_update().set_update_dir(update_dir);
  board->module_update().set_mode(update_feed);
  control.start(*board);
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  inst.boot();

  // Run in slices so that an interrupt stops the camera promptly on either clock.
  const uint64_t slice = opt.clock == camhost::ClockKind::Virtual ? 10000000 : 100000;
  uint64_t total = for_seconds < 0 ? UINT64_MAX : static_cast<uint64_t>(for_seconds * 1e6);
  uint64_t done = 0;
  while (!g_stop && done < total) {
    uint64_t step = std::min(slice, total - done);
    inst.run_for(step);
    done += step;
    if (opt.clock == camhost::ClockKind::Real) control.poll_stdin();
  }
  if (print_hash) fprintf(stderr, "trace hash %016" PRIx64 "\n", inst.trace_hash());
  if (server) server->stop();
  inst.halt();  // in real time the firmware would go on talking to the chips being torn down
  camhost::ble_close();
  unlink(ble_path.c_str());
  link.reset();
  board.reset();  // the chips keep their state (the clock's reading too) as the camera goes off
  remove_temporary_state();
  return 0;
}
