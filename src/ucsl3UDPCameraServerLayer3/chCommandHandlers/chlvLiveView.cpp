// The LiveView command and the stop time of the stream. The frames themselves travel through the
// SPI channel into the TCP connection, one SPI task per frame, re-queued from its own clean-up.
#include "ucsl3UDPCameraServerLayer3/chCommandHandlers/chlvLiveView.h"

#include "camifCameraInterface/camifCameraInterface.h"
#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "spi2fpgaSPItoFPGA/spi2fpgaSPItoFPGA.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "tcpTCPTransfer/tcpTCPTransfer.h"

#define CHLV_FRAME_TIMEOUT_MS 60000u
#define CHLV_END_MARKER_BUFFER_MS 5000u
#define CHLV_FRAME_COUNT_UNTIL_STOPPED 16777215u

static volatile bool isLiveViewSelected;
static volatile uint32_t lastCmdSeqNum;
static volatile systimer_t whenToStopLiveView;
// A frame's session is under way on the SPI thread. The end marker must not go out while it is:
// it carries the frame's sequence number and would land inside the frame's bytes. It is then left
// to the frame's clean-up (endMarkerPending).
static volatile bool frameInTransfer;
static volatile bool endMarkerPending;
// The TCP connection the frame in transfer started on. A LiveView command while streaming opens a
// new connection, and the frame then in transfer is lost with the old one: that is no failure of
// the stream, which goes on with the next frame on the new connection.
static volatile int32_t frameConnection;

static void sendEndMarker(void) {
  XferBufHandle_t h = txGetAndLockEmptyBuffer(CHLV_END_MARKER_BUFFER_MS);
  if (txGetBufferPointer(h) == nullptr) {
    DBGLOG("ERROR!! txGetBufferPointer failed\n");
    txUnlockBuffer(&h);
    return;
  }
  if (!tcpSendTXBuffer(h, (tcpCmdID)TCP_CMD_ID_LIVE_VIEW_END, 12, 12, lastCmdSeqNum,
                       ERRORCODE_SUCCESS)) {
    txUnlockBuffer(&h);  // a refused buffer is still ours
    return;
  }
  DBGLOG_TEXT("sent live view end");
}

void abortLiveView(const char* func_name) {
  whenToStopLiveView = 0;
  isLiveViewSelected = false;
  if (spi2fpgaDequeueTask(spiDataSrcFlag_LiveView)) {
    DBGLOG_TEXT("removed live view task from SPI queue");
  } else {
    DBGLOG_TEXT("no live view task to remove from SPI queue");
  }
  DBGLOG("aborted live view from %s\n", func_name);
}

static enum errorCodes initLiveView_spiCB(spi2fpgaCallbackType type,
                                          volatile spiMessage_t* /*message*/,
                                          volatile spiTask_t* task) {
  if (type == SPI2FPGA_CB_INIT_ON_QUEUE)
    return isLiveViewSelected ? ERRORCODE_SUCCESS : ERRORCODE_TEMPORARY_ERROR;
  if (!isLiveViewSelected) return ERRORCODE_TEMPORARY_ERROR;
  frameInTransfer = true;
  frameConnection = tcpConnectionNumber();
  task->tcpCmdSeqNum = lastCmdSeqNum;
  uint32_t sig = 0;
  errorCodes rc = camifSend_MODE_LIVE_VIEW_W_SETTINGS(
      "initLiveView_spiCB", LV_SCALE_768x432, CHLV_FRAME_COUNT_UNTIL_STOPPED, &sig);
  task->cameraMessageCommandSignature = sig;
  return rc;
}

static enum errorCodes cleanupLiveView_spiCB(spi2fpgaCallbackType type,
                                             volatile spiMessage_t* /*message*/,
                                             volatile spiTask_t* task) {
  uint32_t irq = os_irq_disable();
  frameInTransfer = false;
  bool marker = endMarkerPending;
  endMarkerPending = false;
  os_irq_restore(irq);
  if (marker) sendEndMarker();
  bool lostWithOldConnection = type == SPI2FPGA_CB_ERROR &&
                               frameConnection != tcpConnectionNumber() &&
                               (sysstateSystemState & sysstate_TCPConnectionIsOpen) != 0;
  if ((type != SPI2FPGA_CB_ERROR || lostWithOldConnection) && isLiveViewSelected) {
    spi2fpgaRequeueCurrentTask(task);
  } else {
    abortLiveView("cleanupLiveView_spiCB");
    camifStopLiveView("cleanupLiveView_spiCB");
    spi2fpgaDequeueTask(spiDataSrcFlag_LiveView);
  }
  return ERRORCODE_SUCCESS;
}

static void queueLiveViewFrame(void) {
  if (spi2fpgaQueueTask_tcpTX(spiDataSrcFlag_LiveView, nullptr, initLiveView_spiCB,
                              initLiveView_spiCB, nullptr, cleanupLiveView_spiCB,
                              CHLV_FRAME_TIMEOUT_MS, 1)) {
    DBGLOG_TEXT("queued live view spi task");
  } else {
    DBGLOG_TEXT("unable to queue live view spi task");
    abortLiveView("queueLiveViewFrame");
  }
}

void chlvStartStop(const char* func_name, uint32_t durationSeconds, uint32_t serverCmdSeqNum) {
  lastCmdSeqNum = serverCmdSeqNum;
  if (durationSeconds == 0) {
    abortLiveView(func_name);
    return;
  }
  DBGLOG("starting live view for %us from %s\n", (unsigned)durationSeconds, func_name);
  whenToStopLiveView = os_systime64() + (systimer_t)durationSeconds * 1000000u;
  bool streaming = isLiveViewSelected;
  isLiveViewSelected = true;
  // A stream already running keeps its one task (queued, or re-queued by the frame in transfer)
  // and just takes the new stop time and sequence number; queueing a second would block this
  // thread until the first ends, which it never does while live view is selected.
  if (streaming) {
    DBGLOG_TEXT("queued live view spi task");
    return;
  }
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
  uint32_t irq = os_irq_disable();
  bool later = frameInTransfer;
  if (later) endMarkerPending = true;
  os_irq_restore(irq);
  if (!later) sendEndMarker();
  return SYSTIMER_NEVER;
}
