// The host SPI slave driver against a test's own master.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "camhost/bus.h"
#include "camhost/runtime.h"
#include "os.h"
#include "spi_slave.h"

namespace {

// A master that clocks the next queued transfer as soon as a read is armed.
struct QueueMaster : camhost::SpiMaster {
  std::vector<std::vector<uint8_t>> pending;
  std::vector<size_t> armed_lengths, done;
  void spi_read_armed(size_t length) override {
    armed_lengths.push_back(length);
    if (pending.empty()) return;
    if (camhost::spi_send_to_module(pending.front().data(), pending.front().size()))
      pending.erase(pending.begin());
  }
  void spi_transfer_done(size_t landed) override { done.push_back(landed); }
};

os_semaphore g_arrived;
std::vector<uint32_t> g_lens;
std::vector<uint64_t> g_times;
spi_slave* g_slave;
uint8_t g_buf[3][64];
int g_rearms;

void record(uint32_t len) {
  g_lens.push_back(len);
  g_times.push_back(os_systime64());
  os_sem_post(&g_arrived);
}

void record_and_rearm(uint32_t len) {
  record(len);
  if (g_rearms > 0) {
    int n = 3 - g_rearms--;
    spi_slave_read(g_slave, g_buf[n], sizeof g_buf[n]);
  }
}

class SpiSlave : public ::testing::Test {
 protected:
  camhost::Instance inst{camhost::Options{}};
  QueueMaster master;
  void SetUp() override {
    camhost::spi_attach(&master);
    camhost::spi_set_clock_hz(8000000);  // one byte a microsecond
    g_lens.clear();
    g_times.clear();
    g_rearms = 0;
    memset(g_buf, 0, sizeof g_buf);
  }
  void TearDown() override { camhost::spi_attach(nullptr); }
  static std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(first + i);
    return v;
  }
};

TEST_F(SpiSlave, AnArmedReadFillsTheBufferAndCallsBackWithTheCountWhenTheLastBitIsClocked) {
  master.pending.push_back(Bytes(64, 1));
  inst.call([&] {
    os_sem_init(&g_arrived, 0);
    g_slave = spi_slave_open(0, SPI_SLAVE_IRQ_MODE_NONE);
    ASSERT_NE(g_slave, nullptr);
    spi_slave_set_rx_cb(g_slave, record);
    uint64_t start = os_systime64();
    ASSERT_EQ(spi_slave_read(g_slave, g_buf[0], 64), 0);
    ASSERT_EQ(os_sem_wait_timeout(&g_arrived, 1000000), 0);
    EXPECT_EQ(g_times[0] - start, 64u) << "64 bytes at 8 MHz";
    spi_slave_close(g_slave);
  });
  EXPECT_EQ(g_lens, std::vector<uint32_t>{64});
  EXPECT_EQ(std::vector<uint8_t>(g_buf[0], g_buf[0] + 64), Bytes(64, 1));
}

TEST_F(SpiSlave, AReadIsOneShotAndReArmingFromTheCallbackTakesTheNextTransfers) {
  master.pending = {Bytes(64, 1), Bytes(64, 2), Bytes(64, 3), Bytes(64, 4)};
  inst.call([&] {
    os_sem_init(&g_arrived, 0);
    g_slave = spi_slave_open(0, SPI_SLAVE_IRQ_MODE_NONE);
    spi_slave_set_rx_cb(g_slave, record_and_rearm);
    g_rearms = 2;
    spi_slave_read(g_slave, g_buf[0], 64);
    for (int i = 0; i < 3; i++) ASSERT_EQ(os_sem_wait_timeout(&g_arrived, 1000000), 0);
    EXPECT_NE(os_sem_wait_timeout(&g_arrived, 1000000), 0) << "nothing is armed after the third";
    spi_slave_close(g_slave);
  });
  EXPECT_EQ(g_lens.size(), 3u);
  for (int i = 0; i < 3; i++) EXPECT_EQ(g_buf[i][0], i + 1) << "transfer " << i;
  EXPECT_EQ(master.pending.size(), 1u) << "the fourth transfer waits for a read";
}

TEST_F(SpiSlave, AShortTransferReportsTheBytesActuallyClocked) {
  master.pending.push_back(Bytes(10, 7));
  inst.call([&] {
    os_sem_init(&g_arrived, 0);
    g_slave = spi_slave_open(0, SPI_SLAVE_IRQ_MODE_NONE);
    spi_slave_set_rx_cb(g_slave, record);
    spi_slave_read(g_slave, g_buf[0], 64);
    ASSERT_EQ(os_sem_wait_timeout(&g_arrived, 1000000), 0);
    spi_slave_close(g_slave);
  });
  EXPECT_EQ(g_lens, std::vector<uint32_t>{10});
}

TEST_F(SpiSlave, AnAbortDropsATransferOnTheWireWithoutACallback) {
  master.pending.push_back(Bytes(64, 1));
  inst.call([&] {
    os_sem_init(&g_arrived, 0);
    g_slave = spi_slave_open(0, SPI_SLAVE_IRQ_MODE_NONE);
    spi_slave_set_rx_cb(g_slave, record);
    spi_slave_read(g_slave, g_buf[0], 64);
    os_sleep_us(20, OS_TIMEOUT_NO_WAKEUP);  // the transfer is a third through
    spi_slave_read_abort(g_slave);
    EXPECT_NE(os_sem_wait_timeout(&g_arrived, 1000000), 0);
    spi_slave_close(g_slave);
  });
  EXPECT_TRUE(g_lens.empty());
  EXPECT_EQ(g_buf[0][0], 0) << "nothing landed";
  EXPECT_EQ(master.done, std::vector<size_t>{0});
}

TEST_F(SpiSlave, ASleepingSlaveTakesNoTransferUntilWokenWithItsReadArmed) {
  master.pending.push_back(Bytes(64, 1));
  inst.call([&] {
    os_sem_init(&g_arrived, 0);
    g_slave = spi_slave_open(0, SPI_SLAVE_IRQ_MODE_NONE);
    spi_slave_set_rx_cb(g_slave, record);
    spi_slave_suspend_enable(g_slave);
    spi_slave_read(g_slave, g_buf[0], 64);
    EXPECT_NE(os_sem_wait_timeout(&g_arrived, 1000), 0);
    EXPECT_TRUE(camhost::spi_module_suspended());
    spi_slave_suspend_disable(g_slave);
    EXPECT_EQ(os_sem_wait_timeout(&g_arrived, 1000000), 0);
    spi_slave_close(g_slave);
  });
  EXPECT_EQ(g_lens, std::vector<uint32_t>{64});
}

TEST_F(SpiSlave, OnlyOneSlaveOpensAndAReadNeedsABuffer) {
  inst.call([&] {
    spi_slave* s = spi_slave_open(0, SPI_SLAVE_IRQ_MODE_NONE);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(spi_slave_open(0, SPI_SLAVE_IRQ_MODE_NONE), nullptr);
    EXPECT_EQ(spi_slave_open(1, SPI_SLAVE_IRQ_MODE_NONE), nullptr);
    EXPECT_NE(spi_slave_read(s, nullptr, 64), 0);
    EXPECT_NE(spi_slave_read(s, g_buf[0], 0), 0);
    spi_slave_close(s);
  });
}

}  // namespace
