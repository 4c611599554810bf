// The host UART, I2C and GPIO drivers against a test's own far end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camhost/bus.h"
#include "camhost/runtime.h"
#include "gpio.h"
#include "i2c.h"
#include "os.h"
#include "uart.h"

namespace {

struct RecordingPeer : camhost::UartPeer {
  std::vector<std::pair<uint64_t, uint8_t>> got;
  void uart_byte_from_module(uint8_t b) override { got.push_back({camhost::time_now(), b}); }
};

class Drivers : public ::testing::Test {
 protected:
  camhost::Instance inst{camhost::Options{}};
  RecordingPeer peer;
  void SetUp() override { camhost::uart_attach(&peer); }
};

// 10 bits at 460800 baud, and the most a sending UART idles before a byte (two bit times).
constexpr uint64_t kByteNs = 21701, kIdleMaxNs = 4340;

// Byte i (from 0) of a burst that started at 0 ends no sooner than i + 1 byte times and no later
// than that plus i + 1 idle spells, on whole microseconds.
void ExpectBurstTiming(const std::vector<uint64_t>& ends) {
  for (size_t i = 0; i < ends.size(); i++) {
    EXPECT_GE(ends[i] * 1000, (i + 1) * kByteNs) << "byte " << i << " faster than the baud rate";
    EXPECT_LE(ends[i] * 1000, (i + 1) * (kByteNs + kIdleMaxNs) + 999) << "byte " << i;
    if (i > 0) {
      EXPECT_GE(ends[i] - ends[i - 1], 21u) << "byte " << i << " overtakes";
    }
  }
}

TEST_F(Drivers, UartBytesReachThePeerInOrderNoFasterThan460800BaudAllows) {
  uint64_t flushed = 0;
  inst.call([&] {
    uart* u = uart_open_ext(460800, 21, 20, 0, 0, 0);
    ASSERT_NE(u, nullptr);
    uart_puts(u, "abcdefgh");
    uart_flush(u);
    flushed = os_systime64();
    uart_close(u);
  });
  ASSERT_EQ(peer.got.size(), 8u);
  std::vector<uint64_t> ends;
  std::string bytes;
  for (auto& [t, b] : peer.got) {
    ends.push_back(t);
    bytes += static_cast<char>(b);
  }
  EXPECT_EQ(bytes, "abcdefgh");
  ExpectBurstTiming(ends);
  EXPECT_EQ(flushed, ends.back()) << "the flush returns as the last byte leaves";
}

os_semaphore g_rx;
int g_callbacks;

TEST_F(Drivers, UartBytesFromThePeerRaiseTheCallbackAndAreReadInOrder) {
  std::string got;
  inst.call([&] {
    os_sem_init(&g_rx, 0);
    uart* u = uart_open_ext(460800, 21, 20, 0, 0, 0);
    uart_set_callback_all(u, [](uart*, uint32_t events) {
      g_callbacks++;
      if (events & UART_EVENT_RX) os_sem_post(&g_rx);
    });
    const uint8_t hello[] = {'h', 'i', '!'};
    camhost::uart_send_to_module(hello, sizeof hello);
    std::vector<uint64_t> ends;
    for (int i = 0; i < 3; i++) {
      os_sem_wait(&g_rx);
      ends.push_back(os_systime64());
      got += static_cast<char>(uart_getchar_tmo(u, 0));
    }
    ExpectBurstTiming(ends);
    EXPECT_LT(uart_getchar_tmo(u, 0), 0);
    uart_close(u);
  });
  EXPECT_EQ(got, "hi!");
  EXPECT_EQ(g_callbacks, 3);
}

TEST_F(Drivers, UartGetcharWaitsForItsTimeoutThenGivesUp) {
  inst.call([] {
    uart* u = uart_open_ext(460800, 21, 20, 0, 0, 0);
    EXPECT_LT(uart_getchar_tmo(u, 5000), 0);
    EXPECT_EQ(os_systime64(), 5000u);
    uart_close(u);
  });
}

TEST_F(Drivers, UartBytesArrivingWhileClosedAreLost) {
  inst.call([] {
    const uint8_t junk[] = {1, 2, 3};
    camhost::uart_send_to_module(junk, sizeof junk);
    os_sleep_us(1000, OS_TIMEOUT_WAKEUP);
    uart* u = uart_open_ext(460800, 21, 20, 0, 0, 0);
    EXPECT_LT(uart_getchar_tmo(u, 1000), 0);
    EXPECT_EQ(uart_open_ext(460800, 21, 20, 0, 0, 0), nullptr) << "opened twice";
    uart_close(u);
    EXPECT_FALSE(camhost::uart_module_is_open());
  });
}

TEST_F(Drivers, AResetClosesTheUartButThePeerStaysAttached) {
  inst.call([] { uart_open_ext(460800, 21, 20, 0, 0, 0); });
  EXPECT_TRUE(camhost::uart_module_is_open());
  inst.reset(OS_RESET_WATCHDOG);
  EXPECT_FALSE(camhost::uart_module_is_open());
  inst.call([] {
    uart* u = uart_open_ext(460800, 21, 20, 0, 0, 0);
    uart_putchar(u, 'x');
    uart_flush(u);
    uart_close(u);
  });
  ASSERT_EQ(peer.got.size(), 1u);
}

struct RegisterChip : camhost::I2cTarget {
  std::vector<std::string> log;
  uint8_t value = 0x5A;
  bool i2c_write(const uint8_t* d, size_t n, bool stop) override {
    log.push_back("w" + std::to_string(n) + (stop ? "s" : ""));
    return true;
  }
  bool i2c_read(uint8_t* d, size_t n, bool stop) override {
    for (size_t i = 0; i < n; i++) d[i] = value;
    log.push_back("r" + std::to_string(n) + (stop ? "s" : ""));
    return true;
  }
};

TEST_F(Drivers, I2cTransferRunsItsMessagesInOrderAndTakesTheBusTime) {
  RegisterChip chip;
  camhost::i2c_attach(0x20, &chip);
  inst.call([] {
    i2c_device* dev = i2c_create_device(i2c_bus_init(0), 0x20, 400000);
    uint8_t reg = 0x4C, data[2] = {};
    i2c_msg msgs[] = {{I2C_M_WRITE, 1, &reg}, {I2C_M_READ | I2C_M_STOP, 2, data}};
    EXPECT_EQ(i2c_transfer(dev, msgs, 2), 0);
    EXPECT_EQ(data[0], 0x5A);
    // Two address bytes and three data bytes, 9 clocks each at 400 kHz, and up to 10 µs of
    // start, stop and bus-free times.
    EXPECT_GE(os_systime64(), 113u);
    EXPECT_LE(os_systime64(), 123u);
  });
  EXPECT_EQ(chip.log, (std::vector<std::string>{"w1", "r2s"}));
}

TEST_F(Drivers, I2cTransferToAnAddressWithNoChipIsNotAcknowledged) {
  inst.call([] {
    EXPECT_EQ(i2c_bus_init(1), nullptr);
    i2c_device* dev = i2c_create_device(i2c_bus_init(0), 0x55, 400000);
    uint8_t b = 0;
    i2c_msg msg = {I2C_M_WRITE | I2C_M_STOP, 1, &b};
    EXPECT_EQ(i2c_transfer(dev, &msg, 1), I2C_ERR_NACK);
    EXPECT_EQ(i2c_transfer(dev, nullptr, 1), I2C_ERR_ARG);
  });
}

int g_fired;

TEST_F(Drivers, ALevelLowInterruptFiresWhileEnabledAndAgainAfterReEnablingIfStillLow) {
  g_fired = 0;
  inst.call([] {
    os_gpio_request(1u << 14);
    os_gpio_set_input(1u << 14);
    os_gpio_set_irq_level_low(1u << 14);
    os_gpio_attach_event(3, 1u << 14, [](uint32_t event) {
      EXPECT_EQ(event, 3u);
      g_fired++;
      os_gpio_disable_irq(1u << 14);  // as a handler must, or the level would storm
    });
  });
  camhost::gpio_drive(14, 0);
  inst.run_for(100);
  EXPECT_EQ(g_fired, 0) << "fired while not enabled";
  inst.call([] { os_gpio_enable_irq(1u << 14); });
  inst.run_for(100);
  EXPECT_EQ(g_fired, 1);
  inst.call([] { os_gpio_enable_irq(1u << 14); });
  inst.run_for(100);
  EXPECT_EQ(g_fired, 2) << "a line still low fires again";
  camhost::gpio_drive(14, 1);
  inst.call([] { os_gpio_enable_irq(1u << 14); });
  inst.run_for(100);
  EXPECT_EQ(g_fired, 2);
  inst.call([] { EXPECT_EQ(os_gpio_get_value(1u << 14), 1); });
}

TEST_F(Drivers, HostEventsRunAtTheirTimeInTheOrderTheyWereScheduled) {
  std::vector<std::string> order;
  camhost::at(500, [&] { order.push_back("b@" + std::to_string(camhost::time_now())); });
  camhost::at(200, [&] { order.push_back("a@" + std::to_string(camhost::time_now())); });
  camhost::at(500, [&] { order.push_back("c@" + std::to_string(camhost::time_now())); });
  inst.run_for(1000);
  EXPECT_EQ(order, (std::vector<std::string>{"a@200", "b@500", "c@500"}));
}

}  // namespace
