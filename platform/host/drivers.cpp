// The SoC's UART, I2C and GPIO drivers on the host. Their far end is camhost/bus.h: the simulated
// board, or a test, in the same process. Driver state belongs to the chip and is dropped at every
// reset; what is attached at the far end belongs to the board and stays.
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "camhost/bus.h"
#include "gpio.h"
#include "i2c.h"
#include "os.h"
#include "uart.h"

struct uart {
  bool open = false;
  uint32_t baud = 0;
  uart_callback_t callback = nullptr;
  std::deque<uint8_t> rx;
};

struct i2c_bus {
  int number;
};

struct i2c_device {
  uint8_t address;
  uint32_t speed;
};

namespace camhost::detail {
void sem_post_if_zero(os_semaphore* sem);  // in the kernel
}

namespace {

using camhost::at;
using camhost::time_now;

// ---- UART -----------------------------------------------------------------------------------

std::mutex uart_m;
uart g_uart;
camhost::UartPeer* g_peer = nullptr;
os_semaphore uart_rx_sem;
// When the last byte queued in each direction leaves the wire, in nanoseconds of instance time.
uint64_t tx_busy_ns = 0, rx_busy_ns = 0;
constexpr uint32_t kPeerBaud = 460800;

uint64_t byte_ns(uint32_t baud) { return 10ull * 1000000000ull / (baud ? baud : kPeerBaud); }

// The sending UART may idle up to two bit times before a byte (a FIFO topped up from an
// interrupt, a DMA pausing): `idle_permille` of that, drawn by the caller. A byte still leaves after
// the one before it and never faster than the baud rate. `now` and the draw are taken before
// uart_m: the kernel lock is never taken under uart_m, since a reset holds the kernel lock while
// its hooks take uart_m.
uint64_t next_byte_end(uint64_t* busy_ns, uint32_t baud, uint64_t now, uint64_t idle_permille) {
  uint64_t now_ns = now * 1000;
  uint64_t idle_ns = byte_ns(baud) / 5 * idle_permille / 1000;
  *busy_ns = std::max(*busy_ns, now_ns) + idle_ns + byte_ns(baud);
  return (*busy_ns + 999) / 1000;
}

void deliver_to_module(uint8_t b) {
  uart_callback_t cb;
  {
    std::lock_guard<std::mutex> g(uart_m);
    if (!g_uart.open) return;  // nobody listens: the byte is lost
    g_uart.rx.push_back(b);
    cb = g_uart.callback;
  }
  uint32_t irq = os_irq_disable();
  camhost::detail::sem_post_if_zero(&uart_rx_sem);
  if (cb) cb(&g_uart, UART_EVENT_RX);
  os_irq_restore(irq);
}

// ---- I2C ------------------------------------------------------------------------------------

std::mutex i2c_m;
std::map<uint8_t, camhost::I2cTarget*> g_targets;
i2c_bus g_bus{0};
std::vector<i2c_device*> g_devices;

// ---- GPIO -----------------------------------------------------------------------------------

struct GpioEvent {
  uint32_t mask = 0;
  os_gpio_event_t handler = nullptr;
  bool pending = false;
};

std::mutex gpio_m;
uint32_t g_levels = 0xFFFFFFFFu;  // pulled up until something drives a pin
uint32_t g_irq_low = 0, g_irq_enabled = 0;
std::map<uint32_t, GpioEvent> g_events;

bool event_due(const GpioEvent& e) {
  return e.handler && (e.mask & g_irq_low & g_irq_enabled & ~g_levels) != 0;
}

void fire_gpio_event(uint32_t event);

// The events whose level interrupt is now due, marked pending (gpio_m held).
std::vector<uint32_t> due_gpio_irqs() {
  std::vector<uint32_t> due;
  for (auto& [n, e] : g_events)
    if (!e.pending && event_due(e)) {
      e.pending = true;
      due.push_back(n);
    }
  return due;
}

// Runs their handlers on the event thread. Never with gpio_m held: scheduling may hand the
// processor to that thread, which takes gpio_m.
void schedule_gpio_irqs(const std::vector<uint32_t>& due) {
  for (uint32_t n : due) at(time_now(), [n] { fire_gpio_event(n); });
}

// Runs `change` under gpio_m, then schedules whatever it made due.
template <typename F>
int gpio_change(F change) {
  std::vector<uint32_t> due;
  int rc;
  {
    std::lock_guard<std::mutex> g(gpio_m);
    rc = change();
    due = due_gpio_irqs();
  }
  schedule_gpio_irqs(due);
  return rc;
}

void fire_gpio_event(uint32_t event) {
  os_gpio_event_t handler = nullptr;
  {
    std::lock_guard<std::mutex> g(gpio_m);
    auto it = g_events.find(event);
    if (it == g_events.end()) return;
    it->second.pending = false;
    if (!event_due(it->second)) return;  // masked or released meanwhile
    handler = it->second.handler;
  }
  uint32_t irq = os_irq_disable();
  handler(event);
  os_irq_restore(irq);
}

void reset_drivers() {
  {
    std::lock_guard<std::mutex> g(uart_m);
    g_uart = uart{};
  }
  os_sem_init(&uart_rx_sem, 0);
  {
    std::lock_guard<std::mutex> g(i2c_m);
    for (auto* d : g_devices) delete d;
    g_devices.clear();
  }
  std::lock_guard<std::mutex> g(gpio_m);
  g_irq_low = g_irq_enabled = 0;
  g_events.clear();
}

struct RegisterReset {
  RegisterReset() { camhost::on_module_reset(reset_drivers); }
} register_reset;

}  // namespace

// ---- The far end ------------------------------------------------------------------------------

namespace camhost {

void uart_attach(UartPeer* peer) {
  std::lock_guard<std::mutex> g(uart_m);
  g_peer = peer;
}

void uart_send_to_module(const uint8_t* data, size_t count) {
  for (size_t i = 0; i < count; i++) {
    uint64_t when, now = time_now(), idle = camhost::random_between(0, 1000);
    {
      std::lock_guard<std::mutex> g(uart_m);
      when = next_byte_end(&rx_busy_ns, g_uart.baud ? g_uart.baud : kPeerBaud, now, idle);
    }
    uint8_t b = data[i];
    at(when, [b] { deliver_to_module(b); });
  }
}

bool uart_module_is_open() {
  std::lock_guard<std::mutex> g(uart_m);
  return g_uart.open;
}

void i2c_attach(uint8_t address7, I2cTarget* target) {
  std::lock_guard<std::mutex> g(i2c_m);
  if (target)
    g_targets[address7] = target;
  else
    g_targets.erase(address7);
}

void gpio_drive(int pin, int level) {
  if (pin < 0 || pin > 31) return;
  gpio_change([&] {
    if (level)
      g_levels |= 1u << pin;
    else
      g_levels &= ~(1u << pin);
    return 0;
  });
}

int gpio_level(int pin) {
  std::lock_guard<std::mutex> g(gpio_m);
  return (pin >= 0 && pin < 32) ? (g_levels >> pin) & 1 : 0;
}

namespace detail {
// The instance is gone: give back what its boots created.
void drivers_instance_end() {
  std::lock_guard<std::mutex> g(i2c_m);
  for (auto* d : g_devices) delete d;
  g_devices.clear();
}

// A new instance starts with nothing attached and no byte on the wire.
void drivers_instance_start() {
  {
    std::lock_guard<std::mutex> g(uart_m);
    g_peer = nullptr;
    tx_busy_ns = rx_busy_ns = 0;
  }
  {
    std::lock_guard<std::mutex> g(i2c_m);
    g_targets.clear();
  }
  std::lock_guard<std::mutex> g(gpio_m);
  g_levels = 0xFFFFFFFFu;
}
}  // namespace detail

}  // namespace camhost

// ---- The firmware's side ----------------------------------------------------------------------

extern "C" {

uart* uart_open_ext(uint32_t baud, int txdPin, int rxdPin, int ctsPin, int rtsPin,
                    uint32_t flags) {
  if (baud == 0) return nullptr;
  {
    std::lock_guard<std::mutex> g(uart_m);
    if (g_uart.open) return nullptr;
    g_uart.open = true;
    g_uart.baud = baud;
    g_uart.callback = nullptr;
    g_uart.rx.clear();
  }
  // Masked: the receive handler on the event thread may be posting to it right now.
  uint32_t irq = os_irq_disable();
  os_sem_init(&uart_rx_sem, 0);
  os_irq_restore(irq);
  return &g_uart;
}

uart* uart_open_ex(uint32_t baud, int txdPin, int rxdPin, uint32_t flags) {
  return uart_open_ext(baud, txdPin, rxdPin, 0, 0, flags);
}

void uart_set_callback_all(uart* u, uart_callback_t callback) {
  std::lock_guard<std::mutex> g(uart_m);
  if (u == &g_uart && g_uart.open) g_uart.callback = callback;
}

void uart_clear_callback(uart* u) {
  std::lock_guard<std::mutex> g(uart_m);
  if (u == &g_uart) g_uart.callback = nullptr;
}

int uart_getchar_tmo(uart* u, uint32_t timeoutUsecs) {
  if (u != &g_uart) return -1;
  uint64_t deadline = time_now() + timeoutUsecs;
  for (;;) {
    {
      std::lock_guard<std::mutex> g(uart_m);
      if (!g_uart.open) return -1;
      if (!g_uart.rx.empty()) {
        uint8_t b = g_uart.rx.front();
        g_uart.rx.pop_front();
        return b;
      }
    }
    uint64_t now = time_now();
    if (now >= deadline) return -1;
    os_sem_wait_timeout(&uart_rx_sem, static_cast<uint32_t>(std::min<uint64_t>(deadline - now,
                                                                              0x7FFFFFFF)));
  }
}

void uart_putchar(uart* u, uint8_t c) {
  uint64_t when, now = time_now(), idle = camhost::random_between(0, 1000);
  {
    std::lock_guard<std::mutex> g(uart_m);
    if (u != &g_uart || !g_uart.open) return;
    when = next_byte_end(&tx_busy_ns, g_uart.baud, now, idle);
  }
  at(when, [c] {
    camhost::UartPeer* peer;
    {
      std::lock_guard<std::mutex> g(uart_m);
      peer = g_peer;
    }
    if (peer) peer->uart_byte_from_module(c);
  });
}

void uart_puts(uart* u, const char* s) {
  while (*s) uart_putchar(u, static_cast<uint8_t>(*s++));
}

void uart_flush(uart* u) {
  uint64_t done;
  {
    std::lock_guard<std::mutex> g(uart_m);
    if (u != &g_uart || !g_uart.open) return;
    done = (tx_busy_ns + 999) / 1000;
  }
  uint64_t now = time_now();
  if (done > now) os_sleep_us(static_cast<uint32_t>(done - now), OS_TIMEOUT_WAKEUP);
}

void uart_close(uart* u) {
  std::lock_guard<std::mutex> g(uart_m);
  if (u != &g_uart) return;
  g_uart.open = false;
  g_uart.callback = nullptr;
  g_uart.rx.clear();
}

i2c_bus* i2c_bus_init(int busNumber) { return busNumber == 0 ? &g_bus : nullptr; }

i2c_device* i2c_create_device(i2c_bus* bus, uint8_t address7, uint32_t speedHz) {
  if (bus != &g_bus || address7 > 0x7F) return nullptr;
  std::lock_guard<std::mutex> g(i2c_m);
  auto* d = new i2c_device{address7, speedHz ? speedHz : 100000};
  g_devices.push_back(d);
  return d;
}

void i2c_destroy_device(i2c_device* dev) {
  std::lock_guard<std::mutex> g(i2c_m);
  for (auto it = g_devices.begin(); it != g_devices.end(); ++it)
    if (*it == dev) {
      delete dev;
      g_devices.erase(it);
      return;
    }
}

int i2c_transfer(i2c_device* dev, i2c_msg* msgs, int count) {
  camhost::I2cTarget* target = nullptr;
  uint32_t speed;
  {
    std::lock_guard<std::mutex> g(i2c_m);
    bool known = false;
    for (auto* d : g_devices) known |= d == dev;
    if (!known || !msgs || count <= 0) return I2C_ERR_ARG;
    auto it = g_targets.find(dev->address);
    if (it != g_targets.end()) target = it->second;
    speed = dev->speed;
  }
  // The bus time: an address byte and the data bytes of every message, 9 clocks a byte, plus up
  // to 10 µs of start, stop and bus-free times and the controller's interrupt latency.
  uint64_t bytes = 0;
  for (int i = 0; i < count; i++) bytes += 1 + msgs[i].len;
  constexpr uint64_t kOverheadMaxUs = 10;
  uint64_t overhead_us = camhost::random_between(0, kOverheadMaxUs);
  os_sleep_us(static_cast<uint32_t>((bytes * 9 * 1000000 + speed - 1) / speed + overhead_us),
              OS_TIMEOUT_WAKEUP);
  if (!target) return I2C_ERR_NACK;
  for (int i = 0; i < count; i++) {
    bool stop = (msgs[i].flags & I2C_M_STOP) != 0;
    bool ok = (msgs[i].flags & I2C_M_READ) ? target->i2c_read(msgs[i].buf, msgs[i].len, stop)
                                           : target->i2c_write(msgs[i].buf, msgs[i].len, stop);
    if (!ok) return I2C_ERR_NACK;
  }
  return 0;
}

int os_gpio_request(uint32_t mask) { return 0; }
int os_gpio_set_input(uint32_t mask) { return 0; }
int os_gpio_set_pull(uint32_t mask, int pull) { return 0; }

int os_gpio_mux_sel(int function, int pin) {
  return (pin >= 0 && pin < 32 && function >= GPIO_MUX_SEL_GPIO && function <= GPIO_MUX_SEL_SDA)
             ? 0
             : -1;
}

int os_gpio_set_irq_level_low(uint32_t mask) {
  return gpio_change([&] {
    g_irq_low |= mask;
    return 0;
  });
}

int os_gpio_attach_event(uint32_t event, uint32_t mask, os_gpio_event_t handler) {
  if (!handler || !mask) return -1;
  return gpio_change([&] {
    GpioEvent& e = g_events[event];
    e.mask = mask;
    e.handler = handler;
    return 0;
  });
}

int os_gpio_enable_irq(uint32_t mask) {
  return gpio_change([&] {
    g_irq_enabled |= mask;
    return 0;
  });
}

int os_gpio_disable_irq(uint32_t mask) {
  std::lock_guard<std::mutex> g(gpio_m);
  g_irq_enabled &= ~mask;
  return 0;
}

int os_clear_event(uint32_t event) { return 0; }

int os_gpio_get_value(uint32_t mask) {
  std::lock_guard<std::mutex> g(gpio_m);
  return (g_levels & mask) ? 1 : 0;
}

}  // extern "C"
