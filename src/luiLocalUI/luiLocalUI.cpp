// Shell: the button handling and the "lui" thread come with the local UI.
#include "luiLocalUI/luiLocalUI.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

void luiLocalUI_Init(void) { DBGLOG_ENTRY(); }

void luiLocalUI_StartThreads(void) {}

// Shell: the press queue comes with the "lui" thread; until then presses are dropped.
void queueIncomingButtonMsg(uint16_t /*button*/) {}
