// camphone: the reference phone. Talks to a camera's BLE air (camlink --ble) as a phone would.
#include <getopt.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "camphone/camera.h"

namespace {

void usage(FILE* out) {
  fprintf(out,
          "usage: camphone [--ble PATH] [--exec \"CMD; CMD; ...\"]\n"
          "  --ble PATH   the camera's BLE socket (camlink prints it at start)\n"
          "  --exec CMDS  run the commands separated by ';' and exit (non-zero on the first\n"
          "               failure); without it, a prompt reads commands from stdin\n"
          "commands:\n"
          "  scan                      the advertising report (name, address, flags)\n"
          "  auth CODE                 authenticate with the access code (\"\" for none)\n"
          "  get NAME                  read a characteristic and print its value\n"
          "  set NAME VALUE            write a characteristic\n"
          "  list                      the characteristics' names and value formats\n"
          "  watch DURATION            print state changes and debug lines (e.g. 30s, 2m)\n"
          "  frame FILE                fetch a live frame to the JPEG FILE\n"
          "  ls [PATTERN]              list the SD card's directory (default *.*)\n"
          "  rm NAME                   delete a file from the SD card\n"
          "  clock [YYYY-MM-DDTHH:MM:SS[+MIN]]  set the clock (default: now, UTC)\n"
          "  wifi SSID PASSWORD        set the Wi-Fi credentials\n"
          "  help                      this text\n");
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s) {
    if (c == sep) {
      out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  out.push_back(cur);
  return out;
}

std::vector<std::string> words(const std::string& s) {
  std::vector<std::string> w;
  std::istringstream in(s);
  for (std::string x; in >> x;) w.push_back(x);
  // "" stands for an empty argument.
  for (auto& x : w)
    if (x == "\"\"") x.clear();
  return w;
}

uint64_t durationUsecs(const std::string& t) {
  char* end = nullptr;
  double n = strtod(t.c_str(), &end);
  std::string unit = end ? end : "";
  double mult = unit == "m" ? 60e6 : unit == "h" ? 3600e6 : unit == "ms" ? 1e3 : 1e6;
  return n <= 0 ? 0 : static_cast<uint64_t>(n * mult);
}

class Session {
 public:
  explicit Session(std::string path) : path_(std::move(path)) {}

  bool ensure() {
    if (cam_.att.connected()) return true;
    std::string error;
    if (!cam_.open(path_, &error)) {
      fprintf(stderr, "camphone: %s\n", error.c_str());
      return false;
    }
    cam_.subscribe("statechange");
    cam_.subscribe("debug");
    return true;
  }

  bool run(const std::string& line) {
    auto w = words(line);
    if (w.empty()) return true;
    const std::string& cmd = w[0];
    if (cmd == "help") {
      usage(stdout);
      return true;
    }
    if (cmd == "list") {
      for (const auto& c : camphone::cameraCharacteristics()) printf("%-12s %s\n", c.name, c.format);
      return true;
    }
    if (cmd == "scan") {
      camphone::Advert ad;
      if (!cam_.att.scan(path_, &ad)) return fail("nothing advertises at " + path_);
      printf("%s %02X:%02X:%02X:%02X:%02X:%02X (%s) flags 0x%02x\n", ad.name.c_str(), ad.address[5],
             ad.address[4], ad.address[3], ad.address[2], ad.address[1], ad.address[0],
             ad.addressType ? "random" : "public", ad.flags);
      return true;
    }
    if (!ensure()) return false;
    if (cmd == "auth" && w.size() <= 2) {
      if (!cam_.authenticate(w.size() == 2 ? w[1] : "")) return fail("authentication refused");
      // The camera queues debug lines only to a phone subscribed to frames as well.
      cam_.subscribe("frame");
      printf("authenticated\n");
      return true;
    }
    if (cmd == "get" && w.size() == 2) {
      const camphone::CharInfo* c = camphone::charByName(w[1]);
      if (!c) return fail("no characteristic \"" + w[1] + "\" (see list)");
      camphone::Bytes v;
      int e = cam_.read(w[1], &v);
      if (e != 0) return fail(w[1] + ": ATT error " + std::to_string(e));
      printf("%s = %s\n", c->name, camphone::decodeValue(*c, v).c_str());
      return true;
    }
    if (cmd == "set" && w.size() >= 3) {
      const camphone::CharInfo* c = camphone::charByName(w[1]);
      if (!c) return fail("no characteristic \"" + w[1] + "\" (see list)");
      std::string value = line.substr(line.find(w[1]) + w[1].size());
      value = value.substr(value.find_first_not_of(' '));
      if (value == "\"\"") value.clear();
      return write(*c, value);
    }
    if (cmd == "watch" && w.size() == 2) {
      uint64_t until = durationUsecs(w[1]);
      uint16_t h;
      camphone::Bytes v;
      struct timespec t0;
      clock_gettime(CLOCK_MONOTONIC, &t0);
      for (;;) {
        struct timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        uint64_t spent = (t.tv_sec - t0.tv_sec) * 1000000ull + (t.tv_nsec - t0.tv_nsec) / 1000;
        if (spent >= until) break;
        if (!cam_.att.nextIndication(&h, &v, until - spent)) {
          if (!cam_.att.connected()) return fail("link lost");
          continue;
        }
        print(h, v);
      }
      return true;
    }
    if (cmd == "frame" && w.size() >= 2) return fetch("frame", camphone::Bytes{1}, w.back());
    if (cmd == "ls" && w.size() <= 2) {
      camphone::Bytes name(13, 0);
      std::string pattern = w.size() == 2 ? w[1] : "*.*";
      memcpy(name.data(), pattern.data(), std::min<size_t>(pattern.size(), 12));
      return fetch("directory", name, "");
    }
    if (cmd == "rm" && w.size() == 2) return write(*camphone::charByName("delete"), w[1]);
    if (cmd == "clock" && w.size() <= 2) {
      std::string value = w.size() == 2 ? w[1] : "";
      if (value.empty()) {
        time_t now = time(nullptr);
        struct tm u;
        gmtime_r(&now, &u);
        char b[32];
        strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%S", &u);
        value = b;
      }
      return write(*camphone::charByName("clock"), value);
    }
    if (cmd == "wifi" && w.size() == 3) {
      return write(*camphone::charByName("ssid"), w[1]) &&
             write(*camphone::charByName("password"), w[2]);
    }
    return fail("bad command \"" + line + "\" (see help)");
  }

 private:
  bool fail(const std::string& why) {
    fprintf(stderr, "camphone: %s\n", why.c_str());
    return false;
  }

  bool write(const camphone::CharInfo& c, const std::string& value) {
    camphone::Bytes b;
    std::string error;
    if (!camphone::encodeValue(c, value, &b, &error)) return fail(std::string(c.name) + ": " + error);
    int e = cam_.write(c.name, b);
    if (e != 0) return fail(std::string(c.name) + ": ATT error " + std::to_string(e));
    printf("%s written\n", c.name);
    return true;
  }

  void print(uint16_t h, const camphone::Bytes& v) {
    if (h == cam_.handle("statechange")) {
      printf("%s\n", camphone::decodeStateChange(v).c_str());
    } else if (h == cam_.handle("debug")) {
      printf("%s\n", camphone::decodeDebugLine(v).c_str());
    } else {
      printf("indication on handle %u, %zu bytes\n", h, v.size());
    }
    fflush(stdout);
  }

  bool fetch(const std::string& name, const camphone::Bytes& request, const std::string& file) {
    if (cam_.subscribe(name) != 0) return fail(name + ": cannot subscribe");
    int e = cam_.write(name, request);
    if (e != 0) return fail(name + ": ATT error " + std::to_string(e));
    int32_t size = 0;
    camphone::Bytes data;
    if (!cam_.stream(name, &size, &data, 65000000)) return fail(name + ": no data");
    if (size < 0) return fail(name + ": camera error " + std::to_string(size));
    if (file.empty()) {  // a directory: 24-byte records of name (13), padding, size, FAT time
      for (size_t at = 0; at + 24 <= data.size(); at += 24) {
        char name[14] = {};
        memcpy(name, &data[at], 13);
        auto u32 = [&](size_t o) {
          return static_cast<uint32_t>(data[o] | data[o + 1] << 8 | data[o + 2] << 16 |
                                       static_cast<uint32_t>(data[o + 3]) << 24);
        };
        uint32_t bytes = u32(at + 16), fat = u32(at + 20);
        printf("  %-12s %10u  %04u-%02u-%02u %02u:%02u:%02u\n", name, bytes, 1980 + (fat >> 25),
               (fat >> 21) & 15, (fat >> 16) & 31, (fat >> 11) & 31, (fat >> 5) & 63,
               (fat & 31) * 2);
      }
      printf("%zu file(s)\n", data.size() / 24);
      return true;
    }
    FILE* f = fopen(file.c_str(), "wb");
    if (!f) return fail("cannot write " + file);
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
    printf("%s: %d bytes\n", file.c_str(), size);
    return true;
  }

  std::string path_;
  camphone::Camera cam_;
};

}  // namespace

int main(int argc, char** argv) {
  std::string path, exec;
  bool haveExec = false;
  static const option longopts[] = {{"ble", required_argument, nullptr, 'b'},
                                    {"exec", required_argument, nullptr, 'e'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "h", longopts, nullptr)) != -1) {
    if (c == 'b') path = optarg;
    else if (c == 'e') exec = optarg, haveExec = true;
    else if (c == 'h') return usage(stdout), 0;
    else return usage(stderr), 2;
  }
  if (optind < argc) return usage(stderr), 2;
  if (path.empty()) {
    fprintf(stderr, "camphone: --ble PATH is needed (camlink prints its BLE socket at start)\n");
    return 2;
  }
  Session s(path);
  if (haveExec) {
    for (const auto& cmd : split(exec, ';'))
      if (!s.run(cmd)) return 1;
    return 0;
  }
  bool ok = true;
  std::string line;
  for (;;) {
    if (isatty(STDIN_FILENO)) printf("camphone> "), fflush(stdout);
    if (!std::getline(std::cin, line)) break;
    if (line == "quit" || line == "exit") break;
    ok = s.run(line) && ok;
  }
  return ok ? 0 : 1;
}
