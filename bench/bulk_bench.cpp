// The bulk data path's speed, one run printing every figure: a file download through the whole
// path (FPGA -> SPI -> TX buffers -> lwIP -> link -> host socket -> camserver) in virtual time
// (simulated MB/s) and in real time next to a plain TCP loopback copy of the same file, and live
// view's frames per second with the bytes copied per frame, and an update push's time next to
// the UART's floor for its chunks. Runs in a network namespace of its
// own (the server binds 46103).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bulk.h"
#include "camhost/bus.h"
#include "camhost/net.h"
#include "camhost/runtime.h"
#include "netns.h"
#include "server.h"
#include "sim/board.h"

namespace {

constexpr uint64_t kSec = 1000000;
constexpr const char* kSsid = "BenchNet";
constexpr const char* kPass = "bench-passphrase";
constexpr size_t kFileBytes = 8 * 1024 * 1024;

double WallNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct World {
  World(camhost::ClockKind clock, const std::string& card) : inst(Options(clock)), board(Board(card)), link(Link()) {
    camserver::Options o;
    o.clock_epoch = 1767225600;
    server = std::make_unique<camserver::Server>(o, camserver::kernel_waiter());
    inst.boot();
    inst.call([this] { ok = server->wait_for_session(120 * kSec) && server->bulk().connect(60 * kSec); });
    if (!ok)
      fprintf(stderr, "bulk_bench: %s\n",
              server->session().open ? server->bulk().error().c_str() : "no session");
  }
  ~World() { inst.halt(); }
  static camhost::Options Options(camhost::ClockKind clock) {
    camhost::Options o;
    o.clock = clock;
    o.firmware = CAMFW_PATH;
    return o;
  }
  static sim::BoardConfig Board(const std::string& card) {
    sim::BoardConfig c;
    c.stm32.ssid = kSsid;
    c.stm32.password = kPass;
    c.sdcard_dir = card;
    return c;
  }
  static camhost::net::LinkOptions Link() {
    camhost::net::LinkOptions o;
    if (const char* p = getenv("BULK_PCAP")) o.pcap_path = p;
    o.access_points.push_back({kSsid, kPass});
    return o;
  }
  uint64_t Copied() {
    return reinterpret_cast<uint64_t (*)()>(inst.firmware_symbol("_Z19spi2fpgaBytesCopiedv"))();
  }
  camhost::Instance inst;
  sim::Board board;
  camhost::net::Link link;
  std::unique_ptr<camserver::Server> server;
  bool ok = false;
};

// The same bytes through a plain TCP connection on 127.0.0.1, reader and writer in two threads.
double LoopbackSeconds(const std::vector<uint8_t>& data) {
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(ls, 1);
  socklen_t len = sizeof a;
  getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len);
  double t0 = WallNow();
  std::thread writer([&] {
    int c = socket(AF_INET, SOCK_STREAM, 0);
    connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
    size_t off = 0;
    while (off < data.size()) {
      ssize_t n = send(c, data.data() + off, std::min<size_t>(2048, data.size() - off), 0);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
    close(c);
  });
  int r = accept(ls, nullptr, nullptr);
  std::vector<uint8_t> got;
  uint8_t buf[65536];
  for (ssize_t n; (n = recv(r, buf, sizeof buf, 0)) > 0;) got.insert(got.end(), buf, buf + n);
  writer.join();
  double t = WallNow() - t0;
  close(r);
  close(ls);
  return got.size() == data.size() ? t : -1;
}

}  // namespace

// bulk_bench [SPI_HZ] [virtual|real]: the SPI clock (default 20 MHz, the simulated board's), and
// only one of the two clocks (default both; one alone suits a profiler).
int main(int argc, char** argv) {
  uint32_t hz = argc > 1 ? static_cast<uint32_t>(strtoul(argv[1], nullptr, 0)) : 20000000u;
  std::string only = argc > 2 ? argv[2] : "";
  bool run_virtual = only != "real", run_real = only != "virtual";
  camhost::spi_set_clock_hz(hz);
  std::string error;
  if (!camserver::enter_private_network(&error)) {
    fprintf(stderr, "bulk_bench: %s\n", error.c_str());
    return 1;
  }
  std::string card = (std::filesystem::temp_directory_path() / "bulk-bench-XXXXXX").string();
  if (!mkdtemp(card.data())) return 1;
  std::vector<uint8_t> data(kFileBytes);
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 131 + (i >> 11));
  {
    std::ofstream f(card + "/BIG.BIN", std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }

  if (run_virtual) {
    World w(camhost::ClockKind::Virtual, card);
    if (!w.ok) return fprintf(stderr, "bulk_bench: no connection (virtual)\n"), 1;
    camserver::Bytes got;
    int16_t result = 1;
    uint64_t t0 = w.inst.now();
    double wall0 = WallNow();
    w.inst.call([&] { w.server->bulk().get_file("BIG.BIN", &got, &result, nullptr); });
    double vsecs = (w.inst.now() - t0) / 1e6, wall = WallNow() - wall0;
    bool same = got == data;
    printf("download %zu bytes, virtual time: %.3f s simulated = %.2f MB/s (SPI at %u MHz allows "
           "%.2f MB/s), %.2f s wall, %s, %llu bytes copied\n",
           data.size(), vsecs, data.size() / vsecs / 1e6, hz / 1000000, hz / 8e6, wall, same ? "identical" : "DIFFERENT",
           static_cast<unsigned long long>(w.Copied()));
    uint64_t copied0 = w.Copied();
    int frames = 0;
    uint64_t l0 = w.inst.now();
    w.inst.call([&] { w.server->bulk().live(10, [](const camserver::Bytes&) {}, &frames); });
    double lsecs = (w.inst.now() - l0) / 1e6;
    printf("live view, virtual time: %d frames in %.2f s = %.1f frames/s, %.1f bytes copied per "
           "frame\n",
           frames, lsecs, frames / lsecs,
           frames ? double(w.Copied() - copied0) / frames : 0.0);

    // An update push: the four update files in 1400-byte chunks, each one written through the
    // STM32 (40 + payload bytes over the UART, and an answer of the same size back).
    std::string upd = card + "/upd";
    std::filesystem::create_directory(upd);
    const size_t sizes[4] = {65536, 32768, 258048, 121848};
    uint64_t total = 0, uart_bytes = 0;
    for (int i = 0; i < 4; i++) {
      std::vector<uint8_t> f(sizes[i]);
      for (size_t k = 0; k < f.size(); k++) f[k] = static_cast<uint8_t>(k * 7 + i);
      std::ofstream out(upd + "/" + camserver::update_file_names()[i], std::ios::binary);
      out.write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
      total += sizes[i];
      uart_bytes += 2 * (sizes[i] + 40 * ((sizes[i] + 1399) / 1400));
    }
    w.board.module_update().set_update_dir(upd + "/none");  // the files are no firmware to boot
    uint64_t p0 = 0, p1 = 0;
    std::string why;
    bool pushed = false;
    double pwall0 = WallNow();
    w.inst.call([&] {
      p0 = w.server->waiter().now_us();
      pushed = w.server->bulk().push_update(upd, [&](const std::string& line) {
        if (line.find("all files written") != std::string::npos) p1 = w.server->waiter().now_us();
      }, 300 * kSec, &why);
    });
    double pwall = WallNow() - pwall0;
    double psecs = (p1 - p0) / 1e6, floor_s = uart_bytes * 10.0 / 460800.0;
    printf("update push of %llu bytes in 1400-byte chunks, virtual time: %.2f s to the rename "
           "reply = %.1f KB/s; UART floor (each chunk to the STM32 and its answer back) %.2f s, "
           "ratio %.2f; %s; %.1f s wall with the reboot\n",
           static_cast<unsigned long long>(total), psecs, total / psecs / 1024, floor_s,
           psecs / floor_s, pushed ? "the camera came back" : why.c_str(), pwall);
  }
  if (run_real) {
    // The machine is shared: the median of a few runs of each, taken in turns.
    constexpr int kRuns = 5;
    World w(camhost::ClockKind::Real, card);
    if (!w.ok) return fprintf(stderr, "bulk_bench: no connection (real)\n"), 1;
    std::vector<double> cam, loop;
    bool same = true;
    for (int i = 0; i < kRuns; i++) {
      camserver::Bytes got;
      int16_t result = 1;
      double t0 = WallNow();
      w.inst.call([&] { w.server->bulk().get_file("BIG.BIN", &got, &result, nullptr); });
      cam.push_back(WallNow() - t0);
      same = same && got == data;
      loop.push_back(LoopbackSeconds(data));
    }
    std::sort(cam.begin(), cam.end());
    std::sort(loop.begin(), loop.end());
    double t = cam[kRuns / 2], l = loop[kRuns / 2];
    printf("download %zu bytes, real time, SPI at %u MHz: %.3f s = %.2f MB/s (best %.2f, worst "
           "%.2f); plain TCP loopback copy: %.4f s = %.1f MB/s; ratio %.1f%% (medians of %d); %s\n",
           data.size(), hz / 1000000, t, data.size() / t / 1e6, data.size() / cam[0] / 1e6,
           data.size() / cam[kRuns - 1] / 1e6, l,
           data.size() / l / 1e6, 100.0 * l / t, kRuns, same ? "identical" : "DIFFERENT");
  }
  std::error_code ec;
  std::filesystem::remove_all(card, ec);
  return 0;
}
