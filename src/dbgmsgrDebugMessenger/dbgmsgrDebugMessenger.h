// The log facility: every line goes to the serial console with the header
// "%04u  <time stamp>: <module>::<function>() @<line>: " followed by the message.
#ifndef DBGMSGR_DEBUG_MESSENGER_H
#define DBGMSGR_DEBUG_MESSENGER_H

#include <stdarg.h>
#include <stdint.h>

#define DBGMSGR_LINE_MAX 512        // a line is at most 511 characters
#define DBGMSGR_MODULE_NAME_SIZE 12

// Fills `moduleName` with the module prefix of `filePath`'s file name: its leading lower-case
// letters and digits, or the whole file name when it starts otherwise; cut to moduleNameSize-1.
void dbgmsgrDebugMessenger_parseModuleNameFromFILE(const char* filePath, char* moduleName,
                                                   uint32_t moduleNameSize);

// Builds a line in the shared line buffer and returns it. Takes no lock and never blocks, so it
// may run in interrupt context; the line must be sent before the next one is built.
char* dbgmsgrDebugMessenger_createDebugMessage_ISRsafe(bool doIncrementPacketNumber,
                                                       const char* thisModuleName,
                                                       const char* funcName, uint16_t lineNum,
                                                       const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));
char* dbgmsgrDebugMessenger_createDebugMessageV_ISRsafe(bool doIncrementPacketNumber,
                                                        const char* thisModuleName,
                                                        const char* funcName, uint16_t lineNum,
                                                        const char* fmt, va_list args);

// Prints a built line on the console; an empty line is dropped.
void dbgmsgrDebugMessenger_DebugSend(char* str);

// Logs "Enabling debug to server"; lines still go to the console only.
void dbgmsgrDebugMessenger_EnableDebugToServer(void);

// The calling pattern of every module: fill the module's name on its first line, then build and
// send one line while holding the log lock, so that lines of different threads never mix.
void dbgmsgrDebugMessenger_Log(char* thisModuleName, const char* filePath, const char* funcName,
                               uint16_t lineNum, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));

// One per source file: filled from __FILE__ on the file's first log line.
[[maybe_unused]] static char thisModuleName[DBGMSGR_MODULE_NAME_SIZE];

// Logs a line from the calling function.
#define DBGLOG(...) \
  dbgmsgrDebugMessenger_Log(thisModuleName, __FILE__, __func__, (uint16_t)__LINE__, __VA_ARGS__)
// Logs a line under another function's name.
#define DBGLOG_AS(funcName, ...) \
  dbgmsgrDebugMessenger_Log(thisModuleName, __FILE__, funcName, (uint16_t)__LINE__, __VA_ARGS__)
// Logs a plain text through the "%s\n" format.
#define DBGLOG_TEXT(text) DBGLOG("%s\n", text)
// The entry line of an _Init: the header with empty text.
#define DBGLOG_ENTRY() DBGLOG("%s\n", "")

#endif  // DBGMSGR_DEBUG_MESSENGER_H
