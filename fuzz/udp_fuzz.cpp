// Datagrams from anyone on the path: whatever arrives, layer 1 and the layer-3 dispatch never
// read or write outside their buffers, every reply has its command's length, and the queues stay
// consistent. The STM32, the configuration mirror and the rest of the camera are stand-ins whose
// answers come from the input too; lwIP is replaced by the few calls layer 1 makes.
//
// Input: a series of datagrams, each a length byte (0-95, so oversized ones occur) and its bytes,
// then the stand-ins' answer bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"
#include "camifCameraInterface/camifCameraInterface.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "i2cDevices/i2cbatBattery/i2cbatBattery.h"
#include "iupqIncomingUDPPacketQueue/iupqIncomingUDPPacketQueue.h"
#include "lwip/pbuf.h"
#include "lwip/tcpip.h"
#include "lwip/udp.h"
#include "spi2fpgaSPItoFPGA/spi2fpgaSPItoFPGA.h"
#include "srStatisticsReporter/srStatisticsReporter.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "tcpTCPTransfer/tcpTCPTransfer.h"
#include "ucscUDPCameraServerCommon/ucscUDPCameraServerCommon.h"
#include "ucsl1UDPCameraServerLayer1/ucsl1UDPCameraServerLayer1.h"
#include "ucsl2UDPCameraServerLayer2/ucsl2UDPCameraServerLayer2.h"
#include "ucsl3UDPCameraServerLayer3/ucsl3UDPCameraServerLayer3.h"
#include "wifiWiFi/wifiWiFi.h"

namespace {

const uint8_t* oracle;
size_t oracleLeft;

uint8_t next() {
  if (oracleLeft == 0) return 0;
  oracleLeft--;
  return *oracle++;
}
bool yes() { return (next() & 1) != 0; }
errorCodes result() {
  static const errorCodes kResults[] = {ERRORCODE_SUCCESS, ERRORCODE_SUCCESS, ERRORCODE_TEMPORARY_ERROR,
                                        ERRORCODE_PERSISTENT_ERROR, ERRORCODE_BAD_ARG,
                                        ERRORCODE_ILLEGAL_PARAM_VALUE};
  return kResults[next() % 6];
}
void fill(void* dest, size_t n) {
  auto* d = static_cast<uint8_t*>(dest);
  for (size_t i = 0; i < n; i++) d[i] = next();
}

cameraID_t theCamera = {{0x1A2B, 0x3C4D, 0x5E6F, 0x7081, 0x92A3, 0xB4C5}, "", ""};
bool cameraKnown;
size_t replies;

}  // namespace

// ---- The platform and lwIP: one thread, nothing waits ------------------------------------------
extern "C" {
void os_sem_init(os_semaphore* sem, int32_t count) { sem->value = count; }
void os_sem_post(os_semaphore* sem) { sem->value = sem->value + 1; }
void os_sem_wait(os_semaphore* sem) { sem->value = sem->value - 1; }
int os_sem_wait_timeout(os_semaphore* sem, uint32_t) {
  if (sem->value <= 0) return -1;
  sem->value = sem->value - 1;
  return 0;
}
void* os_alloc(size_t size) { return calloc(1, size); }
}

u16_t pbuf_copy_partial(const struct pbuf* p, void* dataptr, u16_t len, u16_t offset) {
  u16_t copied = 0;
  for (; p != nullptr && copied < len; p = p->next) {
    if (offset >= p->len) {
      offset = static_cast<u16_t>(offset - p->len);
      continue;
    }
    u16_t n = static_cast<u16_t>(p->len - offset);
    if (n > len - copied) n = static_cast<u16_t>(len - copied);
    memcpy(static_cast<uint8_t*>(dataptr) + copied, static_cast<uint8_t*>(p->payload) + offset, n);
    copied = static_cast<u16_t>(copied + n);
    offset = 0;
  }
  return copied;
}
u8_t pbuf_free(struct pbuf*) { return 1; }
struct pbuf* pbuf_alloc(pbuf_layer, u16_t, pbuf_type) { return nullptr; }
err_t pbuf_take(struct pbuf*, const void*, u16_t) { return ERR_MEM; }
struct udp_pcb* udp_new(void) { return nullptr; }
err_t udp_bind(struct udp_pcb*, const ip_addr_t*, u16_t) { return ERR_USE; }
void udp_recv(struct udp_pcb*, udp_recv_fn, void*) {}
void udp_remove(struct udp_pcb*) {}
err_t udp_sendto(struct udp_pcb*, struct pbuf*, const ip_addr_t*, u16_t) { return ERR_OK; }
err_t tcpip_callback(tcpip_callback_fn, void*) { return ERR_MEM; }
char* ipaddr_ntoa(const ip_addr_t*) { return const_cast<char*>("10.0.2.2"); }
const ip_addr_t ip_addr_any = IPADDR4_INIT(0);

// ---- The rest of the camera -------------------------------------------------------------------
volatile uint32_t sysstateSystemState = sysstate_WiFiConnectedToAP;
void mtcWakeUpMainThread(const char*) {}
systimer_t wifiUpdateStateMachine(wifiStateUpdateReason_t, systimer_t*) { return SYSTIMER_NEVER; }
bool wifiSetPowerParametersFromCameraServer(wifiParameters_t* p) { return p != nullptr && yes(); }
void wifiGetPowerParameters(wifiParameters_t* p) { fill(p, sizeof *p); }
bool tcpOpen(const char*, uint16_t) { return yes(); }
// Live view's frames check that their connection was not replaced under them.
int32_t tcpConnectionNumber(void) { return static_cast<int32_t>(next() % 2); }
// Live view's data plane: queueing and sending are refused or accepted as the input says.
bool spi2fpgaQueueTask_tcpTX(spiSourceFlagEnum, void*, spi2fpgaCallback, spi2fpgaCallback,
                             spi2fpgaCallback, spi2fpgaCallback, uint32_t, uint32_t) {
  return yes();
}
bool spi2fpgaDequeueTask(spiSourceFlagEnum) { return yes(); }
void spi2fpgaRequeueCurrentTask(volatile spiTask_t*) {}
errorCodes camifSend_MODE_LIVE_VIEW_W_SETTINGS(const char*, uint32_t, uint32_t, uint32_t*) {
  return result();
}
errorCodes camifStopLiveView(const char*) { return result(); }
static uint8_t txStandIn[TX_BUFFER_LEN];
XferBufHandle_t txGetAndLockEmptyBuffer(uint32_t) { return yes() ? 0 : -1; }
uint8_t* txGetBufferPointer(XferBufHandle_t h) { return h == 0 ? txStandIn : nullptr; }
void txUnlockBuffer(XferBufHandle_t* h) { *h = -1; }
bool tcpSendTXBuffer(XferBufHandle_t, tcpCmdID, uint32_t, uint32_t, uint32_t, errorCodes) {
  return yes();
}
bleDebugConsoleMsg_t* bleQueueDebugConsoleMsg(const char*, ...) { return nullptr; }
const cameraID_t* ginfGet_cameraID(void) { return cameraKnown ? &theCamera : nullptr; }
int8_t ginfIsStatusSet(uint32_t) { return static_cast<int8_t>(next() % 3) - 1; }
#define COPY(name, type) \
  bool name(type* dest) { if (!yes()) return false; if (dest) fill(dest, sizeof *dest); return true; }
COPY(ginfCopy_registrationCode, code_t)
COPY(ginfCopy_userUID, MCS_UID_t)
COPY(ginfCopy_interval, int32_t)
COPY(ginfCopy_schedule, schedule_t)
COPY(ginfCopy_fileSplit, uint32_t)
COPY(ginfCopy_sdcardspace, sdcardspace_t)
COPY(ginfCopy_overwriteOldFiles, uint32_t)
COPY(ginfCopy_exposureMode, uint32_t)
COPY(ginfCopy_flickerFilter, uint32_t)
COPY(ginfCopy_embedTimestamp, uint32_t)
COPY(ginfCopy_sharpness, uint32_t)
COPY(ginfCopy_saturation, uint32_t)
COPY(ginfCopy_playbackRate, uint32_t)
COPY(i2cbatCopyFuelgauges, fuelguage_t)
COPY(i2cbatCopyAdditionalBatteryInfo, additionalBatteryInfo_t)
#undef COPY
#define SET(name, type) \
  errorCodes name(const type*, dataAuthority_t) { return result(); }
SET(ginfInterval, int32_t)
SET(ginfSchedule, schedule_t)
SET(ginfFileSplit, uint32_t)
SET(ginfOverwriteOldFiles, uint32_t)
SET(ginfExposureMode, uint32_t)
SET(ginfFlickerFilter, uint32_t)
SET(ginfEmbedTimestamp, uint32_t)
SET(ginfSharpness, uint32_t)
SET(ginfSaturation, uint32_t)
SET(ginfPlaybackRate, uint32_t)
#undef SET
errorCodes ginfAccessCode(const code_t*) { return result(); }
errorCodes ginfRecordingStatus_sendBatteryInfo(CameraRecordingInfo_t* info) {
  fill(info, sizeof *info);
  return result();
}
errorCodes camifSend_MODE_TIME_LAPSE(const char*, uint32_t) { return result(); }
errorCodes camifSend_MODE_IDLE(const char*, uint32_t) { return result(); }
errorCodes camifDeleteFileFromSDCard(filename_t*, dataAuthority_t) { return result(); }
void srCopyUpdatedStatisticsReport(srReport_t* dest) { fill(dest, sizeof *dest); }
void srPrintStatisticsReport(const srReport_t*) {}
// The STM32: an answer of the input's bytes, or a failure.
errorCodes stmsgTxRx_debugPrint(void*, unsigned, uint16_t, void* responseMsg,
                                unsigned responseMsgSize, unsigned) {
  fill(responseMsg, responseMsgSize);
  return result();
}

// Every reply leaves through here: it must be one whole message of its command's length.
bool ucsl2UDPCameraServerLayer2_Send(udpControlBlock_t* cb) {
  const auto* h = reinterpret_cast<const cts_stc_MessageHeader_t*>(cb->txCtsMsgBuffer);
  uint32_t expected = ucscGetLengthFromCommandID(ctsStcHeader_getCmdID(h), UDP_DIRECTION_CTS);
  if (expected == 0 || cb->txCtsMsgBytes != expected || h->msgLength != expected ||
      cb->txCtsMsgBytes > cb->txCtsMsgBufferSize) {
    abort();
  }
  replies++;
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool initialised = false;
  static udp_pcb* endpoint = reinterpret_cast<udp_pcb*>(calloc(1, sizeof(udp_pcb)));
  if (!initialised) {
    ucscUDPCameraServerCommon_Init();
    ucsl1UDPCameraServerLayer1_Init();
    ucsl1PCB = endpoint;
    initialised = true;
  }
  // Split the input: datagrams first, up to a length byte of 0xFF; the rest answers for the
  // stand-ins.
  size_t at = 0;
  std::vector<std::vector<uint8_t>> datagrams;
  while (at < size && data[at] != 0xFF && datagrams.size() < 40) {
    size_t n = data[at++] % 96;
    n = n > size - at ? size - at : n;
    datagrams.emplace_back(data + at, data + at + n);
    at += n;
  }
  if (at < size) at++;
  oracle = data + at;
  oracleLeft = size - at;
  cameraKnown = yes() || yes();

  for (const std::vector<uint8_t>& d : datagrams) {
    // Now and then split over two buffers, as a fragmented datagram arrives.
    std::vector<uint8_t> bytes(d);
    pbuf second = {};
    pbuf first = {};
    first.payload = bytes.data();
    first.tot_len = static_cast<u16_t>(bytes.size());
    first.len = first.tot_len;
    if (bytes.size() > 1 && yes()) {
      first.len = static_cast<u16_t>(bytes.size() / 2);
      second.payload = bytes.data() + first.len;
      second.len = static_cast<u16_t>(bytes.size() - first.len);
      second.tot_len = second.len;
      first.next = &second;
    }
    ip_addr_t from = IPADDR4_INIT(0x0202000A);
    ucsl1ReceivedCallback(nullptr, yes() && yes() && yes() ? nullptr : endpoint, &first, &from,
                          46103);
    if (iupqGetNumPacketsInQueue(ucsc_layer3PacketQueueHandle) > 23) abort();
    if (iupqGetNumPacketsInQueue(ucsc_layer2PacketQueueHandle) > 5) abort();
    if (yes()) ucsl3UDPCameraServerLayer3_Poll(SYSTIMER_NEVER);
  }
  cameraKnown = true;
  ucsl3UDPCameraServerLayer3_Poll(SYSTIMER_NEVER);
  if (iupqGetNumPacketsInQueue(ucsc_layer3PacketQueueHandle) != 0) abort();
  // Layer 2's queue is the session thread's; drained here so the next input starts empty.
  uint8_t rx[UCSC_MAX_STC_MSG_BYTES];
  udpControlBlock_t cb = {SYSTIMER_NEVER, rx, nullptr, 0, 0, 0};
  while (iupqPopFromQueue(ucsc_layer2PacketQueueHandle, &cb, 0)) {
  }
  return 0;
}
