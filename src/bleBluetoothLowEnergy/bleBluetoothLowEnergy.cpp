// BLE: the GATT service the phone uses, when the module advertises, the phone's link, and the
// queued work that sends indications and applies what the phone wrote.
#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "bt.h"
#include "camifCameraInterface/camifCameraInterface.h"
#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "i2cDevices/i2cbatBattery/i2cbatBattery.h"
#include "mtcMainThreadControl/mtcMainThreadControl.h"
#include "ostsOSThreadSupport/ostsOSThreadSupport.h"
#include "spi2fpgaSPItoFPGA/spi2fpgaSPItoFPGA.h"
#include "srStatisticsReporter/srStatisticsReporter.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "utilities/utilities.h"
#include "whWorkHandler/whWorkHandler.h"

// ---- Value layouts (little-endian, packed) ------------------------------------------------------

enum : uint8_t { FRAME_REQUEST_CANCEL = 0, FRAME_REQUEST_START = 1 };

enum recording_mode_t : uint8_t {
  RECORDING_REQUEST_STOP = 0,
  RECORDING_REQUEST_START = 1,
  RECORDING_REQUEST_NONE = 2,
};

struct __attribute__((packed)) bleCameraIDMsg_t {
  uint16_t cameraID[6];
};
static_assert(sizeof(bleCameraIDMsg_t) == 12, "bleCameraIDMsg_t");

struct __attribute__((packed)) bleClockMsg_t {
  dateTime_t dateTime;
  uint8_t padding;
  int32_t tzOffset;
};
static_assert(sizeof(bleClockMsg_t) == 12, "bleClockMsg_t");
static_assert(offsetof(bleClockMsg_t, padding) == 7, "bleClockMsg_t.padding");
static_assert(offsetof(bleClockMsg_t, tzOffset) == 8, "bleClockMsg_t.tzOffset");

struct __attribute__((packed)) bleVersionMsg_t {
  versions_t versions;
};
static_assert(sizeof(bleVersionMsg_t) == 36, "bleVersionMsg_t");

struct __attribute__((packed)) bleBatteryMsg_fw14782_t {
  additionalBatteryInfo_t additionalInfo;
  unnamedFuelguage_t batteries[4];
};
static_assert(sizeof(additionalBatteryInfo_t) == 4, "additionalBatteryInfo_t");
static_assert(sizeof(unnamedFuelguage_t) == 20, "unnamedFuelguage_t");
static_assert(offsetof(bleBatteryMsg_fw14782_t, batteries) == 4, "bleBatteryMsg.batteries");
static_assert(sizeof(bleBatteryMsg_fw14782_t) == 84, "bleBatteryMsg_fw14782_t");

struct __attribute__((packed)) bleScheduleMsg_fw14701_t {
  schedule_t schedule;
  uint32_t fileSplit;
  uint32_t overwriteOldFiles;
};
static_assert(sizeof(schedule_t) == 16, "schedule_t");
static_assert(offsetof(bleScheduleMsg_fw14701_t, fileSplit) == 16, "bleScheduleMsg.fileSplit");
static_assert(offsetof(bleScheduleMsg_fw14701_t, overwriteOldFiles) == 20,
              "bleScheduleMsg.overwriteOldFiles");
static_assert(sizeof(bleScheduleMsg_fw14701_t) == 24, "bleScheduleMsg_fw14701_t");

struct __attribute__((packed)) bleSDcardstatus_t {
  uint8_t isSDCardMounted;
  sdcardspace_t sdCardSpace;
};
static_assert(offsetof(bleSDcardstatus_t, sdCardSpace) == 1, "bleSDcardstatus_t.sdCardSpace");
static_assert(offsetof(bleSDcardstatus_t, sdCardSpace.freeSpaceMB) == 4, "freeSpaceMB");
static_assert(offsetof(bleSDcardstatus_t, sdCardSpace.totalSpaceMB) == 8, "totalSpaceMB");
static_assert(sizeof(bleSDcardstatus_t) == 12, "bleSDcardstatus_t");

struct __attribute__((packed)) bleDeleteFileFromSDCardResultMsg_t {
  filename_t filename;
  uint8_t padding[3];
  int32_t resultCode;
};
static_assert(offsetof(bleDeleteFileFromSDCardResultMsg_t, resultCode) == 16, "resultCode");
static_assert(sizeof(bleDeleteFileFromSDCardResultMsg_t) == 20, "bleDeleteFileFromSDCardResult");

// A state-change indication: 12 bytes of header and the value of what changed.
struct __attribute__((packed)) bleStateChangeMsg_t {
  uint32_t stateChangeType;
  uint32_t sequenceNumber;
  uint32_t timestamp;
  uint8_t msg[84];
};
static_assert(offsetof(bleStateChangeMsg_t, sequenceNumber) == 4, "sequenceNumber");
static_assert(offsetof(bleStateChangeMsg_t, timestamp) == 8, "timestamp");
static_assert(offsetof(bleStateChangeMsg_t, msg) == 12, "msg");
static_assert(sizeof(bleStateChangeMsg_t) == 96, "bleStateChangeMsg_t");

struct __attribute__((packed)) bleSizedDebugConsoleMsg_t {
  uint32_t debugLogSize;
  bleDebugConsoleMsg_t msg;
};
static_assert(sizeof(bleSizedDebugConsoleMsg_t) == 248, "bleSizedDebugConsoleMsg_t");

// ---- State ----------------------------------------------------------------------------------------

enum bleState_t {
  BLESTATE_NOT_ADVERTISING = 0,
  BLESTATE_NEED_TO_ADVERTISE = 1,
  BLESTATE_ADVERTISING = 2,
  BLESTATE_CONNECTED = 3,
};

enum bleStateUpdateReason_t {
  BLESTATE_UPDATE_REASON_MSG_RECVD = 0,
  BLESTATE_UPDATE_REASON_BUTTON_PRESS = 1,
  BLESTATE_UPDATE_REASON_SESSION_DISCONNECT = 2,
  BLESTATE_UPDATE_REASON_CLIENT_CONNECTED = 3,
  BLESTATE_UPDATE_REASON_WIFI_ENABLED_CHANGED = 4,
  BLESTATE_UPDATE_REASON_POLL = 5,
  BLESTATE_UPDATE_REASON_CLIENT_FORCE_DISCONNECT = 6,
  BLESTATE_UPDATE_REASON_MODULE_INIT = 7,
};

struct indication_control_block_t {
  bool enabled;
  bt_gatt_char* characteristic;
  // A large-data stream under way on this characteristic: its size was announced and `sent` of
  // its bytes have gone out. Kept here rather than read back from the SPI message state, which a
  // transfer of the wrong length wipes before the failure is handled.
  bool streamAnnounced;
  uint32_t streamSize, streamSent;
};

struct custom_server_t {
  bt_gatt_service* gatt_service;
  gatt_server_link* gatt_link;
  uint8_t clientHandle;
  bleState_t state;
  bool isAccessAuthed;
  indication_control_block_t debugConsoleIndicationControlBlock;
  indication_control_block_t frameIndicationControlBlock;
  indication_control_block_t stateChangeIndicationControlBlock;
  indication_control_block_t directoryIndicationControlBlock;
};

struct updateAttempt_t {
  bleScheduleMsg_fw14701_t schedule;
  uint32_t interval;
  recording_mode_t recordingRequest;
  bool sendFrame;
  struct {
    bool isRequested;
    filename_t pattern;
  } directoryRequest;
  struct {
    bool isRequested;
    filename_t filename;
    int8_t result;
  } deleteFileRequest;
  uint32_t exposureMode;
  uint32_t flickerFilter;
  uint32_t embedTimestamp;
  uint32_t sharpness;
  uint32_t saturation;
  uint32_t playbackRate;
};

#define BLE_ADV_NAME_SIZE 20
#define BLE_DEBUG_CONSOLE_TEXT_MAX 234
#define BLE_DEBUG_QUEUE_ENTRIES 10
#define BLE_INDICATION_MAX 244
#define BLE_INTERNAL_BEARER 0xFF
#define BLE_NO_CLIENT 0xFF
#define BLE_WINDOW_WIFI_ON_USECS 1800000000ull
#define BLE_WINDOW_WIFI_OFF_USECS 10800000000ull
#define BLE_CONFIRMATION_TIMEOUT_USECS 60000000u
#define BLE_ANNOUNCEMENT_RETRY_USECS 10000000ull

systimer_t lastBLECommunication = SYSTIMER_NEVER;

static custom_server_t srv = {nullptr, nullptr, BLE_NO_CLIENT, BLESTATE_NOT_ADVERTISING, false,
                              {false, nullptr, false, 0, 0}, {false, nullptr, false, 0, 0},
                              {false, nullptr, false, 0, 0}, {false, nullptr, false, 0, 0}};
static systimer_t whenBLEShouldStopAdvertising;
static updateAttempt_t updateAttempt = {{}, 0, RECORDING_REQUEST_NONE, false, {false, {}},
                                        {false, {}, 0}, 0, 0, 0, 0, 0, 0};
static uint32_t bleNeedToUpdateBitmap;
static uint32_t bleStateChangedBitmap;
static bleSizedDebugConsoleMsg_t bleDebugConsoleMsgQueue[BLE_DEBUG_QUEUE_ENTRIES];
static uint32_t bleDebugConsoleQueueHead;
static uint32_t bleDebugConsoleQueueLength;
static int32_t bleTotalDebugConsoleQueuedMessages;
static int32_t bleTotalStateChangeQueuedMessages;
static void doQueuedWork(os_work* work);
static os_work bleWork = {nullptr, doQueuedWork, 0};
static os_semaphore indicationSem;
static os_semaphore messageSem;
static bool semaphoresReady;
static uint8_t randomStaticAddress[6];
static char advName[BLE_ADV_NAME_SIZE];
static bool serverHasBeenCreatedBefore;
static bleStateChangeMsg_t stateChangeMsg;
static uint8_t indicationPacket[BLE_INDICATION_MAX];
static systimer_t whenToSendAnnouncement;
static uint32_t prevSysstate;

static void connected_cb(bt_hci_evt_le_conn_cmpl_t* event);
static void disconnected_cb(bt_hci_evt_disconn_complete_t* event);
static const gap_ops_t gap_ops = {connected_cb, disconnected_cb, nullptr};

// ---- Small helpers ------------------------------------------------------------------------------

static uint32_t secondsSinceBoot(void) {
  systimer_t now = os_systime64();
  return now >= 4294967296ull * 1000000ull ? 0xFFFFFFFFu : (uint32_t)(now / 1000000);
}

static bool linkExists(void) { return srv.gatt_link != nullptr; }

static void bleQueueWork(const char* caller) {
  bool queued = whQueueWork(&bleWork);
  DBGLOG("work %s queued from %s\n", queued ? "was" : "already", caller);
}

static void logStateChange(bleStateChange_t n, const char* name) {
  bool queued = bleQueueStateChangeMsg(n);
  DBGLOG("(BLE-%s) stateChange: %s\n", queued ? "QD" : "NQ", name);
}
#define BLE_LOG_STATE_CHANGE(n) logStateChange(n, #n)

static void bleResetState(void) {
  uint32_t s = os_irq_disable();
  updateAttempt.sendFrame = false;
  bleDebugConsoleQueueHead = 0;
  bleDebugConsoleQueueLength = 0;
  bleNeedToUpdateBitmap = 0;
  bleStateChangedBitmap = 0;
  // A new link starts with no subscriptions: without bonding a phone's CCCD values do not
  // outlive its connection, and a later phone must not receive what it never asked for.
  srv.frameIndicationControlBlock.enabled = false;
  srv.stateChangeIndicationControlBlock.enabled = false;
  srv.debugConsoleIndicationControlBlock.enabled = false;
  srv.directoryIndicationControlBlock.enabled = false;
  srv.isAccessAuthed = false;
  os_irq_restore(s);
}

// ---- Advertising state machine -------------------------------------------------------------------

static bool bleStartStopAdvertisement(bool isStart);

static void updateStateMachine(bleStateUpdateReason_t reason) {
  systimer_t now = os_systime64();
  systimer_t window = (sysstateSystemState & sysstate_WiFiEnabled) ? BLE_WINDOW_WIFI_ON_USECS
                                                                   : BLE_WINDOW_WIFI_OFF_USECS;
  uint32_t s = os_irq_disable();
  auto extendTo = [](systimer_t t) {
    if (t > whenBLEShouldStopAdvertising) whenBLEShouldStopAdvertising = t;
  };
  switch (reason) {
    case BLESTATE_UPDATE_REASON_MSG_RECVD:
      extendTo(now + window);
      lastBLECommunication = now;
      break;
    case BLESTATE_UPDATE_REASON_BUTTON_PRESS:
      extendTo(sysstate_lastButtonPress() + window);
      break;
    case BLESTATE_UPDATE_REASON_SESSION_DISCONNECT:
    case BLESTATE_UPDATE_REASON_MODULE_INIT:
      extendTo(now + window);
      break;
    case BLESTATE_UPDATE_REASON_CLIENT_CONNECTED:
      srv.state = BLESTATE_CONNECTED;
      extendTo(now + window);
      lastBLECommunication = now;
      break;
    case BLESTATE_UPDATE_REASON_WIFI_ENABLED_CHANGED:
      whenBLEShouldStopAdvertising = now + window;
      break;
    case BLESTATE_UPDATE_REASON_POLL:
      if ((sysstateSystemState & sysstate_WiFiEnabled) &&
          !(sysstateSystemState & sysstate_WiFiSessionIsOpen))
        extendTo(now + window);
      break;
    case BLESTATE_UPDATE_REASON_CLIENT_FORCE_DISCONNECT:
      whenBLEShouldStopAdvertising = 0;
      lastBLECommunication = now;
      break;
  }
  systimer_t remaining = whenBLEShouldStopAdvertising > now ? whenBLEShouldStopAdvertising - now : 0;
  os_irq_restore(s);
  if (reason == BLESTATE_UPDATE_REASON_CLIENT_CONNECTED) DBGLOG("state=connected\n");

  if (srv.state == BLESTATE_NOT_ADVERTISING) {
    if (remaining == 0) return;
    srv.state = BLESTATE_NEED_TO_ADVERTISE;
    DBGLOG("state=needToAdvertise\n");
  } else if (srv.state > BLESTATE_CONNECTED) {
    return;
  }
  if (reason <= BLESTATE_UPDATE_REASON_WIFI_ENABLED_CHANGED) {
    mtcWakeUpMainThread("updateStateMachine");
    return;
  }
  bool onTheAir = srv.state == BLESTATE_ADVERTISING || srv.state == BLESTATE_CONNECTED;
  bool wanted = remaining > 0;
  if (wanted == onTheAir) return;
  if (!bleStartStopAdvertisement(wanted)) {
    DBGLOG("WARNING!! BLE advertising state transition failed\n");
    return;
  }
  if (wanted) {
    srv.state = BLESTATE_ADVERTISING;
    DBGLOG("state=advertizing\n");
  } else {
    srv.state = BLESTATE_NOT_ADVERTISING;
    DBGLOG("state=notAdvertizing\n");
  }
}

// ---- The GATT service's handlers -------------------------------------------------------------------

static bt_att_error_t authRequired(const char* name) {
  bleQueueDebugConsoleMsg("Authentication required for %s", name);
  return BT_ATT_ERROR_REQ_NOT_SUPPORTED;
}

static bool authed(void) {
  uint32_t s = os_irq_disable();
  bool a = srv.isAccessAuthed;
  os_irq_restore(s);
  return a;
}

#define REQUIRE_AUTH(name) \
  if (!authed()) return authRequired(name)

static bt_att_error_t onlyWrite(const char* text) {
  bleQueueDebugConsoleMsg("%s", text);
  return BT_ATT_ERROR_REQ_NOT_SUPPORTED;
}

static bt_att_error_t logOnlyRefusal(const char* text) {
  DBGLOG("%s\n", text);
  return BT_ATT_ERROR_REQ_NOT_SUPPORTED;
}

static bt_att_error_t frame_char_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length,
                                    uint16_t, uint8_t* data) {
  updateStateMachine(BLESTATE_UPDATE_REASON_MSG_RECVD);
  REQUIRE_AUTH("UUID_FRAME_CHARACTERISTIC");
  if (rw != BT_GATT_FCN_WRITE) return onlyWrite("ERROR!! frame characteristic only supports write");
  if (*length != 1 || data[0] > FRAME_REQUEST_START) {
    bleQueueDebugConsoleMsg("ERROR!! Frame request write must be a 0 or 1");
    return BT_ATT_ERROR_INVALID_ATTRIBUTE_VALUE_LENGTH;
  }
  uint32_t s = os_irq_disable();
  updateAttempt.sendFrame = data[0] == FRAME_REQUEST_START;
  os_irq_restore(s);
  bleQueueDebugConsoleMsg("%s", data[0] ? "Frame request queued" : "Frame request cancelled");
  if (data[0]) bleQueueWork("frame_char_cb");
  return BT_ATT_ERROR_SUCCESS;
}

static bt_att_error_t registration_code_char_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw,
                                                uint8_t* length, uint16_t, uint8_t* data) {
  updateStateMachine(BLESTATE_UPDATE_REASON_MSG_RECVD);
  REQUIRE_AUTH("UUID_REGISTRATION_CODE_CHARACTERISTIC");
  if (rw == BT_GATT_FCN_READ) {
    code_t code;
    if (!ginfCopy_registrationCode(&code)) return BT_ATT_ERROR_APPLICATION_ERROR;
    size_t n = strnlen(code, sizeof code);
    memcpy(data, code, n);
    *length = (uint8_t)n;
    DBGLOG("Registration code read: %.*s\n", (int)n, code);
    return BT_ATT_ERROR_SUCCESS;
  }
  if (rw != BT_GATT_FCN_WRITE) {
    return onlyWrite("ERROR!! Registration code characteristic only supports write and read");
  }
  // The code is kept as text with its terminator in 12 bytes: 11 characters at most.
  if (*length >= sizeof(code_t)) {
    bleQueueDebugConsoleMsg("ERROR!! Registration code was too long");
    return BT_ATT_ERROR_INVALID_ATTRIBUTE_VALUE_LENGTH;
  }
  code_t code = {};
  memcpy(code, data, *length);
  ginfQueueRegistrationCodeUpdate(&code);
  return BT_ATT_ERROR_SUCCESS;
}

static bt_att_error_t camera_id_char_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length,
                                        uint16_t, uint8_t* data) {
  updateStateMachine(BLESTATE_UPDATE_REASON_MSG_RECVD);
  if (rw != BT_GATT_FCN_READ) return logOnlyRefusal("ERROR!! Camera ID characteristic only supports read");
  const cameraID_t* id = ginfGet_cameraID();
  if (id == nullptr) {
    bleQueueDebugConsoleMsg("ERROR!! Camera ID hasn't been read yet");
    return BT_ATT_ERROR_APPLICATION_ERROR;
  }
  memcpy(data, id->cameraID, sizeof(bleCameraIDMsg_t));
  *length = sizeof(bleCameraIDMsg_t);
  DBGLOG("Camera ID sent: %s\n", id->cameraID_string);
  return BT_ATT_ERROR_SUCCESS;
}

// SSID and password share their handling; only the texts differ.
struct credentialTexts_t {
  const char* name;
  bool (*copy)(wifistring_t*);
  int (*queue)(const char*);
  const char* readLog;
  const char* tooLong;
  const char* inProgress;
  const char* refusal;
};

static bt_att_error_t credentialAccess(const credentialTexts_t& t, bt_gatt_fcn_t rw,
                                       uint8_t* length, uint8_t* data) {
  updateStateMachine(BLESTATE_UPDATE_REASON_MSG_RECVD);
  if (!authed()) return authRequired(t.name);
  if (rw == BT_GATT_FCN_READ) {
    wifistring_t value;
    if (!t.copy(&value)) return BT_ATT_ERROR_APPLICATION_ERROR;
    size_t n = strnlen(value, sizeof value - 1);
    memcpy(data, value, n);
    *length = (uint8_t)n;
    DBGLOG(t.readLog, value);
    return BT_ATT_ERROR_SUCCESS;
  }
  if (rw != BT_GATT_FCN_WRITE) return logOnlyRefusal(t.refusal);
  // Kept as text with its terminator in 65 bytes: a longer value would be cut, so it is refused.
  if (*length >= sizeof(wifistring_t)) {
    bleQueueDebugConsoleMsg("%s", t.tooLong);
    return BT_ATT_ERROR_INVALID_ATTRIBUTE_VALUE_LENGTH;
  }
  wifistring_t value = {};
  memcpy(value, data, *length);
  if (t.queue(value) == -1) {
    bleQueueDebugConsoleMsg("%s", t.inProgress);
    return BT_ATT_ERROR_APPLICATION_ERROR;
  }
  return BT_ATT_ERROR_SUCCESS;
}

static const credentialTexts_t ssidTexts = {
    "UUID_SSID_CHARACTERISTIC", ginfCopy_ssid, ginfQueueSSIDUpdate, "SSID read: %s\n",
    "ERROR!! SSID was too long", "ERROR!! SSID update already in progress",
    "ERROR!! SSID characteristic only supports write and read"};
static const credentialTexts_t pwdTexts = {
    "UUID_PASSWORD_CHARACTERISTIC", ginfCopy_pwd, ginfQueuePWDUpdate, "PWD read: %s\n",
    "ERROR!! PWD was too long", "ERROR!! PWD update already in progress",
    "ERROR!! PWD characteristic only supports write and read"};

static bt_att_error_t ssid_char_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length, uint16_t,
                                   uint8_t* data) {
  return credentialAccess(ssidTexts, rw, length, data);
}

static bt_att_error_t password_char_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length,
                                       uint16_t, uint8_t* data) {
  return credentialAccess(pwdTexts, rw, length, data);
}

static bt_att_error_t clock_char_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length,
                                    uint16_t, uint8_t* data) {
  systimer_t entry = os_systime64();
  updateStateMachine(BLESTATE_UPDATE_REASON_MSG_RECVD);
  REQUIRE_AUTH("UUID_CLOCK_CHARACTERISTIC");
  if (rw != BT_GATT_FCN_WRITE) return onlyWrite("ERROR!! Clock characteristic only supports write");
  if (*length != sizeof(bleClockMsg_t)) {
    bleQueueDebugConsoleMsg("ERROR!! Clock length mismatch: %u != %u", (unsigned)*length,
                            (unsigned)sizeof(bleClockMsg_t));
    return BT_ATT_ERROR_INVALID_ATTRIBUTE_VALUE_LENGTH;
  }
  bleClockMsg_t msg;
  memcpy(&msg, data, sizeof msg);
  time_t t = struct_dateTime_to_time_t(&msg.dateTime);
  // A date that does not convert would set the epoch with the phone's authority, which wins.
  if (t == 0) {
    bleQueueDebugConsoleMsg("ERROR!! Clock value invalid");
    return BT_ATT_ERROR_INVALID_ATTRIBUTE_VALUE_LENGTH;
  }
  ginfSetClock(&entry, &t, DATA_AUTHORITY_BLE);
  int r = ginfQueueTZOffsetUpdate((int16_t)(uint16_t)(msg.tzOffset & 0xFFFF));
  if (r == -1) {
    bleQueueDebugConsoleMsg("unable to queue TZ offset; retry shortly");
    return BT_ATT_ERROR_APPLICATION_ERROR;
  }
  bleQueueDebugConsoleMsg("%s", r == 0 ? "TZ offset queued" : "TZ offset is correct");
  return BT_ATT_ERROR_SUCCESS;
}

static bt_att_error_t access_code_char_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length,
                                          uint16_t, uint8_t* data) {
  updateStateMachine(BLESTATE_UPDATE_REASON_MSG_RECVD);
  if (rw == BT_GATT_FCN_READ) {
    data[0] = authed() ? 1 : 0;
    *length = 1;
    return BT_ATT_ERROR_SUCCESS;
  }
  if (rw != BT_GATT_FCN_WRITE) {
    return onlyWrite("ERROR!! Access code characteristic only supports write and read");
  }
  bool ok = authed();
  if (!ok) {
    code_t code;
    if (ginfCopy_accessCode(&code)) {
      size_t n = strnlen(code, sizeof code);
      ok = *length == n + 1 && memcmp(data, code, n) == 0;
    }
  }
  uint32_t s = os_irq_disable();
  srv.isAccessAuthed = ok;
  os_irq_restore(s);
  BLE_LOG_STATE_CHANGE(BLE_STATE_CHANGE_ACCESS_CODE_AUTHENTICATION);
  return BT_ATT_ERROR_SUCCESS;
}

static bt_att_error_t indication_char_dummy_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t, uint8_t*,
                                               uint16_t, uint8_t*) {
  return logOnlyRefusal("this should never be called; the characteristic is indication only");
}

static bt_att_error_t version_char_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length,
                                      uint16_t, uint8_t* data) {
  updateStateMachine(BLESTATE_UPDATE_REASON_MSG_RECVD);
  if (rw != BT_GATT_FCN_READ) return logOnlyRefusal("ERROR!! characteristic only supports read");
  versions_t v;
  if (!ginfCopy_versions(&v)) {
    bleQueueDebugConsoleMsg("ERROR!! Version not available yet");
    return BT_ATT_ERROR_APPLICATION_ERROR;
  }
  memcpy(data, &v, sizeof v);
  *length = sizeof(bleVersionMsg_t);
  return BT_ATT_ERROR_SUCCESS;
}

static bt_att_error_t record_mode_char_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length,
                                          uint16_t, uint8_t* data) {
  updateStateMachine(BLESTATE_UPDATE_REASON_MSG_RECVD);
  REQUIRE_AUTH("UUID_RECORD_MODE_CHARACTERISTIC");
  if (rw == BT_GATT_FCN_READ) {
    data[0] = (sysstateSystemState & sysstate_Recording) ? 1 : 0;
    *length = 1;
    return BT_ATT_ERROR_SUCCESS;
  }
  if (rw != BT_GATT_FCN_WRITE) {
    return logOnlyRefusal("ERROR!! Characteristic only supports write and read");
  }
  if (*length != 1 || data[0] > RECORDING_REQUEST_START) {
    DBGLOG("ERROR!! Record mode write must be a 0 or 1\n");
    return BT_ATT_ERROR_INVALID_ATTRIBUTE_VALUE_LENGTH;
  }
  if (data[0] == RECORDING_REQUEST_START &&
      (sysstateSystemState & sysstate_BatteryLowPreventRecording)) {
    bleQueueDebugConsoleMsg("The camera's battery is too low to start a recording");
    return BT_ATT_ERROR_APPLICATION_ERROR;
  }
  uint32_t s = os_irq_disable();
  updateAttempt.recordingRequest = (recording_mode_t)data[0];
  os_irq_restore(s);
  bleQueueDebugConsoleMsg("Recording request %s queued", data[0] ? "START" : "STOP");
  bleQueueWork("record_mode_char_cb");
  return BT_ATT_ERROR_SUCCESS;
}

static bt_att_error_t battery_char_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length,
                                      uint16_t, uint8_t* data) {
  updateStateMachine(BLESTATE_UPDATE_REASON_MSG_RECVD);
  REQUIRE_AUTH("UUID_BATTERY_CHARACTERISTIC");
  if (rw != BT_GATT_FCN_READ) {
    return logOnlyRefusal("ERROR!! Battery characteristic only supports read");
  }
  bleBatteryMsg_fw14782_t msg;
  if (!i2cbatCopyUnnamedFuelgauges(msg.batteries) ||
      !i2cbatCopyAdditionalBatteryInfo(&msg.additionalInfo))
    return BT_ATT_ERROR_APPLICATION_ERROR;
  memcpy(data, &msg, sizeof msg);
  *length = sizeof msg;
  return BT_ATT_ERROR_SUCCESS;
}

static bt_att_error_t queueUpdateAttempt(bleStateChange_t stateChange, const uint8_t* source,
                                         uint32_t* slot, const char* name) {
  if (source == nullptr) return BT_ATT_ERROR_APPLICATION_ERROR;
  uint32_t bit = 1u << (stateChange - 1);
  uint32_t s = os_irq_disable();
  bool pending = (bleNeedToUpdateBitmap & bit) != 0;
  if (!pending) {
    memcpy(slot, source, sizeof *slot);
    bleNeedToUpdateBitmap |= bit;
  }
  os_irq_restore(s);
  if (pending) {
    bleQueueDebugConsoleMsg("ERROR!! already have a pending %s update", name);
    return BT_ATT_ERROR_UNLIKELY_ERROR;
  }
  bleQueueWork("queueUpdateAttempt");
  bleQueueDebugConsoleMsg("queued %s update", name);
  return BT_ATT_ERROR_SUCCESS;
}

// The single-value settings: one u32 each.
struct settingChar_t {
  const char* uuidName;
  bool (*copy)(uint32_t*);
  bleStateChange_t stateChange;
  uint32_t* slot;
  const char* name;
  const char* sizeError;
};

static bool copyInterval(uint32_t* dest) { return ginfCopy_interval((int32_t*)dest); }

static const settingChar_t settingChars[] = {
    {"UUID_INTERVAL_CHARACTERISTIC", copyInterval, BLE_STATE_CHANGE_INTERVAL,
     &updateAttempt.interval, "interval", "ERROR!! Interval write must be %u bytes"},
    {"UUID_EXPOSURE_MODE_CHARACTERISTIC", ginfCopy_exposureMode, BLE_STATE_CHANGE_EXPOSURE_MODE,
     &updateAttempt.exposureMode, "exposure mode", "ERROR!! exposure mode write must be %u bytes"},
    {"UUID_FLICKER_FILTER_CHARACTERISTIC", ginfCopy_flickerFilter, BLE_STATE_CHANGE_FLICKER_FILTER,
     &updateAttempt.flickerFilter, "flicker filter",
     "ERROR!! flicker filter write must be %u bytes"},
    {"UUID_EMBED_TIMESTAMP_CHARACTERISTIC", ginfCopy_embedTimestamp,
     BLE_STATE_CHANGE_EMBED_TIMESTAMP, &updateAttempt.embedTimestamp, "embed timestamp",
     "ERROR!! embed timestamp write must be %u bytes"},
    {"UUID_SHARPNESS_CHARACTERISTIC", ginfCopy_sharpness, BLE_STATE_CHANGE_SHARPNESS,
     &updateAttempt.sharpness, "sharpness", "ERROR!! sharpness write must be %u bytes"},
    {"UUID_SATURATION_CHARACTERISTIC", ginfCopy_saturation, BLE_STATE_CHANGE_SATURATION,
     &updateAttempt.saturation, "saturation", "ERROR!! saturation write must be %u bytes"},
    {"UUID_PLAYBACK_RATE_CHARACTERISTIC", ginfCopy_playbackRate, BLE_STATE_CHANGE_PLAYBACK_RATE,
     &updateAttempt.playbackRate, "playback rate", "ERROR!! playback rate write must be %u bytes"},
};

static bt_att_error_t settingAccess(const settingChar_t& c, bt_gatt_fcn_t rw, uint8_t* length,
                                    uint8_t* data) {
  updateStateMachine(BLESTATE_UPDATE_REASON_MSG_RECVD);
  if (!authed()) return authRequired(c.uuidName);
  if (rw == BT_GATT_FCN_READ) {
    uint32_t v;
    if (!c.copy(&v)) return BT_ATT_ERROR_APPLICATION_ERROR;
    memcpy(data, &v, 4);
    *length = 4;
    return BT_ATT_ERROR_SUCCESS;
  }
  if (rw != BT_GATT_FCN_WRITE) {
    return logOnlyRefusal("ERROR!! Characteristic only supports write and read");
  }
  if (*length != 4) {
    bleQueueDebugConsoleMsg(c.sizeError, 4u);
    return BT_ATT_ERROR_INVALID_ATTRIBUTE_VALUE_LENGTH;
  }
  return queueUpdateAttempt(c.stateChange, data, c.slot, c.name);
}

#define SETTING_CB(fn, index)                                                                \
  static bt_att_error_t fn(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length, uint16_t, \
                           uint8_t* data) {                                                  \
    return settingAccess(settingChars[index], rw, length, data);                             \
  }
SETTING_CB(interval_char_cb, 0)
SETTING_CB(exposure_mode_char_cb, 1)
SETTING_CB(flicker_filter_char_cb, 2)
SETTING_CB(embed_timestamp_char_cb, 3)
SETTING_CB(sharpness_char_cb, 4)
SETTING_CB(saturation_char_cb, 5)
SETTING_CB(playback_rate_char_cb, 6)

static bt_att_error_t schedule_char_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length,
                                       uint16_t, uint8_t* data) {
  updateStateMachine(BLESTATE_UPDATE_REASON_MSG_RECVD);
  REQUIRE_AUTH("UUID_SCHEDULE_CHARACTERISTIC");
  if (rw == BT_GATT_FCN_READ) {
    bleScheduleMsg_fw14701_t m;
    uint32_t fileSplit, overwrite;
    if (!ginfCopy_schedule(&m.schedule) || !ginfCopy_fileSplit(&fileSplit) ||
        !ginfCopy_overwriteOldFiles(&overwrite))
      return BT_ATT_ERROR_APPLICATION_ERROR;
    m.fileSplit = fileSplit;
    m.overwriteOldFiles = overwrite;
    memcpy(data, &m, sizeof m);
    *length = sizeof m;
    DBGLOG("copied schedule: enabled %d, start %d, stop %d, week %d, fileSplit %d, "
           "overwriteOldFiles %d\n",
           (int)m.schedule.enabled, (int)m.schedule.scheduleStartTime,
           (int)m.schedule.scheduleStopTime, (int)m.schedule.scheduleWeek, (int)m.fileSplit,
           (int)m.overwriteOldFiles);
    return BT_ATT_ERROR_SUCCESS;
  }
  if (rw != BT_GATT_FCN_WRITE) {
    return logOnlyRefusal("ERROR!! Characteristic only supports write and read");
  }
  if (*length != sizeof(bleScheduleMsg_fw14701_t)) {
    bleQueueDebugConsoleMsg("ERROR!! Schedule write must be %u bytes",
                            (unsigned)sizeof(bleScheduleMsg_fw14701_t));
    return BT_ATT_ERROR_INVALID_ATTRIBUTE_VALUE_LENGTH;
  }
  uint32_t bit = 1u << (BLE_STATE_CHANGE_SCHEDULE - 1);
  uint32_t s = os_irq_disable();
  bool pending = (bleNeedToUpdateBitmap & bit) != 0;
  if (!pending) {
    memcpy(&updateAttempt.schedule, data, sizeof updateAttempt.schedule);
    bleNeedToUpdateBitmap |= bit;
  }
  os_irq_restore(s);
  if (pending) {
    bleQueueDebugConsoleMsg("ERROR!! already have a pending schedule update");
    return BT_ATT_ERROR_UNLIKELY_ERROR;
  }
  bleQueueWork("schedule_char_cb");
  bleQueueDebugConsoleMsg("queued schedule update");
  return BT_ATT_ERROR_SUCCESS;
}

static bt_att_error_t sd_card_status_char_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw,
                                             uint8_t* length, uint16_t, uint8_t* data) {
  updateStateMachine(BLESTATE_UPDATE_REASON_MSG_RECVD);
  REQUIRE_AUTH("UUID_SD_CARD_STATUS_CHARACTERISTIC");
  if (rw != BT_GATT_FCN_READ) {
    return logOnlyRefusal("ERROR!! SD card status characteristic only supports read");
  }
  bleSDcardstatus_t m;
  if (!ginfCopy_sdcardspace(&m.sdCardSpace)) return BT_ATT_ERROR_APPLICATION_ERROR;
  // Only a known status says whether a card is in; anything else is "not available".
  int8_t noCard = ginfIsStatusSet(STATUS_NO_SD_CARD);
  if (noCard != 0 && noCard != 1) return BT_ATT_ERROR_APPLICATION_ERROR;
  m.isSDCardMounted = noCard == 1 ? 0 : 1;
  memcpy(data, &m, sizeof m);
  *length = sizeof m;
  DBGLOG("isSDCardMounted: %u, usedSpacePercent: %u, freeSpaceMB: %u, totalSpaceMB: %u\n",
         (unsigned)m.isSDCardMounted, (unsigned)m.sdCardSpace.usedSpacePercent,
         (unsigned)m.sdCardSpace.freeSpaceMB, (unsigned)m.sdCardSpace.totalSpaceMB);
  return BT_ATT_ERROR_SUCCESS;
}

static bt_att_error_t stack_char_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length,
                                    uint16_t, uint8_t* data) {
  updateStateMachine(BLESTATE_UPDATE_REASON_MSG_RECVD);
  REQUIRE_AUTH("UUID_STACK_CHARACTERISTIC");
  if (rw != BT_GATT_FCN_READ) return onlyWrite("ERROR!! stack characteristic only supports read");
  data[0] = 0x4F;
  *length = 1;
  return BT_ATT_ERROR_SUCCESS;
}

// A file name from the phone must carry its terminator within its 13 bytes.
static bool terminatedName(const uint8_t* data) {
  return memchr(data, 0, sizeof(filename_t)) != nullptr;
}

static bt_att_error_t directory_char_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length,
                                        uint16_t, uint8_t* data) {
  updateStateMachine(BLESTATE_UPDATE_REASON_MSG_RECVD);
  REQUIRE_AUTH("UUID_DIRECTORY_CHARACTERISTIC");
  if (rw != BT_GATT_FCN_WRITE) {
    return onlyWrite("ERROR!! directory characteristic only supports write");
  }
  if (*length != sizeof(filename_t) || !terminatedName(data)) {
    bleQueueDebugConsoleMsg("ERROR!! directory write size mismatch");
    return BT_ATT_ERROR_INVALID_ATTRIBUTE_VALUE_LENGTH;
  }
  uint32_t s = os_irq_disable();
  updateAttempt.directoryRequest.isRequested = true;
  memcpy(updateAttempt.directoryRequest.pattern, data, sizeof(filename_t));
  os_irq_restore(s);
  bleQueueDebugConsoleMsg("directory request queued");
  bleQueueWork("directory_char_cb");
  return BT_ATT_ERROR_SUCCESS;
}

static bt_att_error_t delete_file_from_sd_card_char_cb(uint8_t bearer, bt_uuid_t*,
                                                       bt_gatt_fcn_t rw, uint8_t* length,
                                                       uint16_t, uint8_t* data) {
  updateStateMachine(BLESTATE_UPDATE_REASON_MSG_RECVD);
  REQUIRE_AUTH("UUID_DELETE_FILE_FROM_SD_CARD_CHARACTERISTIC");
  if (rw == BT_GATT_FCN_READ) {
    if (bearer != BLE_INTERNAL_BEARER) return BT_ATT_ERROR_REQ_NOT_SUPPORTED;
    bleDeleteFileFromSDCardResultMsg_t m = {};
    uint32_t s = os_irq_disable();
    bool fromRequest = updateAttempt.deleteFileRequest.filename[0] != '\0';
    if (fromRequest) {
      memcpy(m.filename, updateAttempt.deleteFileRequest.filename, sizeof(filename_t));
      m.resultCode = updateAttempt.deleteFileRequest.result;
      updateAttempt.deleteFileRequest.filename[0] = '\0';
    }
    os_irq_restore(s);
    if (!fromRequest) {
      camifCopyLastDeletedFileFromSDCard(&m.filename);
      m.resultCode = 0;
    }
    memcpy(data, &m, sizeof m);
    *length = sizeof m;
    return BT_ATT_ERROR_SUCCESS;
  }
  if (rw != BT_GATT_FCN_WRITE) {
    return logOnlyRefusal("ERROR!! Characteristic only supports write and read");
  }
  if (*length != sizeof(filename_t) || !terminatedName(data)) {
    bleQueueDebugConsoleMsg("ERROR!! delete file write size mismatch");
    return BT_ATT_ERROR_INVALID_ATTRIBUTE_VALUE_LENGTH;
  }
  uint32_t s = os_irq_disable();
  updateAttempt.deleteFileRequest.isRequested = true;
  memcpy(updateAttempt.deleteFileRequest.filename, data, sizeof(filename_t));
  os_irq_restore(s);
  bleQueueDebugConsoleMsg("delete file request queued");
  bleQueueWork("delete_file_from_sd_card_char_cb");
  return BT_ATT_ERROR_SUCCESS;
}

// ---- CCCDs ------------------------------------------------------------------------------------------

static bt_att_error_t cccd_access_helper(bool* enabled, bt_gatt_fcn_t rw, uint8_t* length,
                                         uint8_t* data) {
  bt_att_error_t r = BT_ATT_ERROR_SUCCESS;
  if (rw == BT_GATT_FCN_READ && *length > 1) {
    data[0] = *enabled ? 0x02 : 0x00;
    data[1] = 0;
    *length = 2;
  } else if (rw == BT_GATT_FCN_READ && *length <= 1) {
    // The host hands an empty length with room for any value.
    data[0] = *enabled ? 0x02 : 0x00;
    data[1] = 0;
    *length = 2;
  } else if (rw == BT_GATT_FCN_WRITE && *length == 2) {
    uint32_t s = os_irq_disable();
    *enabled = (data[0] & 0x02) != 0;
    os_irq_restore(s);
  } else {
    r = BT_ATT_ERROR_INVALID_ATTRIBUTE_VALUE_LENGTH;
  }
  if (r == BT_ATT_ERROR_SUCCESS) {
    DBGLOG("CCCD %s: %s\n", rw == BT_GATT_FCN_READ ? "read" : "write",
           *enabled ? "enabled" : "disabled");
  } else {
    DBGLOG("ERROR!! bt_att_error_t: %d\n", (int)r);
  }
  return r;
}

static bt_att_error_t cccd_frame_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length,
                                    uint16_t, uint8_t* data) {
  REQUIRE_AUTH("UUID_FRAME_CHARACTERISTIC");
  return cccd_access_helper(&srv.frameIndicationControlBlock.enabled, rw, length, data);
}

static bt_att_error_t cccd_directory_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length,
                                        uint16_t, uint8_t* data) {
  REQUIRE_AUTH("UUID_DIRECTORY_CHARACTERISTIC");
  return cccd_access_helper(&srv.directoryIndicationControlBlock.enabled, rw, length, data);
}

static bt_att_error_t cccd_debug_console_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw,
                                            uint8_t* length, uint16_t, uint8_t* data) {
  return cccd_access_helper(&srv.debugConsoleIndicationControlBlock.enabled, rw, length, data);
}

static bt_att_error_t cccd_state_change_cb(uint8_t, bt_uuid_t*, bt_gatt_fcn_t rw, uint8_t* length,
                                           uint16_t, uint8_t* data) {
  bt_att_error_t r =
      cccd_access_helper(&srv.stateChangeIndicationControlBlock.enabled, rw, length, data);
  if (r == BT_ATT_ERROR_SUCCESS && srv.stateChangeIndicationControlBlock.enabled)
    BLE_LOG_STATE_CHANGE(BLE_STATE_CHANGE_CAMSERVER_CONNECTION_LEVEL);
  return r;
}

// ---- The service table ------------------------------------------------------------------------------

struct charDef_t {
  uint8_t uuidByte;
  uint8_t perm;
  uint8_t props;
  bt_gatt_server_cb_t cb;
  bt_gatt_server_cb_t cccd;
  indication_control_block_t* block;
};

static const charDef_t serviceTable[] = {
    {0x33, 3, 0x28, frame_char_cb, cccd_frame_cb, &srv.frameIndicationControlBlock},
    {0x44, 3, 0x0A, registration_code_char_cb, nullptr, nullptr},
    {0x55, 1, 0x02, camera_id_char_cb, nullptr, nullptr},
    {0x66, 3, 0x0A, ssid_char_cb, nullptr, nullptr},
    {0x77, 3, 0x0A, password_char_cb, nullptr, nullptr},
    {0x88, 2, 0x08, clock_char_cb, nullptr, nullptr},
    {0x99, 3, 0x0A, access_code_char_cb, nullptr, nullptr},
    {0xAA, 3, 0x20, indication_char_dummy_cb, cccd_debug_console_cb,
     &srv.debugConsoleIndicationControlBlock},
    {0xBB, 1, 0x02, version_char_cb, nullptr, nullptr},
    {0xCC, 3, 0x0A, record_mode_char_cb, nullptr, nullptr},
    {0xDD, 3, 0x20, indication_char_dummy_cb, cccd_state_change_cb,
     &srv.stateChangeIndicationControlBlock},
    {0x14, 1, 0x02, battery_char_cb, nullptr, nullptr},
    {0x12, 3, 0x0A, interval_char_cb, nullptr, nullptr},
    {0x13, 3, 0x0A, schedule_char_cb, nullptr, nullptr},
    {0xFF, 1, 0x02, sd_card_status_char_cb, nullptr, nullptr},
    {0x15, 1, 0x02, stack_char_cb, nullptr, nullptr},
    {0x16, 3, 0x0A, exposure_mode_char_cb, nullptr, nullptr},
    {0x17, 3, 0x0A, flicker_filter_char_cb, nullptr, nullptr},
    {0x18, 3, 0x0A, embed_timestamp_char_cb, nullptr, nullptr},
    {0x19, 3, 0x0A, sharpness_char_cb, nullptr, nullptr},
    {0x1A, 3, 0x0A, saturation_char_cb, nullptr, nullptr},
    {0x1B, 3, 0x0A, playback_rate_char_cb, nullptr, nullptr},
    {0x1C, 3, 0x28, directory_char_cb, cccd_directory_cb, &srv.directoryIndicationControlBlock},
    {0x1D, 2, 0x08, delete_file_from_sd_card_char_cb, nullptr, nullptr},
};
static_assert(sizeof serviceTable / sizeof serviceTable[0] == 24, "24 characteristics");

static bool createService(void) {
  bt_gap_init();
  if (common_server_create(advName, 0, "Innophase Inc") != 0) return false;
  uint8_t uuid[16];
  memset(uuid, 0x11, sizeof uuid);
  srv.gatt_service = bt_gatt_create_service_128(uuid);
  if (srv.gatt_service == nullptr) return false;
  for (const charDef_t& c : serviceTable) {
    memset(uuid, c.uuidByte, sizeof uuid);
    bt_gatt_char* ch = bt_gatt_add_char_128(srv.gatt_service, uuid, c.perm, c.props, c.cb);
    if (ch == nullptr) return false;
    if (c.cccd != nullptr) {
      if (bt_gatt_add_desc_16(ch, 0x2902, 3, 0x0A, c.cccd) != 0) return false;
      c.block->characteristic = ch;
    }
  }
  return bt_gatt_add_service(srv.gatt_service) == 0;
}

static bool bleStartStopAdvertisement(bool isStart) {
  if (randomStaticAddress[0] == 0) {
    const cameraID_t* id = ginfGet_cameraID();
    if (id == nullptr) {
      DBGLOG("WARNING!! Camera ID invalid, can't start BLE server\n");
      return false;
    }
    for (int i = 0; i < 6; i++) randomStaticAddress[i] = (uint8_t)(id->cameraID[i] & 0xFF);
    randomStaticAddress[0] |= 0xC0;
  }
  const char* name = bleGetAdvName();
  bt_hci_addr_t zero = {};
  if (!isStart) {
    if (srv.gatt_link != nullptr) {
      bt_gap_terminate_connection(srv.clientHandle, 68);
      bt_gap_server_link_remove(srv.gatt_link);
      srv.gatt_link = nullptr;
      srv.clientHandle = BLE_NO_CLIENT;
    }
    bt_gap_discoverable_mode(0, (bt_hci_addr_type_t)0, (bt_hci_addr_type_t)0, &zero, nullptr);
    bt_gap_connectable_mode(0, (bt_hci_addr_type_t)0, (bt_hci_addr_type_t)0, &zero, nullptr);
    bleResetState();
    DBGLOG("BLE server stopped\n");
    return true;
  }
  if (name == nullptr) {
    DBGLOG("ERROR!! Can't start BLE server\n");
    return false;
  }
  if (!ginfCopy_accessCode(nullptr)) {
    DBGLOG("ERROR!! Access code invalid, can't start BLE server\n");
    return false;
  }
  if (!serverHasBeenCreatedBefore) {
    if (!createService()) {
      DBGLOG("ERROR!! Can't start BLE server\n");
      return false;
    }
    serverHasBeenCreatedBefore = true;
  }
  const bt_gap_cfg_adv_t cfg = {10240, 0, 160, 1600, 0, 7};
  bt_gap_cfg_adv_set(&cfg);
  bt_gap_addr_set(bt_hci_addr_type_random, randomStaticAddress);
  bt_gap_discoverable_mode(GAP_DISCOVERABLE_MODE_GENERAL, bt_hci_addr_type_random,
                           bt_hci_addr_type_public, &zero, &gap_ops);
  bt_gap_connectable_mode(GAP_CONNECTABLE_MODE_UNDIRECT, bt_hci_addr_type_random,
                          bt_hci_addr_type_public, &zero, &gap_ops);
  DBGLOG("BLE server started with advName: %s\n", name);
  return true;
}

// ---- Link callbacks (the BLE host's thread) --------------------------------------------------------

static void connected_cb(bt_hci_evt_le_conn_cmpl_t* event) {
  DBGLOG("Client connected\n");
  bleResetState();
  updateStateMachine(BLESTATE_UPDATE_REASON_CLIENT_CONNECTED);
  os_sem_init(&indicationSem, 1);
  srv.clientHandle = (uint8_t)(event->handle & 0xFF);
  srv.gatt_link = bt_gap_server_link_add(srv.clientHandle);
  DBGLOG("server handle %u\n", (unsigned)srv.clientHandle);
  code_t code;
  bool open = ginfCopy_accessCode(&code) && code[0] == '\0';
  uint32_t s = os_irq_disable();
  srv.isAccessAuthed = open;
  os_irq_restore(s);
  sysstate_setBLEConnectionOpenState(true);
}

static void disconnected_cb(bt_hci_evt_disconn_complete_t*) {
  DBGLOG("Client disconnected\n");
  if (srv.gatt_link != nullptr) {
    bt_gap_server_link_remove(srv.gatt_link);
    srv.gatt_link = nullptr;
    bt_hci_addr_t zero = {};
    bt_gap_connectable_mode(GAP_CONNECTABLE_MODE_UNDIRECT, bt_hci_addr_type_random,
                            bt_hci_addr_type_public, &zero, &gap_ops);
  }
  srv.clientHandle = BLE_NO_CLIENT;
  bleResetState();
  os_sem_post(&indicationSem);
  sysstate_setBLEConnectionOpenState(false);
}

static void indication_cb(void) { os_sem_post(&indicationSem); }

// ---- Indications -----------------------------------------------------------------------------------

// A failure of the debug console's own channel is only logged: queued, it would be sent on the
// channel that just failed, fail again and queue another line, for ever.
#define REPORT_SEND_FAILURE(cb, ...)                                         \
  do {                                                                       \
    if ((cb) == &srv.debugConsoleIndicationControlBlock) {                   \
      char text_[BLE_DEBUG_CONSOLE_TEXT_MAX + 1];                            \
      snprintf(text_, sizeof text_, __VA_ARGS__);                            \
      DBGLOG("(BLE-NQ) log: \"%s\"\n", text_);                              \
    } else {                                                                 \
      bleQueueDebugConsoleMsg(__VA_ARGS__);                                  \
    }                                                                        \
  } while (0)

static bool sendIndication(const uint8_t* data, uint32_t* length, indication_control_block_t* cb) {
  if (!linkExists() || data == nullptr || cb == nullptr || !cb->enabled) return false;
  if (*length == 0) return true;
  os_sem_wait(&messageSem);
  while (*length > 0) {
    if (os_sem_wait_timeout(&indicationSem, BLE_CONFIRMATION_TIMEOUT_USECS) != 0) {
      REPORT_SEND_FAILURE(cb, "ERROR!! Timed out waiting for indication to be acknowledged");
      os_sem_post(&messageSem);
      return false;
    }
    gatt_server_link* link = srv.gatt_link;
    if (link == nullptr) {
      os_sem_post(&messageSem);
      return false;
    }
    uint32_t n = *length < BLE_INDICATION_MAX ? *length : BLE_INDICATION_MAX;
    memcpy(indicationPacket, data, n);
    bt_att_error_t r =
        bt_gatt_indication(link, cb->characteristic, (uint16_t)n, indicationPacket, indication_cb);
    if (r != BT_ATT_ERROR_SUCCESS) {
      REPORT_SEND_FAILURE(cb, "ERROR!! bt_gatt_indication bt_gatt_error_t: %d", (int)r);
      os_sem_post(&indicationSem);
      os_sem_post(&messageSem);
      return false;
    }
    data += n;
    *length -= n;
  }
  os_sem_post(&messageSem);
  return true;
}

// ---- Queued work --------------------------------------------------------------------------------------

// Takes the oldest debug line out of the ring (with interrupts masked, as producers on other
// threads add to it); false when it is empty.
static bool takeOldestDebugLine(bleSizedDebugConsoleMsg_t* out) {
  uint32_t s = os_irq_disable();
  bool any = bleDebugConsoleQueueLength > 0;
  if (any) {
    uint32_t oldest = (bleDebugConsoleQueueHead + BLE_DEBUG_QUEUE_ENTRIES -
                       bleDebugConsoleQueueLength) % BLE_DEBUG_QUEUE_ENTRIES;
    *out = bleDebugConsoleMsgQueue[oldest];
    bleDebugConsoleQueueLength--;
  }
  os_irq_restore(s);
  return any;
}

static bt_att_error_t copyStateChangeMessage(uint32_t n, uint8_t* msg, uint8_t* length) {
  bt_uuid_t uuid = {};
  switch (n) {
    case BLE_STATE_CHANGE_ACCESS_CODE_AUTHENTICATION:
      updateStateMachine(BLESTATE_UPDATE_REASON_MSG_RECVD);
      msg[0] = authed() ? 1 : 0;
      *length = 1;
      return BT_ATT_ERROR_SUCCESS;
    case BLE_STATE_CHANGE_CAMSERVER_CONNECTION_LEVEL:
      msg[0] = (sysstateSystemState & sysstate_WiFiSessionIsOpen)   ? 2
               : (sysstateSystemState & sysstate_WiFiConnectedToAP) ? 1
                                                                     : 0;
      *length = 1;
      return BT_ATT_ERROR_SUCCESS;
    case BLE_STATE_CHANGE_STATISTICS_REPORT: {
      srReport_t report;
      srCopyUpdatedStatisticsReport(&report);
      memcpy(msg, &report, sizeof report);
      *length = sizeof report;
      DBGLOG("reporting via BLE\n");
      srPrintStatisticsReport(&report);
      return BT_ATT_ERROR_SUCCESS;
    }
    default:
      break;
  }
  bt_gatt_server_cb_t handler = nullptr;
  switch (n) {
    case BLE_STATE_CHANGE_SSID: handler = ssid_char_cb; break;
    case BLE_STATE_CHANGE_PASSWORD: handler = password_char_cb; break;
    case BLE_STATE_CHANGE_RECORDING: handler = record_mode_char_cb; break;
    case BLE_STATE_CHANGE_SD_CARD_STATUS: handler = sd_card_status_char_cb; break;
    case BLE_STATE_CHANGE_INTERVAL: handler = interval_char_cb; break;
    case BLE_STATE_CHANGE_SCHEDULE: handler = schedule_char_cb; break;
    case BLE_STATE_CHANGE_BATTERY_LEVEL: handler = battery_char_cb; break;
    case BLE_STATE_CHANGE_EXPOSURE_MODE: handler = exposure_mode_char_cb; break;
    case BLE_STATE_CHANGE_FLICKER_FILTER: handler = flicker_filter_char_cb; break;
    case BLE_STATE_CHANGE_EMBED_TIMESTAMP: handler = embed_timestamp_char_cb; break;
    case BLE_STATE_CHANGE_SHARPNESS: handler = sharpness_char_cb; break;
    case BLE_STATE_CHANGE_SATURATION: handler = saturation_char_cb; break;
    case BLE_STATE_CHANGE_PLAYBACK_RATE: handler = playback_rate_char_cb; break;
    case BLE_STATE_CHANGE_DELETE_FILE_RESULT: handler = delete_file_from_sd_card_char_cb; break;
    default:
      DBGLOG("ERROR!! Unknown/none state change\n");
      return BT_ATT_ERROR_REQ_NOT_SUPPORTED;
  }
  // The SSID and password are up to 64 bytes; the biggest value (battery) is 84.
  uint8_t value[256];
  uint8_t len = 0;
  bt_att_error_t r = handler(BLE_INTERNAL_BEARER, &uuid, BT_GATT_FCN_READ, &len, 0, value);
  if (r == BT_ATT_ERROR_SUCCESS) {
    if (len > sizeof stateChangeMsg.msg) len = sizeof stateChangeMsg.msg;
    memcpy(msg, value, len);
    *length = len;
  }
  return r;
}

static void bleSendMessages(void) {
  bleSizedDebugConsoleMsg_t line;
  // Only the lines queued before this run: those that sending adds wait for the next one.
  uint32_t s = os_irq_disable();
  uint32_t lines = bleDebugConsoleQueueLength;
  os_irq_restore(s);
  while (lines-- > 0 && takeOldestDebugLine(&line)) {
    whenToSendAnnouncement = SYSTIMER_NEVER;
    uint32_t length = line.debugLogSize + 8;
    if (sendIndication((const uint8_t*)&line.msg, &length,
                       &srv.debugConsoleIndicationControlBlock)) {
      DBGLOG("==> %.*s\n", (int)line.debugLogSize, line.msg.debugLog);
    }
  }

  s = os_irq_disable();
  uint32_t snapshot = bleStateChangedBitmap;
  os_irq_restore(s);
  for (uint32_t n = 1; n < BLE_STATE_CHANGE_SIZE; n++) {
    uint32_t bit = 1u << (n - 1);
    if (!(snapshot & bit)) continue;
    s = os_irq_disable();
    bleStateChangedBitmap &= ~bit;
    os_irq_restore(s);
    if (!linkExists() || !srv.stateChangeIndicationControlBlock.enabled) {
      bleQueueDebugConsoleMsg("ERROR!! Internal state change msg error with %u", (unsigned)n);
      continue;
    }
    uint8_t len = 0;
    if (copyStateChangeMessage(n, stateChangeMsg.msg, &len) != BT_ATT_ERROR_SUCCESS) {
      DBGLOG("ERROR!! Failed to get state change data\n");
      continue;
    }
    stateChangeMsg.sequenceNumber =
        (uint32_t)ostsAtomicIncrementThenGet(&bleTotalStateChangeQueuedMessages);
    stateChangeMsg.timestamp = secondsSinceBoot();
    stateChangeMsg.stateChangeType = n;
    uint32_t length = 12u + len;
    DBGLOG("sending size: %u\n", (unsigned)length);
    if (sendIndication((const uint8_t*)&stateChangeMsg, &length,
                       &srv.stateChangeIndicationControlBlock))
      DBGLOG("==> state change enum: %u\n", (unsigned)n);
  }

  systimer_t now = os_systime64();
  if (now >= whenToSendAnnouncement) {
    whenToSendAnnouncement = now + BLE_ANNOUNCEMENT_RETRY_USECS;
    bleQueueDebugConsoleMsg("Camera is running");
  }
}

// ---- Large-data streams (frame, directory), run by tasks of the SPI channel ---------------------

static uint32_t directoryCommandSignature;

static errorCodes initGetFrame_spiCB(spi2fpgaCallbackType, volatile spiMessage_t*,
                                     volatile spiTask_t* task) {
  uint32_t signature = 0;
  errorCodes r = camifSend_MODE_LIVE_VIEW_W_SETTINGS("initGetFrame_spiCB", LV_SCALE_768x432, 1,
                                                     &signature);
  task->cameraMessageCommandSignature = signature;
  return r;
}

static errorCodes initGetDirectory_spiCB(spi2fpgaCallbackType, volatile spiMessage_t*,
                                         volatile spiTask_t* task) {
  filename_t pattern;
  uint32_t s = os_irq_disable();
  memcpy(pattern, updateAttempt.directoryRequest.pattern, sizeof pattern);
  os_irq_restore(s);
  errorCodes r = camifGetDirectory(&pattern, &directoryCommandSignature);
  task->cameraMessageCommandSignature = directoryCommandSignature;
  return r;
}

static errorCodes recvForIndicationLargeData_spiCB(spi2fpgaCallbackType,
                                                   volatile spiMessage_t* message,
                                                   volatile spiTask_t* task) {
  indication_control_block_t* cb = (indication_control_block_t*)task->callbackArg;
  uint8_t* buffer = message->buffer;
  if (message->beginningOfMessage) {
    // A message shorter than its own header has no payload to announce.
    if (message->messageLength < 12 || message->bytesInBuffer < 12)
      return ERRORCODE_TEMPORARY_ERROR;
    int32_t size = message->messageLength - 12;
    memcpy(buffer, &size, sizeof size);
    DBGLOG("sending header with size: %u\n", (unsigned)size);
    uint32_t headerLength = sizeof size;
    cb->streamAnnounced = false;
    if (!sendIndication(buffer, &headerLength, cb)) return ERRORCODE_TEMPORARY_ERROR;
    cb->streamAnnounced = true;
    cb->streamSize = (uint32_t)size;
    cb->streamSent = 0;
    message->bytesInBuffer = message->bytesInBuffer - 12;
    buffer += 12;
  }
  uint32_t remaining = message->bytesInBuffer;
  bool ok = sendIndication(buffer, &remaining, cb);
  cb->streamSent += message->bytesInBuffer - remaining;
  message->bytesInBuffer = remaining;  // what is left undelivered
  return ok ? ERRORCODE_SUCCESS : ERRORCODE_TEMPORARY_ERROR;
}

static errorCodes indicationLargeDataError_spiCB(spi2fpgaCallbackType type,
                                                 volatile spiMessage_t* message,
                                                 volatile spiTask_t* task) {
  indication_control_block_t* cb = (indication_control_block_t*)task->callbackArg;
  bool headerDelivered = cb->streamAnnounced;
  cb->streamAnnounced = false;
  if (type != SPI2FPGA_CB_ERROR) return ERRORCODE_SUCCESS;
  uint8_t* buffer = message->buffer;
  if (headerDelivered) {
    // The phone always gets as many bytes as were announced.
    uint32_t remaining = cb->streamSize - cb->streamSent;
    bleQueueDebugConsoleMsg("ERROR!! request failed with %u / %u left", (unsigned)remaining,
                            (unsigned)cb->streamSize);
    uint32_t piece = message->spiXferLen;
    memset(buffer, 0, piece);
    while (remaining > 0) {
      uint32_t n = remaining < piece ? remaining : piece;
      DBGLOG("sending %u bytes of 0's\n", (unsigned)n);
      uint32_t left = n;
      if (!sendIndication(buffer, &left, cb)) break;
      remaining -= n;
    }
  } else {
    bleQueueDebugConsoleMsg("ERROR!! request failed to start");
    int32_t code = task->resultCode;
    if (code >= 0) {
      DBGLOG("ERROR!! spi resultCode %d should be error\n", (int)code);
      code = ERRORCODE_TEMPORARY_ERROR;
    }
    uint8_t header[4];
    memcpy(header, &code, sizeof code);
    uint32_t length = sizeof header;
    if (!sendIndication(header, &length, cb)) DBGLOG("ERROR!! sendIndication failed\n");
  }
  return ERRORCODE_TEMPORARY_ERROR;
}

static bool queueLargeDataRequest(bool isFrame) {
  if (isFrame)
    return spi2fpgaQueueTask_internalBuff(spiDataSrcFlag_LiveView, &srv.frameIndicationControlBlock,
                                          nullptr, initGetFrame_spiCB,
                                          recvForIndicationLargeData_spiCB,
                                          indicationLargeDataError_spiCB, 0);
  return spi2fpgaQueueTask_internalBuff(spiDataSrcFlag_DirList1,
                                        &srv.directoryIndicationControlBlock, nullptr,
                                        initGetDirectory_spiCB, recvForIndicationLargeData_spiCB,
                                        indicationLargeDataError_spiCB, 0);
}

struct settingApply_t {
  bleStateChange_t stateChange;
  const char* stateChangeName;
  errorCodes (*apply)(void);
  const char* failure;
};

static errorCodes applyInterval(void) {
  int32_t v = (int32_t)updateAttempt.interval;
  return ginfInterval(&v, DATA_AUTHORITY_BLE);
}
static errorCodes applySchedule(void) {
  bleScheduleMsg_fw14701_t m = updateAttempt.schedule;
  errorCodes a = ginfSchedule(&m.schedule, DATA_AUTHORITY_BLE);
  uint32_t fileSplit = m.fileSplit, overwrite = m.overwriteOldFiles;
  errorCodes b = ginfFileSplit(&fileSplit, DATA_AUTHORITY_BLE);
  errorCodes c = ginfOverwriteOldFiles(&overwrite, DATA_AUTHORITY_BLE);
  return a != 0 ? a : b != 0 ? b : c;
}
#define APPLY_U32(fn, field, setter)                                  \
  static errorCodes fn(void) {                                        \
    uint32_t v = updateAttempt.field;                                 \
    return setter(&v, DATA_AUTHORITY_BLE);                            \
  }
APPLY_U32(applyExposureMode, exposureMode, ginfExposureMode)
APPLY_U32(applyFlickerFilter, flickerFilter, ginfFlickerFilter)
APPLY_U32(applyEmbedTimestamp, embedTimestamp, ginfEmbedTimestamp)
APPLY_U32(applySharpness, sharpness, ginfSharpness)
APPLY_U32(applySaturation, saturation, ginfSaturation)
APPLY_U32(applyPlaybackRate, playbackRate, ginfPlaybackRate)

#define SC(n) n, #n
static const settingApply_t settingApplies[] = {
    {SC(BLE_STATE_CHANGE_INTERVAL), applyInterval, "ERROR!! interval update failed"},
    {SC(BLE_STATE_CHANGE_SCHEDULE), applySchedule, "ERROR!! schedule update failed"},
    {SC(BLE_STATE_CHANGE_EXPOSURE_MODE), applyExposureMode, "ERROR!! exposure mode update failed"},
    {SC(BLE_STATE_CHANGE_FLICKER_FILTER), applyFlickerFilter,
     "ERROR!! flicker filter update failed"},
    {SC(BLE_STATE_CHANGE_EMBED_TIMESTAMP), applyEmbedTimestamp,
     "ERROR!! embed timestamp update failed"},
    {SC(BLE_STATE_CHANGE_SHARPNESS), applySharpness, "ERROR!! sharpness update failed"},
    {SC(BLE_STATE_CHANGE_SATURATION), applySaturation, "ERROR!! saturation update failed"},
    {SC(BLE_STATE_CHANGE_PLAYBACK_RATE), applyPlaybackRate, "ERROR!! playback rate update failed"},
};

static void doQueuedWork(os_work*) {
  bleSendMessages();

  recording_mode_t rec = updateAttempt.recordingRequest;
  if (rec == RECORDING_REQUEST_STOP) {
    if (camifSend_MODE_IDLE("doQueuedWork", MODE_REASON_BLE) == 0)
      updateAttempt.recordingRequest = RECORDING_REQUEST_NONE;
  } else if (rec == RECORDING_REQUEST_START) {
    if (camifSend_MODE_TIME_LAPSE("doQueuedWork", MODE_REASON_BLE) != 0) {
      bleQueueDebugConsoleMsg("%s", (sysstateSystemState & sysstate_BatteryLowPreventRecording)
                                        ? "Recording request denied; battery is too low"
                                        : "Recording request denied");
    }
    updateAttempt.recordingRequest = RECORDING_REQUEST_NONE;
  }

  // Taken and cleared together: a request written meanwhile stays for the next run.
  uint32_t s = os_irq_disable();
  bool sendFrame = updateAttempt.sendFrame;
  updateAttempt.sendFrame = false;
  bool dirRequested = updateAttempt.directoryRequest.isRequested;
  updateAttempt.directoryRequest.isRequested = false;
  os_irq_restore(s);
  if (sendFrame && !queueLargeDataRequest(true))
    bleQueueDebugConsoleMsg("ERROR!! unable to queue frame request");
  if (dirRequested && !queueLargeDataRequest(false))
    bleQueueDebugConsoleMsg("ERROR!! unable to queue directory request");

  s = os_irq_disable();
  bool deleteRequested = updateAttempt.deleteFileRequest.isRequested;
  filename_t name;
  memcpy(name, updateAttempt.deleteFileRequest.filename, sizeof name);
  os_irq_restore(s);
  if (deleteRequested) {
    errorCodes result = camifDeleteFileFromSDCard(&name, DATA_AUTHORITY_BLE);
    s = os_irq_disable();
    updateAttempt.deleteFileRequest.result = (int8_t)result;
    os_irq_restore(s);
    if (result != 0) bleQueueDebugConsoleMsg("ERROR!! delete file failed");
    BLE_LOG_STATE_CHANGE(BLE_STATE_CHANGE_DELETE_FILE_RESULT);
    s = os_irq_disable();
    updateAttempt.deleteFileRequest.isRequested = false;
    os_irq_restore(s);
  }

  for (const settingApply_t& a : settingApplies) {
    uint32_t bit = 1u << (a.stateChange - 1);
    s = os_irq_disable();
    bool pending = (bleNeedToUpdateBitmap & bit) != 0;
    os_irq_restore(s);
    if (!pending) continue;
    if (a.apply() != 0) bleQueueDebugConsoleMsg("%s", a.failure);
    s = os_irq_disable();
    bleNeedToUpdateBitmap &= ~bit;
    os_irq_restore(s);
    logStateChange(a.stateChange, a.stateChangeName);
  }
}

// ---- Public entry points ------------------------------------------------------------------------------

void bleBluetoothLowEnergy_Init(void) {
  DBGLOG_ENTRY();
  if (!semaphoresReady) {
    os_sem_init(&indicationSem, 1);
    os_sem_init(&messageSem, 1);
    semaphoresReady = true;
  }
  updateStateMachine(BLESTATE_UPDATE_REASON_MODULE_INIT);
}

systimer_t bleBluetoothLowEnergy_Poll(systimer_t next) {
  if (sysstateSystemState & sysstate_BatteryLowCutoff) return next;
  updateStateMachine(BLESTATE_UPDATE_REASON_POLL);
  if (srv.state == BLESTATE_ADVERTISING || srv.state == BLESTATE_CONNECTED) {
    uint32_t s = os_irq_disable();
    systimer_t deadline = whenBLEShouldStopAdvertising;
    os_irq_restore(s);
    if (deadline < next) return deadline;
  }
  return next;
}

void bleHandleSysstateChanges(bool wasButtonPressed) {
  uint32_t now = sysstateSystemState;
  if (wasButtonPressed) updateStateMachine(BLESTATE_UPDATE_REASON_BUTTON_PRESS);
  if ((prevSysstate & sysstate_WiFiSessionIsOpen) && !(now & sysstate_WiFiSessionIsOpen))
    updateStateMachine(BLESTATE_UPDATE_REASON_SESSION_DISCONNECT);
  if ((prevSysstate ^ now) & sysstate_WiFiEnabled)
    updateStateMachine(BLESTATE_UPDATE_REASON_WIFI_ENABLED_CHANGED);
  uint32_t s = os_irq_disable();
  prevSysstate = now;
  os_irq_restore(s);
}

void bleDisconnectAndStopAdvertising(void) {
  updateStateMachine(BLESTATE_UPDATE_REASON_CLIENT_FORCE_DISCONNECT);
}

bleDebugConsoleMsg_t* bleQueueDebugConsoleMsg(const char* fmt, ...) {
  char text[BLE_DEBUG_CONSOLE_TEXT_MAX + 1];
  va_list args;
  va_start(args, fmt);
  int n = vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  uint32_t length = n < 0 ? 0 : (uint32_t)n > BLE_DEBUG_CONSOLE_TEXT_MAX ? BLE_DEBUG_CONSOLE_TEXT_MAX : (uint32_t)n;
  bleDebugConsoleMsg_t* entry = nullptr;
  uint32_t seq = 0;
  // The ring is shared by producers on several threads and the work item: a slot is claimed and
  // filled with interrupts masked, so no line is lost, doubled or written past the ring.
  uint32_t s = os_irq_disable();
  if (linkExists() && srv.frameIndicationControlBlock.enabled &&
      bleDebugConsoleQueueLength < BLE_DEBUG_QUEUE_ENTRIES) {
    bleSizedDebugConsoleMsg_t* slot = &bleDebugConsoleMsgQueue[bleDebugConsoleQueueHead];
    seq = (uint32_t)ostsAtomicIncrementThenGet(&bleTotalDebugConsoleQueuedMessages);
    slot->msg.sequenceNumber = seq;
    slot->msg.timestamp = secondsSinceBoot();
    memcpy(slot->msg.debugLog, text, length + 1);
    slot->debugLogSize = length;
    bleDebugConsoleQueueHead = (bleDebugConsoleQueueHead + 1) % BLE_DEBUG_QUEUE_ENTRIES;
    bleDebugConsoleQueueLength++;
    entry = &slot->msg;
  }
  os_irq_restore(s);
  if (entry != nullptr) {
    bleQueueWork("bleQueueDebugConsoleMsg");
    DBGLOG("(BLE-Q%u) log: \"%s\"\n", (unsigned)seq, text);
  } else {
    DBGLOG("(BLE-NQ) log: \"%s\"\n", text);
  }
  return entry;
}

bool bleQueueStateChangeMsg(bleStateChange_t n) {
  if (n <= BLE_STATE_CHANGE_NONE || n >= BLE_STATE_CHANGE_SIZE) return false;
  if (!linkExists() || !srv.stateChangeIndicationControlBlock.enabled) return false;
  uint32_t s = os_irq_disable();
  bleStateChangedBitmap |= 1u << (n - 1);
  os_irq_restore(s);
  DBGLOG("queued state change: %u\n", (unsigned)n);
  bleQueueWork("bleQueueStateChangeMsg");
  return true;
}

const char* bleGetAdvName(void) {
  if (advName[0] != '\0') return advName;  // built once: the name is fixed for the run
  const cameraID_t* id = ginfGet_cameraID();
  if (id == nullptr) return nullptr;
  snprintf(advName, sizeof advName, "QVR%s", id->cameraID_ascii);
  return advName;
}
