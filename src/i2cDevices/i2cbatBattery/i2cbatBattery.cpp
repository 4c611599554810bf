#include "i2cDevices/i2cbatBattery/i2cbatBattery.h"

#include <string.h>

#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"
#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "i2cDevices/i2cDevices.h"
#include "os.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"
#include "statStatus/statStatus.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "utilities/utilities.h"

#define I2CBAT_THREAD_PRIORITY 5
#define I2CBAT_THREAD_STACK_BYTES 1024

// Every gauge access is retried like this.
#define GAUGE_RETRIES 5
#define GAUGE_RETRY_DELAY_US 150000u

// Read schedule.
#define INTERVAL_AFTER_CHANGE_US 60000000u
#define INTERVAL_MAX_US 600000000u
#define INTERVAL_GROWTH 1.1
#define SOC_UNKNOWN 0xFF

// A failing USB check is retried soon, a few times.
#define USB_RETRY_WAIT_US 150000u
#define USB_RETRY_PASSES 6

// The battery-low ladder (internal battery, mV; a level applies below its threshold).
#define LOW_ALARM_BELOW_MV 3601
#define LOW_PREVENT_BELOW_MV 3501
#define LOW_STOP_BELOW_MV 3401
#define LOW_CUTOFF_BELOW_MV 3201

// Charging with an external pack: charge below, stop above, hold between.
#define PACK_CHARGE_BELOW_SOC 70
#define PACK_STOP_ABOVE_SOC 94

// Thermal latch (0.1 K).
#define TEMP_OVERHEAT_DK 3213
#define TEMP_OVERHEAT_CHARGING_DK 3183
#define TEMP_RECOVERED_BELOW_DK 3162

#define SET_BATTERY_INFO_TIMEOUT_MS 2000

// RT9426A registers.
#define REG_CONTROL 0x00
#define REG_CURRENT 0x04
#define REG_VOLTAGE 0x08
#define REG_PRESENCE 0x0A
#define REG_FLAG1 0x0C
#define REG_DEVICE_ID 0x0E
#define REG_REMAINING 0x10
#define REG_FULL_CHARGE 0x12
#define REG_TIME_TO_EMPTY 0x16
#define REG_COMMIT 0x1E
#define REG_TEMPERATURE 0x28
#define REG_CYCLES 0x2A
#define REG_SOC 0x2C
#define REG_FLAG3 0x30
#define REG_UNUSED_36 0x36
#define REG_DESIGN 0x3C
#define REG_PAGE_CMD 0x3E
#define REG_PAGE_DATA 0x40
#define REG_PAGE_CHECKSUM 0x50
#define REG_TOTAL_CHECKSUM 0x68
#define REG_PRESERVE 0x7E

#define FLAG1_READY 0x0080
#define FLAG1_OCV_PASS 0x0800
#define FLAG3_UNSEALED 0x0001
#define FLAG3_BUSY 0x0008
#define FLAG3_NEEDS_INIT 0x0100

#define RT9426A_DEVICE_ID 0x426A
#define RT9426A_UNSEAL_KEY 0x12345678u
#define CMD_SEAL 0x0020
#define CMD_QUICK_START 0x4000
#define CMD_TOTAL_CHECKSUM 0x9A12
#define PAGE_OCV_READ 0xCA09
#define PAGE_OCV_WRITE 0xCB00
#define PAGE_EXT_WRITE 0x6550
#define PAGE_PRESERVE_0 0x6500
#define PAGE_PRESERVE_2 0x6502
#define PRESERVE_MARKER 0x5AB0
#define OCV_WRITTEN_MARKER 0xA9B4

#define EXT_PAGES 14
#define EXT_PAGE_BYTES 16
#define EXT_TABLE_BYTES (EXT_PAGES * EXT_PAGE_BYTES)
#define OCV_WORDS 80
#define OCV_FULL_PAGES 9
#define OCV_LAST_PAGE_WORDS 5

#define READY_POLLS 101
#define READY_POLL_US 5000u
#define INIT_ATTEMPTS 3
#define OCV_WRITES 3
#define EXT_REWRITE_PASSES 6
#define EXT_WRITES_PER_PAGE 5
#define SEAL_TRIES 3
#define UNSEAL_ROUNDS 20
#define CHECKSUM_TRIES 3
#define CHECKSUM_BUSY_POLLS 10

// The gauge's extended-register image: 14 pages of 8 little-endian words.
static const uint8_t RT9426A_EXTED_DATA[EXT_TABLE_BYTES] = {
    0x80, 0x80, 0x46, 0x79, 0xa7, 0xbb, 0x58, 0x02, 0xaa, 0x85, 0x5f, 0x40, 0x88, 0x80, 0x00, 0x00,
    0x80, 0x34, 0x00, 0x00, 0xfb, 0x3e, 0x00, 0x20, 0x7f, 0x08, 0x1d, 0x32, 0x12, 0x05, 0x28, 0x3c,
    0x22, 0x0c, 0x57, 0x0c, 0x8c, 0x0c, 0xc1, 0x0c, 0xf6, 0x0c, 0x2b, 0x0d, 0x60, 0x0d, 0x95, 0x0d,
    0x33, 0x0d, 0x68, 0x0d, 0x9d, 0x0d, 0xd2, 0x0d, 0x07, 0x0e, 0x3c, 0x0e, 0x71, 0x0e, 0xa6, 0x0e,
    0x44, 0x0e, 0x79, 0x0e, 0xae, 0x0e, 0xe3, 0x0e, 0x18, 0x0f, 0x4d, 0x0f, 0x82, 0x0f, 0xb7, 0x0f,
    0x55, 0x0f, 0x8a, 0x0f, 0xbf, 0x0f, 0xf4, 0x0f, 0x29, 0x10, 0x5e, 0x10, 0x93, 0x10, 0xc8, 0x10,
    0x66, 0x10, 0x9b, 0x10, 0xd0, 0x10, 0x05, 0x11, 0x3a, 0x11, 0x6f, 0x11, 0xa4, 0x11, 0xd9, 0x11,
    0x77, 0x11, 0xac, 0x11, 0xe1, 0x11, 0x16, 0x12, 0x4b, 0x12, 0x80, 0x12, 0xb5, 0x12, 0xea, 0x12,
    0x88, 0x12, 0xbd, 0x12, 0xf2, 0x12, 0x27, 0x13, 0x5c, 0x13, 0x91, 0x13, 0xc6, 0x13, 0xfb, 0x13,
    0x99, 0x13, 0xce, 0x13, 0x03, 0x14, 0x38, 0x14, 0x6d, 0x14, 0xa2, 0x14, 0xd7, 0x14, 0x8f, 0xc5,
    0x32, 0x32, 0x88, 0x88, 0x32, 0x32, 0x88, 0x88, 0x32, 0x32, 0x88, 0x88, 0x32, 0x32, 0x88, 0x88,
    0x32, 0x32, 0x88, 0x88, 0x32, 0x32, 0x88, 0x88, 0x32, 0x32, 0x88, 0x88, 0x32, 0x32, 0x88, 0x88,
    0x32, 0x32, 0x88, 0x88, 0x32, 0x32, 0x88, 0x88, 0x32, 0x32, 0x88, 0x88, 0x32, 0x32, 0x88, 0x88,
    0x32, 0x32, 0x88, 0x88, 0x32, 0x32, 0x88, 0x88, 0x32, 0x32, 0x88, 0x88, 0x32, 0x32, 0x88, 0x88,
};

// The open-circuit-voltage table; word 76 marks a gauge whose table has been written.
static const uint16_t RT9426A_USR_OCV_TABLE[OCV_WORDS] = {
    0x0013, 0x4A40, 0x5000, 0x5145, 0x5256, 0x5310, 0x5693, 0x5925,
    0x5A26, 0x5B49, 0x5C6C, 0x5D8F, 0x5EB2, 0x5FD5, 0x60F8, 0x621B,
    0x631C, 0x643F, 0x6562, 0x6685, 0x67A8, 0x68CB, 0x69EE, 0x6B11,
    0x6C12, 0x6D35, 0x6E58, 0x6F7B, 0x709E, 0x71C1, 0x72E4, 0x7407,
    0x7508, 0x762B, 0x774E, 0x7871, 0x7994, 0x7AB7, 0x7BDA, 0x7CFD,
    0x7DFE, 0x7F21, 0x8044, 0x8167, 0x828A, 0x83AD, 0x84D0, 0x85F3,
    0x86F4, 0x8817, 0x893A, 0x8A5D, 0x8B80, 0x8CA3, 0x8DC6, 0x8EE9,
    0x8FEA, 0x910D, 0x9230, 0x9353, 0x9476, 0x9599, 0x96BC, 0x97DF,
    0x98E0, 0x9A03, 0x9B26, 0x9C49, 0x9D6C, 0x9E8F, 0x9FB2, 0xA0D5,
    0xA1D6, 0xA2F9, 0xA41C, 0xA53F, 0xA9B4, 0x0000, 0x0000, 0x0000,
};

struct batteryUpdateState_t {
  uint32_t currentUpdateInterval;  // µs
  systimer_t whenToReadBattery;
  uint8_t lastStateOfCharge;       // SOC_UNKNOWN: unknown or inactive
};

static fuelguage_t RT9426A_batteries[I2CBAT_BATTERIES] = {
    {"Internal", {}}, {"External 1", {}}, {"External 2", {}}, {"External 3", {}}};
static batteryUpdateState_t updateStates[I2CBAT_BATTERIES];

static systimer_t lastSuccessfulUpdateTime;
static volatile bool needToCheckUSBPower;
static bool isExternalPackPluggedIn;
static volatile bool needToResetBackoffs;
static bool needToSignalBatteryStatusChange;
static uint8_t realInternalSOC;
static bool thermalLatch;
static struct os_semaphore i2cbat_thread_semaphore;
static uint16_t PAGE_CHKSUM[EXT_PAGES];
static uint16_t total_chksum_target;
static uint8_t extend_table[EXT_TABLE_BYTES];
static CameraSetBatteryInfo_Message batteryInfoMsg;

// ---- Gauge access ----------------------------------------------------------------------------

static int gaugeRead(uint8_t reg, uint16_t* value) {
  return i2cReadWordFuelguage(reg, value, GAUGE_RETRIES, GAUGE_RETRY_DELAY_US);
}

static int gaugeWrite(uint8_t reg, uint16_t value) {
  return i2cWriteWordFuelguage(reg, value, GAUGE_RETRIES, GAUGE_RETRY_DELAY_US);
}

// A control write is followed by a write of 0 to the commit register.
static int gaugeCommand(uint8_t reg, uint16_t value) {
  if (gaugeWrite(reg, value) != 0) return -1;
  return gaugeWrite(REG_COMMIT, 0);
}

// The gauge takes a page command only when it is written twice.
static int gaugePageCommand(uint16_t command) {
  if (gaugeWrite(REG_PAGE_CMD, command) != 0) return -1;
  return gaugeWrite(REG_PAGE_CMD, command);
}

static void sleepUs(uint32_t usecs) { os_sleep_us(usecs, OS_TIMEOUT_NO_WAKEUP); }

static uint16_t tableWord(const uint8_t* table, int page, int word) {
  int at = page * EXT_PAGE_BYTES + 2 * word;
  return (uint16_t)(table[at] | (table[at + 1] << 8));
}

static void setTableWord(uint8_t* table, int at, uint16_t value) {
  table[at] = (uint8_t)(value & 0xFF);
  table[at + 1] = (uint8_t)(value >> 8);
}

static uint16_t crc16(const uint8_t* data, int count) {
  uint16_t crc = 0xFFFF;
  for (int i = 0; i < count; i++) {
    crc ^= data[i];
    for (int b = 0; b < 8; b++) crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : (uint16_t)(crc >> 1);
  }
  return crc;
}

static int RT9426A_Select_Battery(int id) {
  if (id < 0 || id >= I2CBAT_BATTERIES) return -1;
  if (i2cWriteFuelgaugeLevelShifter(id != 0, GAUGE_RETRIES, GAUGE_RETRY_DELAY_US) != 0) return -1;
  if (id == 0) return 0;
  uint8_t control = (uint8_t)(id | 0x04);  // enable plus channel
  if (i2cWriteFuelguageMux(&control, 1, GAUGE_RETRIES, GAUGE_RETRY_DELAY_US) != 0) return -1;
  return 0;
}

static int RT9426A_unseal_wi_retry(void) {
  for (int round = 1; round <= UNSEAL_ROUNDS; round++) {
    uint16_t flag3 = 0;
    if (gaugeRead(REG_FLAG3, &flag3) != 0) return -2;
    if (flag3 & FLAG3_UNSEALED) {
      DBGLOG_TEXT("RT9426A Unseal Pass");
      return 0;
    }
    if (round == UNSEAL_ROUNDS) {
      DBGLOG_TEXT("RT9426A Unseal Fail");
      return -2;
    }
    if (round >= 2) {
      DBGLOG_TEXT("RT9426A Unseal retry");
      sleepUs(1000);
    }
    if (gaugeWrite(REG_CONTROL, (uint16_t)(RT9426A_UNSEAL_KEY & 0xFFFF)) != 0) return -2;
    if (gaugeWrite(REG_CONTROL, (uint16_t)(RT9426A_UNSEAL_KEY >> 16)) != 0) return -2;
    if (gaugeWrite(REG_COMMIT, 0) != 0) return -2;
    sleepUs(1000);
  }
  return -2;
}

static int Get_RT9426A_Total_Checksum(uint16_t* checksum) {
  for (int attempt = 0; attempt < CHECKSUM_TRIES; attempt++) {
    if (gaugeCommand(REG_CONTROL, CMD_TOTAL_CHECKSUM) != 0) return -1;
    sleepUs(2000);
    bool busy = true;
    for (int poll = 0; poll < CHECKSUM_BUSY_POLLS; poll++) {
      uint16_t flag3 = 0;
      if (gaugeRead(REG_FLAG3, &flag3) != 0) return -1;
      if (!(flag3 & FLAG3_BUSY)) {
        busy = false;
        break;
      }
      sleepUs(1000);
    }
    if (busy) {
      DBGLOG_TEXT("RT9426A Sent Total Checksum Command Retry");
      continue;
    }
    if (gaugeRead(REG_TOTAL_CHECKSUM, checksum) != 0) return -1;
    DBGLOG("Get RT9426 Total Checksum = 0x%x\n", *checksum);
    return 0;
  }
  DBGLOG_TEXT("RT9426A Sent Total Checksum Command Fail");
  return -1;
}

static bool gaugeReady(void) {
  for (int poll = 0; poll < READY_POLLS; poll++) {
    uint16_t flag1 = 0, flag3 = 0;
    bool ok1 = gaugeRead(REG_FLAG1, &flag1) == 0;
    bool ok3 = gaugeRead(REG_FLAG3, &flag3) == 0;
    if ((ok1 && flag1 != 0xFFFF && (flag1 & FLAG1_READY)) ||
        (ok3 && flag3 != 0xFFFF && (flag3 & FLAG3_NEEDS_INIT))) {
      return true;
    }
    sleepUs(READY_POLL_US);
  }
  return false;
}

// Writes the OCV table; true when the gauge reports it taken.
static bool writeOcvTable(void) {
  for (int writeNum = 0; writeNum < OCV_WRITES; writeNum++) {
    for (int page = 0; page <= OCV_FULL_PAGES; page++) {
      int words = page < OCV_FULL_PAGES ? 8 : OCV_LAST_PAGE_WORDS;
      if (gaugePageCommand((uint16_t)(PAGE_OCV_WRITE | page)) != 0) return false;
      sleepUs(2000);
      for (int w = 0; w < words; w++) {
        if (gaugeWrite((uint8_t)(REG_PAGE_DATA + 2 * w), RT9426A_USR_OCV_TABLE[page * 8 + w]) != 0)
          return false;
      }
      if (gaugeWrite(REG_COMMIT, 0) != 0) return false;
    }
    sleepUs(10000);
    uint16_t flag1 = 0;
    if (gaugeRead(REG_FLAG1, &flag1) != 0) return false;
    if (flag1 & FLAG1_OCV_PASS) {
      DBGLOG_TEXT("RT9426A Set OCV Table Pass");
      return true;
    }
    DBGLOG_TEXT("RT9426A Set OCV Table Retry");
  }
  DBGLOG_TEXT("RT9426A Set OCV Table Fail");
  return false;
}

// The extended pages as the gauge numbers them: 4 and 9 hold other data.
static int tablePageFor(int gaugePage) {
  if (gaugePage < 4) return gaugePage;
  if (gaugePage < 9) return gaugePage - 1;
  return gaugePage - 2;
}

// One pass over the extended pages, writing those whose checksum does not match.
static bool rewriteExtendedPages(int pass) {
  for (int gaugePage = 0; gaugePage < 16; gaugePage++) {
    if (gaugePage == 4 || gaugePage == 9) continue;
    int p = tablePageFor(gaugePage);
    if (gaugePageCommand((uint16_t)(PAGE_EXT_WRITE | gaugePage)) != 0) return false;
    sleepUs(2000);
    bool written = false;
    for (int writes = 0;; writes++) {
      uint16_t sum = 0;
      if (gaugeRead(REG_PAGE_CHECKSUM, &sum) != 0) return false;
      // Late passes do not trust a match before the page has been written once.
      if (sum == PAGE_CHKSUM[p] && (pass < 3 || written)) break;
      if (writes == EXT_WRITES_PER_PAGE) break;
      for (int w = 0; w < 8; w++) {
        if (gaugeWrite((uint8_t)(REG_PAGE_DATA + 2 * w), tableWord(extend_table, p, w)) != 0)
          return false;
      }
      if (gaugeWrite(REG_COMMIT, 0) != 0) return false;
      DBGLOG("Page Checksum:%d\n", sum);
      written = true;
    }
  }
  return true;
}

static bool writeExtendedRegisters(void) {
  for (int pass = 0;; pass++) {
    uint16_t checksum = 0;
    if (Get_RT9426A_Total_Checksum(&checksum) != 0) {
      DBGLOG_TEXT("RT9426A Get Total Checksum Fail");
      return false;
    }
    DBGLOG("Total Checksum: Target = 0x%x, Result = 0x%x\n", total_chksum_target, checksum);
    if (checksum == total_chksum_target) return true;
    if (pass == EXT_REWRITE_PASSES) {
      DBGLOG_TEXT("Write Extend Register Fail");
      return false;
    }
    if (!rewriteExtendedPages(pass)) return false;
  }
}

static bool sealGauge(void) {
  for (int attempt = 0; attempt < SEAL_TRIES; attempt++) {
    if (gaugeCommand(REG_CONTROL, CMD_SEAL) != 0) return false;
    sleepUs(1000);
    uint16_t flag3 = 0;
    if (gaugeRead(REG_FLAG3, &flag3) != 0) return false;
    if (!(flag3 & FLAG3_UNSEALED)) {
      DBGLOG_TEXT("RT9426A Seal Pass");
      DBGLOG_TEXT("RT9426 Initial Successful");
      return true;
    }
    DBGLOG_TEXT("RT9426A Seal Retry");
  }
  DBGLOG_TEXT("RT9426A Seal Fail");
  return false;
}

static bool initAttempt(void) {
  if (RT9426A_unseal_wi_retry() != 0) return false;
  if (gaugePageCommand(PAGE_OCV_READ) != 0) return false;
  sleepUs(5000);
  uint16_t ocvMarker = 0;
  if (gaugeRead(REG_PAGE_DATA + 8, &ocvMarker) != 0) return false;
  if (!writeOcvTable()) return false;
  uint16_t unused = 0;
  if (gaugeRead(REG_UNUSED_36, &unused) != 0) return false;
  if (!writeExtendedRegisters()) return false;
  if (ocvMarker != OCV_WRITTEN_MARKER) {
    // A fresh table: let the gauge estimate the charge again from the voltage.
    if (gaugeCommand(REG_CONTROL, CMD_QUICK_START) != 0) return false;
    DBGLOG_TEXT("RT9426A QS");
    sleepUs(1000);
  }
  uint16_t flag3 = 0;
  if (gaugeRead(REG_FLAG3, &flag3) != 0) return false;
  if (gaugeCommand(REG_FLAG3, (uint16_t)(flag3 & ~FLAG3_NEEDS_INIT)) != 0) return false;
  return sealGauge();
}

// Copies the values the gauge asks to keep into the working table.
static bool preserveGaugeValues(void) {
  uint16_t marker = 0;
  if (gaugeRead(REG_PRESERVE, &marker) != 0) return false;
  if ((marker & 0xFFF0) != PRESERVE_MARKER) return true;
  if (RT9426A_unseal_wi_retry() != 0) return false;
  uint16_t value = 0;
  if (marker & 0x1) {
    if (gaugePageCommand(PAGE_PRESERVE_2) != 0) return false;
    sleepUs(5000);
    if (gaugeRead(REG_PAGE_DATA + 8, &value) != 0) return false;
    setTableWord(extend_table, 40, value);
  }
  if (marker & 0x2) {
    if (gaugePageCommand(PAGE_PRESERVE_0) != 0) return false;
    if (gaugeRead(REG_PAGE_DATA, &value) != 0) return false;
    setTableWord(extend_table, 0, value);
    if (gaugeRead(REG_PAGE_DATA + 12, &value) != 0) return false;
    setTableWord(extend_table, 12, value);
  }
  return true;
}

static int RT9426A_INIT(void) {
  DBGLOG_TEXT("RT9426A Initial Flow");
  if (!gaugeReady()) {
    DBGLOG_TEXT("RT9426_Check_RDY_Fail");
    return -1;
  }
  uint16_t id = 0;
  if (gaugeRead(REG_DEVICE_ID, &id) != 0 || id != RT9426A_DEVICE_ID) {
    DBGLOG("Device ID Check Fail: 0x%x\n", id);
    return -1;
  }
  uint16_t flag3 = 0;
  if (gaugeRead(REG_FLAG3, &flag3) != 0) return -1;
  memcpy(extend_table, RT9426A_EXTED_DATA, sizeof extend_table);
  if (!preserveGaugeValues()) {
    DBGLOG_TEXT("RT9426A Checksum Calculate Fail");
    return -1;
  }
  for (int p = 0; p < EXT_PAGES; p++) {
    uint16_t sum = 0;
    for (int w = 0; w < 8; w++) sum = (uint16_t)(sum + tableWord(extend_table, p, w));
    PAGE_CHKSUM[p] = (uint16_t)~sum;
  }
  total_chksum_target = crc16(extend_table, EXT_TABLE_BYTES);
  DBGLOG("RT9426A Total Checksum Target=0x%x\n", total_chksum_target);

  uint16_t checksum = 0;
  if (Get_RT9426A_Total_Checksum(&checksum) != 0) {
    DBGLOG_TEXT("RT9426A Get Total Checksum Fail");
    return -1;
  }
  if (!(flag3 & FLAG3_NEEDS_INIT) && checksum == total_chksum_target) {
    DBGLOG_TEXT("No Need to Reinitil RT9426A");
    return 0;
  }
  for (int attempt = 0; attempt < INIT_ATTEMPTS; attempt++) {
    if (initAttempt()) return 0;
  }
  DBGLOG_TEXT("RT9426 Initial Fail");
  return -1;
}

// Finds and initialises the internal gauge and the pack's; the count initialised, or -1.
static int RT9426A_Battery_INIT(void) {
  int count = 0;
  uint16_t presence = 0;
  if (RT9426A_Select_Battery(0) == 0 && gaugeRead(REG_PRESENCE, &presence) == 0) {
    if (RT9426A_INIT() == 0) {
      DBGLOG_TEXT("Internal Battery Fuel gauge initialized");
      count++;
    } else {
      DBGLOG_TEXT("Interal Battery Fuel gauge initialization failed");
    }
  } else {
    DBGLOG_TEXT("Internal Battery Fuel gauge not found");
  }
  if (i2cWriteFuelgaugeLevelShifter(true, GAUGE_RETRIES, GAUGE_RETRY_DELAY_US) != 0) return -1;
  uint8_t control = 0;
  if (i2cReadFuelguageMux(&control, 1, GAUGE_RETRIES, GAUGE_RETRY_DELAY_US) != 0) {
    DBGLOG_TEXT("No external power pack");
    isExternalPackPluggedIn = false;
    return count;
  }
  isExternalPackPluggedIn = true;
  for (unsigned id = 1; id < I2CBAT_BATTERIES; id++) {
    if (RT9426A_Select_Battery((int)id) == 0 && gaugeRead(REG_PRESENCE, &presence) == 0) {
      if (RT9426A_INIT() == 0) {
        DBGLOG("External Pack Battery %u initialized\n", id);
        count++;
      } else {
        DBGLOG("External Pack Battery %u initialization failed\n", id);
      }
    } else {
      DBGLOG("External Pack Battery %u not found\n", id);
    }
  }
  return count;
}

// ---- Derived values --------------------------------------------------------------------------

uint16_t i2cbatScaleInternalSOC(uint16_t soc) {
  if (soc <= 90) return soc;
  // Capped before it is narrowed: a glitch reading of 173 or more must not wrap to a low value.
  uint32_t scaled = ((uint32_t)soc - 45u) * 2u;
  return (uint16_t)(scaled > 100 ? 100 : scaled);
}

uint8_t i2cbatLowBatteryLevelForVoltage(uint16_t millivolts) {
  if (millivolts >= LOW_ALARM_BELOW_MV) return lowBattery_NORMAL;
  if (millivolts < LOW_CUTOFF_BELOW_MV) return lowBattery_CUTOFF;
  if (millivolts < LOW_STOP_BELOW_MV) return lowBattery_STOP_RECORDING;
  if (millivolts < LOW_PREVENT_BELOW_MV) return lowBattery_PREVENT_START_RECORDING;
  return lowBattery_ALARM;
}

static uint8_t lowBatteryFromSystemState(void) {
  uint32_t state = sysstateSystemState;
  if (state & sysstate_BatteryLowCutoff) return lowBattery_CUTOFF;
  if (state & sysstate_BatteryLowStopRecording) return lowBattery_STOP_RECORDING;
  if (state & sysstate_BatteryLowPreventRecording) return lowBattery_PREVENT_START_RECORDING;
  if (state & sysstate_BatteryLowAlarm) return lowBattery_ALARM;
  return lowBattery_NORMAL;
}

// The readings are written by the battery thread and copied by others: both sides hold the
// interrupt lock so a copy never mixes two reads.
static bool haveReadings(void) { return lastSuccessfulUpdateTime != 0; }

static void fillAdditionalInfo(additionalBatteryInfo_t* info) {
  memset(info, 0, sizeof *info);
  info->isUSBPowered = (sysstateSystemState & sysstate_USBPowered) ? 1 : 0;
  info->isChargingEnabled = i2cGetChargeEnabled() ? 1 : 0;
  info->lowBattery = lowBatteryFromSystemState();
  uint64_t weighted = 0, capacity = 0;
  uint32_t s = os_irq_disable();
  for (int i = 0; i < I2CBAT_BATTERIES; i++) {
    const unnamedFuelguage_t& g = RT9426A_batteries[i].info;
    if (!g.batteryActive || g.designcapacity == 0) continue;
    weighted += (uint64_t)g.designcapacity * g.stateofcharge;
    capacity += g.designcapacity;
  }
  os_irq_restore(s);
  info->totalChargePercent = capacity == 0 ? 255 : (uint8_t)(weighted / capacity);
}

bool i2cbatCopyFuelgauges(fuelguage_t* dest) {
  uint32_t s = os_irq_disable();
  bool have = haveReadings();
  if (have) memcpy(dest, RT9426A_batteries, sizeof RT9426A_batteries);
  os_irq_restore(s);
  return have;
}

bool i2cbatCopyUnnamedFuelgauges(unnamedFuelguage_t* dest) {
  uint32_t s = os_irq_disable();
  bool have = haveReadings();
  if (have) {
    for (int i = 0; i < I2CBAT_BATTERIES; i++) dest[i] = RT9426A_batteries[i].info;
  }
  os_irq_restore(s);
  return have;
}

bool i2cbatCopyAdditionalBatteryInfo(additionalBatteryInfo_t* dest) {
  if (!haveReadings()) return false;
  fillAdditionalInfo(dest);
  return true;
}

void i2cbatPrintBatteryInfo(void) {
  fuelguage_t copy[I2CBAT_BATTERIES];
  uint32_t s = os_irq_disable();
  memcpy(copy, RT9426A_batteries, sizeof copy);
  systimer_t last = lastSuccessfulUpdateTime;
  os_irq_restore(s);
  systimer_t ago = (os_systime64() - last) / 1000000u;
  DBGLOG("%sUSB_POWERED; %sChargeEnabled; %sExternalPackPluggedIn; lastSuccessfulUpdateTime %u "
         "secs ago\n",
         (sysstateSystemState & sysstate_USBPowered) ? "" : "!", i2cGetChargeEnabled() ? "" : "!",
         isExternalPackPluggedIn ? "" : "!", ago > 0xFFFFFFFFull ? 0xFFFFFFFFu : (unsigned)ago);
  for (int i = 0; i < I2CBAT_BATTERIES; i++) {
    const unnamedFuelguage_t& g = copy[i].info;
    DBGLOG("(%s) Active: %u, SOC: %u, Voltage: %umV, Current: %dmA, DC: %umAh, FCC: %umAh, RC: "
           "%umAh, TTE: %um, Cycles: %u, Temp: %u\xC2\xB0K*10\n",
           copy[i].batteryName, g.batteryActive, g.stateofcharge, g.voltage, g.current,
           g.designcapacity, g.fullchargecapacity, g.reminingcapacity, g.timetoempty, g.cyclecount,
           g.internaltemp);
  }
}

// ---- The thread ------------------------------------------------------------------------------

static void resetBackoffs(void) {
  DBGLOG_TEXT("Resetting backoffs before next read");
  needToResetBackoffs = false;
  uint32_t interval = (sysstateSystemState & sysstate_BatteryLowCutoff) ? INTERVAL_MAX_US
                                                                         : INTERVAL_AFTER_CHANGE_US;
  systimer_t now = os_systime64();
  for (int i = 0; i < I2CBAT_BATTERIES; i++) {
    updateStates[i].currentUpdateInterval = interval;
    updateStates[i].whenToReadBattery = now;
  }
}

// False while the USB check could not be made.
static bool updateUSBConnectionState(void) {
  int usb = i2cIsUSBPwrDetected();
  if (usb < 0) return false;
  bool wasPackPluggedIn = isExternalPackPluggedIn;
  bool usbPowered;
  if (usb == 1) {
    if (RT9426A_Battery_INIT() < 0) {
      DBGLOG_TEXT("RT9426A_Battery_INIT() failed");
      return false;
    }
    // USB power reaching the camera through the pack charges the pack, not the camera.
    usbPowered = !isExternalPackPluggedIn;
  } else {
    usbPowered = false;
    isExternalPackPluggedIn = false;
  }
  if (usbPowered != ((sysstateSystemState & sysstate_USBPowered) != 0)) {
    sysstate_setUSBPoweredState(usbPowered);
    needToSignalBatteryStatusChange = true;
  }
  if (wasPackPluggedIn != isExternalPackPluggedIn) {
    DBGLOG("external pack %s\n", isExternalPackPluggedIn ? "plugged in" : "unplugged");
    systimer_t now = os_systime64();
    for (int i = 1; i < I2CBAT_BATTERIES; i++) updateStates[i].whenToReadBattery = now;
  }
  needToCheckUSBPower = false;
  return true;
}

// Reads one gauge; false (with the reason logged) when it could not be read.
static bool readGauge(int id, unnamedFuelguage_t* g) {
  const char* name = RT9426A_batteries[id].batteryName;
  if (RT9426A_Select_Battery(id) != 0) {
    DBGLOG("(%s) Couldn't select\n", name);
    return false;
  }
  uint16_t flag3 = 0;
  if (gaugeRead(REG_FLAG3, &flag3) != 0) {
    DBGLOG("(%s) Couldn't read REG_FLAG3\n", name);
    return false;
  }
  if (flag3 & FLAG3_NEEDS_INIT) {
    sleepUs(5000);
    if (gaugeRead(REG_FLAG3, &flag3) != 0) {
      DBGLOG("(%s) Couldn't read REG_FLAG3\n", name);
      return false;
    }
    if ((flag3 & FLAG3_NEEDS_INIT) && RT9426A_INIT() != 0) {
      DBGLOG("(%s) Initialization failed\n", name);
      return false;
    }
  }
  // In register order; read into aligned words, the record is packed.
  static const uint8_t regs[] = {REG_VOLTAGE,   REG_CURRENT,       REG_DESIGN,
                                 REG_FULL_CHARGE, REG_REMAINING,   REG_TIME_TO_EMPTY,
                                 REG_CYCLES,    REG_TEMPERATURE,   REG_SOC};
  uint16_t v[sizeof regs];
  for (unsigned i = 0; i < sizeof regs; i++) {
    if (gaugeRead(regs[i], &v[i]) != 0) return false;
  }
  g->voltage = v[0];
  g->current = (int16_t)v[1];
  g->designcapacity = v[2];
  g->fullchargecapacity = v[3];
  g->reminingcapacity = v[4];
  g->timetoempty = v[5];
  g->cyclecount = v[6];
  g->internaltemp = v[7];
  g->stateofcharge = v[8];
  g->batteryActive = 1;
  return true;
}

// Reads the gauges that are due and moves their schedules on; true when any charge changed.
static bool RT9426A_Update_Info(void) {
  systimer_t now = os_systime64();
  bool changed = false;
  for (int id = 0; id < I2CBAT_BATTERIES; id++) {
    batteryUpdateState_t& st = updateStates[id];
    if (st.whenToReadBattery > now) continue;
    unnamedFuelguage_t g;
    memset(&g, 0, sizeof g);
    if (!readGauge(id, &g)) memset(&g, 0, sizeof g);
    if (g.batteryActive && id == 0) {
      realInternalSOC = (uint8_t)(g.stateofcharge > 0xFF ? 0xFF : g.stateofcharge);
      uint16_t scaled = i2cbatScaleInternalSOC(g.stateofcharge);
      if (scaled != g.stateofcharge) {
        DBGLOG("scaled internal SOC: %u -> %u\n", g.stateofcharge, scaled);
        g.stateofcharge = scaled;
      }
    }
    uint32_t s = os_irq_disable();
    RT9426A_batteries[id].info = g;
    os_irq_restore(s);

    uint8_t last = g.batteryActive ? (uint8_t)(g.stateofcharge > 0xFE ? 0xFE : g.stateofcharge)
                                   : SOC_UNKNOWN;
    const char* name = RT9426A_batteries[id].batteryName;
    if (last != st.lastStateOfCharge) {
      bleQueueDebugConsoleMsg("(%s) SOC changed at interval %us", name,
                              (unsigned)(st.currentUpdateInterval / 1000000u));
      // On a flat battery after the cut-off a changing charge is no reason to read more often.
      st.currentUpdateInterval = (sysstateSystemState & sysstate_BatteryLowCutoff)
                                     ? INTERVAL_MAX_US
                                     : INTERVAL_AFTER_CHANGE_US;
      changed = true;
    } else {
      double grown = (double)st.currentUpdateInterval * INTERVAL_GROWTH;
      st.currentUpdateInterval =
          grown >= (double)INTERVAL_MAX_US ? INTERVAL_MAX_US : (uint32_t)grown;
      DBGLOG("(%s) SOC unchanged; increased interval to %us\n", name,
             (unsigned)(st.currentUpdateInterval / 1000000u));
    }
    st.lastStateOfCharge = last;
    st.whenToReadBattery = now + st.currentUpdateInterval;
  }
  return changed;
}

static void updateLowBatteryState(void) {
  const unnamedFuelguage_t& internal = RT9426A_batteries[0].info;
  bool usbPowered = (sysstateSystemState & sysstate_USBPowered) != 0;
  // A failed read says nothing about the battery: keep the level we had. Taking it as "not low"
  // would let a passing bus error on a flat battery leave the cut-off, which reboots the module,
  // which finds the battery flat again.
  if (!usbPowered && !internal.batteryActive) return;
  uint8_t level = usbPowered ? (uint8_t)lowBattery_NORMAL
                             : i2cbatLowBatteryLevelForVoltage(internal.voltage);
  bool changed;
  switch (level) {
    case lowBattery_CUTOFF:
      changed = sysstate_setBatteryLowCutoffState();
      break;
    case lowBattery_STOP_RECORDING:
      changed = sysstate_setBatteryLowStopRecordingState();
      break;
    case lowBattery_PREVENT_START_RECORDING:
      changed = sysstate_setBatteryLowPreventRecordingState();
      break;
    case lowBattery_ALARM:
      changed = sysstate_setBatteryLowAlarmState();
      break;
    default:
      changed = sysstate_setBatteryNOTLowState();
      break;
  }
  if (changed) needToSignalBatteryStatusChange = true;
}

// Whether charging is safe for the temperatures of the active batteries, with a latch.
static bool thermalDecision(void) {
  uint16_t largest = 0;
  bool overheated = false;
  for (int i = 0; i < I2CBAT_BATTERIES; i++) {
    const unnamedFuelguage_t& g = RT9426A_batteries[i].info;
    if (!g.batteryActive) continue;
    if (g.internaltemp > largest) largest = g.internaltemp;
    if (g.internaltemp >= TEMP_OVERHEAT_DK) {
      DBGLOG("Overheating (not charging): %u\xC2\xB0K*10\n", g.internaltemp);
      overheated = true;
      break;
    }
    if (g.internaltemp >= TEMP_OVERHEAT_CHARGING_DK && g.current > 0) {
      DBGLOG("Overheating (charging): %u\xC2\xB0K*10\n", g.internaltemp);
      overheated = true;
      break;
    }
  }
  if (overheated) {
    thermalLatch = true;
  } else if (thermalLatch) {
    if (largest < TEMP_RECOVERED_BELOW_DK) {
      thermalLatch = false;
    } else {
      DBGLOG("preventing charge en; recovering from overheat; largestTemp: %u\xC2\xB0K*10\n",
             largest);
    }
  }
  return !thermalLatch;
}

static void updateChargeEnabledState(void) {
  bool current = i2cGetChargeEnabled();
  bool wanted;
  if (!RT9426A_batteries[0].info.batteryActive) {
    wanted = false;
  } else if (sysstateSystemState & sysstate_USBPowered) {
    wanted = thermalDecision();
  } else if (!isExternalPackPluggedIn) {
    wanted = false;
  } else if (realInternalSOC < PACK_CHARGE_BELOW_SOC) {
    wanted = thermalDecision();
  } else if (realInternalSOC > PACK_STOP_ABOVE_SOC) {
    wanted = false;
  } else {
    wanted = current && thermalDecision();
  }
  if (wanted != current) {
    i2cWriteChargeEnabled(wanted);
    DBGLOG("Charge state changed: %s\n", wanted ? "enabled" : "disabled");
  } else {
    DBGLOG("Charge state unchanged: %s\n", wanted ? "enabled" : "disabled");
  }
}

static void signalBatteryStatusChange(void) {
  needToSignalBatteryStatusChange = false;
  statMarkStatusBits(KAStatus_batteryStatusChanged, 0xFFFFFFFFu);
  bool queued = bleQueueStateChangeMsg(BLE_STATE_CHANGE_BATTERY_LEVEL);
  DBGLOG("(BLE-%s) stateChange: %s\n", queued ? "QD" : "NQ", "BLE_STATE_CHANGE_BATTERY_LEVEL");

  memset(&batteryInfoMsg, 0, sizeof batteryInfoMsg);
  fillAdditionalInfo(&batteryInfoMsg.additionalInfo);
  uint32_t s = os_irq_disable();
  for (int i = 0; i < I2CBAT_BATTERIES; i++) batteryInfoMsg.batteries[i] = RT9426A_batteries[i].info;
  os_irq_restore(s);
  errorCodes res = stmsgTxRx_debugPrint(&batteryInfoMsg, sizeof batteryInfoMsg, CMD_setBatteryInfo,
                                        &batteryInfoMsg, sizeof batteryInfoMsg,
                                        SET_BATTERY_INFO_TIMEOUT_MS);
  if (res == ERRORCODE_SUCCESS) {
    DBGLOG("Set battery info with STM32\n");
  } else {
    DBGLOG_TEXT("ERROR!! Failed to set battery info with STM32");
  }
  i2cbatPrintBatteryInfo();
}

static uint32_t usecsUntilNextRead(void) {
  systimer_t next = SYSTIMER_NEVER;
  for (int i = 0; i < I2CBAT_BATTERIES; i++) {
    if (updateStates[i].whenToReadBattery < next) next = updateStates[i].whenToReadBattery;
  }
  systimer_t now = os_systime64();
  if (next <= now) return 0;
  systimer_t left = next - now;
  return left > 0x7FFFFFFFull ? 0x7FFFFFFFu : (uint32_t)left;
}

static void* i2cbat_thread(void* arg) {
  (void)arg;
  int found = RT9426A_Battery_INIT();
  DBGLOG("Found %d batteries\n", found);
  needToCheckUSBPower = true;
  int usbRetries = 0;
  for (;;) {
    if (needToResetBackoffs) resetBackoffs();
    bool usbCheckFailed = false;
    if (needToCheckUSBPower) usbCheckFailed = !updateUSBConnectionState();
    if (RT9426A_Update_Info()) needToSignalBatteryStatusChange = true;
    updateLowBatteryState();
    updateChargeEnabledState();
    uint32_t s = os_irq_disable();
    lastSuccessfulUpdateTime = os_systime64();
    os_irq_restore(s);
    if (needToSignalBatteryStatusChange) signalBatteryStatusChange();

    uint32_t wait = usecsUntilNextRead();
    if (usbCheckFailed && usbRetries < USB_RETRY_PASSES) {
      usbRetries++;
      if (wait > USB_RETRY_WAIT_US) wait = USB_RETRY_WAIT_US;
    } else if (usbCheckFailed) {
      needToCheckUSBPower = false;  // until the next USB interrupt
      usbRetries = 0;
    } else {
      usbRetries = 0;
    }
    if (wait == 0) {
      os_sem_wait_timeout(&i2cbat_thread_semaphore, 0);
    } else {
      os_sem_wait_timeout(&i2cbat_thread_semaphore, wait);
    }
  }
  return nullptr;
}

void i2cbatBattery_Init(void) {
  DBGLOG_ENTRY();
  os_sem_init(&i2cbat_thread_semaphore, 1);
  for (int i = 0; i < I2CBAT_BATTERIES; i++) {
    updateStates[i].currentUpdateInterval = INTERVAL_AFTER_CHANGE_US;
    updateStates[i].whenToReadBattery = 0;
    updateStates[i].lastStateOfCharge = SOC_UNKNOWN;
  }
}

void i2cbatBattery_StartThreads(void) {
  if (os_create_thread("i2cbat", i2cbat_thread, nullptr, I2CBAT_THREAD_PRIORITY,
                       I2CBAT_THREAD_STACK_BYTES) == nullptr) {
    DBGLOG_TEXT("ERROR!! os_create_thread() failed for i2cbat");
  }
}

void i2cbatWakeupForUSBCheck(void) {
  needToCheckUSBPower = true;
  os_sem_post(&i2cbat_thread_semaphore);
}

void i2cbatWakeupForBackoffReset(void) {
  needToResetBackoffs = true;
  ostsSemaphorePostIfZero_ISRsafe(&i2cbat_thread_semaphore);
}

void i2cbatBackoffAllBatteries(void) {
  systimer_t next = os_systime64() + INTERVAL_MAX_US;
  for (int i = 0; i < I2CBAT_BATTERIES; i++) {
    updateStates[i].currentUpdateInterval = INTERVAL_MAX_US;
    updateStates[i].whenToReadBattery = next;
  }
}
