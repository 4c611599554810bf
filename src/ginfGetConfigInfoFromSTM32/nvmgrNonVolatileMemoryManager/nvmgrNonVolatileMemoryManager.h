// The module's own settings, kept in the STM32's non-volatile memory as 64-byte blocks: the value,
// then the CRC-32 of the value bytes.
#ifndef NVMGR_NON_VOLATILE_MEMORY_MANAGER_H
#define NVMGR_NON_VOLATILE_MEMORY_MANAGER_H

#include <stdint.h>

enum nvmblock_t : uint16_t {
  NVM_BLOCK_TIMEZONE_OFFSET = 0,
  NVM_BLOCK_DEPRECATED = 1,
};

void nvmgrNonVolatileMemoryManager_Init(void);
// Reads the time-zone offset (minutes east of UTC). A block whose CRC does not match still yields
// its value. False when the STM32 could not be asked.
bool nvmReadTimezoneOffset(int16_t* offset);
// Writes the offset; true when the STM32 accepted it and echoed it back.
bool nvmSetTimezoneOffset(const int16_t* offset);

#endif  // NVMGR_NON_VOLATILE_MEMORY_MANAGER_H
