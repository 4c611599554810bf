// The LiveView command and the stop time of the stream. The frames themselves travel through the
// SPI channel into the TCP connection.
#include "ucsl3UDPCameraServerLayer3/chCommandHandlers/chlvLiveView.h"

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "tcpTCPTransfer/tcpTCPTransfer.h"

static volatile bool isLiveViewSelected;
static uint32_t lastCmdSeqNum;
static volatile systimer_t whenToStopLiveView;

void abortLiveView(const char* func_name) {
  whenToStopLiveView = 0;
  isLiveViewSelected = false;
  // Shell: no frame task can be queued until the SPI channel takes tasks.
  DBGLOG_TEXT("no live view task to remove from SPI queue");
  DBGLOG("aborted live view from %s\n", func_name);
}

// Shell: the frame task comes with the SPI channel, so live view ends as a failed queueing does.
static void queueLiveViewFrame(void) {
  DBGLOG_TEXT("unable to queue live view spi task");
  abortLiveView("queueLiveViewFrame");
}

static void chlvStartStop(const char* func_name, uint32_t durationSeconds,
                          uint32_t serverCmdSeqNum) {
  lastCmdSeqNum = serverCmdSeqNum;
  if (durationSeconds == 0) {
    abortLiveView(func_name);
    return;
  }
  DBGLOG("starting live view for %us from %s\n", (unsigned)durationSeconds, func_name);
  whenToStopLiveView = os_systime64() + (systimer_t)durationSeconds * 1000000u;
  isLiveViewSelected = true;
  queueLiveViewFrame();
}

errorCodes chlvLiveView(udpControlBlock_t* cb) {
  const stcLiveView_t* rx = (const stcLiveView_t*)cb->rxStcMsgPtr;
  ctsLiveView_t* reply = (ctsLiveView_t*)cb->txCtsMsgBuffer;
  if (ctsStcHeader_getCmdID(&rx->header) != cmdID_cts_stc_LiveView) {
    DBGLOG("ERROR!! Unexpected cmdID passed from layer 3\n");
    return ERRORCODE_TEMPORARY_ERROR;
  }
  if (!tcpOpen("CameraServer", rx->tcpPort)) {
    DBGLOG_TEXT("tcpOpen failed");
    abortLiveView("chlvLiveView");
    reply->status = ERRORCODE_TEMPORARY_ERROR;
    return ERRORCODE_SUCCESS;
  }
  reply->status = 0;
  chlvStartStop("chlvLiveView", rx->durationSeconds, rx->header.cmdSequenceNumber);
  return ERRORCODE_SUCCESS;
}

systimer_t chlvLiveView_Poll(void) {
  if (!isLiveViewSelected) return SYSTIMER_NEVER;
  if (os_systime64() < whenToStopLiveView) return whenToStopLiveView;
  abortLiveView("chlvLiveView_Poll");
  // Shell: the end marker needs a TX buffer of the data plane.
  DBGLOG("ERROR!! txGetBufferPointer failed\n");
  return SYSTIMER_NEVER;
}
