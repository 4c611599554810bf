// The UART update protocols at boot, fed any bytes with any pauses between them: the updater
// never reads or writes outside its buffers or the flash, and never writes the boot page. Every
// run ends in a return (no update) or a reboot.
//
// Input: the bytes the STM32 sends, in order; 0xFE n is a pause of n x 7 ms (0xFE 0x00 is the
// byte 0xFE itself).
#include <csetjmp>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fwudFirmwareUpdater/fwudFirmwareUpdater.h"
#include "gpio.h"
#include "i2c.h"
#include "os.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"
#include "spi_flash.h"
#include "uart.h"

namespace {

constexpr uint32_t kFlashBytes = 0x200000;
uint8_t flash[kFlashBytes];
uint8_t bootPage[4096];
uint64_t now;
const uint8_t* in;
size_t inLeft;
uint64_t pauseUs;
int silentReads;
jmp_buf rebooted;
alignas(16) uint8_t arena[65536];
size_t arenaUsed;
int dummy;

void advance(uint64_t us) {
  now += us;
  // A halted updater sleeps for ever: end the run once a simulated day has gone by.
  if (now > 86400ull * 1000000ull) longjmp(rebooted, 1);
}

}  // namespace

extern "C" {
systimer_t os_systime64(void) { return now; }
uint32_t os_systime(void) { return static_cast<uint32_t>(now); }
void os_sleep_us(uint32_t us, int) { advance(us); }
void os_wait_usec(uint32_t us) { advance(us); }
uint32_t os_irq_disable(void) { return 0; }
void os_irq_restore(uint32_t) {}
int os_printf(const char*, ...) { return 0; }
void* os_alloc(size_t size) {
  size = (size + 15) & ~size_t(15);
  if (size > sizeof arena - arenaUsed) return nullptr;
  void* p = arena + arenaUsed;
  arenaUsed += size;
  return p;
}
void os_core_reset(void) { longjmp(rebooted, 1); }

int os_gpio_set_pull(uint32_t, int) { return 0; }
int os_gpio_mux_sel(int, int) { return 0; }
struct i2c_bus* i2c_bus_init(int) { return reinterpret_cast<struct i2c_bus*>(&dummy); }
struct i2c_device* i2c_create_device(struct i2c_bus*, uint8_t, uint32_t) {
  return reinterpret_cast<struct i2c_device*>(&dummy);
}
void i2c_destroy_device(struct i2c_device*) {}
int i2c_transfer(struct i2c_device*, struct i2c_msg* msgs, int count) {
  for (int i = 0; i < count; i++)
    if (msgs[i].len > 0) (void)msgs[i].buf[msgs[i].len - 1];
  return 0;
}

struct uart* uart_open_ex(uint32_t, int, int, uint32_t) {
  return reinterpret_cast<struct uart*>(&dummy);
}
int uart_getchar_tmo(struct uart*, uint32_t timeoutUsecs) {
  for (;;) {
    if (pauseUs > 0) {
      if (pauseUs >= timeoutUsecs) {
        pauseUs -= timeoutUsecs;
        advance(timeoutUsecs);
        return -1;
      }
      advance(pauseUs);
      pauseUs = 0;
    }
    if (inLeft == 0) {
      // Silence from here on: what follows is settled within a few reads (a reboot, or the end
      // of listening after "nf"); the rest of a 160 s wait adds nothing.
      if (++silentReads > 200) longjmp(rebooted, 1);
      advance(timeoutUsecs);
      return -1;
    }
    uint8_t b = *in++;
    inLeft--;
    if (b != 0xFE || inLeft == 0) return b;
    uint8_t n = *in++;
    inLeft--;
    if (n == 0) return 0xFE;
    pauseUs = n * 7000ull;
  }
}
void uart_putchar(struct uart*, uint8_t) {}
void uart_puts(struct uart*, const char* s) { (void)strlen(s); }
void uart_flush(struct uart*) {}
void uart_close(struct uart*) {}

struct spi_mem* os_flash_get_spi_dev(void) { return reinterpret_cast<struct spi_mem*>(&dummy); }
int spi_sector_erase(struct spi_mem*, uint32_t address) {
  if (address >= kFlashBytes) return -1;
  memset(flash + (address & ~4095u), 0xFF, 4096);
  return 0;
}
int spi_mem_write(struct spi_mem*, uint32_t address, const void* data, size_t length) {
  if (address > kFlashBytes || length > kFlashBytes - address) return -1;
  const uint8_t* d = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < length; i++) flash[address + i] &= d[i];
  return 0;
}
int spi_mem_read(struct spi_mem*, uint32_t address, void* data, size_t length) {
  if (address > kFlashBytes || length > kFlashBytes - address) return -1;
  memcpy(data, flash + address, length);
  return 0;
}
int spi_mem_busy(struct spi_mem*) { return 0; }
}  // extern "C"

void ostsReboot(void) {
  os_core_reset();
  abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool first = true;
  if (first) {
    memset(flash, 0xFF, sizeof flash);
    for (size_t i = 0; i < sizeof bootPage; i++) bootPage[i] = static_cast<uint8_t>(i * 13);
    memcpy(flash, bootPage, sizeof bootPage);
    first = false;
  }
  in = data;
  inLeft = size;
  pauseUs = 0;
  silentReads = 0;
  now = 0;
  // The updater's state is allocated anew at each start; the page buffers, once allocated, are
  // kept by the updater and stay where they are, past this point.
  arenaUsed = 0;
  if (setjmp(rebooted) == 0) {
    fwudFirmwareUpdater_Init();
    fwudDoUpdate();
  }
  if (memcmp(flash, bootPage, sizeof bootPage) != 0) abort();  // the boot page is never written
  return 0;
}
