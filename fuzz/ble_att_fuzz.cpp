// ATT PDUs from a phone: whatever arrives, in whatever order, the BLE host's ATT server and the
// camera's GATT handlers never read or write outside their buffers, every response fits the
// link's MTU, and at most one indication is in flight. The rest of the camera is a set of
// stand-ins that always have their values; the work item runs after each PDU.
//
// Input: byte 0 picks the access code ("" or "1234"); then PDUs, each a length byte and its bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"
#include "bt.h"
#include "camhost/ble_air.h"
#include "camifCameraInterface/camifCameraInterface.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "i2cDevices/i2cbatBattery/i2cbatBattery.h"
#include "mtcMainThreadControl/mtcMainThreadControl.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"
#include "srStatisticsReporter/srStatisticsReporter.h"
#include "spi2fpgaSPItoFPGA/spi2fpgaSPItoFPGA.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "whWorkHandler/whWorkHandler.h"
#include "../platform/host/fw/bt_host.h"

namespace {

const char* accessCode = "";
os_work* pendingWork;
uint16_t agreedMtu = 23;
bool indicationOut;

}  // namespace

// ---- The air: responses are checked, not sent ----------------------------------------------------

extern "C" {
int camhost_ble_air_listen_fd(void) { return -1; }
int camhost_ble_air_wake_fd(void) { return -1; }
void camhost_ble_air_wake(void) {}
void camhost_ble_air_drain(void) {}
int camhost_ble_air_accept(void) { return -1; }
void camhost_ble_air_close(int) {}
long camhost_ble_air_recv(int, uint16_t, uint8_t*, size_t) { return -1; }
void camhost_ble_air_capture(int, uint16_t, const uint8_t*, size_t) {}
int camhost_ble_air_send(int, uint16_t, const uint8_t* pdu, size_t length) {
  if (length == 0 || length > 247) abort();
  if (pdu[0] == 0x03) {
    // the server's MTU; the agreed one is the smaller
  } else if (length > agreedMtu) {
    abort();
  }
  if (pdu[0] == 0x1D) {
    if (indicationOut) abort();
    indicationOut = true;
  }
  return 0;
}
}
namespace camhost {
int wait_fds(const int*, int, uint64_t) { return 0; }
}

// ---- Kernel services ----------------------------------------------------------------------------------

extern "C" {
void os_sem_init(os_semaphore* s, int32_t count) { s->value = count; }
void os_sem_post(os_semaphore* s) { s->value++; }
void os_sem_wait(os_semaphore* s) {
  if (s->value <= 0) abort();  // would block for ever with one thread
  s->value--;
}
int os_sem_wait_timeout(os_semaphore* s, uint32_t) {
  if (s->value <= 0) return -1;
  s->value--;
  return 0;
}
os_thread* os_create_thread(const char*, os_entry_t, void*, int, size_t) {
  return reinterpret_cast<os_thread*>(1);
}
}

// ---- The rest of the camera -----------------------------------------------------------------------------

static cameraID_t id = {{0x1A2B, 0x3C4D, 0x5E6F, 0x7081, 0x92A3, 0xB4C5}, "1A2B", "abcdefghijklmno"};
const cameraID_t* ginfGet_cameraID(void) { return &id; }
bool ginfCopy_accessCode(code_t* dest) {
  if (dest) {
    memset(*dest, 0, sizeof *dest);
    strcpy(*dest, accessCode);
  }
  return true;
}
bool ginfCopy_ssid(wifistring_t* d) { return strcpy(*d, "ssid"), true; }
bool ginfCopy_pwd(wifistring_t* d) { return strcpy(*d, "pwd"), true; }
bool ginfCopy_registrationCode(code_t* d) { return memset(*d, 'r', sizeof *d), true; }
bool ginfCopy_versions(versions_t* d) { return memset(d, 1, sizeof *d), true; }
bool ginfCopy_interval(int32_t* d) { return *d = 60, true; }
bool ginfCopy_schedule(schedule_t* d) { return memset(d, 0, sizeof *d), true; }
bool ginfCopy_fileSplit(uint32_t* d) { return *d = 0, true; }
bool ginfCopy_overwriteOldFiles(uint32_t* d) { return *d = 0, true; }
bool ginfCopy_sdcardspace(sdcardspace_t* d) { return memset(d, 0, sizeof *d), true; }
int8_t ginfIsStatusSet(uint32_t) { return 0; }
bool ginfCopy_exposureMode(uint32_t* d) { return *d = 0, true; }
bool ginfCopy_flickerFilter(uint32_t* d) { return *d = 0, true; }
bool ginfCopy_embedTimestamp(uint32_t* d) { return *d = 0, true; }
bool ginfCopy_sharpness(uint32_t* d) { return *d = 0, true; }
bool ginfCopy_saturation(uint32_t* d) { return *d = 0, true; }
bool ginfCopy_playbackRate(uint32_t* d) { return *d = 0, true; }
void ginfQueueRegistrationCodeUpdate(const code_t* c) {
  if (strnlen(*c, sizeof *c) == sizeof *c) abort();  // must be text
}
int ginfQueueSSIDUpdate(const char* s) { return strlen(s) < sizeof(wifistring_t) ? 0 : (abort(), 0); }
int ginfQueuePWDUpdate(const char* s) { return strlen(s) < sizeof(wifistring_t) ? 0 : (abort(), 0); }
void ginfSetClock(const systimer_t*, const time_t*, dataAuthority_t) {}
int ginfQueueTZOffsetUpdate(int16_t) { return 0; }
errorCodes ginfInterval(const int32_t*, dataAuthority_t) { return ERRORCODE_SUCCESS; }
errorCodes ginfSchedule(const schedule_t*, dataAuthority_t) { return ERRORCODE_SUCCESS; }
errorCodes ginfFileSplit(const uint32_t*, dataAuthority_t) { return ERRORCODE_SUCCESS; }
errorCodes ginfOverwriteOldFiles(const uint32_t*, dataAuthority_t) { return ERRORCODE_SUCCESS; }
errorCodes ginfExposureMode(const uint32_t*, dataAuthority_t) { return ERRORCODE_SUCCESS; }
errorCodes ginfFlickerFilter(const uint32_t*, dataAuthority_t) { return ERRORCODE_SUCCESS; }
errorCodes ginfEmbedTimestamp(const uint32_t*, dataAuthority_t) { return ERRORCODE_SUCCESS; }
errorCodes ginfSharpness(const uint32_t*, dataAuthority_t) { return ERRORCODE_SUCCESS; }
errorCodes ginfSaturation(const uint32_t*, dataAuthority_t) { return ERRORCODE_SUCCESS; }
errorCodes ginfPlaybackRate(const uint32_t*, dataAuthority_t) { return ERRORCODE_SUCCESS; }
bool i2cbatCopyUnnamedFuelgauges(unnamedFuelguage_t* d) { return memset(d, 0, 80), true; }
bool i2cbatCopyAdditionalBatteryInfo(additionalBatteryInfo_t* d) { return memset(d, 0, 4), true; }
errorCodes camifSend_MODE_IDLE(const char*, uint32_t) { return ERRORCODE_SUCCESS; }
errorCodes camifSend_MODE_TIME_LAPSE(const char*, uint32_t) { return ERRORCODE_SUCCESS; }
errorCodes camifDeleteFileFromSDCard(filename_t* f, dataAuthority_t) {
  if (strnlen(*f, sizeof *f) == sizeof *f) abort();
  return ERRORCODE_SUCCESS;
}
errorCodes camifSend_MODE_LIVE_VIEW_W_SETTINGS(const char*, uint32_t, uint32_t, uint32_t* s) {
  *s = 0;
  return ERRORCODE_SUCCESS;
}
errorCodes camifGetDirectory(filename_t*, uint32_t* s) {
  *s = 0;
  return ERRORCODE_SUCCESS;
}
bool spi2fpgaQueueTask_internalBuff(spiSourceFlagEnum, void*, spi2fpgaCallback, spi2fpgaCallback,
                                    spi2fpgaCallback, spi2fpgaCallback, uint32_t) {
  return false;
}
void camifCopyLastDeletedFileFromSDCard(filename_t* d) { memset(*d, 0, sizeof *d); }
void srCopyUpdatedStatisticsReport(srReport_t* d) { memset(d, 0, sizeof *d); }
void srPrintStatisticsReport(const srReport_t*) {}
volatile uint32_t sysstateSystemState;
systimer_t sysstate_lastButtonPress(void) { return 0; }
bool sysstate_setBLEConnectionOpenState(bool) { return true; }
void mtcWakeUpMainThread(const char*) {}
int32_t ostsAtomicIncrementThenGet(int32_t* v) { return ++*v; }
bool whQueueWork(os_work* w) {
  if (pendingWork) return false;
  pendingWork = w;
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started;
  if (!started) {
    started = true;
    accessCode = size > 0 && (data[0] & 1) ? "1234" : "";
    bleBluetoothLowEnergy_Init();  // builds the service and advertises
  }
  camhost_bt_open_link(3);
  agreedMtu = 23;
  indicationOut = false;
  for (size_t i = 1; i < size;) {
    size_t n = data[i++];
    if (n > size - i) n = size - i;
    const uint8_t* pdu = data + i;
    i += n;
    if (n == 3 && pdu[0] == 0x02) {
      uint16_t m = static_cast<uint16_t>(pdu[1] | pdu[2] << 8);
      agreedMtu = m < 23 ? 23 : m > 247 ? 247 : m;
    }
    if (n >= 1 && pdu[0] == 0x1E) indicationOut = false;
    camhost_bt_receive(pdu, n);
    if (pendingWork) {
      os_work* w = pendingWork;
      pendingWork = nullptr;
      w->func(w);
    }
  }
  bt_gap_terminate_connection(0x40, 0x13);  // the link goes; the next input starts a new one
  return 0;
}
