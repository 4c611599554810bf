// Speed of the host kernel in virtual time: simulated seconds per wall second for an idle boot,
// and the cost of handing the processor from one thread to another.
#include <benchmark/benchmark.h>

#include "camhost/runtime.h"
#include "os.h"

namespace {

void IdleBootThirtyMinutes(benchmark::State& state) {
  for (auto _ : state) {
    camhost::Options o;
    o.firmware = CAMFW_PATH;
    camhost::Instance inst(o);
    inst.boot();
    inst.run_for(1800ull * 1000000);
  }
  state.counters["sim_s_per_wall_s"] =
      benchmark::Counter(1800.0 * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(IdleBootThirtyMinutes)->Unit(benchmark::kMillisecond)->UseRealTime();

os_semaphore ping, pong;

void ThreadHandOff(benchmark::State& state) {
  camhost::Options o;
  camhost::Instance inst(o);
  inst.call([] {
    os_sem_init(&ping, 0);
    os_sem_init(&pong, 0);
  });
  inst.spawn("echo", 4, [] {
    for (;;) {
      os_sem_wait(&ping);
      os_sem_post(&pong);
    }
  });
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    inst.call([n] {
      for (int i = 0; i < n; i++) {
        os_sem_post(&ping);
        os_sem_wait(&pong);
      }
    });
  }
  // Two hand-offs per round trip.
  state.counters["handoffs_per_s"] =
      benchmark::Counter(2.0 * n * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(ThreadHandOff)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
