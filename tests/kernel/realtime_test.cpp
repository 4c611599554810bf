// The kernel and the drivers in real time, where threads run at once: races between a driver's
// far end, its interrupt handler, its reader and a reset. Run under the thread sanitizer too.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>
#include <string>

#include "camhost/bus.h"
#include "camhost/runtime.h"
#include "os.h"
#include "spi_slave.h"
#include "uart.h"

namespace {

constexpr uint64_t kGenerousWall = 60ull * 1000000;  // a bound on a hang, never a measure

camhost::Options RealTime() {
  camhost::Options o;
  o.clock = camhost::ClockKind::Real;
  return o;
}

TEST(RealTime, ThePeerSendingWhileTheModuleResetsNeverDeadlocks) {
  constexpr int kResets = 300000;
  camhost::Instance inst{RealTime()};
  std::atomic<bool> stop{false}, stopped{false};
  inst.spawn("stm32", 5, [&] {
    const uint8_t b = 0xC0;
    while (!stop.load()) camhost::uart_send_to_module(&b, 1);
    stopped.store(true);
  });
  for (int i = 0; i < kResets; i++) inst.reset(OS_RESET_EXTERNAL);
  stop.store(true);
  EXPECT_TRUE(inst.run_until([&] { return stopped.load(); }, kGenerousWall));
  EXPECT_EQ(inst.boots(), kResets);
}

TEST(RealTime, EveryByteFromThePeerReachesAReaderWaitingWithATimeout) {
  constexpr int kBytes = 3000;
  camhost::Instance inst{RealTime()};
  std::atomic<bool> open{false}, done{false};
  std::string got;
  inst.spawn("reader", 5, [&] {
    uart* u = uart_open_ext(460800, 21, 20, 0, 0, 0);
    open.store(true);
    while (got.size() < kBytes) {
      int c = uart_getchar_tmo(u, 1000000);
      if (c >= 0) got += static_cast<char>(c);
    }
    uart_close(u);
    done.store(true);
  });
  inst.spawn("stm32", 5, [&] {
    while (!open.load()) os_yield();
    for (int i = 0; i < kBytes; i += 100) {
      uint8_t burst[100];
      for (int k = 0; k < 100; k++) burst[k] = static_cast<uint8_t>((i + k) % 251);
      camhost::uart_send_to_module(burst, sizeof burst);
      os_sleep_us(1000, OS_TIMEOUT_WAKEUP);
    }
  });
  ASSERT_TRUE(inst.run_until([&] { return done.load(); }, kGenerousWall));
  for (int i = 0; i < kBytes; i++) ASSERT_EQ(static_cast<uint8_t>(got[i]), i % 251) << i;
}

TEST(RealTime, PostsFromAMaskedHandlerAndTimedWaitsNeverLoseACount) {
  static os_semaphore sem;
  constexpr int kPosts = 20000;
  camhost::Instance inst{RealTime()};
  std::atomic<int> taken{0};
  std::atomic<bool> done{false};
  inst.call([] { os_sem_init(&sem, 0); });
  inst.spawn("waiter", 5, [&] {
    while (taken.load() < kPosts)
      if (os_sem_wait_timeout(&sem, 1000) == 0) taken++;
    done.store(true);
  });
  inst.spawn("isr", 6, [&] {
    for (int i = 0; i < kPosts; i++) {
      uint32_t irq = os_irq_disable();
      os_sem_post(&sem);
      os_irq_restore(irq);
    }
  });
  ASSERT_TRUE(inst.run_until([&] { return done.load(); }, kGenerousWall));
  EXPECT_EQ(taken.load(), kPosts);
  EXPECT_EQ(sem.value, 0);
}

// A host thread waiting on descriptors (the link, an in-process server) must end with its instance,
// or the instance cannot stop and the next one in the process finds the old thread still there.
TEST(RealTime, AThreadWaitingOnDescriptorsEndsWithItsInstanceAndTheNextInstanceWaitsAgain) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  for (int round = 0; round < 2; round++) {
    camhost::Instance inst{RealTime()};
    std::atomic<int> readable{0};
    inst.spawn("peer", 5, [&] {
      readable.store(camhost::wait_fds(&p[0], 1, ~uint64_t(0)));
      char c;
      EXPECT_EQ(read(p[0], &c, 1), 1);
      camhost::wait_fds(&p[0], 1, ~uint64_t(0));  // nothing more comes: only the end stops it
    });
    ASSERT_EQ(write(p[1], "x", 1), 1);
    ASSERT_TRUE(inst.run_until([&] { return readable.load() != 0; }, kGenerousWall));
    EXPECT_EQ(readable.load(), 1);
    EXPECT_TRUE(inst.halt()) << "round " << round;
  }
  close(p[0]);
  close(p[1]);
}

// The FPGA's side in miniature: a numbered transfer clocked each time a read is armed, from
// whichever thread hears of the arming.
struct CountingMaster : camhost::SpiMaster {
  std::mutex m;
  int next = 0;
  void spi_read_armed(size_t length) override {
    std::lock_guard<std::mutex> g(m);
    std::vector<uint8_t> t(length, static_cast<uint8_t>(next));
    if (camhost::spi_send_to_module(t.data(), t.size())) next++;
  }
};

TEST(RealTime, EveryTransferOfAReadArmedFromAThreadLandsWholeAndInOrder) {
  static os_semaphore arrived;
  static uint32_t landed;
  constexpr int kTransfers = 2000;
  camhost::Instance inst{RealTime()};
  CountingMaster master;
  camhost::spi_attach(&master);
  camhost::spi_set_clock_hz(1000000000);
  std::atomic<int> good{0};
  std::atomic<bool> done{false};
  inst.spawn("spi2fpga", 5, [&] {
    os_sem_init(&arrived, 0);
    spi_slave* slave = spi_slave_open(0, SPI_SLAVE_IRQ_MODE_NONE);
    spi_slave_set_rx_cb(slave, [](uint32_t len) {
      landed = len;
      os_sem_post(&arrived);
    });
    uint8_t buf[2048];
    for (int i = 0; i < kTransfers; i++) {
      spi_slave_read(slave, buf, sizeof buf);
      if (os_sem_wait_timeout(&arrived, 5000000) != 0) break;
      bool whole = landed == sizeof buf;
      for (uint8_t b : buf) whole = whole && b == static_cast<uint8_t>(i);
      if (whole) good++;
    }
    spi_slave_close(slave);
    done.store(true);
  });
  ASSERT_TRUE(inst.run_until([&] { return done.load(); }, kGenerousWall));
  EXPECT_EQ(good.load(), kTransfers);
  inst.halt();
  camhost::spi_attach(nullptr);
  camhost::spi_set_clock_hz(0);
}

}  // namespace
