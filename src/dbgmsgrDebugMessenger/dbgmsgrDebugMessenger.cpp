#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

#include <stdio.h>
#include <string.h>

#include "os.h"
#include "utilities/utilities.h"

static uint32_t packetNumber;
static char packetNumberText[12];
static char dbmsgr_string_for_DEBUG_PRINT[DBGMSGR_LINE_MAX];

void dbgmsgrDebugMessenger_parseModuleNameFromFILE(const char* filePath, char* moduleName,
                                                   uint32_t moduleNameSize) {
  if (moduleNameSize == 0) return;
  const char* fileName = strrchr(filePath, '/');
  fileName = fileName ? fileName + 1 : filePath;
  uint32_t n = 0;
  while (n + 1 < moduleNameSize) {
    char c = fileName[n];
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) break;
    moduleName[n] = c;
    n++;
  }
  if (n == 0) {
    while (n + 1 < moduleNameSize && fileName[n] != '\0') {
      moduleName[n] = fileName[n];
      n++;
    }
  }
  moduleName[n] = '\0';
}

char* dbgmsgrDebugMessenger_createDebugMessageV_ISRsafe(bool doIncrementPacketNumber,
                                                        const char* thisModuleName,
                                                        const char* funcName, uint16_t lineNum,
                                                        const char* fmt, va_list args) {
  if (doIncrementPacketNumber) packetNumber++;
  snprintf(packetNumberText, sizeof packetNumberText, "%04u ", (unsigned)packetNumber);
  char* line = dbmsgr_string_for_DEBUG_PRINT;
  const size_t room = DBGMSGR_LINE_MAX - 1;
  int n = snprintf(line, room + 1, "%s %s: %s::%s() @%hu: ", packetNumberText,
                   uSecsToDisplayStringAll(os_systime64()), thisModuleName, funcName, lineNum);
  size_t used = n < 0 ? 0 : ((size_t)n > room ? room : (size_t)n);
  if (used < room) vsnprintf(line + used, room + 1 - used, fmt, args);
  line[room] = '\0';
  return line;
}

char* dbgmsgrDebugMessenger_createDebugMessage_ISRsafe(bool doIncrementPacketNumber,
                                                       const char* thisModuleName,
                                                       const char* funcName, uint16_t lineNum,
                                                       const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char* line = dbgmsgrDebugMessenger_createDebugMessageV_ISRsafe(
      doIncrementPacketNumber, thisModuleName, funcName, lineNum, fmt, args);
  va_end(args);
  return line;
}

void dbgmsgrDebugMessenger_DebugSend(char* str) {
  if (str && str[0] != '\0') os_printf("%s", str);
}

void dbgmsgrDebugMessenger_Log(char* moduleName, const char* filePath, const char* funcName,
                               uint16_t lineNum, const char* fmt, ...) {
  // One shared line buffer: build and send under the interrupt mask so that lines of different
  // threads (and of interrupt handlers) never mix.
  uint32_t irq = os_irq_disable();
  if (moduleName[0] == '\0')
    dbgmsgrDebugMessenger_parseModuleNameFromFILE(filePath, moduleName, DBGMSGR_MODULE_NAME_SIZE);
  va_list args;
  va_start(args, fmt);
  char* line = dbgmsgrDebugMessenger_createDebugMessageV_ISRsafe(true, moduleName, funcName,
                                                                 lineNum, fmt, args);
  va_end(args);
  dbgmsgrDebugMessenger_DebugSend(line);
  os_irq_restore(irq);
}

void dbgmsgrDebugMessenger_EnableDebugToServer(void) {
  // Sending log lines to the camera server is not switched on: the console stays the only sink.
  DBGLOG_TEXT("Enabling debug to server");
}
