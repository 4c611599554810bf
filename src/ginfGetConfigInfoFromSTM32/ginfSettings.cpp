// The capture settings: each read from or written to the STM32 and mirrored, and each change told
// to whichever of the server and the phone did not make it.
#include <string.h>

#include "bleBluetoothLowEnergy/bleBluetoothLowEnergy.h"
#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "ginfGetConfigInfoFromSTM32/ginfInternal.h"
#include "i2cDevices/i2cledmgrLEDManager/i2cledmgrLEDManager.h"
#include "statStatus/statStatus.h"
#include "sysstateSystemState/sysstateSystemState.h"

#define GINF_SETTING_TIMEOUT_MS 2000u

// Every setting's message is the header and the value; each has its own buffer.
static CameraGetSetIntervalMessage intervalMsg;
static CameraGetSetScheduleMessage scheduleMsg;
static CameraGetSetFileSplitMessage fileSplitMsg;
static CameraGetSetOverwriteOldFiles_Message overwriteOldFilesMsg;
static CameraGetSetExposureModeMessage exposureModeMsg;
static CameraGetSetFlickerFilterMessage flickerFilterMsg;
static CameraGetSetTimeStampMessage embedTimestampMsg;
static CameraGetSetSharpnessMessage sharpnessMsg;
static CameraGetSetSaturationMessage saturationMsg;
static CameraGetSetPlaybackRateMessage playbackRateMsg;

#define GINF_SETTING_VALUE_AT sizeof(CameraMessageHeader)

struct setting_t {
  const char* func;  // the public operation, for the log
  uint32_t flag;
  uint16_t setCommand;  // the GET form adds CMD_GET_BIT
  const char* name;     // as the log names it
  uint32_t statusBit;   // KAStatusValues
  bleStateChange_t stateChange;
  const char* stateChangeName;
  void* field;  // in _ginf
  size_t size;  // of the value
  void* message;
};

// A field of the mirror, and a state change with its name.
#define GINF_FIELD(field) &_ginf.field, sizeof _ginf.field
#define GINF_STATE_CHANGE(n) n, #n

// clang-format off
static const setting_t kInterval = {"ginfInterval", GINF_interval, CMD_setInterval, "interval",
    KAStatus_intervalChanged, GINF_STATE_CHANGE(BLE_STATE_CHANGE_INTERVAL),
    GINF_FIELD(interval), &intervalMsg};
static const setting_t kSchedule = {"ginfSchedule", GINF_schedule, CMD_setSchedule, "schedule",
    KAStatus_scheduleChanged, GINF_STATE_CHANGE(BLE_STATE_CHANGE_SCHEDULE),
    GINF_FIELD(schedule), &scheduleMsg};
static const setting_t kFileSplit = {"ginfFileSplit", GINF_fileSplit, CMD_setFileSplit,
    "file split", KAStatus_scheduleChanged, GINF_STATE_CHANGE(BLE_STATE_CHANGE_SCHEDULE),
    GINF_FIELD(fileSplit), &fileSplitMsg};
static const setting_t kOverwriteOldFiles = {"ginfOverwriteOldFiles", GINF_overwriteOldFiles,
    CMD_setOverwriteOldFiles, "overwrite old files", KAStatus_scheduleChanged,
    GINF_STATE_CHANGE(BLE_STATE_CHANGE_SCHEDULE), GINF_FIELD(overwriteOldFiles),
    &overwriteOldFilesMsg};
static const setting_t kExposureMode = {"ginfExposureMode", GINF_exposureMode,
    CMD_setExposureMode, "exposure mode", KAStatus_exposureModeChanged,
    GINF_STATE_CHANGE(BLE_STATE_CHANGE_EXPOSURE_MODE), GINF_FIELD(exposureMode),
    &exposureModeMsg};
static const setting_t kFlickerFilter = {"ginfFlickerFilter", GINF_flickerFilter,
    CMD_setFlickerFilter, "flicker filter", KAStatus_flickerFilterChanged,
    GINF_STATE_CHANGE(BLE_STATE_CHANGE_FLICKER_FILTER), GINF_FIELD(flickerFilter),
    &flickerFilterMsg};
static const setting_t kEmbedTimestamp = {"ginfEmbedTimestamp", GINF_embedTimestamp,
    CMD_setTimeStamp, "embed timestamp", KAStatus_embedTimestampChanged,
    GINF_STATE_CHANGE(BLE_STATE_CHANGE_EMBED_TIMESTAMP), GINF_FIELD(embedTimestamp),
    &embedTimestampMsg};
static const setting_t kSharpness = {"ginfSharpness", GINF_sharpness, CMD_setSharpness,
    "sharpness", KAStatus_sharpnessChanged, GINF_STATE_CHANGE(BLE_STATE_CHANGE_SHARPNESS),
    GINF_FIELD(sharpness), &sharpnessMsg};
static const setting_t kSaturation = {"ginfSaturation", GINF_saturation, CMD_setSaturation,
    "saturation", KAStatus_saturationChanged, GINF_STATE_CHANGE(BLE_STATE_CHANGE_SATURATION),
    GINF_FIELD(saturation), &saturationMsg};
static const setting_t kPlaybackRate = {"ginfPlaybackRate", GINF_playbackRate,
    CMD_setPlaybackRate, "playback rate", KAStatus_playbackRateChanged,
    GINF_STATE_CHANGE(BLE_STATE_CHANGE_PLAYBACK_RATE), GINF_FIELD(playbackRate),
    &playbackRateMsg};
// clang-format on

static_assert(sizeof intervalMsg == GINF_SETTING_VALUE_AT + sizeof(int32_t), "interval message");
static_assert(sizeof scheduleMsg == GINF_SETTING_VALUE_AT + sizeof(schedule_t), "schedule message");

static void logValidated(const setting_t* s, const void* value) {
  if (s->flag == GINF_schedule) {
    const schedule_t* v = (const schedule_t*)value;
    DBGLOG_AS(s->func, "Validated schedule: enabled %d, start %d, stop %d, week %d\n",
              (int)v->enabled, (int)v->scheduleStartTime, (int)v->scheduleStopTime,
              (int)v->scheduleWeek);
    return;
  }
  uint32_t v;
  memcpy(&v, value, sizeof v);
  DBGLOG_AS(s->func, "Validated %s: %u\n", s->name, (unsigned)v);
}

// Reads (null `value`) or writes one setting; see the public header.
static errorCodes getSetSetting(const setting_t* s, const void* value, dataAuthority_t authority) {
  bool isSet = value != nullptr;
  uint8_t* body = (uint8_t*)s->message + GINF_SETTING_VALUE_AT;
  size_t messageSize = GINF_SETTING_VALUE_AT + s->size;
  uint8_t answer[sizeof(schedule_t)];

  ginfLockMessages();
  memset(s->message, 0, messageSize);
  if (isSet) memcpy(body, value, s->size);
  uint16_t command = isSet ? s->setCommand : (uint16_t)(s->setCommand | CMD_GET_BIT);
  errorCodes res = stmsgTxRx_debugPrint(s->message, (unsigned)messageSize, command, s->message,
                                        (unsigned)messageSize, GINF_SETTING_TIMEOUT_MS);
  memcpy(answer, body, s->size);
  ginfUnlockMessages();

  if (res != ERRORCODE_SUCCESS) {
    if (isSet) {
      DBGLOG_AS(s->func, "Failed to set %s with STM32\n", s->name);
    } else {
      DBGLOG_AS(s->func, "Failed to get %s from STM32\n", s->name);
      ginfInvalidateAndRequeue(s->flag, s->func);
    }
    return res;
  }

  uint32_t lock = os_irq_disable();
  memcpy(s->field, answer, s->size);
  ginfValidDataBitmap |= s->flag;
  os_irq_restore(lock);
  logValidated(s, answer);

  if (s->flag == GINF_interval) {
    int32_t seconds;
    memcpy(&seconds, answer, sizeof seconds);
    sysstate_setIntervalSeconds((uint32_t)seconds);
  }
  if (isSet) {
    if (authority != DATA_AUTHORITY_WiFi) statMarkStatusBits(s->statusBit, 0xFFFFFFFFu);
    if (authority != DATA_AUTHORITY_BLE)
      ginfQueueBLEStateChange(s->stateChange, s->stateChangeName);
  }
  return res;
}

errorCodes ginfInterval(const int32_t* value, dataAuthority_t authority) {
  if (value != nullptr) {
    int32_t held = 0;
    if (ginfCopy_interval(&held) && held == *value) {
      DBGLOG("Interval was already %d; no change needed\n", (int)held);
      i2cledmgrWakeupFromLED_PowerSaveMode();
      return ERRORCODE_SUCCESS;
    }
    DBGLOG("setting interval %u -> %u\n", (unsigned)held, (unsigned)*value);
  }
  return getSetSetting(&kInterval, value, authority);
}

errorCodes ginfSchedule(const schedule_t* value, dataAuthority_t authority) {
  return getSetSetting(&kSchedule, value, authority);
}

errorCodes ginfFileSplit(const uint32_t* value, dataAuthority_t authority) {
  return getSetSetting(&kFileSplit, value, authority);
}

errorCodes ginfOverwriteOldFiles(const uint32_t* value, dataAuthority_t authority) {
  return getSetSetting(&kOverwriteOldFiles, value, authority);
}

errorCodes ginfExposureMode(const uint32_t* value, dataAuthority_t authority) {
  return getSetSetting(&kExposureMode, value, authority);
}

errorCodes ginfFlickerFilter(const uint32_t* value, dataAuthority_t authority) {
  return getSetSetting(&kFlickerFilter, value, authority);
}

errorCodes ginfEmbedTimestamp(const uint32_t* value, dataAuthority_t authority) {
  return getSetSetting(&kEmbedTimestamp, value, authority);
}

errorCodes ginfSharpness(const uint32_t* value, dataAuthority_t authority) {
  return getSetSetting(&kSharpness, value, authority);
}

errorCodes ginfSaturation(const uint32_t* value, dataAuthority_t authority) {
  return getSetSetting(&kSaturation, value, authority);
}

errorCodes ginfPlaybackRate(const uint32_t* value, dataAuthority_t authority) {
  return getSetSetting(&kPlaybackRate, value, authority);
}
