// The camera-server control plane's speed: a SetContrast round trip in virtual time next to the
// physical floor of its STM32 exchange, and commands per wall second sustained in virtual and in
// real time. Runs in a network namespace of its own (the server binds 46103).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "camhost/net.h"
#include "camhost/runtime.h"
#include "codec.h"
#include "netns.h"
#include "server.h"
#include "sim/board.h"

namespace {

constexpr uint64_t kSec = 1000000;
constexpr const char* kSsid = "BenchNet";
constexpr const char* kPass = "bench-passphrase";

struct World {
  explicit World(camhost::ClockKind clock) : inst(Options(clock)), board(Board()), link(Link()) {
    camserver::Options o;
    o.clock_epoch = 1767225600;
    server = std::make_unique<camserver::Server>(o, camserver::kernel_waiter());
    inst.boot();
    inst.call([this] { open = server->wait_for_session(120 * kSec); });
  }
  static camhost::Options Options(camhost::ClockKind clock) {
    camhost::Options o;
    o.clock = clock;
    o.firmware = CAMFW_PATH;
    return o;
  }
  static sim::BoardConfig Board() {
    sim::BoardConfig c;
    c.stm32.ssid = kSsid;
    c.stm32.password = kPass;
    return c;
  }
  static camhost::net::LinkOptions Link() {
    camhost::net::LinkOptions o;
    o.access_points.push_back({kSsid, kPass});
    return o;
  }
  camhost::Instance inst;
  sim::Board board;
  camhost::net::Link link;
  std::unique_ptr<camserver::Server> server;
  bool open = false;
};

void SetContrastRoundTripInVirtualTime(benchmark::State& state) {
  World w(camhost::ClockKind::Virtual);
  if (!w.open) {
    state.SkipWithError("no session");
    return;
  }
  w.inst.call([&] { w.server->serve_until(w.server->waiter().now_us() + 2 * kSec); });
  uint64_t total_us = 0, n = 0;
  int32_t v = 0;
  for (auto _ : state) {
    w.inst.call([&] {
      camserver::Bytes body;
      camserver::put32(body, 0, static_cast<uint32_t>(++v % 10));
      uint64_t t0 = w.server->waiter().now_us();
      camserver::Reply r = w.server->command(camserver::kSetContrast, body);
      total_us += w.server->waiter().now_us() - t0;
      n += r.received;
    });
  }
  // The floor: the STM32's edge latency, the request frame, its answer delay and the answer
  // frame (the same size) at 460800 baud, 10 bits a byte.
  std::vector<uint8_t> last;
  for (const sim::Stm32::Request& r : w.board.stm32().requests())
    if (r.command == 17) last = r.message;
  size_t frame = 2;  // SLIP: END, the bytes (END and ESC escaped to two), END
  for (uint8_t b : last) frame += (b == 0xC0 || b == 0xDB) ? 2 : 1;
  double floor_us = 300 + 2000 + 2 * frame * 10 * 1e6 / 460800;
  double mean_us = n ? static_cast<double>(total_us) / n : 0;
  state.counters["round_trip_us"] = mean_us;
  state.counters["floor_us"] = floor_us;
  state.counters["ratio"] = mean_us / floor_us;
}
BENCHMARK(SetContrastRoundTripInVirtualTime)->Iterations(200)->Unit(benchmark::kMillisecond);

void GetIntervalPerWallSecond(benchmark::State& state, camhost::ClockKind clock) {
  World w(clock);
  if (!w.open) {
    state.SkipWithError("no session");
    return;
  }
  const int batch = 50;
  for (auto _ : state) {
    w.inst.call([&] {
      for (int i = 0; i < batch; i++) w.server->command(camserver::kGetInterval);
    });
  }
  state.counters["commands_per_s"] =
      benchmark::Counter(static_cast<double>(batch) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK_CAPTURE(GetIntervalPerWallSecond, virtual_time, camhost::ClockKind::Virtual)
    ->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(GetIntervalPerWallSecond, real_time, camhost::ClockKind::Real)
    ->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  if (!camserver::enter_private_network(&error)) {
    fprintf(stderr, "udp_bench: %s\n", error.c_str());
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
