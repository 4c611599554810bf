// The firmware updater: at start-up, before any other module, the STM32 gets the UART for up to
// 160 s after its last character to offer new firmware, either with the version-2 protocol or
// with the older line commands (upload start "uf", block "ub", read back "uv", done "ud", none
// "nf").
#include "fwudFirmwareUpdater/fwudFirmwareUpdater.h"

#include <string.h>

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "fwudFirmwareUpdater/fwudledFWUpdaterLED/fwudledFWUpdaterLED.h"
#include "fwudFirmwareUpdater/fwudv2FWUpdateVersion2/fwudv2FWUpdateVersion2.h"
#include "gpio.h"
#include "i2c.h"
#include "os.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"
#include "spi_flash.h"
#include "uart.h"

#define FWUD_BAUD 460800u
#define FWUD_LISTEN_US 160000000ull
#define FWUD_READ_TIMEOUT_US 10000u
#define FWUD_FLUSH_TIMEOUT_US 1000u
#define FWUD_BLOCK_BYTE_TIMEOUT_US 10000u
#define FWUD_BLOCK_GAP_US 500000u
#define FWUD_LINE_MAX 31
// The older protocol stages its blocks here and may copy them anywhere between the boot page
// and this staging area.
#define FWUD_OLD_STAGING_ADDRESS 0x100000u

struct globals_t {
  int32_t args[2];
  int numArgs;
  bool no_firmware_flag;
  int blocks_expected;
  int blocks_received;
  int start_address;
  int flash_address;
  int upload_rcvd;
  struct spi_mem* spi_mem;
  uint8_t* flashBuffer;
  uint8_t* checkBuffer;
  systimer_t whenToStopListeningForUpgradeCommandFromSTM32;
  struct uart* h_uart;
};

static globals_t* g;
static int udCount;

#define REBOOT(...)          \
  do {                       \
    os_printf(__VA_ARGS__);  \
    fwud_rebootAfterDelay(); \
  } while (0)

static void expanderWrite(struct i2c_device* dev, uint8_t reg, uint8_t low, uint8_t high) {
  uint8_t bytes[3] = {reg, low, high};
  struct i2c_msg msg = {I2C_M_WRITE | I2C_M_STOP, sizeof bytes, bytes};
  i2c_transfer(dev, &msg, 1);
}

void fwudFirmwareUpdater_Init(void) {
  DBGLOG_ENTRY();
  // Hold the camera's power on: the power switch may already be released by now.
  os_gpio_set_pull(24, OS_GPIO_PULL_UP);
  os_gpio_mux_sel(GPIO_MUX_SEL_SCL, 4);
  os_gpio_mux_sel(GPIO_MUX_SEL_SDA, 3);
  struct i2c_bus* bus = i2c_bus_init(0);
  if (bus != nullptr) {
    struct i2c_device* dev = i2c_create_device(bus, 0x21, 400000);
    if (dev != nullptr) {
      expanderWrite(dev, 0x4A, 0xFF, 0xFF);
      expanderWrite(dev, 0x02, 0xFF, 0xFF);
      expanderWrite(dev, 0x44, 0x00, 0x00);
      expanderWrite(dev, 0x06, 0xBF, 0xFF);
      i2c_destroy_device(dev);
    }
  }
  g = static_cast<globals_t*>(os_alloc(64 > sizeof(globals_t) ? 64 : sizeof(globals_t)));
  if (g != nullptr) memset(g, 0, sizeof *g);
  fwudled_init();
}

// ---- The older protocol ------------------------------------------------------------------------

// Parses up to two numbers (decimal, or hexadecimal after "0x") from `text` into g->args. A
// number wider than 32 bits voids the whole command.
static void getArgs(const char* text) {
  static const char* const fn = "getArgs";
  g->numArgs = 0;
  g->args[0] = g->args[1] = 0;
  size_t len = strlen(text);
  if (len < 2) {
    os_printf("%s - less than 2 characters\n", fn);
    return;
  }
  bool overflow = false;
  size_t i = 0;
  while (i < len) {
    char c = text[i];
    if (c == ' ') {
      i++;
      continue;
    }
    bool hex = c == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X');
    if (hex) i += 2;
    int base = hex ? 16 : 10;
    uint64_t value = 0;
    bool digits = false;
    for (; i < len && text[i] != ' '; i++) {
      char d = text[i];
      int v = -1;
      if (d >= '0' && d <= '9') v = d - '0';
      else if (hex && d >= 'a' && d <= 'f') v = d - 'a' + 10;
      else if (hex && d >= 'A' && d <= 'F') v = d - 'A' + 10;
      if (v < 0) {
        os_printf("%s - Invalid character: %c\n", fn, d);
        continue;
      }
      digits = true;
      value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(v);
      if (value > 0xFFFFFFFFull) {
        overflow = true;
        value = 0xFFFFFFFFull;
      }
    }
    if (!digits && !hex) continue;
    // Two numbers at most: further ones are ignored.
    if (g->numArgs < 2) g->args[g->numArgs++] = static_cast<int32_t>(static_cast<uint32_t>(value));
  }
  if (overflow) {
    os_printf("%s - number wider than 32 bits in '%s'\n", fn, text);
    g->numArgs = 0;
    g->args[0] = g->args[1] = 0;
  }
  os_printf("'%s' --> numArgs %d, args[0] %d, args[1] %d\n", text, g->numArgs, g->args[0],
            g->args[1]);
}

static void send(const char* s) {
  uart_puts(g->h_uart, s);
  uart_flush(g->h_uart);
}

// The last block the staging area and the destination both have room for.
static int blocksAllowed(void) {
  int byRoom = static_cast<int>((FWUD_OLD_STAGING_ADDRESS - static_cast<uint32_t>(g->start_address)) /
                                FWUD_PAGE_SIZE);
  return g->blocks_expected < byRoom ? g->blocks_expected : byRoom;
}

static void uploadStart(void) {
  if (g->numArgs < 2) return;
  uint32_t size = static_cast<uint32_t>(g->args[0]), start = static_cast<uint32_t>(g->args[1]);
  if (!fwudv2_allocBuffers("flashBuffer")) fwud_rebootAfterDelay();
  g->flashBuffer = fwudv2_flashBuffer();
  g->checkBuffer = fwudv2_checkBuffer();
  uint32_t pages = size / FWUD_PAGE_SIZE + (size % FWUD_PAGE_SIZE != 0 ? 1 : 0);
  // The copy must land on whole pages between the boot page and the staging area.
  if (start % FWUD_PAGE_SIZE != 0 || start < FWUD_FIRMWARE1_ADDRESS ||
      start >= FWUD_OLD_STAGING_ADDRESS ||
      pages > (FWUD_OLD_STAGING_ADDRESS - start) / FWUD_PAGE_SIZE) {
    send("x");
    REBOOT("Invalid upload of %u bytes to flash 0x%08X\n; rebooting\r\n", (unsigned)size,
           (unsigned)start);
  }
  g->flash_address = static_cast<int>(FWUD_OLD_STAGING_ADDRESS);
  g->start_address = static_cast<int>(start);
  g->blocks_expected = static_cast<int>(size / FWUD_PAGE_SIZE + 1);
  os_printf("Start moving %d bytes from flash 0x%8X to flash 0x%8X\n", g->args[0],
            (unsigned)g->flash_address, (unsigned)g->start_address);
  g->blocks_received = 0;
  g->upload_rcvd = 0;
  send("z");
}

static uint16_t blockChecksum(const uint8_t* block) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < FWUD_PAGE_SIZE; i += 2) sum += block[i];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

static void uploadBlock(void) {
  if (g->numArgs < 1) return;
  if (g->flashBuffer == nullptr) {
    os_printf("%s - no upload started; refused\n", "ub");
    send("x");
    return;
  }
  if (g->args[0] != static_cast<int32_t>(FWUD_PAGE_SIZE))
    REBOOT("Invalid block size : %d\n; rebooting\r\n", g->args[0]);
  if (g->blocks_received >= blocksAllowed()) {
    send("x");
    REBOOT("Block %d beyond the %d announced\n; rebooting\r\n", g->blocks_received + 1,
           blocksAllowed());
  }
  uint32_t got = 0;
  systimer_t lastByte = os_systime64();
  while (got < FWUD_BUFFER_SIZE) {
    int c = uart_getchar_tmo(g->h_uart, FWUD_BLOCK_BYTE_TIMEOUT_US);
    if (c >= 0) {
      g->flashBuffer[got++] = static_cast<uint8_t>(c);
      lastByte = os_systime64();
    } else if (os_systime64() - lastByte >= FWUD_BLOCK_GAP_US) {
      REBOOT("UART receive timeout - bytes received : %d\n; rebooting\r\n", (int)got);
    }
  }
  uint16_t rx = static_cast<uint16_t>(g->flashBuffer[4096] | g->flashBuffer[4097] << 8);
  uint16_t calc = blockChecksum(g->flashBuffer);
  os_printf("CHECKSUM : rx - 0x%4.4x  calc - 0x%4.4x\n", rx, calc);
  if (rx != calc) {
    send("x");
    REBOOT("!!!!!!!!!!!!CHECKSUM MISMATCH!!!!!!!!!!!\n; rebooting\r\n");
  }
  os_printf("Write %d to flash 0x%8X; ", (int)FWUD_PAGE_SIZE, (unsigned)g->flash_address);
  // Staging: a page that does not read back reboots, the firmware is untouched.
  write_flashBuffer_ToFlash(g->spi_mem, static_cast<uint32_t>(g->flash_address), true);
  g->flash_address += FWUD_PAGE_SIZE;
  os_printf("Next write to 0x%8.8X\n", (unsigned)g->flash_address);
  g->blocks_received++;
  send("z");
}

static void uploadVerify(void) {
  if (g->numArgs < 1) return;
  int32_t address = g->args[0];
  uint32_t length = g->numArgs > 1 ? static_cast<uint32_t>(g->args[1]) : 0;
  if (length == 0) length = FWUD_PAGE_SIZE;
  if (g->flashBuffer == nullptr || length > FWUD_PAGE_SIZE) {
    os_printf("%s - no buffer, or %u bytes more than a page; refused\n", "uv", (unsigned)length);
    send("x");
    return;
  }
  send("\n");
  os_printf("Read %d from flash 0x%8X; send to UART\n", (int)length, (unsigned)address);
  const uint8_t* data = g->flashBuffer;
  if (address != -1) {
    if (spi_mem_read(g->spi_mem, static_cast<uint32_t>(address), g->checkBuffer, length) != 0) {
      os_printf("%s - flash 0x%08X outside the flash; refused\n", "uv", (unsigned)address);
      return;
    }
    data = g->checkBuffer;
  }
  for (uint32_t i = 0; i < length; i++) uart_putchar(g->h_uart, data[i]);
  uart_flush(g->h_uart);
}

static void uploadDone(void) {
  udCount++;
  os_printf("Upload done  Received %d blocks\n", g->blocks_received);
  for (int i = 0; i < g->blocks_received; i++) {
    uint32_t from = FWUD_OLD_STAGING_ADDRESS + FWUD_PAGE_SIZE * static_cast<uint32_t>(i);
    uint32_t to = static_cast<uint32_t>(g->start_address) + FWUD_PAGE_SIZE * static_cast<uint32_t>(i);
    os_printf("phase %d: Read %d from flash 0x%8X; write to flash 0x%8X\n", i,
              (int)FWUD_PAGE_SIZE, (unsigned)from, (unsigned)to);
    spi_mem_read(g->spi_mem, from, g->flashBuffer, FWUD_PAGE_SIZE);
    os_printf("Upload(%d/%d): 0x%8.8x, length = %d\r\n", i + 1, g->blocks_received,
              (unsigned)to, (int)FWUD_PAGE_SIZE);
    // Over the firmware: every page read back, retried rather than rebooted.
    write_flashBuffer_ToFlash(g->spi_mem, to, false);
    os_printf("\r\nUpdating(%d/%d): 0x%8.8x, length = %d\r\n", i + 1, g->blocks_received,
              (unsigned)to, (int)FWUD_PAGE_SIZE);
  }
  if (udCount == 2) REBOOT("Rebooting after 2nd upload\n; rebooting\r\n");
}

static void runCommand(const char* line, int len) {
  if (len == 1 && line[0] == 'v') fwudv2_Start(g->h_uart);
  if (strncmp(line, "nf", 2) == 0) {
    os_printf("No firmware available\n");
    g->no_firmware_flag = true;
    return;
  }
  if (strncmp(line, "ud", 2) == 0) {
    uploadDone();  // before any "ub" there are no blocks to copy
    return;
  }
  if (line[0] != 'u' || len < 3 || line[2] != ' ') return;
  char which = line[1];
  if (which != 'b' && which != 'v' && which != 'f') {
    os_printf("Unknown command: %s\n", line);
    return;
  }
  getArgs(line + 3);
  if (g->numArgs == 0) return;
  if (which == 'f') uploadStart();
  else if (which == 'b') uploadBlock();
  else uploadVerify();
}

// ---- Listening -----------------------------------------------------------------------------

void fwudDoUpdate(void) {
  if (g == nullptr) return;
  g->no_firmware_flag = false;
  g->h_uart = uart_open_ex(FWUD_BAUD, 21, 20, 0);
  if (g->h_uart == nullptr) REBOOT("UART open failed; rebooting; rebooting\r\n");
  g->spi_mem = os_flash_get_spi_dev();
  os_printf("baud rate set at :%d\n", (int)FWUD_BAUD);
  send("Innophase says: UART serial console ready\n\r");
  g->whenToStopListeningForUpgradeCommandFromSTM32 = os_systime64() + FWUD_LISTEN_US;

  char line[FWUD_LINE_MAX + 1];
  int len = 0;
  uint32_t lastSecondsShown = 0xFFFFFFFFu;
  for (;;) {
    fwudled_blinkIfNeeded();
    int c = uart_getchar_tmo(g->h_uart, FWUD_READ_TIMEOUT_US);
    systimer_t now = os_systime64();
    if (c < 0) {
      if (g->no_firmware_flag || now >= g->whenToStopListeningForUpgradeCommandFromSTM32) break;
      uint32_t left = static_cast<uint32_t>(
          (g->whenToStopListeningForUpgradeCommandFromSTM32 - now) / 1000000u);
      if (left != lastSecondsShown) {
        os_printf("Time remaining = %u seconds\n", (unsigned)left);
        lastSecondsShown = left;
      }
      continue;
    }
    uart_putchar(g->h_uart, static_cast<uint8_t>(c));
    g->whenToStopListeningForUpgradeCommandFromSTM32 = now + FWUD_LISTEN_US;
    if (c != '\r' && c != '\n') {
      if (len == FWUD_LINE_MAX) {
        len = 0;  // a line too long is dropped with the character that overflowed it
        continue;
      }
      line[len++] = static_cast<char>(c);
      continue;
    }
    if (len == 0) continue;
    line[len] = '\0';
    os_printf("buffLen %d, buff: %s\n", len, line);
    int flushed = 0;
    for (int d; (d = uart_getchar_tmo(g->h_uart, FWUD_FLUSH_TIMEOUT_US)) >= 0; flushed++)
      uart_putchar(g->h_uart, static_cast<uint8_t>(d));
    if (flushed > 0) os_printf("Flushed %d characters from UART buffer\n", flushed);
    runCommand(line, len);
    len = 0;
  }
  fwudled_I2C_Write_Word_LED(i2cLED_SS_Green);
  uart_flush(g->h_uart);
  uart_close(g->h_uart);
  g->h_uart = nullptr;
}
