#include "ginfGetConfigInfoFromSTM32/nvmgrNonVolatileMemoryManager/nvmgrNonVolatileMemoryManager.h"

#include <string.h>

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "os.h"
#include "stmsgSTM32Message/stmsgMessages.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"
#include "utilities/utilities.h"

#define NVM_TIMEOUT_MS 7000u

// Block layout: the value from byte 0, its CRC-32 (little-endian) right after it.
#define NVM_TZ_VALUE_BYTES 2u
#define NVM_TZ_CRC_AT NVM_TZ_VALUE_BYTES

static CameraGetSetNonVolatileMemoryMessage nvmMsg;  // under nvmMsgLock
static struct os_semaphore nvmMsgLock = {1, {nullptr, nullptr}};

// The standard CRC-32 (reflected 0x04C11DB7, initial all ones, final complement).
static uint32_t crc32(const uint8_t* data, size_t len) {
  return ~crc32_update(0xFFFFFFFFu, data, len);
}

static void putLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}

static uint32_t getLE32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v |= (uint32_t)p[i] << (8 * i);
  return v;
}

void nvmgrNonVolatileMemoryManager_Init(void) { DBGLOG_ENTRY(); }

bool nvmReadTimezoneOffset(int16_t* offset) {
  if (offset == nullptr) return false;
  os_sem_wait(&nvmMsgLock);
  memset(&nvmMsg, 0, sizeof nvmMsg);
  nvmMsg.address = NVM_BLOCK_TIMEZONE_OFFSET;
  errorCodes res = stmsgTxRx_debugPrint(&nvmMsg, sizeof nvmMsg, CMD_getNonVolatileMemory, &nvmMsg,
                                        sizeof nvmMsg, NVM_TIMEOUT_MS);
  if (res != ERRORCODE_SUCCESS) {
    os_sem_post(&nvmMsgLock);
    DBGLOG("ERROR!! couldn't read block %d; res: %d\n", (int)NVM_BLOCK_TIMEZONE_OFFSET, (int)res);
    return false;
  }
  const uint8_t* data = nvmMsg.data;
  uint32_t stored = getLE32(data + NVM_TZ_CRC_AT);
  uint32_t computed = crc32(data, NVM_TZ_VALUE_BYTES);
  int16_t value = (int16_t)(uint16_t)(data[0] | (data[1] << 8));
  os_sem_post(&nvmMsgLock);

  if (stored != computed) {
    DBGLOG("WARNING!! CRC32 mismatch for block %d\n", (int)NVM_BLOCK_TIMEZONE_OFFSET);
    DBGLOG_TEXT("the crc mismatch is ignored in this build");
  }
  *offset = value;
  return true;
}

bool nvmSetTimezoneOffset(const int16_t* offset) {
  if (offset == nullptr) return false;
  uint8_t value[NVM_TZ_VALUE_BYTES] = {(uint8_t)((uint16_t)*offset & 0xFF),
                                       (uint8_t)((uint16_t)*offset >> 8)};
  os_sem_wait(&nvmMsgLock);
  memset(&nvmMsg, 0, sizeof nvmMsg);
  nvmMsg.address = NVM_BLOCK_TIMEZONE_OFFSET;
  memcpy(nvmMsg.data, value, sizeof value);
  putLE32(nvmMsg.data + NVM_TZ_CRC_AT, crc32(value, sizeof value));
  errorCodes res = stmsgTxRx_debugPrint(&nvmMsg, sizeof nvmMsg, CMD_setNonVolatileMemory, &nvmMsg,
                                        sizeof nvmMsg, NVM_TIMEOUT_MS);
  bool echoed = memcmp(nvmMsg.data, value, sizeof value) == 0;
  os_sem_post(&nvmMsgLock);

  if (res != ERRORCODE_SUCCESS) {
    DBGLOG("ERROR!! couldn't write block %d; res: %d\n", (int)NVM_BLOCK_TIMEZONE_OFFSET, (int)res);
    return false;
  }
  if (!echoed) {
    DBGLOG("ERROR!! block %d was not echoed as written\n", (int)NVM_BLOCK_TIMEZONE_OFFSET);
    return false;
  }
  return true;
}
