#include "statStatus/statStatus.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "os.h"

// Levels, not events: the server's acknowledgement never clears them.
#define STAT_LEVEL_BITS \
  ((uint32_t)(KAStatus_recordingIsStoppedAndDisabled_SDerror | \
              KAStatus_recordingIsStoppedAndDisabled_SDfull))

static volatile uint32_t statStatus;

void statStatus_Init(void) {
  DBGLOG_ENTRY();
  statMarkStatusBits(KAStatus_InnophaseRebooted, 0xFFFFFFFFu);
}

uint32_t statGetStatus(void) { return statStatus; }

void statMarkStatusBits(uint32_t mask, uint32_t pattern) {
  uint32_t s = os_irq_disable();
  uint32_t oldStatus = statStatus;
  uint32_t newStatus = (oldStatus & ~mask) | (pattern & mask);
  statStatus = newStatus;
  os_irq_restore(s);
  if (newStatus == oldStatus) return;

  char bits[33];
  for (int i = 0; i < 32; i++) bits[i] = (newStatus & (0x80000000u >> i)) ? '1' : '0';
  bits[32] = '\0';
  DBGLOG("new KAstatus: %s\n", bits);
}

uint32_t statClearStatus(uint32_t lastKnownStatus) {
  uint32_t toClear = lastKnownStatus & ~STAT_LEVEL_BITS;
  uint32_t s = os_irq_disable();
  uint32_t oldStatus = statStatus;
  uint32_t newStatus = oldStatus & ~toClear;
  statStatus = newStatus;
  os_irq_restore(s);

  uint32_t clearedBits = oldStatus ^ newStatus;
  DBGLOG("before: 0x%08X, after: 0x%08X, lastKnownStatus: 0x%08X, clearedBits: 0x%08X\n",
         (unsigned)oldStatus, (unsigned)newStatus, (unsigned)toClear, (unsigned)clearedBits);
  return clearedBits;
}
