// Start-up and the main loop: the banner, the firmware-update check before anything else, the
// modules' initialisation and thread start in a fixed order, then a poll loop over six modules
// that sleeps until the earliest time any of them asked for, at most 3 s.
#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"
#include "camifCameraInterface/camifCameraInterface.h"
#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "dsDeepSleep/dsDeepSleep.h"
#include "fwudFirmwareUpdater/fwudFirmwareUpdater.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "i2cDevices/i2cDevices.h"
#include "i2cDevices/i2cbatBattery/i2cbatBattery.h"
#include "i2cDevices/i2cledmgrLEDManager/i2cledmgrLEDManager.h"
#include "iupqIncomingUDPPacketQueue/iupqIncomingUDPPacketQueue.h"
#include "luiLocalUI/luiLocalUI.h"
#include "main/fwVersion.h"
#include "mtcMainThreadControl/mtcMainThreadControl.h"
#include "os.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"
#include "semtmoSemaphoreTimeoutWorker/semtmoSemaphoreTimeoutWorker.h"
#include "spi2fpgaSPItoFPGA/spi2fpgaSPItoFPGA.h"
#include "srStatisticsReporter/srStatisticsReporter.h"
#include "statStatus/statStatus.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "tcpTCPTransfer/tcpTCPTransfer.h"
#include "tcpTCPTransfer/txbufBuffers/txbufBuffers.h"
#include "tcsl1TCPCameraServerLayer1/tcsl1TCPCameraServerLayer1.h"
#include "ucscUDPCameraServerCommon/ucscUDPCameraServerCommon.h"
#include "ucsl1UDPCameraServerLayer1/ucsl1UDPCameraServerLayer1.h"
#include "ucsl2UDPCameraServerLayer2/ucsl2UDPCameraServerLayer2.h"
#include "ucsl3UDPCameraServerLayer3/ucsl3UDPCameraServerLayer3.h"
#include "utilities/utilities.h"
#include "whWorkHandler/whWorkHandler.h"
#include "wifiWiFi/wifiWiFi.h"


// The largest camera-to-server and server-to-camera datagrams (GetBatteryStatus and OpenSession).
static const int kLargestCtsMsg = 180;
static const int kLargestStcMsg = 68;

static const uint32_t kMaxSleepUsecs = 3000000;
static const uint32_t kDuePauseUsecs = 5000;
static const int kMainThreadPriority = 6;

typedef systimer_t (*pollFn)(systimer_t next);
struct modulePoll {
  pollFn poll;
  const char* name;
};

// Not const and not static: the host's system tests put a stand-in module into a slot to ask for
// early polls and wake-ups.
extern modulePoll mainModulePolls[6];
modulePoll mainModulePolls[6] = {
    {bleBluetoothLowEnergy_Poll, "bleBluetoothLowEnergy"},
    {wifiWiFi_Poll, "wifiWiFi"},
    {ginfGetConfigInfoFromSTM32_Poll, "ginfGetConfigInfoFromSTM32"},
    {tcpTCPTransfer_Poll, "tcpTCPTransfer"},
    {ucsl3UDPCameraServerLayer3_Poll, "ucsl3UDPCameraServerLayer3"},
    {srStatisticsReporter_Poll, "srStatisticsReporter"},
};

static void main_Init_beforeFWUD(void) {
  int oldPrio = os_set_prio(kMainThreadPriority);
  DBGLOG("main thread priority changed from %d to %d\n", oldPrio, kMainThreadPriority);
}

static void main_initModules(void) {
  whWorkHandler_Init();
  stmsgSTM32Message_Init();
  mtcMainThreadControl_Init();
  sysstateSystemState_Init();
  i2cDevices_Init();
  ginfGetConfigInfoFromSTM32_Init();
  ucscUDPCameraServerCommon_Init();
  ucsl1UDPCameraServerLayer1_Init();
  ucsl2UDPCameraServerLayer2_Init();
  tcsl1TCPCameraServerLayer1_Init();
  tcpTCPTransfer_Init();
  bleBluetoothLowEnergy_Init();
  spi2fpgaSPItoFPGA_Init();
  luiLocalUI_Init();
  semtmoSemaphoreTimeoutWorker_Init();
  dsDeepSleep_Init();
  statStatus_Init();
}

static void main_startThreads(void) {
  i2cDevices_StartThreads();
  i2cledmgrLEDManager_StartThreads();
  luiLocalUI_StartThreads();
  ucsl2UDPCameraServerLayer2_StartThreads();
  txbufBuffers_StartThreads();
  tcsl1TCPCameraServerLayer1_StartThreads();
  spi2fpgaSPItoFPGA_StartThreads();
  semtmoSemaphoreTimeoutWorker_StartThreads();
  i2cbatBattery_StartThreads();
  whWorkHandler_StartThreads();
}

// One pass: poll every module, then sleep until the earliest wake-up asked for.
static void main_loopPass(void) {
  systimer_t next = os_systime64() + kMaxSleepUsecs;
  for (const modulePoll& m : mainModulePolls) {
    systimer_t wanted = m.poll(next);
    if (wanted < next) {
      DBGLOG("%s said wakeup in %u mSecs\n", m.name, mSecsUntil(wanted));
      next = wanted;
    }
  }
  systimer_t now = os_systime64();
  if (next <= now || (uint32_t)(next - now) == 0) {
    os_sleep_us(kDuePauseUsecs, OS_TIMEOUT_WAKEUP);
    return;
  }
  uint32_t sleepUsecs = (uint32_t)(next - now);
  DBGLOG("sleeping for %u mSecs; main; RX: %u secs ago, %u total, %u big, %u frag; TX: %u secs "
         "ago, %u total; L2Q: %u/%u; L3Q: %u/%u\n",
         sleepUsecs / 1000, secsSince(ucscTimeOfLastMsgFromCameraServer), ucscRxCount,
         ucscRxTooBigCount, ucscRxFragmentedCount, secsSince(ucscTimeOfLastMsgToCameraServer),
         ucscTxCount, ucsc_layer2PacketQueueCount,
         iupqGetNumPacketsInQueue(ucsc_layer2PacketQueueHandle), ucsc_layer3PacketQueueCount,
         iupqGetNumPacketsInQueue(ucsc_layer3PacketQueueHandle));
  mtcSleep_CallOnlyFromMainThread(sleepUsecs);
}

static void main_thread(void) {
  DBGLOG("WiFi FW version %s, %s\n", FW_VERSION_STRING, FW_BUILD_DATE_STRING);
  DBGLOG("os_get_reset_reason %d\n", os_get_reset_reason());
  DBGLOG("os_avail_heap %d\n", os_avail_heap());
  DBGLOG("Largest cts msg %d, stc %d bytes\n", kLargestCtsMsg, kLargestStcMsg);
  os_printf("\n=========================\n");

  ostsOSThreadSupport_Init();
  fwudFirmwareUpdater_Init();
  main_Init_beforeFWUD();
  fwudDoUpdate();  // before any other module: an applied update reboots

  main_initModules();

  DBGLOG_TEXT("enabling deep sleep");
  dsEnableDeepSleep(DSLOCK_UNLOCKED);
  DBGLOG_TEXT("Enabling debug to server dbgmsgrDebugMessenger_EnableDebugToServer()");
  dbgmsgrDebugMessenger_EnableDebugToServer();

  main_startThreads();

  camif_getMode();  // caches the camera's mode; the answer is not needed here
  wifiStart();

  for (;;) main_loopPass();
}

int main(void) {
  main_thread();
  return 0;
}
