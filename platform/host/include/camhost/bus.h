// The far end of the module's drivers: where the simulated board (or a test) plugs its chips in.
// Nothing here is visible to the firmware; it sees only uart.h, i2c.h and gpio.h.
//
// Models are called on kernel threads: I2C targets on the thread of the transfer, the UART peer
// and GPIO changes on the host event thread. In real time several may run at once, so a model
// guards its own state.
#ifndef CAMHOST_BUS_H
#define CAMHOST_BUS_H

#include <cstddef>
#include <cstdint>
#include <functional>

namespace camhost {

// ---- Host events ----------------------------------------------------------------------------

// Runs `fn` on the host event thread (a kernel thread of the highest priority outside the
// firmware) at instance time `when` (µs, see Instance::now). Events of one time run in the order
// they were scheduled. Callable from any kernel thread and from the thread that drives the
// instance.
void at(uint64_t when, std::function<void()> fn);
// Instance time now, from any thread.
uint64_t time_now();
// Whether the instance runs in real time (its threads at once) rather than virtual time.
bool real_time();
// A number from the instance's seeded generator, uniform in lo..hi (both included; lo without an
// instance): for what real hardware leaves to chance, such as a chip's latency or a wire's
// jitter. Draws made on kernel threads come in a fixed order in virtual time, so the same seed
// gives the same run and another seed another one.
uint64_t random_between(uint64_t lo, uint64_t hi);

// ---- UART -----------------------------------------------------------------------------------

class UartPeer {
 public:
  virtual ~UartPeer() = default;
  // A byte from the module reached the peer (at the end of its time on the wire).
  virtual void uart_byte_from_module(uint8_t byte) = 0;
};

// Connects the device at the far end of the UART (one at a time; nullptr disconnects).
void uart_attach(UartPeer* peer);
// Sends bytes to the module: each takes its wire time after those already on the way. Bytes that
// arrive while the module's UART is closed are lost, as on the wire.
void uart_send_to_module(const uint8_t* data, size_t count);
// Whether the module has the UART open now.
bool uart_module_is_open();

// ---- I2C ------------------------------------------------------------------------------------

class I2cTarget {
 public:
  virtual ~I2cTarget() = default;
  // One message of a transfer addressed to this target. False makes the target not acknowledge,
  // which fails the transfer.
  virtual bool i2c_write(const uint8_t* data, size_t count, bool stop) = 0;
  virtual bool i2c_read(uint8_t* data, size_t count, bool stop) = 0;
};

// Puts a chip at a 7-bit address (nullptr removes it). An address with no chip does not answer.
void i2c_attach(uint8_t address7, I2cTarget* target);

// ---- GPIO -----------------------------------------------------------------------------------

// Drives the level of a SoC input pin from outside (an expander's interrupt line, say).
void gpio_drive(int pin, int level);
int gpio_level(int pin);

// ---- SPI ------------------------------------------------------------------------------------

// The master at the far end of the module's SPI slave (the FPGA). Called on the host event thread;
// in real time spi_read_armed may also come on the module's thread that armed the read.
class SpiMaster {
 public:
  virtual ~SpiMaster() = default;
  // The module armed a read of at most `length` bytes: the master may clock a transfer now.
  virtual void spi_read_armed(size_t length) = 0;
  // A transfer begun with spi_send_to_module has finished clocking; `landed` bytes reached the
  // module (0 when its read was aborted meanwhile).
  virtual void spi_transfer_done(size_t landed) { (void)landed; }
};

// Connects the master (one at a time; nullptr disconnects).
void spi_attach(SpiMaster* master);
// The SPI clock, 8 bits a byte, no gaps; 20 MHz unless set.
void spi_set_clock_hz(uint32_t hz);
// Starts clocking `count` bytes into the module's armed read. The transfer ends after its time on
// the wire; then min(count, armed length) bytes are in the module's buffer and its receive
// callback runs with that count. False, and nothing sent, when no read is armed, a transfer is
// already being clocked, or the slave sleeps.
bool spi_send_to_module(const uint8_t* data, size_t count);
// Whether a read is armed and no transfer is being clocked into it.
bool spi_module_read_armed();
// Whether the module lets the slave sleep now.
bool spi_module_suspended();

// ---- Reset ----------------------------------------------------------------------------------

// Called at every reset of the module (and when the instance starts), with the kernel stopped:
// drivers drop what the old boot had opened. Must not call kernel services.
void on_module_reset(std::function<void()> fn);

}  // namespace camhost

#endif  // CAMHOST_BUS_H
