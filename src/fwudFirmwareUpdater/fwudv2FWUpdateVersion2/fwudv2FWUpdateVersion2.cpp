// Version 2 of the update protocol. Every error before the firmware area is touched reboots
// with the old firmware intact; from the first page copied over the firmware on, a reboot would
// leave nothing to boot, so failed pages are retried and at worst the module halts.
#include "fwudFirmwareUpdater/fwudv2FWUpdateVersion2/fwudv2FWUpdateVersion2.h"

#include <string.h>

#include "fwudFirmwareUpdater/fwudledFWUpdaterLED/fwudledFWUpdaterLED.h"
#include "os.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"
#include "slipSLIPUtilities/slipSLIPUtilities.h"
#include "uart.h"
#include "utilities/utilities.h"

#define TO_ST_READY_cmdByte 'A'
#define FROM_ST_FILE1_cmdByte '1'
#define FROM_ST_FILE2_cmdByte '2'
#define FROM_ST_UPLOAD_BLOCK_cmdByte 'u'
#define TO_ST_BLOCK_RECEIVED_cmdByte 'r'
#define FROM_ST_EXIT_cmdByte 'x'

#define FIRST_BYTE_TIMEOUT_US 10000000u
#define NEXT_BYTE_TIMEOUT_US 1000000u
#define DIGIT_TIMEOUT_US 10000u
#define BLOCK_BYTE_TIMEOUT_US 100000u
#define BLOCK_END_TIMEOUT_US 1000000u
#define VERIFY_ERROR_WAIT_US 4000000u
#define MAX_PAGE_TRIES 10

static struct uart* h_uart;
static int cmdByte;
static uint32_t arg0, arg1;
static uint8_t* flashBuffer;
static uint8_t* checkBuffer;

void fwud_rebootAfterDelay(void) {
  os_sleep_us(6000000u, OS_TIMEOUT_NO_WAKEUP);
  ostsReboot();
}

#define REBOOT(...)            \
  do {                         \
    os_printf(__VA_ARGS__);    \
    fwud_rebootAfterDelay();   \
  } while (0)

bool fwudv2_allocBuffers(const char* caller) {
  if (flashBuffer == nullptr) {
    flashBuffer = static_cast<uint8_t*>(os_alloc(FWUD_BUFFER_SIZE));
    if (flashBuffer == nullptr) {
      os_printf("%s - allocation failed; rebooting\r\n", caller);
      return false;
    }
  }
  if (checkBuffer == nullptr) {
    checkBuffer = static_cast<uint8_t*>(os_alloc(FWUD_BUFFER_SIZE));
    if (checkBuffer == nullptr) {
      os_printf("checkBuffer allocation failed; rebooting\r\n");
      return false;
    }
  }
  return true;
}

uint8_t* fwudv2_flashBuffer(void) { return checkBuffer != nullptr ? flashBuffer : nullptr; }
uint8_t* fwudv2_checkBuffer(void) { return flashBuffer != nullptr ? checkBuffer : nullptr; }

static void waitWhileBusy(struct spi_mem* spi_mem) {
  while (spi_mem_busy(spi_mem)) os_wait_usec(1000);
}

// One attempt: erase, write, read back; the index of the first differing byte, or -1.
static int writeAndVerifyPage(struct spi_mem* spi_mem, uint32_t flash_address) {
  fwudled_I2C_Write_Word_LED(i2cLED_Flash_Erase_Interval | i2cLED_SS_Red);
  spi_sector_erase(spi_mem, flash_address);
  fwudled_I2C_Write_Word_LED(i2cLED_Flash_Write_Interval | i2cLED_SS_Red);
  spi_mem_write(spi_mem, flash_address, flashBuffer, FWUD_PAGE_SIZE);
  waitWhileBusy(spi_mem);
  fwudled_I2C_Write_Word_LED(i2cLED_Flash_Read_Interval | i2cLED_SS_Red);
  if (spi_mem_read(spi_mem, flash_address, checkBuffer, FWUD_PAGE_SIZE) != 0) return 0;
  fwudled_I2C_Write_Word_LED(i2cLED_Flash_Idle_Interval | i2cLED_SS_Red);
  for (uint32_t i = 0; i < FWUD_PAGE_SIZE; i++)
    if (flashBuffer[i] != checkBuffer[i]) return static_cast<int>(i);
  return -1;
}

void write_flashBuffer_ToFlash(struct spi_mem* spi_mem, uint32_t flash_address,
                               bool allowReboot) {
  static const char* const fn = "write_flashBuffer_ToFlash";
  if (flash_address % FWUD_PAGE_SIZE != 0)
    REBOOT("flash addr 0x%08X not 4k aligned; rebooting\r\n", (unsigned)flash_address);
  if (spi_mem == nullptr) REBOOT("%s - spi_mem is NULL; rebooting\r\n", fn);
  // Never the boot page, never past the flash.
  if (flash_address < FWUD_FIRMWARE1_ADDRESS || flash_address >= FWUD_FLASH_SIZE)
    REBOOT("%s - flash addr 0x%08X outside the writable flash; rebooting\r\n", fn,
           (unsigned)flash_address);
  for (int tries = 1;; tries++) {
    int bad = writeAndVerifyPage(spi_mem, flash_address);
    if (bad < 0) return;
    fwudled_I2C_Write_Word_LED(i2cLED_Flash_ERROR_Interval | i2cLED_SS_Red);
    os_printf("\n%s - Verification error at flash_address 0x%08X; byte %d", fn,
              (unsigned)flash_address, bad);
    os_sleep_us(VERIFY_ERROR_WAIT_US, OS_TIMEOUT_NO_WAKEUP);
    if (allowReboot) REBOOT("%s - Verification error; rebooting\r\n", fn);
    if (tries >= MAX_PAGE_TRIES) {
      os_printf("\n%s - Verification error; cannot reboot; cannot retry again; already tried %d "
                "times",
                fn, tries);
      for (;;) os_sleep_us(10000000u, OS_TIMEOUT_NO_WAKEUP);
    }
    os_printf("\n%s - Verification error but cannot reboot; retrying; retry #%d", fn, tries);
  }
}

void moveFlashToFlash(struct spi_mem* spi_mem, uint32_t dstFlashAddr, uint32_t srcFlashAddr,
                      uint32_t numPages) {
  os_printf("%s %u pages from addr 0x%08X to 0x%08X\n", "moveFlashToFlash", (unsigned)numPages,
            (unsigned)srcFlashAddr, (unsigned)dstFlashAddr);
  if (srcFlashAddr % FWUD_PAGE_SIZE != 0)
    REBOOT("srcFlashAddr 0x%08X not 4k aligned; rebooting\r\n", (unsigned)srcFlashAddr);
  if (dstFlashAddr % FWUD_PAGE_SIZE != 0)
    REBOOT("dstFlashAddr 0x%08X not 4k aligned; rebooting\r\n", (unsigned)dstFlashAddr);
  for (uint32_t i = 0; i < numPages; i++) {
    os_printf(".");
    fwudled_I2C_Write_Word_LED(i2cLED_Flash_Read_Interval | i2cLED_SS_Red);
    spi_mem_read(spi_mem, srcFlashAddr + i * FWUD_PAGE_SIZE, flashBuffer, FWUD_PAGE_SIZE);
    fwudled_I2C_Write_Word_LED(i2cLED_Flash_Idle_Interval | i2cLED_SS_Red);
    write_flashBuffer_ToFlash(spi_mem, dstFlashAddr + i * FWUD_PAGE_SIZE, false);
  }
  os_printf("\n");
}

// ---- The wire ---------------------------------------------------------------------------------

static int readByte(uint32_t timeoutUs, const char* fn) {
  int c = uart_getchar_tmo(h_uart, timeoutUs);
  if (c < 0) REBOOT("%s - Nothing from ST within %u uSecs; rebooting\r\n", fn, (unsigned)timeoutUs);
  return c;
}

static void sendMsgToST(char cmd) {
  uart_putchar(h_uart, SLIP_END);
  uart_putchar(h_uart, static_cast<uint8_t>(cmd));
  uart_putchar(h_uart, SLIP_END);
  uart_flush(h_uart);
  os_printf("Told ST %c\n", cmd);
}

static int hexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

static uint32_t getHex8(const char* fn) {
  uint32_t v = 0;
  for (int i = 0; i < 8; i++) {
    int c = readByte(DIGIT_TIMEOUT_US, fn);
    int h = hexValue(c);
    if (h < 0) REBOOT("%s - expecting a hex digit but got 0x%02X; rebooting\r\n", fn, c);
    v = v << 4 | static_cast<uint32_t>(h);
  }
  return v;
}

static void getCommandFromST(void) {
  static const char* const fn = "getCommandFromST";
  int c;
  while ((c = readByte(FIRST_BYTE_TIMEOUT_US, fn)) != SLIP_END) {
  }
  while ((c = readByte(NEXT_BYTE_TIMEOUT_US, fn)) == SLIP_END) {
  }
  cmdByte = c;
  arg0 = arg1 = 0;
  c = readByte(NEXT_BYTE_TIMEOUT_US, fn);
  if (c == SLIP_END) return;
  if (c != ' ') REBOOT("%s - expected separator after cmdByte, got 0x%02X; rebooting\r\n", fn, c);
  arg0 = getHex8(fn);
  c = readByte(NEXT_BYTE_TIMEOUT_US, fn);
  if (c != ' ')
    REBOOT("%s - expected separator after first 8 digits, got 0x%02X; rebooting\r\n", fn, c);
  arg1 = getHex8(fn);
  c = readByte(NEXT_BYTE_TIMEOUT_US, fn);
  if (c != SLIP_END) REBOOT("%s - Expected 0xC0 after 16 digits, got 0x%02X; rebooting\r\n", fn, c);
  if (cmdByte == FROM_ST_EXIT_cmdByte)
    REBOOT("%s - Got FROM_ST_EXIT_cmdByte from ST; rebooting\r\n", fn);
  os_printf("ST said %c 0x%02X 0x%08X 0x%08X; ", cmdByte, cmdByte, (unsigned)arg0,
            (unsigned)arg1);
}

// Decodes one SLIP frame of exactly one page into flashBuffer.
static void getDataBlockFromST(void) {
  static const char* const fn = "getDataBlockFromST";
  int c = uart_getchar_tmo(h_uart, BLOCK_BYTE_TIMEOUT_US);
  if (c < 0) REBOOT("%s - Timeout waiting for start SLIP_END; rebooting\r\n", fn);
  // A block that does not open with END is out of step with the sender.
  if (c != SLIP_END) REBOOT("%s - Expected SLIP_END to open the block, got 0x%02X; rebooting\r\n", fn, c);
  for (uint32_t n = 0; n < FWUD_PAGE_SIZE; n++) {
    c = uart_getchar_tmo(h_uart, BLOCK_BYTE_TIMEOUT_US);
    if (c < 0) REBOOT("%s - Timeout while decoding SLIP data; rebooting\r\n", fn);
    if (c == SLIP_END)
      REBOOT("%s - SLIP frame ended too soon (decoded %u bytes); rebooting\r\n", fn, (unsigned)n);
    if (c == SLIP_ESC) {
      c = uart_getchar_tmo(h_uart, BLOCK_BYTE_TIMEOUT_US);
      if (c < 0) REBOOT("%s - Timeout after SLIP_ESC; rebooting\r\n", fn);
      if (c == SLIP_ESC_END)
        c = SLIP_END;
      else if (c == SLIP_ESC_ESC)
        c = SLIP_ESC;
      else
        REBOOT("%s - Invalid SLIP escape sequence 0x%02X; rebooting\r\n", fn, c);
    }
    flashBuffer[n] = static_cast<uint8_t>(c);
  }
  c = uart_getchar_tmo(h_uart, BLOCK_END_TIMEOUT_US);
  if (c < 0) REBOOT("%s - Timeout waiting for ending SLIP_END; rebooting\r\n", fn);
  if (c != SLIP_END)
    REBOOT("%s - Expected SLIP_END after 4096 bytes, got 0x%02X; rebooting\r\n", fn, c);
}

// Receives one file into the staging pages at `flashAddress`; the number of pages written.
static uint32_t getFileFromST(struct spi_mem* spi_mem, char startFile_cmdByte,
                              char readyToProceed_cmdByte, uint32_t flashAddress,
                              uint32_t maxPages) {
  static const char* const fn = "getFileFromST";
  os_printf("%s starting - flashAddress 0x%08X, maxPages %u\n", fn, (unsigned)flashAddress,
            (unsigned)maxPages);
  getCommandFromST();
  if (cmdByte != startFile_cmdByte)
    REBOOT("%s - Expected 0x%02X; got 0x%02X; rebooting\r\n", fn, startFile_cmdByte, cmdByte);
  sendMsgToST(readyToProceed_cmdByte);
  uint32_t fileLen = arg0, fileCRC = arg1;
  os_printf("\n\n===> File %c of 2, fileLen 0x%08X, fileCRC 0x%08X\n", startFile_cmdByte,
            (unsigned)fileLen, (unsigned)fileCRC);
  // Rounded up without overflow: a length near 2^32 must not wrap to a few pages.
  uint32_t blocksExpected = fileLen / FWUD_PAGE_SIZE + (fileLen % FWUD_PAGE_SIZE != 0 ? 1 : 0);
  if (blocksExpected > maxPages)
    REBOOT("%s - fileLen 0x%08X; blocksExpected 0x%08X > maxPages 0x%08X; rebooting\r\n", fn,
           (unsigned)fileLen, (unsigned)blocksExpected, (unsigned)maxPages);
  uint32_t crc = 0xFFFFFFFFu;
  for (uint32_t block = 0; block < blocksExpected; block++) {
    uint32_t address = flashAddress + block * FWUD_PAGE_SIZE;
    os_printf("%s - get block %u for addr 0x%08X: ", fn, (unsigned)block, (unsigned)address);
    getCommandFromST();
    if (cmdByte != FROM_ST_UPLOAD_BLOCK_cmdByte)
      REBOOT("%s - expected FROM_ST_UPLOAD_BLOCK_cmdByte; got 0x%02X; rebooting\r\n", fn,
             cmdByte);
    getDataBlockFromST();
    uint32_t blockCRC = ~crc32_update(0xFFFFFFFFu, flashBuffer, FWUD_PAGE_SIZE);
    if (blockCRC != arg0)
      REBOOT("%s - computed crc 0x%08X != 0x%08X; rebooting\r\n", fn, (unsigned)blockCRC,
             (unsigned)arg0);
    crc = crc32_update(crc, flashBuffer, FWUD_PAGE_SIZE);
    write_flashBuffer_ToFlash(spi_mem, address, true);
    sendMsgToST(TO_ST_BLOCK_RECEIVED_cmdByte);
  }
  crc = ~crc;
  if (crc != fileCRC)
    REBOOT("%s - computed fileCRC 0x%08X != 0x%08X; rebooting\r\n", fn, (unsigned)crc,
           (unsigned)fileCRC);
  return blocksExpected;
}

void fwudv2_Start(void* h_uart_param) {
  static const char* const fn = "fwudv2_Start";
  h_uart = static_cast<struct uart*>(h_uart_param);
  fwudled_I2C_Write_Word_LED(i2cLED_Flash_Idle_Interval | i2cLED_SS_Red);
  os_printf("%s - starting\n", fn);
  if (!fwudv2_allocBuffers("allocBuffers")) fwud_rebootAfterDelay();
  sendMsgToST(TO_ST_READY_cmdByte);
  struct spi_mem* spi_mem = os_flash_get_spi_dev();
  if (spi_mem == nullptr) REBOOT("%s - os_flash_get_spi_def() failed; rebooting\r\n", fn);

  uint32_t pages1 = getFileFromST(spi_mem, FROM_ST_FILE1_cmdByte, FROM_ST_FILE1_cmdByte,
                                  FWUD_STAGING1_ADDRESS, FWUD_FILE1_MAX_PAGES);
  uint32_t pages2 = getFileFromST(spi_mem, FROM_ST_FILE2_cmdByte, FROM_ST_FILE2_cmdByte,
                                  FWUD_STAGING2_ADDRESS, FWUD_FILE2_MAX_PAGES);

  // Where the code that rewrites the firmware lives, so that it can be checked to run from RAM.
  os_printf("os_printf() is at 0x%08X\n", (unsigned)(uintptr_t)&os_printf);
  os_printf("os_wait_usec() is at 0x%08X\n", (unsigned)(uintptr_t)&os_wait_usec);
  os_printf("os_core_reset() is at 0x%08X\n", (unsigned)(uintptr_t)&os_core_reset);
  os_printf("spi_mem_erase() is at 0x%08X\n", (unsigned)(uintptr_t)&spi_sector_erase);
  os_printf("spi_mem_write() is at 0x%08X\n", (unsigned)(uintptr_t)&spi_mem_write);
  os_printf("spi_mem_read() is at 0x%08X\n", (unsigned)(uintptr_t)&spi_mem_read);
  moveFlashToFlash(spi_mem, FWUD_FIRMWARE1_ADDRESS, FWUD_STAGING1_ADDRESS, pages1);
  moveFlashToFlash(spi_mem, FWUD_FIRMWARE2_ADDRESS, FWUD_STAGING2_ADDRESS, pages2);

  fwudled_I2C_Write_Word_LED(i2cLED_Flash_Idle_Interval | i2cLED_SS_Red);
  REBOOT("%s - Firmware update complete; rebooting; rebooting\r\n", fn);
}
