// Keep-alives carry the server's clock; only a keep-alive newer than any taken before may move
// the camera's clock, so a late or repeated datagram cannot set it back.
#include "ucsl2UDPCameraServerLayer2/KeepAlive/csKeepAlive.h"

#include <string.h>
#include <time.h>

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "statStatus/statStatus.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "ucscUDPCameraServerCommon/ucscUDPCameraServerCommon.h"
#include "ucsl2UDPCameraServerLayer2/ucsl2UDPCameraServerLayer2.h"
#include "utilities/utilities.h"

static uint32_t largestSeenPacketSequenceNumber;
static uint32_t prevSysstate;

void csKeepAlive_Init(void) { DBGLOG_ENTRY(); }

void kaHandleSysstateChanges(void) {
  uint32_t now = sysstateSystemState;
  if ((prevSysstate & sysstate_WiFiSessionIsOpen) != 0 && (now & sysstate_WiFiSessionIsOpen) == 0) {
    largestSeenPacketSequenceNumber = 0;
  }
  uint32_t irq = os_irq_disable();
  prevSysstate = now;
  os_irq_restore(irq);
}

// The server's clock text as a time; 0 unless the field holds exactly the UTC form
// "YYYY-MM-DDTHH:MM:SS" within its bytes (the form with a zone does not fit the field).
static time_t keepAliveTime(const stcKeepAlive_t* ka, char* text, size_t textSize) {
  memcpy(text, ka->iso8601Time, sizeof ka->iso8601Time);
  text[textSize - 1] = '\0';
  if (strlen(text) != ISO8601_LEN_WITHOUT_TZ) return 0;
  return iso8601str_to_localTime_as_time_t_and_tzOffset(text, nullptr);
}

static void handleKeepAlive(udpControlBlock_t* cb) {
  const stcKeepAlive_t* rx = (const stcKeepAlive_t*)cb->rxStcMsgPtr;
  ctsKeepAlive_t* reply = (ctsKeepAlive_t*)cb->txCtsMsgBuffer;
  uint32_t pktSeq = rx->header.packetSequenceNumber;
  if (pktSeq > largestSeenPacketSequenceNumber) {
    largestSeenPacketSequenceNumber = pktSeq;
    char text[sizeof rx->iso8601Time + 1];
    time_t t = keepAliveTime(rx, text, sizeof text);
    if (t == 0) {
      DBGLOG("ERROR!! Failed to parse ISO8601 string: %s\n", text);
    } else {
      ginfSetClock(&cb->timeReceived, &t, DATA_AUTHORITY_WiFi);
    }
  } else {
    DBGLOG("packetSeqNum out of order (%u <= %u); stale clock, no update\n", pktSeq,
           largestSeenPacketSequenceNumber);
  }
  reply->status = statGetStatus();
  cb->txCtsMsgBytes = sizeof(ctsKeepAlive_t);
  ucsl2UDPCameraServerLayer2_Send(cb);
}

static void handleClearKAStatus(udpControlBlock_t* cb) {
  const stcClearKAStatus_t* rx = (const stcClearKAStatus_t*)cb->rxStcMsgPtr;
  uint32_t cleared = statClearStatus(rx->lastKnownStatus);
  if ((cleared & KAStatus_registrationCodeChanged) != 0) {
    DBGLOG_TEXT("Clearing registration code and userUID");
    ginfQueueRegistrationCodeUpdate(nullptr);
    ginfQueueClearUserUID();
  }
  cb->txCtsMsgBytes = CTS_STC_HEADER_SIZE;
  ucsl2UDPCameraServerLayer2_Send(cb);
}

void KeepAlive_ProcessCommand(udpControlBlock_t* cb) {
  const cts_stc_MessageHeader_t* rxHdr = (const cts_stc_MessageHeader_t*)cb->rxStcMsgPtr;
  cmdID id = ctsStcHeader_getCmdID(rxHdr);
  if (id != cmdID_cts_stc_KeepAlive && id != cmdID_cts_stc_ClearKAStatus) {
    DBGLOG("ERROR!! Unexpected cmdID %u passed from layer 2\n", id);
    return;
  }
  // The reply's header is prepared before anything else: a message addressed to another camera
  // must neither set the clock nor clear status bits.
  if (!ucscPrepareTXHeaderForCameraServer(rxHdr, (cts_stc_MessageHeader_t*)cb->txCtsMsgBuffer)) {
    return;
  }
  if (id == cmdID_cts_stc_KeepAlive) {
    handleKeepAlive(cb);
  } else {
    handleClearKAStatus(cb);
  }
}
