// The SoC's SPI slave on the host. Its far end is camhost/bus.h's SpiMaster (the FPGA model or a
// test). A transfer's bytes land, and the receive callback runs in interrupt context, at the
// instance time its last bit is clocked; an abort in between drops it.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "camhost/bus.h"
#include "os.h"
#include "spi_slave.h"

struct spi_slave {
  bool open = false;
  spi_slave_rx_cb_t callback = nullptr;
  uint8_t* buffer = nullptr;  // the armed read, or null
  size_t length = 0;
  bool clocking = false;      // a transfer is on the wire into `buffer`
  bool suspended = false;
  bool in_callback = false;   // a re-arm then reaches the master after the callback
  bool rearmed_in_callback = false;
  uint64_t generation = 0;    // bumped by every arm and abort: a stale completion is dropped
};

namespace {

using camhost::at;
using camhost::time_now;

// The kernel lock is never taken under spi_m (a reset holds it while its hook takes spi_m), so
// instance time is read, and events scheduled, outside it.
std::mutex spi_m;
spi_slave g_slave;
camhost::SpiMaster* g_master = nullptr;
uint32_t g_clock_hz = 20000000;

void notify_armed(uint64_t generation) {
  camhost::SpiMaster* master;
  size_t length;
  {
    std::lock_guard<std::mutex> g(spi_m);
    if (!g_slave.buffer || g_slave.clocking || g_slave.suspended || g_slave.generation != generation)
      return;
    master = g_master;
    length = g_slave.length;
  }
  if (master) master->spi_read_armed(length);
}

void complete(uint64_t generation, std::vector<uint8_t> data) {
  spi_slave_rx_cb_t cb;
  size_t landed = 0;
  camhost::SpiMaster* master;
  {
    std::lock_guard<std::mutex> g(spi_m);
    master = g_master;
    bool live = g_slave.open && g_slave.clocking && g_slave.generation == generation;
    if (live) {
      landed = std::min(data.size(), g_slave.length);
      memcpy(g_slave.buffer, data.data(), landed);
      g_slave.buffer = nullptr;  // one-shot
      g_slave.length = 0;
      g_slave.clocking = false;
      g_slave.in_callback = true;
      g_slave.rearmed_in_callback = false;
    }
    cb = live ? g_slave.callback : nullptr;
    if (!live) landed = 0;
  }
  if (landed || cb) {
    uint32_t irq = os_irq_disable();
    if (cb) cb(static_cast<uint32_t>(landed));
    os_irq_restore(irq);
  }
  bool rearmed = false;
  uint64_t gen = 0;
  {
    std::lock_guard<std::mutex> g(spi_m);
    if (g_slave.in_callback) {
      g_slave.in_callback = false;
      rearmed = g_slave.rearmed_in_callback;
      gen = g_slave.generation;
    }
  }
  if (master) master->spi_transfer_done(landed);
  if (rearmed) notify_armed(gen);
}

void reset_spi() {
  std::lock_guard<std::mutex> g(spi_m);
  uint64_t gen = g_slave.generation + 1;
  g_slave = spi_slave{};
  g_slave.generation = gen;
}

struct RegisterReset {
  RegisterReset() { camhost::on_module_reset(reset_spi); }
} register_reset;

}  // namespace

namespace camhost {

void spi_attach(SpiMaster* master) {
  std::lock_guard<std::mutex> g(spi_m);
  g_master = master;
}

void spi_set_clock_hz(uint32_t hz) {
  std::lock_guard<std::mutex> g(spi_m);
  g_clock_hz = hz ? hz : 20000000;
}

bool spi_send_to_module(const uint8_t* data, size_t count) {
  uint64_t now = time_now();
  uint64_t gen, when;
  {
    std::lock_guard<std::mutex> g(spi_m);
    if (!g_slave.open || !g_slave.buffer || g_slave.clocking || g_slave.suspended || count == 0)
      return false;
    g_slave.clocking = true;
    gen = g_slave.generation;
    uint64_t ns = count * 8ull * 1000000000ull / g_clock_hz;
    when = now + (ns + 999) / 1000;
  }
  std::vector<uint8_t> bytes(data, data + count);
  at(when, [gen, bytes = std::move(bytes)]() mutable { complete(gen, std::move(bytes)); });
  return true;
}

bool spi_module_read_armed() {
  std::lock_guard<std::mutex> g(spi_m);
  return g_slave.open && g_slave.buffer && !g_slave.clocking && !g_slave.suspended;
}

bool spi_module_suspended() {
  std::lock_guard<std::mutex> g(spi_m);
  return g_slave.suspended;
}

}  // namespace camhost

extern "C" {

spi_slave* spi_slave_open(int instance, uint32_t /*irqMode*/) {
  std::lock_guard<std::mutex> g(spi_m);
  if (instance != 0 || g_slave.open) return nullptr;
  uint64_t gen = g_slave.generation + 1;
  g_slave = spi_slave{};
  g_slave.open = true;
  g_slave.generation = gen;
  return &g_slave;
}

void spi_slave_set_rx_cb(spi_slave* slave, spi_slave_rx_cb_t callback) {
  std::lock_guard<std::mutex> g(spi_m);
  if (slave == &g_slave) g_slave.callback = callback;
}

int spi_slave_read(spi_slave* slave, void* buffer, size_t length) {
  uint64_t gen;
  {
    std::lock_guard<std::mutex> g(spi_m);
    if (slave != &g_slave || !g_slave.open || !buffer || length == 0) return -1;
    if (g_slave.clocking) return -2;
    g_slave.buffer = static_cast<uint8_t*>(buffer);
    g_slave.length = length;
    gen = ++g_slave.generation;
    if (g_slave.in_callback) {
      g_slave.rearmed_in_callback = true;
      return 0;
    }
  }
  // In real time the master hears of it at once, on this thread: by way of the event thread, its
  // wake-up would lie between every two transfers.
  if (camhost::real_time())
    notify_armed(gen);
  else
    at(time_now(), [gen] { notify_armed(gen); });
  return 0;
}

void spi_slave_read_abort(spi_slave* slave) {
  std::lock_guard<std::mutex> g(spi_m);
  if (slave != &g_slave) return;
  g_slave.buffer = nullptr;
  g_slave.length = 0;
  g_slave.clocking = false;
  g_slave.rearmed_in_callback = false;
  g_slave.generation++;
}

void spi_slave_suspend_enable(spi_slave* slave) {
  std::lock_guard<std::mutex> g(spi_m);
  if (slave == &g_slave) g_slave.suspended = true;
}

void spi_slave_suspend_disable(spi_slave* slave) {
  uint64_t gen;
  bool armed;
  {
    std::lock_guard<std::mutex> g(spi_m);
    if (slave != &g_slave) return;
    g_slave.suspended = false;
    armed = g_slave.buffer && !g_slave.clocking;
    gen = g_slave.generation;
  }
  if (armed) at(time_now(), [gen] { notify_armed(gen); });
}

void spi_slave_close(spi_slave* slave) {
  std::lock_guard<std::mutex> g(spi_m);
  if (slave != &g_slave) return;
  uint64_t gen = g_slave.generation + 1;
  g_slave = spi_slave{};
  g_slave.generation = gen;
}

}  // extern "C"
