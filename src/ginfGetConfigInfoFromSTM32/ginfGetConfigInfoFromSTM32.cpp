// The mirror of the STM32's configuration and status, the work item that fills it and pushes the
// queued changes, the credentials and account data, and the status poll.
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"

#include <stdio.h>
#include <string.h>

#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"
#include "camidCameraID/camidCameraID.h"
#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "ginfGetConfigInfoFromSTM32/ginfInternal.h"
#include "ginfGetConfigInfoFromSTM32/nvmgrNonVolatileMemoryManager/nvmgrNonVolatileMemoryManager.h"
#include "i2cDevices/i2cbatBattery/i2cbatBattery.h"
#include "main/fwVersion.h"
#include "mtcMainThreadControl/mtcMainThreadControl.h"
#include "statStatus/statStatus.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "ucsl3UDPCameraServerLayer3/chCommandHandlers/chlvLiveView.h"
#include "utilities/utilities.h"
#include "whWorkHandler/whWorkHandler.h"
#include "wifiWiFi/wifiWiFi.h"

// Response time-outs of the STM32 requests, in ms.
#define GINF_CREDENTIAL_TIMEOUT_MS 3000u
#define GINF_CODE_TIMEOUT_MS 3000u
#define GINF_UID_TIMEOUT_MS 2000u
#define GINF_VERSION_TIMEOUT_MS 3000u
#define GINF_STATUS_TIMEOUT_MS 4000u
#define GINF_SYSTEM_CONFIG_TIMEOUT_MS 2000u
#define GINF_RECORDING_STATUS_TIMEOUT_MS 3000u


// The STM32 reports this ID when it could not read its own.
static const uint16_t kBadCameraID[6] = {0, 0, 0, 0, 0, 0x000C};

// The text the STM32 holds for "no value".
static const char kNone[] = "NONE";

ginf_t _ginf;
volatile uint32_t ginfValidDataBitmap;
volatile uint32_t ginfNeedToUpdateBitmap;

static void doQueuedWork(os_work* work);
static os_work ginfWork = {nullptr, doQueuedWork, 0};

// The pending credential changes, written under the interrupt mask.
static wifistring_t SSIDUpdateAttempt;
static wifistring_t passwordUpdateAttempt;
static uint32_t validationAttempt;

// Every buffer below is used under messageLock.
static struct os_semaphore messageLock = {1, {nullptr, nullptr}};
static CameraGetSetSSIDMessage ssidMsg;
static CameraGetSetPWDMessage pwdMsg;
static CameraGetSetUserUID_Message userUIDMsg;
static CameraGetSetCodeMessage codeMsg;
static CameraGetSetBLEAccessCodeMessage accessCodeMsg;
static CameraGetUIDMessage uidMsg;
static CameraGetVersionMessage1 versionMsg;
static CameraGetStatusMessage3 statusMsg;
static CameraGetSystemConfig_Message systemConfigMsg;
static CameraXchgBatteryAndRecordingStatusMessage recordingStatusMsg;

// ---- Shared helpers -------------------------------------------------------------------------

void ginfLockMessages(void) { os_sem_wait(&messageLock); }
void ginfUnlockMessages(void) { os_sem_post(&messageLock); }

bool ginfIsValid(uint32_t flags) {
  uint32_t s = os_irq_disable();
  bool valid = (ginfValidDataBitmap & flags) == flags;
  os_irq_restore(s);
  return valid;
}

bool ginfIsPending(uint32_t flags) {
  uint32_t s = os_irq_disable();
  bool pending = (ginfNeedToUpdateBitmap & flags) == flags;
  os_irq_restore(s);
  return pending;
}

void ginfSetPending(uint32_t flags) {
  uint32_t s = os_irq_disable();
  ginfNeedToUpdateBitmap |= flags;
  os_irq_restore(s);
}

void ginfClearPending(uint32_t flags) {
  uint32_t s = os_irq_disable();
  ginfNeedToUpdateBitmap &= ~flags;
  os_irq_restore(s);
}

void ginfInvalidateAndRequeue(uint32_t flags, const char* func) {
  uint32_t s = os_irq_disable();
  ginfValidDataBitmap &= ~flags;
  os_irq_restore(s);
  ginfQueueWork(func);
}

void ginfQueueBLEStateChange(bleStateChange_t n, const char* name) {
  bool queued = bleQueueStateChangeMsg(n);
  DBGLOG("(BLE-%s) stateChange: %s\n", queued ? "QD" : "NQ", name);
}

// Copies `size` bytes of the record at `field` into `dest` when all of `flags` are valid.
static bool copyIfValid(uint32_t flags, const void* field, void* dest, size_t size) {
  uint32_t s = os_irq_disable();
  bool valid = (ginfValidDataBitmap & flags) == flags;
  if (valid && dest != nullptr) memcpy(dest, field, size);
  os_irq_restore(s);
  return valid;
}

// Stores `size` bytes at `field` of the record and marks `flag` valid, as one step.
static void store(uint32_t flag, void* field, const void* value, size_t size) {
  uint32_t s = os_irq_disable();
  memcpy(field, value, size);
  ginfValidDataBitmap |= flag;
  os_irq_restore(s);
}

// Text from the STM32 as held here: cut at the first control character and always terminated;
// "NONE" and nothing both mean no value. True when there is a value.
static bool cleanText(char* text, size_t size) {
  text[size - 1] = '\0';
  endStringAtFirstControlCharacter(text);
  if (strcmp(text, kNone) == 0) text[0] = '\0';
  if (text[0] == '\0') {
    memset(text, 0, size);
    return false;
  }
  return true;
}

static void copyText(char* dest, size_t destSize, const char* src) {
  size_t n = 0;
  if (src != nullptr) {
    while (n + 1 < destSize && src[n] != '\0') n++;
    memcpy(dest, src, n);
  }
  memset(dest + n, 0, destSize - n);
}

// ---- Start-up and the work item ---------------------------------------------------------------

bool ginfQueueWork(const char* func) {
  bool queued = whQueueWork(&ginfWork);
  DBGLOG("work %s queued from %s\n", queued ? "was" : "already", func);
  return queued;
}

void ginfGetConfigInfoFromSTM32_Init(void) {
  DBGLOG_ENTRY();
  uint32_t s = os_irq_disable();
  memset(&_ginf, 0, sizeof _ginf);
  ginfValidDataBitmap = 0;
  ginfNeedToUpdateBitmap = 0;
  memset(SSIDUpdateAttempt, 0, sizeof SSIDUpdateAttempt);
  memset(passwordUpdateAttempt, 0, sizeof passwordUpdateAttempt);
  os_irq_restore(s);
  validationAttempt = 0;
  ginfClockInit();
  nvmgrNonVolatileMemoryManager_Init();
  ginfQueueWork(__func__);
}

static errorCodes getSpiXferLen(void) {
  ginfLockMessages();
  memset(&systemConfigMsg, 0, sizeof systemConfigMsg);
  errorCodes res =
      stmsgTxRx_debugPrint(&systemConfigMsg, sizeof systemConfigMsg, CMD_getSystemConfig,
                           &systemConfigMsg, sizeof systemConfigMsg, GINF_SYSTEM_CONFIG_TIMEOUT_MS);
  uint32_t length = systemConfigMsg.spiTransferLength;
  ginfUnlockMessages();
  if (res != ERRORCODE_SUCCESS) {
    DBGLOG_TEXT("Failed to get SPI transfer length from STM32");
    ginfInvalidateAndRequeue(GINF_spiXferLen, __func__);
    return res;
  }
  store(GINF_spiXferLen, &_ginf.spiXferLen, &length, sizeof length);
  DBGLOG("Validated SPI transfer length: %d\n", (int)length);
  return res;
}

static errorCodes getCameraID(void) {
  ginfLockMessages();
  memset(&uidMsg, 0, sizeof uidMsg);
  errorCodes res = stmsgTxRx_debugPrint(&uidMsg, sizeof uidMsg, CMD_getUID, &uidMsg, sizeof uidMsg,
                                        GINF_UID_TIMEOUT_MS);
  uint16_t id[6];
  memcpy(id, uidMsg.uid, sizeof id);
  ginfUnlockMessages();
  if (res != ERRORCODE_SUCCESS) {
    DBGLOG_TEXT("Failed to get camera ID from STM32");
    ginfInvalidateAndRequeue(GINF_cameraID, __func__);
    return res;
  }
  if (memcmp(id, kBadCameraID, sizeof id) == 0) {
    DBGLOG_TEXT("ERROR!! bad camera ID detected");
    ginfInvalidateAndRequeue(GINF_cameraID, __func__);
    return ERRORCODE_TEMPORARY_ERROR;
  }
  cameraID_t cid;
  memset(&cid, 0, sizeof cid);
  memcpy(cid.cameraID, id, sizeof id);
  snprintf(cid.cameraID_string, sizeof cid.cameraID_string, "%04X-%04X-%04X-%04X-%04X-%04X", id[0],
           id[1], id[2], id[3], id[4], id[5]);
  if (!encodeAscii85(cid.cameraID, cid.cameraID_ascii, sizeof cid.cameraID_ascii)) {
    DBGLOG_TEXT("ERROR!! Failed to encode camera ID to Ascii85");
  }
  store(GINF_cameraID, &_ginf.cameraID, &cid, sizeof cid);
  DBGLOG("Validated Camera ID: %s; encoded: %s\n", cid.cameraID_string, cid.cameraID_ascii);
  return res;
}

static errorCodes getRegistrationCode(void) {
  ginfLockMessages();
  memset(&codeMsg, 0, sizeof codeMsg);
  errorCodes res = stmsgTxRx_debugPrint(&codeMsg, sizeof codeMsg, CMD_getCode, &codeMsg,
                                        sizeof codeMsg, GINF_CODE_TIMEOUT_MS);
  code_t code;
  memcpy(code, codeMsg.code, sizeof code);
  ginfUnlockMessages();
  if (res != ERRORCODE_SUCCESS) {
    DBGLOG_TEXT("Failed to get registration code from STM32");
    ginfInvalidateAndRequeue(GINF_registrationCode, __func__);
    return res;
  }
  bool hasCode = cleanText(code, sizeof code);
  uint32_t s = os_irq_disable();
  bool changed = memcmp(code, _ginf.registrationCode, sizeof code) != 0;
  memcpy(_ginf.registrationCode, code, sizeof code);
  ginfValidDataBitmap |= GINF_registrationCode;
  os_irq_restore(s);
  if (changed) statMarkStatusBits(KAStatus_registrationCodeChanged, 0xFFFFFFFFu);
  if (hasCode) {
    DBGLOG("Validated registration code: '%s' strlen %d\n", code, (int)strlen(code));
  } else {
    DBGLOG_TEXT("Validated no registration code configured");
  }
  return res;
}

static errorCodes getVersions(const char* advName) {
  ginfLockMessages();
  memset(&versionMsg, 0, sizeof versionMsg);
  copyText(versionMsg.bleName, sizeof versionMsg.bleName, advName);
  versionMsg.versions.innoVersion.versionMajor = FW_VERSION_MAJOR;
  versionMsg.versions.innoVersion.versionMinor = FW_VERSION_MINOR;
  versionMsg.versions.innoVersion.versionPatch = FW_VERSION_BUILD;
  errorCodes res = stmsgTxRx_debugPrint(&versionMsg, sizeof versionMsg, CMD_getVersion1,
                                        &versionMsg, sizeof versionMsg, GINF_VERSION_TIMEOUT_MS);
  versions_t v = versionMsg.versions;
  char bleName[sizeof versionMsg.bleName + 1];
  memcpy(bleName, versionMsg.bleName, sizeof versionMsg.bleName);
  bleName[sizeof versionMsg.bleName] = '\0';
  ginfUnlockMessages();
  if (res != ERRORCODE_SUCCESS) {
    DBGLOG_TEXT("Failed to get versions from STM32");
    ginfInvalidateAndRequeue(GINF_versions, __func__);
    return res;
  }
  // The STM32 answers for itself and the FPGA; this module's version is its own to report.
  v.innoVersion.versionMajor = FW_VERSION_MAJOR;
  v.innoVersion.versionMinor = FW_VERSION_MINOR;
  v.innoVersion.versionPatch = FW_VERSION_BUILD;
  store(GINF_versions, &_ginf.versions, &v, sizeof v);
  DBGLOG(
      "validated versions: \t(STM32 Version: %d.%d.%d)\t(FPGA Version: %d.%d.%d)\t(INNO Version: "
      "%d.%d.%d)\t(BLE Name: %s)\n",
      (int)v.fwVersion.versionMajor, (int)v.fwVersion.versionMinor, (int)v.fwVersion.versionPatch,
      (int)v.fpgaVersion.versionMajor, (int)v.fpgaVersion.versionMinor,
      (int)v.fpgaVersion.versionPatch, (int)v.innoVersion.versionMajor,
      (int)v.innoVersion.versionMinor, (int)v.innoVersion.versionPatch, bleName);
  return res;
}

// ---- Credentials and account data -------------------------------------------------------------

// Reads (null) or writes one credential; true when the held value changed.
struct credential_t {
  uint32_t flag;
  uint16_t setCommand;
  const char* name;  // "SSID", "PWD"
  bleStateChange_t stateChange;
  const char* stateChangeName;
  char* field;         // in _ginf
  char* messageField;  // in the message below
  void* message;       // 77 bytes
};

static bool getSetCredential(const credential_t* c, const wifistring_t* value) {
  const char* func = c->flag == GINF_ssid ? "ginfSSID" : "ginfPWD";
  bool isSet = value != nullptr;
  ginfLockMessages();
  memset(c->message, 0, sizeof(CameraGetSetSSIDMessage));
  if (isSet) {
    memcpy(c->messageField, *value, sizeof(wifistring_t));
    c->messageField[sizeof(wifistring_t) - 1] = '\0';
  }
  uint16_t command = isSet ? c->setCommand : (uint16_t)(c->setCommand | CMD_GET_BIT);
  errorCodes res =
      stmsgTxRx_debugPrint(c->message, sizeof(CameraGetSetSSIDMessage), command, c->message,
                           sizeof(CameraGetSetSSIDMessage), GINF_CREDENTIAL_TIMEOUT_MS);
  wifistring_t text;
  memcpy(text, c->messageField, sizeof text);
  ginfUnlockMessages();

  if (res != ERRORCODE_SUCCESS) {
    if (isSet) {
      bleQueueDebugConsoleMsg("Failed to set %s on STM32", c->name);
    } else {
      DBGLOG_AS(func, "Failed to get %s from STM32\n", c->name);
      ginfInvalidateAndRequeue(c->flag, func);
    }
    return false;
  }
  if (!cleanText(text, sizeof text)) DBGLOG_AS(func, "No %s configured\n", c->name);
  uint32_t s = os_irq_disable();
  bool changed = strcmp(text, c->field) != 0;
  memcpy(c->field, text, sizeof text);
  ginfValidDataBitmap |= c->flag;
  os_irq_restore(s);
  DBGLOG_AS(func, "Validated %s: '%s' strlen %d\n", c->name, text, (int)strlen(text));
  if (isSet || changed) ginfQueueBLEStateChange(c->stateChange, c->stateChangeName);
  return changed;
}

static const credential_t ssidCredential = {
    GINF_ssid,  CMD_setSSID,  "SSID",  BLE_STATE_CHANGE_SSID, "BLE_STATE_CHANGE_SSID",
    _ginf.ssid, ssidMsg.ssid, &ssidMsg};
static const credential_t pwdCredential = {
    GINF_pwd,  CMD_setPWD, "PWD",  BLE_STATE_CHANGE_PASSWORD, "BLE_STATE_CHANGE_PASSWORD",
    _ginf.pwd, pwdMsg.pwd, &pwdMsg};
static_assert(sizeof(CameraGetSetSSIDMessage) == sizeof(CameraGetSetPWDMessage),
              "both credentials use one size");

static bool ginfSSID(const wifistring_t* ssid) { return getSetCredential(&ssidCredential, ssid); }

static bool ginfPWD(const wifistring_t* pwd) { return getSetCredential(&pwdCredential, pwd); }

// Reads (null) or writes the account's user ID; true on success.
static bool ginfUserUID(const MCS_UID_t* userUID) {
  bool isSet = userUID != nullptr;
  ginfLockMessages();
  memset(&userUIDMsg, 0, sizeof userUIDMsg);
  if (isSet) {
    memcpy(userUIDMsg.userID, *userUID, sizeof(MCS_UID_t));
    userUIDMsg.userID[sizeof(MCS_UID_t) - 1] = '\0';
  }
  errorCodes res =
      stmsgTxRx_debugPrint(&userUIDMsg, sizeof userUIDMsg, isSet ? CMD_setUserUID : CMD_getUserUID,
                           &userUIDMsg, sizeof userUIDMsg, GINF_CREDENTIAL_TIMEOUT_MS);
  MCS_UID_t uid;
  memcpy(uid, userUIDMsg.userID, sizeof uid);
  ginfUnlockMessages();
  if (res != ERRORCODE_SUCCESS) {
    if (isSet) {
      bleQueueDebugConsoleMsg("Failed to set User UID on STM32");
    } else {
      DBGLOG_TEXT("Failed to get User UID from STM32");
      ginfInvalidateAndRequeue(GINF_userUID, __func__);
    }
    return false;
  }
  uid[sizeof uid - 1] = '\0';
  uint32_t s = os_irq_disable();
  bool changed = strcmp(uid, _ginf.userUID) != 0;
  memset(_ginf.userUID, 0, sizeof _ginf.userUID);
  memcpy(_ginf.userUID, uid, strlen(uid));
  ginfValidDataBitmap |= GINF_userUID;
  os_irq_restore(s);
  DBGLOG("Validated User UID: %s\n", uid);
  if (changed) statMarkStatusBits(KAStatus_registrationCodeChanged, 0xFFFFFFFFu);
  return true;
}

errorCodes ginfAccessCode(const code_t* code) {
  bool isSet = code != nullptr;
  ginfLockMessages();
  memset(&accessCodeMsg, 0, sizeof accessCodeMsg);
  if (isSet) memcpy(accessCodeMsg.accessCode, *code, sizeof(code_t));
  errorCodes res = stmsgTxRx_debugPrint(&accessCodeMsg, sizeof accessCodeMsg,
                                        isSet ? CMD_setBLEAccessCode : CMD_getBLEAccessCode,
                                        &accessCodeMsg, sizeof accessCodeMsg, GINF_CODE_TIMEOUT_MS);
  code_t answer;
  memcpy(answer, accessCodeMsg.accessCode, sizeof answer);
  ginfUnlockMessages();
  if (res != ERRORCODE_SUCCESS) {
    if (isSet && res == ERRORCODE_PERSISTENT_ERROR) {
      DBGLOG_TEXT("Code is locked");
    } else {
      DBGLOG("Failed to %s access code w/ STM32\n", isSet ? "set" : "get");
      if (!isSet) ginfInvalidateAndRequeue(GINF_accessCode, __func__);
    }
    return res;
  }
  answer[sizeof answer - 1] = '\0';
  endStringAtFirstControlCharacter(answer);
  size_t len = strlen(answer);
  memset(answer + len, 0, sizeof answer - len);
  uint32_t s = os_irq_disable();
  bool changed = memcmp(answer, _ginf.accessCode, sizeof answer) != 0;
  memcpy(_ginf.accessCode, answer, sizeof answer);
  ginfValidDataBitmap |= GINF_accessCode;
  os_irq_restore(s);
  if (changed) statMarkStatusBits(KAStatus_accessCodeChanged, 0xFFFFFFFFu);
  DBGLOG("Validated access code: '%s' strlen %d\n", answer, (int)len);
  return res;
}

// ---- Requests from other threads --------------------------------------------------------------

static int queueCredentialUpdate(uint32_t flag, char* attempt, const char* text) {
  uint32_t s = os_irq_disable();
  if (ginfNeedToUpdateBitmap & flag) {
    os_irq_restore(s);
    return -1;
  }
  copyText(attempt, sizeof(wifistring_t), text);
  ginfNeedToUpdateBitmap |= flag;
  os_irq_restore(s);
  return 0;
}

int ginfQueueSSIDUpdate(const char* ssid) {
  if (queueCredentialUpdate(GINF_ssid, SSIDUpdateAttempt, ssid) != 0) return -1;
  ginfQueueWork(__func__);
  DBGLOG("SSID update queued: %s\n", ssid != nullptr ? ssid : "");
  return 0;
}

int ginfQueuePWDUpdate(const char* pwd) {
  if (queueCredentialUpdate(GINF_pwd, passwordUpdateAttempt, pwd) != 0) return -1;
  ginfQueueWork(__func__);
  DBGLOG("PWD update queued: %s\n", pwd != nullptr ? pwd : "");
  return 0;
}

// The code is the phone's and is kept here only, so the held value is the one that counts: it is
// marked known, and a later read from the STM32 does not replace it.
void ginfQueueRegistrationCodeUpdate(const code_t* code) {
  code_t newCode;
  memset(newCode, 0, sizeof newCode);
  if (code != nullptr) {
    memcpy(newCode, *code, sizeof newCode);
    newCode[sizeof newCode - 1] = '\0';
    endStringAtFirstControlCharacter(newCode);
    size_t len = strlen(newCode);
    memset(newCode + len, 0, sizeof newCode - len);
  }
  store(GINF_registrationCode, _ginf.registrationCode, newCode, sizeof newCode);
  if (code == nullptr) {
    DBGLOG_TEXT("cleared registration code");
    return;
  }
  statMarkStatusBits(KAStatus_registrationCodeChanged, 0xFFFFFFFFu);
  mtcWakeUpMainThread(__func__);
  DBGLOG("Set new registration code %s; updating status bit for server to request code\n", newCode);
}

void ginfQueueClearUserUID(void) {
  uint32_t s = os_irq_disable();
  memset(_ginf.userUID, 0, sizeof _ginf.userUID);
  ginfNeedToUpdateBitmap |= GINF_userUID;
  os_irq_restore(s);
  ginfQueueWork(__func__);
}

void ginfQueueStatusUpdate(const char* caller) {
  ginfSetPending(GINF_status);
  ginfQueueWork(__func__);
  DBGLOG("queued status update from %s\n", caller != nullptr ? caller : "");
}

// ---- Status poll ------------------------------------------------------------------------------

static void markSDCardStatusChanged(void) {
  statMarkStatusBits(KAStatus_sdCardStatusChanged, 0xFFFFFFFFu);
  GINF_QUEUE_BLE_STATE_CHANGE(BLE_STATE_CHANGE_SD_CARD_STATUS);
}

// A card that is not there cannot be full.
static uint32_t effectiveStatus(uint32_t status) {
  return (status & STATUS_NO_SD_CARD) ? (status & ~(uint32_t)STATUS_SD_CARD_FULL) : status;
}

static void handleStatusBits(uint32_t oldStatus, uint32_t newStatus) {
  uint32_t oldBits = effectiveStatus(oldStatus);
  uint32_t newBits = effectiveStatus(newStatus);
  uint32_t changed = oldBits ^ newBits;

  if (newBits & STATUS_LIVE_VIEW_STOPPED) {
    abortLiveView(__func__);
    camifLiveViewCompletedFromST();
  }
  if (newBits & STATUS_PICTURE_CAPTURED) {
    DBGLOG_TEXT("Picture captured");
    statMarkStatusBits(KAStatus_pictureCaptured, 0xFFFFFFFFu);
  }
  if (changed & STATUS_NO_SD_CARD) {
    markSDCardStatusChanged();
    ginfInvalidateAndRequeue(GINF_accessCode, __func__);  // the code may live on the card
  }
  if (changed & STATUS_SD_CARD_FULL) {
    bool full = (newBits & STATUS_SD_CARD_FULL) != 0;
    statMarkStatusBits(KAStatus_recordingIsStoppedAndDisabled_SDfull, full ? 0xFFFFFFFFu : 0u);
    DBGLOG("recording stopped (SD full): %d\n", full ? 1 : 0);
  }
  if (changed & STATUS_SD_CARD_ERROR) {
    bool error = (newBits & STATUS_SD_CARD_ERROR) != 0;
    statMarkStatusBits(KAStatus_recordingIsStoppedAndDisabled_SDerror, error ? 0xFFFFFFFFu : 0u);
    DBGLOG("recording stopped (SD error): %d\n", error ? 1 : 0);
  }
  if (newBits & STATUS_CONFIG_VALUES_DIRTY) {
    DBGLOG_TEXT("config values dirty; invalidating values w/ dependency");
    ginfInvalidateAndRequeue(
        GINF_ssid | GINF_pwd | GINF_registrationCode | GINF_accessCode | GINF_userUID, __func__);
  }
  if (newBits & STATUS_NEW_FILE_CREATED) {
    DBGLOG_TEXT("new file created");
    statMarkStatusBits(KAStatus_newFileCreated, 0xFFFFFFFFu);
  }
  if (newBits & STATUS_ST_REBOOTED) {
    DBGLOG_TEXT("ST rebooted");
    statMarkStatusBits(KAStatus_STRebooted, 0xFFFFFFFFu);
  }
}

static errorCodes ginfStatus(void) {
  ginfLockMessages();
  memset(&statusMsg, 0, sizeof statusMsg);
  uint32_t s = os_irq_disable();
  uint32_t oldStatus = _ginf.status;
  os_irq_restore(s);
  statusMsg.status = oldStatus;
  systimer_t requestTime = os_systime64();
  errorCodes res = stmsgTxRx_debugPrint(&statusMsg, sizeof statusMsg, CMD_getStatus3, &statusMsg,
                                        sizeof statusMsg, GINF_STATUS_TIMEOUT_MS);
  CameraGetStatusMessage3 answer = statusMsg;
  ginfUnlockMessages();
  if (res != ERRORCODE_SUCCESS) {
    DBGLOG_TEXT("Failed to get status");
    ginfInvalidateAndRequeue(GINF_status, __func__);
    return res;
  }
  answer.dateTime8601[sizeof answer.dateTime8601 - 1] = '\0';

  s = os_irq_disable();
  sdcardspace_t* space = &_ginf.sdcardspace;
  bool spaceChanged =
      space->freeSpaceMB != answer.freeSpaceMB || space->totalSpaceMB != answer.totalSpaceMB;
  space->freeSpaceMB = answer.freeSpaceMB;
  space->totalSpaceMB = answer.totalSpaceMB;
  if (answer.totalSpaceMB != 0) {
    // More free than total is nonsense from the card; it counts as empty, not as full.
    uint64_t used =
        answer.freeSpaceMB >= answer.totalSpaceMB
            ? 0
            : (uint64_t)(answer.totalSpaceMB - answer.freeSpaceMB) * 100u / answer.totalSpaceMB;
    space->usedSpacePercent = (uint8_t)(used > 100 ? 100 : used);
  }
  ginfValidDataBitmap |= GINF_status | GINF_sdcardspace;
  os_irq_restore(s);
  DBGLOG("Validated status3: %u; mode %d; freeSpaceMB %u; totalSpaceMB %u\n",
         (unsigned)answer.status, (int)answer.mode, (unsigned)answer.freeSpaceMB,
         (unsigned)answer.totalSpaceMB);
  if (spaceChanged) {
    DBGLOG("SD card status changed: freeSpaceMB %u; totalSpaceMB %u\n",
           (unsigned)answer.freeSpaceMB, (unsigned)answer.totalSpaceMB);
    markSDCardStatusChanged();
  }

  camifUpdateModeFromSTM32((uint32_t)answer.mode);
  handleStatusBits(oldStatus, answer.status);

  s = os_irq_disable();
  _ginf.status = answer.status;
  os_irq_restore(s);
  updateClockFromSTM32(answer.dateTime8601, &requestTime);
  return res;
}

// ---- Validation -------------------------------------------------------------------------------

// The settings read while validating, in their order.
typedef errorCodes (*settingGetter_t)(void);
struct settingToValidate_t {
  uint32_t flag;
  settingGetter_t get;
};

static errorCodes getInterval(void) { return ginfInterval(nullptr, DATA_AUTHORITY_ST); }
static errorCodes getSchedule(void) { return ginfSchedule(nullptr, DATA_AUTHORITY_ST); }
static errorCodes getFileSplit(void) { return ginfFileSplit(nullptr, DATA_AUTHORITY_ST); }
static errorCodes getUserUID(void) {
  return ginfUserUID(nullptr) ? ERRORCODE_SUCCESS : ERRORCODE_TEMPORARY_ERROR;
}
static errorCodes getOverwriteOldFiles(void) {
  return ginfOverwriteOldFiles(nullptr, DATA_AUTHORITY_ST);
}
static errorCodes getExposureMode(void) { return ginfExposureMode(nullptr, DATA_AUTHORITY_ST); }
static errorCodes getFlickerFilter(void) { return ginfFlickerFilter(nullptr, DATA_AUTHORITY_ST); }
static errorCodes getEmbedTimestamp(void) { return ginfEmbedTimestamp(nullptr, DATA_AUTHORITY_ST); }
static errorCodes getSharpness(void) { return ginfSharpness(nullptr, DATA_AUTHORITY_ST); }
static errorCodes getSaturation(void) { return ginfSaturation(nullptr, DATA_AUTHORITY_ST); }
static errorCodes getPlaybackRate(void) { return ginfPlaybackRate(nullptr, DATA_AUTHORITY_ST); }

static const settingToValidate_t kSettingsToValidate[] = {
    {GINF_interval, getInterval},
    {GINF_schedule, getSchedule},
    {GINF_fileSplit, getFileSplit},
    {GINF_userUID, getUserUID},
    {GINF_overwriteOldFiles, getOverwriteOldFiles},
    {GINF_exposureMode, getExposureMode},
    {GINF_flickerFilter, getFlickerFilter},
    {GINF_embedTimestamp, getEmbedTimestamp},
    {GINF_sharpness, getSharpness},
    {GINF_saturation, getSaturation},
    {GINF_playbackRate, getPlaybackRate},
};

static void validate(void) {
  validationAttempt++;
  DBGLOG("try #%d getting valid data\n", (int)validationAttempt);

  if (!ginfIsValid(GINF_spiXferLen)) getSpiXferLen();
  if (!ginfIsValid(GINF_timezoneOffset)) ginfValidateTimezoneOffset();
  if (ginfIsValid(GINF_timezoneOffset) &&
      !ginfIsValid(GINF_clock | GINF_status | GINF_sdcardspace)) {
    ginfStatus();
  }
  if (!ginfIsValid(GINF_cameraID)) getCameraID();

  bool credentialChanged = false;
  if (!ginfIsValid(GINF_ssid)) credentialChanged |= ginfSSID(nullptr);
  if (!ginfIsValid(GINF_pwd)) credentialChanged |= ginfPWD(nullptr);
  if (!ginfIsValid(GINF_registrationCode)) getRegistrationCode();
  if (!ginfIsValid(GINF_accessCode)) ginfAccessCode(nullptr);
  if (!ginfIsValid(GINF_versions) && ginfIsValid(GINF_cameraID)) {
    const char* advName = bleGetAdvName();
    if (advName != nullptr) getVersions(advName);
  }
  for (const settingToValidate_t& setting : kSettingsToValidate) {
    // A pending write of the user ID carries the value that counts; reading the STM32's first
    // would put back the ID that is being cleared.
    if (setting.flag == GINF_userUID && ginfIsPending(GINF_userUID)) continue;
    if (!ginfIsValid(setting.flag)) setting.get();
  }

  if (credentialChanged) {
    DBGLOG_TEXT("Restarting WiFi; credential(s) changed");
    wifiDisconnectAppWcmif();
  }
  if (!ginfIsValid(GINF_ALL_VALID)) sysstate_setErrorState(true);
}

// ---- Queued updates ---------------------------------------------------------------------------

// Writes a queued SSID or password; true when it was applied (the Wi-Fi link must restart).
static bool applyCredentialUpdate(uint32_t flag) {
  bool isSSID = flag == GINF_ssid;
  wifistring_t attempt;
  uint32_t s = os_irq_disable();
  memcpy(attempt, isSSID ? SSIDUpdateAttempt : passwordUpdateAttempt, sizeof attempt);
  os_irq_restore(s);

  if (isSSID) {
    DBGLOG_TEXT("handling queued SSID update");
    ginfSSID(&attempt);
  } else {
    DBGLOG_TEXT("handling queued PWD update");
    ginfPWD(&attempt);
  }
  if (!ginfIsValid(flag)) {
    bleQueueDebugConsoleMsg(isSSID ? "ERR sending SSID %s to STM32" : "ERR sending PWD %s to STM32",
                            attempt);
    return false;  // still pending
  }
  // Whatever the write's outcome (ginfSSID/ginfPWD report a failure themselves), the value now
  // held is the one the STM32 has.
  wifistring_t held;
  copyIfValid(flag, isSSID ? _ginf.ssid : _ginf.pwd, held, sizeof held);
  bool connected = (sysstateSystemState & sysstate_WiFiConnectedToAP) != 0;
  if (isSSID) {
    DBGLOG("SSID set to: %s\n", held);
    if (!connected) bleQueueDebugConsoleMsg("attempting to connect to '%s'", held);
  } else {
    DBGLOG("PWD set to: %s\n", held);
    if (!connected) bleQueueDebugConsoleMsg("attempting to connect to wifi with new password");
  }
  ginfClearPending(flag);
  return true;
}

static void handleQueuedUpdates(void) {
  bool restartWiFi = false;
  if (ginfIsPending(GINF_ssid)) restartWiFi |= applyCredentialUpdate(GINF_ssid);
  if (ginfIsPending(GINF_pwd)) restartWiFi |= applyCredentialUpdate(GINF_pwd);
  if (ginfIsPending(GINF_status)) {
    DBGLOG_TEXT("handling queued status update");
    ginfClearPending(GINF_status);
    ginfStatus();
  }
  if (ginfIsPending(GINF_timezoneOffset)) ginfHandleQueuedTZOffsetUpdate();
  if (ginfIsPending(GINF_clock) && ginfIsValid(GINF_clock)) ginfSendClockToSTM32();
  if (ginfIsPending(GINF_userUID)) {
    DBGLOG_TEXT("handling queued userUID update");
    MCS_UID_t uid;
    uint32_t s = os_irq_disable();
    memcpy(uid, _ginf.userUID, sizeof uid);
    os_irq_restore(s);
    if (ginfUserUID(&uid)) ginfClearPending(GINF_userUID);
  }
  if (restartWiFi) wifiDisconnectAppWcmif();

  uint32_t s = os_irq_disable();
  uint32_t pending = ginfNeedToUpdateBitmap;
  // A clock write waits for a clock; nothing here can bring one.
  if (!(ginfValidDataBitmap & GINF_clock)) pending &= ~(uint32_t)GINF_clock;
  os_irq_restore(s);
  if (pending != 0) ginfQueueWork(__func__);
}

static void doQueuedWork(os_work* /*work*/) {
  if (!ginfIsValid(GINF_ALL_VALID)) validate();
  if (ginfIsValid(GINF_ALL_VALID)) {
    DBGLOG("all data is valid after attempt #%u; resetting counter\n", (unsigned)validationAttempt);
    sysstate_setErrorState(false);
    validationAttempt = 0;
  }
  handleQueuedUpdates();
}

// ---- Reading the mirror -------------------------------------------------------------------------

bool ginfCopy_ssid(wifistring_t* dest) {
  return copyIfValid(GINF_ssid, _ginf.ssid, dest, sizeof(wifistring_t));
}
bool ginfCopy_pwd(wifistring_t* dest) {
  return copyIfValid(GINF_pwd, _ginf.pwd, dest, sizeof(wifistring_t));
}
bool ginfCopy_registrationCode(code_t* dest) {
  return copyIfValid(GINF_registrationCode, _ginf.registrationCode, dest, sizeof(code_t));
}
bool ginfCopy_accessCode(code_t* dest) {
  return copyIfValid(GINF_accessCode, _ginf.accessCode, dest, sizeof(code_t));
}
bool ginfCopy_versions(versions_t* dest) {
  return copyIfValid(GINF_versions, &_ginf.versions, dest, sizeof(versions_t));
}
bool ginfCopy_interval(int32_t* dest) {
  return copyIfValid(GINF_interval, &_ginf.interval, dest, sizeof(int32_t));
}
bool ginfCopy_schedule(schedule_t* dest) {
  return copyIfValid(GINF_schedule, &_ginf.schedule, dest, sizeof(schedule_t));
}
bool ginfCopy_fileSplit(uint32_t* dest) {
  return copyIfValid(GINF_fileSplit, &_ginf.fileSplit, dest, sizeof(uint32_t));
}
bool ginfCopy_sdcardspace(sdcardspace_t* dest) {
  return copyIfValid(GINF_sdcardspace, &_ginf.sdcardspace, dest, sizeof(sdcardspace_t));
}
bool ginfCopy_userUID(MCS_UID_t* dest) {
  return copyIfValid(GINF_userUID, _ginf.userUID, dest, sizeof(MCS_UID_t));
}
bool ginfCopy_spiXferLen(uint32_t* dest) {
  return copyIfValid(GINF_spiXferLen, &_ginf.spiXferLen, dest, sizeof(uint32_t));
}
bool ginfCopy_overwriteOldFiles(uint32_t* dest) {
  return copyIfValid(GINF_overwriteOldFiles, &_ginf.overwriteOldFiles, dest, sizeof(uint32_t));
}
bool ginfCopy_exposureMode(uint32_t* dest) {
  return copyIfValid(GINF_exposureMode, &_ginf.exposureMode, dest, sizeof(uint32_t));
}
bool ginfCopy_flickerFilter(uint32_t* dest) {
  return copyIfValid(GINF_flickerFilter, &_ginf.flickerFilter, dest, sizeof(uint32_t));
}
bool ginfCopy_embedTimestamp(uint32_t* dest) {
  return copyIfValid(GINF_embedTimestamp, &_ginf.embedTimestamp, dest, sizeof(uint32_t));
}
bool ginfCopy_sharpness(uint32_t* dest) {
  return copyIfValid(GINF_sharpness, &_ginf.sharpness, dest, sizeof(uint32_t));
}
bool ginfCopy_saturation(uint32_t* dest) {
  return copyIfValid(GINF_saturation, &_ginf.saturation, dest, sizeof(uint32_t));
}
bool ginfCopy_playbackRate(uint32_t* dest) {
  return copyIfValid(GINF_playbackRate, &_ginf.playbackRate, dest, sizeof(uint32_t));
}

const cameraID_t* ginfGet_cameraID(void) {
  return ginfIsValid(GINF_cameraID) ? &_ginf.cameraID : nullptr;
}

const versions_t* ginfGet_versions(void) {
  return ginfIsValid(GINF_versions) ? &_ginf.versions : nullptr;
}

int8_t ginfIsStatusSet(uint32_t cameraStatus) {
  uint32_t s = os_irq_disable();
  int8_t result = -1;
  if (ginfValidDataBitmap & GINF_status) result = (_ginf.status & cameraStatus) ? 1 : 0;
  os_irq_restore(s);
  return result;
}

// ---- Recording status ---------------------------------------------------------------------------

errorCodes ginfRecordingStatus_sendBatteryInfo(CameraRecordingInfo_t* recordingInfo) {
  unnamedFuelguage_t gauges[I2CBAT_BATTERIES];
  memset(gauges, 0, sizeof gauges);
  i2cbatCopyUnnamedFuelgauges(gauges);  // none read yet leaves zeros

  ginfLockMessages();
  memset(&recordingStatusMsg, 0, sizeof recordingStatusMsg);
  for (int i = 0; i < I2CBAT_BATTERIES; i++) {
    CameraBattInfo_LEGACY_t* b = &recordingStatusMsg.toST_BattInfo[i];
    b->voltage = gauges[i].voltage;
    b->fullchargecapacity = gauges[i].fullchargecapacity;
    b->reminingcapacity = gauges[i].reminingcapacity;
    b->internaltemp = gauges[i].internaltemp;
  }
  errorCodes res = stmsgTxRx_debugPrint(
      &recordingStatusMsg, sizeof recordingStatusMsg, CMD_xchgBatteryAndRecordingStatus,
      &recordingStatusMsg, sizeof recordingStatusMsg, GINF_RECORDING_STATUS_TIMEOUT_MS);
  CameraRecordingInfo_t info = recordingStatusMsg.fromST_RecordingInfo;
  ginfUnlockMessages();

  if (res != ERRORCODE_SUCCESS) {
    DBGLOG_TEXT("Failed to get recording status from STM32");
    memset(&info, 0, sizeof info);
  } else {
    info.currentFileName[sizeof info.currentFileName - 1] = '\0';
    DBGLOG(
        "STM32 recording info: isRecording %u; frameCount %u; currentSize %u; currentFileName "
        "%s; isScheduleEnabled %u\n",
        (unsigned)info.isRecording, (unsigned)info.frameCount, (unsigned)info.currentSize,
        info.currentFileName, (unsigned)info.isScheduleEnabled);
  }
  if (recordingInfo != nullptr) memcpy(recordingInfo, &info, sizeof info);
  return res;
}
