// The messages exchanged with the STM32: every command ID and every request/response layout.
// Each message is the 12-byte CameraMessageHeader followed by its body; little-endian, packed,
// fields may be unaligned. Request and response of one command share the body type and size.
// CameraMode and CameraModeReason (the mode fields below) live in camifCameraInterface.h.
#ifndef STMSG_MESSAGES_H
#define STMSG_MESSAGES_H

#include <stddef.h>
#include <stdint.h>

#include "slipSLIPUtilities/slipSLIPUtilities.h"

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the STM32 message structures are laid out for a little-endian target"
#endif

// ---- Command IDs --------------------------------------------------------------------------------

// Bit 7 of a command ID: set = GET (read a value), clear = SET (write a value or act).
#define CMD_GET_BIT 0x80u

// SET form n (1 to CMD_HIGHEST_ID), GET form n + 128. A name ending in _INVALID is a form that is
// not a valid operation.
enum CameraCommandID : uint16_t {
  CMD_INVALID_1 = 1,
  CMD_setMode = 2,
  CMD_setImageParameters = 3,
  CMD_setCaptureParameters = 4,
  CMD_setSchedule = 5,
  CMD_INVALID_6 = 6,
  CMD_focusScore = 7,
  CMD_UID = 8,
  CMD_setSSID = 9,
  CMD_setPWD = 10,
  CMD_setCode = 11,
  CMD_INVALID_12 = 12,
  CMD_format = 13,
  CMD_offline = 14,
  CMD_setInterval = 15,
  CMD_setTimeStamp = 16,
  CMD_setContrast = 17,
  CMD_setExposureValue = 18,
  CMD_setSaturation = 19,
  CMD_setSharpness = 20,
  CMD_setExposureMode = 21,
  CMD_setFlickerFilter = 22,
  CMD_setWhiteBalance = 23,
  CMD_setHDR = 24,
  CMD_setResolution = 25,
  CMD_setNoiseFilter = 26,
  CMD_setFileSplit = 27,
  CMD_setPlaybackRate = 28,
  CMD_setLiveViewMode = 29,
  CMD_setBLEAccessCode = 30,
  CMD_setNonVolatileMemory = 31,
  CMD_INVALID_32 = 32,
  CMD_setrootFilesDelete_INVALID = 33,
  CMD_setrootFileWrite_INVALID = 34,
  CMD_setrootFilesRenameAndReboot_INVALID = 35,
  CMD_INVALID_36 = 36,
  CMD_setDateTime8601 = 37,
  CMD_setVersion_INVALID = 38,
  CMD_INVALID_39 = 39,
  CMD_setreadSD_BlockFromFile_INVALID = 40,
  CMD_setRecentFileStatus_INVALID = 41,
  CMD_setreadSD_FileContents_INVALID = 42,
  CMD_setreadSD_JPEGFrameFromFile_INVALID = 43,
  CMD_setFileInfo_INVALID = 44,
  CMD_INVALID_45 = 45,
  CMD_setxchgBatteryAndRecordingStatus_INVALID = 46,
  CMD_setImageQuality = 47,
  CMD_setModeWithReason = 48,
  CMD_setStatus3_INVALID = 49,
  CMD_setFileInfo1_INVALID = 50,
  CMD_setVersion1_INVALID = 51,
  CMD_setPowerDown = 52,
  CMD_setBatteryInfo = 53,
  CMD_ClearSpi = 54,
  CMD_SendSingleSPIBlock = 55,
  CMD_setUserUID = 56,
  CMD_setSD_Directory1_INVALID = 57,
  CMD_setFileInfo2_INVALID = 58,
  CMD_setOverwriteOldFiles = 59,
  CMD_setSystemConfig_INVALID = 60,
  CMD_StatisticsReport = 61,
  CMD_DeleteFileFromSDCard = 62,

  CMD_INVALID_1_x80 = 1 + 128,
  CMD_getMode = 2 + 128,
  CMD_getImageParameters = 3 + 128,
  CMD_getCaptureParameters = 4 + 128,
  CMD_getSchedule = 5 + 128,
  CMD_INVALID_6_x80 = 6 + 128,
  CMD_getfocusScore = 7 + 128,
  CMD_getUID = 8 + 128,
  CMD_getSSID = 9 + 128,
  CMD_getPWD = 10 + 128,
  CMD_getCode = 11 + 128,
  CMD_INVALID_12_x80 = 12 + 128,
  CMD_getformat_INVALID = 13 + 128,
  CMD_getoffline_INVALID = 14 + 128,
  CMD_getInterval = 15 + 128,
  CMD_getTimeStamp = 16 + 128,
  CMD_getContrast = 17 + 128,
  CMD_getExposureValue = 18 + 128,
  CMD_getSaturation = 19 + 128,
  CMD_getSharpness = 20 + 128,
  CMD_getExposureMode = 21 + 128,
  CMD_getFlickerFilter = 22 + 128,
  CMD_getWhiteBalance = 23 + 128,
  CMD_getHDR = 24 + 128,
  CMD_getResolution = 25 + 128,
  CMD_getNoiseFilter = 26 + 128,
  CMD_getFileSplit = 27 + 128,
  CMD_getPlaybackRate = 28 + 128,
  CMD_getLiveViewMode_INVALID = 29 + 128,
  CMD_getBLEAccessCode = 30 + 128,
  CMD_getNonVolatileMemory = 31 + 128,
  CMD_INVALID_32_x80 = 32 + 128,
  CMD_rootFilesDelete = 33 + 128,
  CMD_rootFileWrite = 34 + 128,
  CMD_rootFilesRenameAndReboot = 35 + 128,
  CMD_INVALID_36_x80 = 36 + 128,
  CMD_getDateTime8601 = 37 + 128,
  CMD_getVersion = 38 + 128,
  CMD_INVALID_39_x80 = 39 + 128,
  CMD_readSD_BlockFromFile = 40 + 128,
  CMD_getRecentFileStatus = 41 + 128,
  CMD_readSD_FileContents = 42 + 128,
  CMD_readSD_JPEGFrameFromFile = 43 + 128,
  CMD_getFileInfo = 44 + 128,
  CMD_INVALID_45_x80 = 45 + 128,
  CMD_xchgBatteryAndRecordingStatus = 46 + 128,
  CMD_getImageQuality = 47 + 128,
  CMD_getModeWithReason = 48 + 128,
  CMD_getStatus3 = 49 + 128,
  CMD_getFileInfo1 = 50 + 128,
  CMD_getVersion1 = 51 + 128,
  CMD_getPowerDown_INVALID = 52 + 128,
  CMD_getBatteryInfo_INVALID = 53 + 128,
  CMD_getClearSpi_INVALID = 54 + 128,
  CMD_getSendSingleSPIBlock_INVALID = 55 + 128,
  CMD_getUserUID = 56 + 128,
  CMD_getSD_Directory1 = 57 + 128,
  CMD_getFileInfo2 = 58 + 128,
  CMD_getOverwriteOldFiles = 59 + 128,
  CMD_getSystemConfig = 60 + 128,
  CMD_getStatisticsReport_INVALID = 61 + 128,
  CMD_getDeleteFileFromSDCard_INVALID = 62 + 128,
};

#define CMD_HIGHEST_ID 62

static_assert(CMD_getMode == 130, "CMD_getMode");
static_assert(CMD_getSD_Directory1 == 185, "CMD_getSD_Directory1");
static_assert(CMD_getStatus3 == 177, "CMD_getStatus3");
static_assert(CMD_getVersion1 == 179, "CMD_getVersion1");
static_assert(CMD_xchgBatteryAndRecordingStatus == 174, "CMD_xchgBatteryAndRecordingStatus");
static_assert(CMD_rootFileWrite == 162, "CMD_rootFileWrite");
static_assert(CMD_getSystemConfig == 188, "CMD_getSystemConfig");
static_assert(CMD_DeleteFileFromSDCard == CMD_HIGHEST_ID, "the last command");

// ---- Shared field types -------------------------------------------------------------------------

typedef char filename_t[13];      // an 8.3 file name, NUL-terminated
typedef char code_t[12];          // a registration or access code
typedef char wifistring_t[65];    // up to 64 characters and a NUL
typedef char MCS_UID_t[65];       // user identifier text, up to 64 characters and a NUL
typedef char dateTime8601_t[32];  // ISO 8601 date-time text, NUL-terminated
typedef uint16_t cameraUID_t[6];  // the camera's unique ID
static_assert(sizeof(filename_t) == 13, "filename_t");
static_assert(sizeof(code_t) == 12, "code_t");
static_assert(sizeof(wifistring_t) == 65, "wifistring_t");
static_assert(sizeof(MCS_UID_t) == 65, "MCS_UID_t");
static_assert(sizeof(dateTime8601_t) == 32, "dateTime8601_t");
static_assert(sizeof(cameraUID_t) == 12, "cameraUID_t");

struct __attribute__((packed)) Version_t {
  uint32_t versionMajor;
  uint32_t versionMinor;
  uint32_t versionPatch;
};
static_assert(sizeof(Version_t) == 12, "Version_t");
static_assert(offsetof(Version_t, versionMajor) == 0, "Version_t.versionMajor");
static_assert(offsetof(Version_t, versionMinor) == 4, "Version_t.versionMinor");
static_assert(offsetof(Version_t, versionPatch) == 8, "Version_t.versionPatch");

// The STM32 firmware, FPGA and this module's versions.
struct __attribute__((packed)) versions_t {
  Version_t fwVersion;
  Version_t fpgaVersion;
  Version_t innoVersion;
};
static_assert(sizeof(versions_t) == 36, "versions_t");
static_assert(offsetof(versions_t, fwVersion) == 0, "versions_t.fwVersion");
static_assert(offsetof(versions_t, fpgaVersion) == 12, "versions_t.fpgaVersion");
static_assert(offsetof(versions_t, innoVersion) == 24, "versions_t.innoVersion");

struct __attribute__((packed)) fileInfo_t {
  filename_t filename;
  uint8_t padding[3];
  uint32_t fileSize;  // bytes
  // FAT time stamp: bits 0-4 seconds/2, 5-10 minutes, 11-15 hours, 16-20 day, 21-24 month,
  // 25-31 years since 1980.
  uint32_t fileTimeDate;
};
static_assert(sizeof(fileInfo_t) == 24, "fileInfo_t");
static_assert(offsetof(fileInfo_t, filename) == 0, "fileInfo_t.filename");
static_assert(offsetof(fileInfo_t, padding) == 13, "fileInfo_t.padding");
static_assert(offsetof(fileInfo_t, fileSize) == 16, "fileInfo_t.fileSize");
static_assert(offsetof(fileInfo_t, fileTimeDate) == 20, "fileInfo_t.fileTimeDate");

struct __attribute__((packed)) fileInfoWithFrameCount_t {
  fileInfo_t fileInfo;
  uint32_t numFrames;
};
static_assert(sizeof(fileInfoWithFrameCount_t) == 28, "fileInfoWithFrameCount_t");
static_assert(offsetof(fileInfoWithFrameCount_t, fileInfo) == 0,
              "fileInfoWithFrameCount_t.fileInfo");
static_assert(offsetof(fileInfoWithFrameCount_t, numFrames) == 24,
              "fileInfoWithFrameCount_t.numFrames");

// The recording schedule; the meaning of the values is the STM32's.
struct __attribute__((packed)) schedule_t {
  uint32_t enabled;
  uint32_t scheduleStartTime;
  uint32_t scheduleStopTime;
  uint32_t scheduleWeek;
};
static_assert(sizeof(schedule_t) == 16, "schedule_t");
static_assert(offsetof(schedule_t, enabled) == 0, "schedule_t.enabled");
static_assert(offsetof(schedule_t, scheduleStartTime) == 4, "schedule_t.scheduleStartTime");
static_assert(offsetof(schedule_t, scheduleStopTime) == 8, "schedule_t.scheduleStopTime");
static_assert(offsetof(schedule_t, scheduleWeek) == 12, "schedule_t.scheduleWeek");

// Battery summary; lowBattery holds a lowBatteryValues level (sysstateSystemState.h).
struct __attribute__((packed)) additionalBatteryInfo_t {
  uint8_t isUSBPowered : 7;  // 0 or 1
  uint8_t isChargingEnabled : 1;
  uint8_t totalChargePercent;
  uint8_t lowBattery;
  uint8_t padding1;
};
static_assert(sizeof(additionalBatteryInfo_t) == 4, "additionalBatteryInfo_t");
static_assert(offsetof(additionalBatteryInfo_t, totalChargePercent) == 1,
              "additionalBatteryInfo_t.totalChargePercent");
static_assert(offsetof(additionalBatteryInfo_t, lowBattery) == 2,
              "additionalBatteryInfo_t.lowBattery");
static_assert(offsetof(additionalBatteryInfo_t, padding1) == 3, "additionalBatteryInfo_t.padding1");

// One fuel gauge's readings.
struct __attribute__((packed)) unnamedFuelguage_t {
  uint16_t batteryActive;
  uint16_t voltage;
  int16_t current;
  uint16_t designcapacity;
  uint16_t fullchargecapacity;
  uint16_t reminingcapacity;
  uint16_t stateofcharge;
  uint16_t timetoempty;
  uint16_t cyclecount;
  uint16_t internaltemp;
};
static_assert(sizeof(unnamedFuelguage_t) == 20, "unnamedFuelguage_t");
static_assert(offsetof(unnamedFuelguage_t, batteryActive) == 0, "unnamedFuelguage_t.batteryActive");
static_assert(offsetof(unnamedFuelguage_t, voltage) == 2, "unnamedFuelguage_t.voltage");
static_assert(offsetof(unnamedFuelguage_t, current) == 4, "unnamedFuelguage_t.current");
static_assert(offsetof(unnamedFuelguage_t, designcapacity) == 6,
              "unnamedFuelguage_t.designcapacity");
static_assert(offsetof(unnamedFuelguage_t, fullchargecapacity) == 8,
              "unnamedFuelguage_t.fullchargecapacity");
static_assert(offsetof(unnamedFuelguage_t, reminingcapacity) == 10,
              "unnamedFuelguage_t.reminingcapacity");
static_assert(offsetof(unnamedFuelguage_t, stateofcharge) == 12,
              "unnamedFuelguage_t.stateofcharge");
static_assert(offsetof(unnamedFuelguage_t, timetoempty) == 14, "unnamedFuelguage_t.timetoempty");
static_assert(offsetof(unnamedFuelguage_t, cyclecount) == 16, "unnamedFuelguage_t.cyclecount");
static_assert(offsetof(unnamedFuelguage_t, internaltemp) == 18, "unnamedFuelguage_t.internaltemp");

// The older, shorter gauge record sent with the recording-status exchange.
struct __attribute__((packed)) CameraBattInfo_LEGACY_t {
  uint16_t voltage;
  uint16_t fullchargecapacity;
  uint16_t reminingcapacity;
  uint16_t internaltemp;
};
static_assert(sizeof(CameraBattInfo_LEGACY_t) == 8, "CameraBattInfo_LEGACY_t");
static_assert(offsetof(CameraBattInfo_LEGACY_t, voltage) == 0, "CameraBattInfo_LEGACY_t.voltage");
static_assert(offsetof(CameraBattInfo_LEGACY_t, fullchargecapacity) == 2,
              "CameraBattInfo_LEGACY_t.fullchargecapacity");
static_assert(offsetof(CameraBattInfo_LEGACY_t, reminingcapacity) == 4,
              "CameraBattInfo_LEGACY_t.reminingcapacity");
static_assert(offsetof(CameraBattInfo_LEGACY_t, internaltemp) == 6,
              "CameraBattInfo_LEGACY_t.internaltemp");

// What the STM32 is recording right now.
struct __attribute__((packed)) CameraRecordingInfo_t {
  uint32_t frameCount;
  uint32_t currentSize;
  filename_t currentFileName;
  uint8_t isRecording : 1;
  uint8_t isScheduleEnabled : 1;
  uint8_t flagsPadding : 6;
};
static_assert(sizeof(CameraRecordingInfo_t) == 22, "CameraRecordingInfo_t");
static_assert(offsetof(CameraRecordingInfo_t, frameCount) == 0, "CameraRecordingInfo_t.frameCount");
static_assert(offsetof(CameraRecordingInfo_t, currentSize) == 4,
              "CameraRecordingInfo_t.currentSize");
static_assert(offsetof(CameraRecordingInfo_t, currentFileName) == 8,
              "CameraRecordingInfo_t.currentFileName");

// ---- Enumerations of body values ----------------------------------------------------------------

// The STM32's status word (CameraGetStatusMessage3.status).
enum CameraStatus : uint32_t {
  STATUS_NORMAL = 0x1,
  STATUS_EXTERNAL_POWER = 0x2,
  STATUS_USB_MODE = 0x4,
  STATUS_BATTERY_LOW = 0x8,
  STATUS_SD_CARD_ERROR = 0x10,
  STATUS_FIRMWARE_UPDATING = 0x20,
  STATUS_FIRMWARE_UPDATE_ERROR = 0x40,
  STATUS_NO_SD_CARD = 0x80,
  STATUS_SD_CARD_FULL = 0x100,
  STATUS_EXFAT_FS_UNSUPPORTED = 0x200,
  STATUS_UNKNOWN_FS = 0x400,
  STATUS_FW_CHANGED = 0x1000,
  STATUS_HARDWARE_FAILURE = 0x2000,
  STATUS_LIVE_VIEW_STOPPED = 0x4000,
  STATUS_PICTURE_CAPTURED = 0x8000,
  STATUS_NEW_FILE_CREATED = 0x10000,
  STATUS_CONFIG_VALUES_DIRTY = 0x20000,
  STATUS_ST_REBOOTED = 0x40000,
  // Test bits.
  STATUS_CMD_GET_FILE_INFO_TEST = 0x2000000,
  STATUS_CMD_READ_JPEG_FRAME_FROM_FILE_TEST = 0x4000000,
  STATUS_CMD_READ_FILE_CONTENTS_TEST = 0x8000000,
  STATUS_CMD_GET_RECENT_FILE_STATUS_TEST = 0x10000000,
  STATUS_CMD_READ_BLOCK_FROM_FILE_TEST = 0x20000000,
  STATUS_CMD_READSD_DIRECTORY_NOSPI_TEST = 0x40000000,
  STATUS_INNO_ROOT_FILE_CMDS_TEST = 0x80000000,
};

// Live-view resolutions (CameraGetSetLiveViewModeMessage.resolution).
enum LiveViewScale : uint32_t {
  LV_SCALE_1920x1080 = 2,
  LV_SCALE_1280x720 = 3,
  LV_SCALE_960x540 = 4,
  LV_SCALE_768x432 = 5,
  LV_SCALE_640x360 = 6,
  LV_SCALE_480x264 = 8,
  LV_SCALE_384x216 = 10,
  LV_SCALE_320x176 = 12,
};

// ---- Message bodies -----------------------------------------------------------------------------

#define STMSG_ASSERT_SIZE(type, size) static_assert(sizeof(type) == (size), #type " size")
#define STMSG_ASSERT_OFFSET(type, field, off) \
  static_assert(offsetof(type, field) == (off), #type "." #field " offset")
#define STMSG_ASSERT_HEADER(type) STMSG_ASSERT_OFFSET(type, header, 0)

// CMD_getMode.
struct __attribute__((packed)) CameraGetSetModeMessage {
  CameraMessageHeader header;
  int32_t mode;  // CameraMode
};
STMSG_ASSERT_SIZE(CameraGetSetModeMessage, 16);
STMSG_ASSERT_HEADER(CameraGetSetModeMessage);
STMSG_ASSERT_OFFSET(CameraGetSetModeMessage, mode, 12);

// CMD_setModeWithReason.
struct __attribute__((packed)) CameraGetSetModeMessageWithReason {
  CameraMessageHeader header;
  int32_t mode;     // CameraMode
  uint32_t reason;  // CameraModeReason
};
STMSG_ASSERT_SIZE(CameraGetSetModeMessageWithReason, 20);
STMSG_ASSERT_HEADER(CameraGetSetModeMessageWithReason);
STMSG_ASSERT_OFFSET(CameraGetSetModeMessageWithReason, mode, 12);
STMSG_ASSERT_OFFSET(CameraGetSetModeMessageWithReason, reason, 16);

// CMD_setLiveViewMode.
struct __attribute__((packed)) CameraGetSetLiveViewModeMessage {
  CameraMessageHeader header;
  uint32_t resolution;  // LiveViewScale
  uint32_t frame_count;
};
STMSG_ASSERT_SIZE(CameraGetSetLiveViewModeMessage, 20);
STMSG_ASSERT_HEADER(CameraGetSetLiveViewModeMessage);
STMSG_ASSERT_OFFSET(CameraGetSetLiveViewModeMessage, resolution, 12);
STMSG_ASSERT_OFFSET(CameraGetSetLiveViewModeMessage, frame_count, 16);

// CMD_getSD_Directory1.
struct __attribute__((packed)) getSD_Directory1_Message {
  CameraMessageHeader header;
  filename_t filename;
  fileInfo_t fileInfo_DEPRECATED;  // not used
};
STMSG_ASSERT_SIZE(getSD_Directory1_Message, 49);
STMSG_ASSERT_HEADER(getSD_Directory1_Message);
STMSG_ASSERT_OFFSET(getSD_Directory1_Message, filename, 12);
STMSG_ASSERT_OFFSET(getSD_Directory1_Message, fileInfo_DEPRECATED, 25);

// CMD_DeleteFileFromSDCard.
struct __attribute__((packed)) CameraDeleteFileFromSDCardMessage {
  CameraMessageHeader header;
  filename_t filename;
};
STMSG_ASSERT_SIZE(CameraDeleteFileFromSDCardMessage, 25);
STMSG_ASSERT_HEADER(CameraDeleteFileFromSDCardMessage);
STMSG_ASSERT_OFFSET(CameraDeleteFileFromSDCardMessage, filename, 12);

// CMD_readSD_FileContents.
struct __attribute__((packed)) readSD_FileContents_Message {
  CameraMessageHeader header;
  filename_t filename;
};
STMSG_ASSERT_SIZE(readSD_FileContents_Message, 25);
STMSG_ASSERT_HEADER(readSD_FileContents_Message);
STMSG_ASSERT_OFFSET(readSD_FileContents_Message, filename, 12);

// CMD_readSD_JPEGFrameFromFile.
struct __attribute__((packed)) readSD_JPEGFrameFromFile_Message {
  CameraMessageHeader header;
  filename_t filename;
  uint32_t frameNumber;
};
STMSG_ASSERT_SIZE(readSD_JPEGFrameFromFile_Message, 29);
STMSG_ASSERT_HEADER(readSD_JPEGFrameFromFile_Message);
STMSG_ASSERT_OFFSET(readSD_JPEGFrameFromFile_Message, filename, 12);
STMSG_ASSERT_OFFSET(readSD_JPEGFrameFromFile_Message, frameNumber, 25);

// CMD_readSD_BlockFromFile.
struct __attribute__((packed)) readSD_BlockFromFile_Message {
  CameraMessageHeader header;
  filename_t filename;
  uint32_t fileOffset;
  uint32_t bytesToRead;
};
STMSG_ASSERT_SIZE(readSD_BlockFromFile_Message, 33);
STMSG_ASSERT_HEADER(readSD_BlockFromFile_Message);
STMSG_ASSERT_OFFSET(readSD_BlockFromFile_Message, filename, 12);
STMSG_ASSERT_OFFSET(readSD_BlockFromFile_Message, fileOffset, 25);
STMSG_ASSERT_OFFSET(readSD_BlockFromFile_Message, bytesToRead, 29);

// CMD_getFileInfo.
struct __attribute__((packed)) getFileInfo_Message {
  CameraMessageHeader header;
  fileInfoWithFrameCount_t fileInfo;
};
STMSG_ASSERT_SIZE(getFileInfo_Message, 40);
STMSG_ASSERT_HEADER(getFileInfo_Message);
STMSG_ASSERT_OFFSET(getFileInfo_Message, fileInfo, 12);

// CMD_getRecentFileStatus.
struct __attribute__((packed)) getRecentFileStatus_Message {
  CameraMessageHeader header;
  fileInfoWithFrameCount_t newestFile;
};
STMSG_ASSERT_SIZE(getRecentFileStatus_Message, 40);
STMSG_ASSERT_HEADER(getRecentFileStatus_Message);
STMSG_ASSERT_OFFSET(getRecentFileStatus_Message, newestFile, 12);

// CMD_getFileInfo2.
struct __attribute__((packed)) getFileInfo2_Message {
  CameraMessageHeader header;
  fileInfoWithFrameCount_t fileInfo;
  uint32_t interval;
  dateTime8601_t dateTime8601;
  uint32_t playbackFrameRate;
  uint8_t fileUID[40];
};
STMSG_ASSERT_SIZE(getFileInfo2_Message, 120);
STMSG_ASSERT_HEADER(getFileInfo2_Message);
STMSG_ASSERT_OFFSET(getFileInfo2_Message, fileInfo, 12);
STMSG_ASSERT_OFFSET(getFileInfo2_Message, interval, 40);
STMSG_ASSERT_OFFSET(getFileInfo2_Message, dateTime8601, 44);
STMSG_ASSERT_OFFSET(getFileInfo2_Message, playbackFrameRate, 76);
STMSG_ASSERT_OFFSET(getFileInfo2_Message, fileUID, 80);

// CMD_setSSID / CMD_getSSID.
struct __attribute__((packed)) CameraGetSetSSIDMessage {
  CameraMessageHeader header;
  wifistring_t ssid;
};
STMSG_ASSERT_SIZE(CameraGetSetSSIDMessage, 77);
STMSG_ASSERT_HEADER(CameraGetSetSSIDMessage);
STMSG_ASSERT_OFFSET(CameraGetSetSSIDMessage, ssid, 12);

// CMD_setPWD / CMD_getPWD.
struct __attribute__((packed)) CameraGetSetPWDMessage {
  CameraMessageHeader header;
  wifistring_t pwd;
};
STMSG_ASSERT_SIZE(CameraGetSetPWDMessage, 77);
STMSG_ASSERT_HEADER(CameraGetSetPWDMessage);
STMSG_ASSERT_OFFSET(CameraGetSetPWDMessage, pwd, 12);

// CMD_setUserUID / CMD_getUserUID.
struct __attribute__((packed)) CameraGetSetUserUID_Message {
  CameraMessageHeader header;
  MCS_UID_t userID;
};
STMSG_ASSERT_SIZE(CameraGetSetUserUID_Message, 77);
STMSG_ASSERT_HEADER(CameraGetSetUserUID_Message);
STMSG_ASSERT_OFFSET(CameraGetSetUserUID_Message, userID, 12);

// CMD_getCode: the account registration code.
struct __attribute__((packed)) CameraGetSetCodeMessage {
  CameraMessageHeader header;
  code_t code;
};
STMSG_ASSERT_SIZE(CameraGetSetCodeMessage, 24);
STMSG_ASSERT_HEADER(CameraGetSetCodeMessage);
STMSG_ASSERT_OFFSET(CameraGetSetCodeMessage, code, 12);

// CMD_setBLEAccessCode / CMD_getBLEAccessCode.
struct __attribute__((packed)) CameraGetSetBLEAccessCodeMessage {
  CameraMessageHeader header;
  code_t accessCode;
};
STMSG_ASSERT_SIZE(CameraGetSetBLEAccessCodeMessage, 24);
STMSG_ASSERT_HEADER(CameraGetSetBLEAccessCodeMessage);
STMSG_ASSERT_OFFSET(CameraGetSetBLEAccessCodeMessage, accessCode, 12);

// CMD_getUID: the camera's unique ID.
struct __attribute__((packed)) CameraGetUIDMessage {
  CameraMessageHeader header;
  cameraUID_t uid;
};
STMSG_ASSERT_SIZE(CameraGetUIDMessage, 24);
STMSG_ASSERT_HEADER(CameraGetUIDMessage);
STMSG_ASSERT_OFFSET(CameraGetUIDMessage, uid, 12);

// CMD_getVersion1. The request carries this module's version in versions.innoVersion; the answer
// the STM32 firmware and FPGA versions and the BLE name.
struct __attribute__((packed)) CameraGetVersionMessage1 {
  CameraMessageHeader header;
  versions_t versions;
  char bleName[20];
};
STMSG_ASSERT_SIZE(CameraGetVersionMessage1, 68);
STMSG_ASSERT_HEADER(CameraGetVersionMessage1);
STMSG_ASSERT_OFFSET(CameraGetVersionMessage1, versions, 12);
STMSG_ASSERT_OFFSET(CameraGetVersionMessage1, versions.fwVersion, 12);
STMSG_ASSERT_OFFSET(CameraGetVersionMessage1, versions.fpgaVersion, 24);
STMSG_ASSERT_OFFSET(CameraGetVersionMessage1, versions.innoVersion, 36);
STMSG_ASSERT_OFFSET(CameraGetVersionMessage1, bleName, 48);

// CMD_getStatus3. The request carries only `status`: the status word last received.
struct __attribute__((packed)) CameraGetStatusMessage3 {
  CameraMessageHeader header;
  dateTime8601_t dateTime8601;
  int32_t mode;     // CameraMode
  uint32_t status;  // CameraStatus bits
  uint32_t freeSpaceMB;
  uint32_t totalSpaceMB;
};
STMSG_ASSERT_SIZE(CameraGetStatusMessage3, 60);
STMSG_ASSERT_HEADER(CameraGetStatusMessage3);
STMSG_ASSERT_OFFSET(CameraGetStatusMessage3, dateTime8601, 12);
STMSG_ASSERT_OFFSET(CameraGetStatusMessage3, mode, 44);
STMSG_ASSERT_OFFSET(CameraGetStatusMessage3, status, 48);
STMSG_ASSERT_OFFSET(CameraGetStatusMessage3, freeSpaceMB, 52);
STMSG_ASSERT_OFFSET(CameraGetStatusMessage3, totalSpaceMB, 56);

// CMD_setDateTime8601: local time with UTC offset.
struct __attribute__((packed)) CameraMessageDateTime8601 {
  CameraMessageHeader header;
  dateTime8601_t dateTime8601;
};
STMSG_ASSERT_SIZE(CameraMessageDateTime8601, 44);
STMSG_ASSERT_HEADER(CameraMessageDateTime8601);
STMSG_ASSERT_OFFSET(CameraMessageDateTime8601, dateTime8601, 12);

// CMD_setInterval / CMD_getInterval.
struct __attribute__((packed)) CameraGetSetIntervalMessage {
  CameraMessageHeader header;
  int32_t interval;  // seconds
};
STMSG_ASSERT_SIZE(CameraGetSetIntervalMessage, 16);
STMSG_ASSERT_HEADER(CameraGetSetIntervalMessage);
STMSG_ASSERT_OFFSET(CameraGetSetIntervalMessage, interval, 12);

// CMD_setSchedule / CMD_getSchedule.
struct __attribute__((packed)) CameraGetSetScheduleMessage {
  CameraMessageHeader header;
  schedule_t schedule;
};
STMSG_ASSERT_SIZE(CameraGetSetScheduleMessage, 28);
STMSG_ASSERT_HEADER(CameraGetSetScheduleMessage);
STMSG_ASSERT_OFFSET(CameraGetSetScheduleMessage, schedule, 12);
STMSG_ASSERT_OFFSET(CameraGetSetScheduleMessage, schedule.enabled, 12);
STMSG_ASSERT_OFFSET(CameraGetSetScheduleMessage, schedule.scheduleStartTime, 16);
STMSG_ASSERT_OFFSET(CameraGetSetScheduleMessage, schedule.scheduleStopTime, 20);
STMSG_ASSERT_OFFSET(CameraGetSetScheduleMessage, schedule.scheduleWeek, 24);

// One-value settings and commands: the header and one 32-bit field at 12.
#define STMSG_ONE_VALUE_MESSAGE(type, fieldType, field) \
  struct __attribute__((packed)) type {                 \
    CameraMessageHeader header;                         \
    fieldType field;                                    \
  };                                                    \
  STMSG_ASSERT_SIZE(type, 16);                          \
  STMSG_ASSERT_HEADER(type);                            \
  STMSG_ASSERT_OFFSET(type, field, 12)

STMSG_ONE_VALUE_MESSAGE(CameraGetSetFileSplitMessage, uint32_t, splitFiles);
STMSG_ONE_VALUE_MESSAGE(CameraGetSetOverwriteOldFiles_Message, uint32_t, overwriteOldFiles);
STMSG_ONE_VALUE_MESSAGE(CameraGetSetExposureModeMessage, uint32_t, expoMode);
STMSG_ONE_VALUE_MESSAGE(CameraGetSetFlickerFilterMessage, uint32_t, flickerFilter);
STMSG_ONE_VALUE_MESSAGE(CameraGetSetTimeStampMessage, uint32_t, timeStamp);
STMSG_ONE_VALUE_MESSAGE(CameraGetSetSharpnessMessage, uint32_t, sharpness);
STMSG_ONE_VALUE_MESSAGE(CameraGetSetSaturationMessage, uint32_t, saturation);
STMSG_ONE_VALUE_MESSAGE(CameraGetSetPlaybackRateMessage, uint32_t, playbackRate);
STMSG_ONE_VALUE_MESSAGE(CameraGetSetContrastMessage, int32_t, contrast);
STMSG_ONE_VALUE_MESSAGE(CameraGetSetExposureValueMessage, int32_t, expoValue);
STMSG_ONE_VALUE_MESSAGE(CameraGetSetWhiteBalanceMessage, int32_t, whiteBalance);
STMSG_ONE_VALUE_MESSAGE(CameraGetSetHDRMessage, int32_t, hdr);
STMSG_ONE_VALUE_MESSAGE(CameraGetSetResolutionMessage, int32_t, resolution);
STMSG_ONE_VALUE_MESSAGE(CameraGetSetNoiseFilterMessage, int32_t, noiseFilter);
// Bytes per SPI transfer.
STMSG_ONE_VALUE_MESSAGE(CameraGetSystemConfig_Message, uint32_t, spiTransferLength);
STMSG_ONE_VALUE_MESSAGE(CameraSendSingleSPIBlock_Message, uint32_t, data);
STMSG_ONE_VALUE_MESSAGE(CameraPowerDown_Message, uint32_t, delayBeforeReboot_ms);

#undef STMSG_ONE_VALUE_MESSAGE

// CMD_xchgBatteryAndRecordingStatus: battery readings out, recording state back.
struct __attribute__((packed)) CameraXchgBatteryAndRecordingStatusMessage {
  CameraMessageHeader header;
  union __attribute__((packed)) {
    CameraBattInfo_LEGACY_t toST_BattInfo[4];    // request: one per fuel gauge
    CameraRecordingInfo_t fromST_RecordingInfo;  // answer
  };
};
STMSG_ASSERT_SIZE(CameraXchgBatteryAndRecordingStatusMessage, 44);
STMSG_ASSERT_HEADER(CameraXchgBatteryAndRecordingStatusMessage);
STMSG_ASSERT_OFFSET(CameraXchgBatteryAndRecordingStatusMessage, toST_BattInfo, 12);
STMSG_ASSERT_OFFSET(CameraXchgBatteryAndRecordingStatusMessage, fromST_RecordingInfo, 12);
STMSG_ASSERT_OFFSET(CameraXchgBatteryAndRecordingStatusMessage, fromST_RecordingInfo.frameCount,
                    12);
STMSG_ASSERT_OFFSET(CameraXchgBatteryAndRecordingStatusMessage, fromST_RecordingInfo.currentSize,
                    16);
STMSG_ASSERT_OFFSET(CameraXchgBatteryAndRecordingStatusMessage,
                    fromST_RecordingInfo.currentFileName, 20);

// CMD_setNonVolatileMemory / CMD_getNonVolatileMemory: one 64-byte block.
struct __attribute__((packed)) CameraGetSetNonVolatileMemoryMessage {
  CameraMessageHeader header;
  uint16_t address;
  uint8_t data[64];
};
STMSG_ASSERT_SIZE(CameraGetSetNonVolatileMemoryMessage, 78);
STMSG_ASSERT_HEADER(CameraGetSetNonVolatileMemoryMessage);
STMSG_ASSERT_OFFSET(CameraGetSetNonVolatileMemoryMessage, address, 12);
STMSG_ASSERT_OFFSET(CameraGetSetNonVolatileMemoryMessage, data, 14);

// CMD_StatisticsReport: the 80 bytes of the statistics reporter's srReport_t.
#define STMSG_STATISTICS_REPORT_SIZE 80
struct __attribute__((packed)) CameraStatisticsReport_Message {
  CameraMessageHeader header;
  uint8_t report[STMSG_STATISTICS_REPORT_SIZE];
};
STMSG_ASSERT_SIZE(CameraStatisticsReport_Message, 92);
STMSG_ASSERT_HEADER(CameraStatisticsReport_Message);
STMSG_ASSERT_OFFSET(CameraStatisticsReport_Message, report, 12);

// CMD_setBatteryInfo.
struct __attribute__((packed)) CameraSetBatteryInfo_Message {
  CameraMessageHeader header;
  additionalBatteryInfo_t additionalInfo;
  unnamedFuelguage_t batteries[4];
};
STMSG_ASSERT_SIZE(CameraSetBatteryInfo_Message, 96);
STMSG_ASSERT_HEADER(CameraSetBatteryInfo_Message);
STMSG_ASSERT_OFFSET(CameraSetBatteryInfo_Message, additionalInfo, 12);
STMSG_ASSERT_OFFSET(CameraSetBatteryInfo_Message, batteries, 16);

// CMD_rootFileWrite: the request is the 40 bytes before the payload plus the payload bytes.
#define ROOTFILE_WRITE_HEADER_SIZE 40
#define ROOTFILE_WRITE_MAX_PAYLOAD 1400
struct __attribute__((packed)) rootFileWriteMessage {
  CameraMessageHeader header;
  uint32_t fileOffset;
  uint32_t chunkCRC32;
  uint32_t fileCRC32;
  int16_t errorCode;
  filename_t filename;
  uint8_t padding1;
  uint8_t payload[ROOTFILE_WRITE_MAX_PAYLOAD];
};
STMSG_ASSERT_SIZE(rootFileWriteMessage, 1440);
STMSG_ASSERT_HEADER(rootFileWriteMessage);
STMSG_ASSERT_OFFSET(rootFileWriteMessage, fileOffset, 12);
STMSG_ASSERT_OFFSET(rootFileWriteMessage, chunkCRC32, 16);
STMSG_ASSERT_OFFSET(rootFileWriteMessage, fileCRC32, 20);
STMSG_ASSERT_OFFSET(rootFileWriteMessage, errorCode, 24);
STMSG_ASSERT_OFFSET(rootFileWriteMessage, filename, 26);
STMSG_ASSERT_OFFSET(rootFileWriteMessage, padding1, 39);
STMSG_ASSERT_OFFSET(rootFileWriteMessage, payload, ROOTFILE_WRITE_HEADER_SIZE);

// CMD_rootFilesDelete.
struct __attribute__((packed)) rootFilesDeleteMessage {
  CameraMessageHeader header;
  int16_t errorCode;
  filename_t filenames[8];
  uint8_t padding1[2];
};
STMSG_ASSERT_SIZE(rootFilesDeleteMessage, 120);
STMSG_ASSERT_HEADER(rootFilesDeleteMessage);
STMSG_ASSERT_OFFSET(rootFilesDeleteMessage, errorCode, 12);
STMSG_ASSERT_OFFSET(rootFilesDeleteMessage, filenames, 14);
STMSG_ASSERT_OFFSET(rootFilesDeleteMessage, padding1, 118);

// CMD_rootFilesRenameAndReboot.
struct __attribute__((packed)) rootFilesRenameAndRebootMessage {
  CameraMessageHeader header;
  int16_t errorCode;
  filename_t oldNames[4];
  filename_t newNames[4];
  uint8_t padding1[2];
};
STMSG_ASSERT_SIZE(rootFilesRenameAndRebootMessage, 120);
STMSG_ASSERT_HEADER(rootFilesRenameAndRebootMessage);
STMSG_ASSERT_OFFSET(rootFilesRenameAndRebootMessage, errorCode, 12);
STMSG_ASSERT_OFFSET(rootFilesRenameAndRebootMessage, oldNames, 14);
STMSG_ASSERT_OFFSET(rootFilesRenameAndRebootMessage, newNames, 66);
STMSG_ASSERT_OFFSET(rootFilesRenameAndRebootMessage, padding1, 118);

// CMD_ClearSpi: the header alone.
struct __attribute__((packed)) CameraClearSpi_Message {
  CameraMessageHeader header;
};
STMSG_ASSERT_SIZE(CameraClearSpi_Message, 12);
STMSG_ASSERT_HEADER(CameraClearSpi_Message);

#undef STMSG_ASSERT_SIZE
#undef STMSG_ASSERT_OFFSET
#undef STMSG_ASSERT_HEADER

#endif  // STMSG_MESSAGES_H
