// The bodies of the camera-server datagrams, both directions, and what the layers hand each other
// for one exchange. Every datagram is the 32-byte header followed by a body whose length depends
// only on the command and the direction; the structures map the datagram bytes directly.
#ifndef UCSC_MESSAGES_H
#define UCSC_MESSAGES_H

#include <stddef.h>
#include <stdint.h>

#include "dbgudpDebugForUDPMessages/udpWireFormat.h"
#include "i2cDevices/i2cbatBattery/i2cbatBattery.h"  // fuelguage_t
#include "lwip/ip_addr.h"
#include "os.h"
#include "srStatisticsReporter/srStatisticsReporter.h"  // srReport_t
#include "stmsgSTM32Message/stmsgMessages.h"
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"  // sdcardspace_t

#define UCSC_ASSERT_SIZE(type, size) static_assert(sizeof(type) == (size), #type " size")
#define UCSC_ASSERT_OFFSET(type, field, at) \
  static_assert(offsetof(type, field) == (at), #type "." #field " offset")

// The largest datagram accepted from the server and the largest the camera sends.
#define UCSC_MAX_STC_MSG_BYTES 68
#define UCSC_MAX_CTS_MSG_BYTES 180

// The firmware number the camera announces in OpenSession.
#define UCSC_CAMERA_FIRMWARE_VERSION 15254u

enum udpDirection_t { UDP_DIRECTION_STC = 0, UDP_DIRECTION_CTS = 1 };

// The camera's Wi-Fi power parameters as the server sees them.
struct __attribute__((packed)) wifiParameters_t {
  uint32_t fullPower_arp_grat_period;
  uint32_t lowPower_arp_grat_period;
  uint32_t enableCloudMode : 1;
  uint32_t padding1 : 31;
  uint32_t lowPower_listen_interval;
  uint32_t lowPower_traffic_tmo;
  uint32_t lowPower_pm_flags;
};
UCSC_ASSERT_SIZE(wifiParameters_t, 24);
UCSC_ASSERT_OFFSET(wifiParameters_t, fullPower_arp_grat_period, 0);
UCSC_ASSERT_OFFSET(wifiParameters_t, lowPower_arp_grat_period, 4);
UCSC_ASSERT_OFFSET(wifiParameters_t, lowPower_listen_interval, 12);
UCSC_ASSERT_OFFSET(wifiParameters_t, lowPower_traffic_tmo, 16);
UCSC_ASSERT_OFFSET(wifiParameters_t, lowPower_pm_flags, 20);

// ---- Server to camera -------------------------------------------------------------------------

struct __attribute__((packed)) stcOpenSession_t {
  cts_stc_MessageHeader_t header;
  uint32_t redirectionToken[4];
  uint16_t redirectionPort;
  char redirectionIP[17];  // dotted IPv4 text
  uint8_t padding1;
};
UCSC_ASSERT_SIZE(stcOpenSession_t, 68);
UCSC_ASSERT_OFFSET(stcOpenSession_t, redirectionToken, 32);
UCSC_ASSERT_OFFSET(stcOpenSession_t, redirectionPort, 48);
UCSC_ASSERT_OFFSET(stcOpenSession_t, redirectionIP, 50);
UCSC_ASSERT_OFFSET(stcOpenSession_t, padding1, 67);

// The clock field holds at most 20 characters and a terminator.
#define UCSC_KEEPALIVE_TIME_BYTES 21
struct __attribute__((packed)) stcKeepAlive_t {
  cts_stc_MessageHeader_t header;
  char iso8601Time[UCSC_KEEPALIVE_TIME_BYTES];
  uint8_t padding1[3];
};
UCSC_ASSERT_SIZE(stcKeepAlive_t, 56);
UCSC_ASSERT_OFFSET(stcKeepAlive_t, iso8601Time, 32);
UCSC_ASSERT_OFFSET(stcKeepAlive_t, padding1, 53);

struct __attribute__((packed)) stcClearKAStatus_t {
  cts_stc_MessageHeader_t header;
  uint32_t lastKnownStatus;
};
UCSC_ASSERT_SIZE(stcClearKAStatus_t, 36);
UCSC_ASSERT_OFFSET(stcClearKAStatus_t, lastKnownStatus, 32);

struct __attribute__((packed)) stcLiveView_t {
  cts_stc_MessageHeader_t header;
  uint32_t durationSeconds;  // 0 stops live view
  uint16_t tcpPort;
  uint16_t resolutionCode;
  uint32_t numberOfFrames;
};
UCSC_ASSERT_SIZE(stcLiveView_t, 44);
UCSC_ASSERT_OFFSET(stcLiveView_t, durationSeconds, 32);
UCSC_ASSERT_OFFSET(stcLiveView_t, tcpPort, 36);
UCSC_ASSERT_OFFSET(stcLiveView_t, resolutionCode, 38);
UCSC_ASSERT_OFFSET(stcLiveView_t, numberOfFrames, 40);

// Set requests of one setting, and the Get and Set replies of one setting: the value at 32
// (signed for the exposure value and the noise filter).
struct __attribute__((packed)) cts_stc_OneValue_t {
  cts_stc_MessageHeader_t header;
  union {
    uint32_t enableRecording;
    int32_t contrast;
    int32_t exposureValue;
    uint32_t saturation;
    uint32_t sharpness;
    int32_t whiteBalance;
    uint32_t exposureMode;
    uint32_t splitFiles;
    uint32_t flickerFilter;
    uint32_t playbackRate;
    uint32_t embedTimestamp;
    int32_t hdr;
    int32_t resolution;
    int32_t noiseFilter;
    int32_t intervalSecs;
    uint32_t overwriteOldFiles;
    uint32_t value;
  };
};
UCSC_ASSERT_SIZE(cts_stc_OneValue_t, 36);
UCSC_ASSERT_OFFSET(cts_stc_OneValue_t, value, 32);

// SetSchedule request, GetSchedule and SetSchedule replies.
struct __attribute__((packed)) cts_stc_Schedule_t {
  cts_stc_MessageHeader_t header;
  schedule_t schedule;
};
UCSC_ASSERT_SIZE(cts_stc_Schedule_t, 48);
UCSC_ASSERT_OFFSET(cts_stc_Schedule_t, schedule, 32);

struct __attribute__((packed)) stcStartTCPConnection_t {
  cts_stc_MessageHeader_t header;
  uint16_t tcpPort;
  uint8_t padding1[2];
};
UCSC_ASSERT_SIZE(stcStartTCPConnection_t, 36);
UCSC_ASSERT_OFFSET(stcStartTCPConnection_t, tcpPort, 32);
UCSC_ASSERT_OFFSET(stcStartTCPConnection_t, padding1, 34);

// GetFileInfo2 and DeleteFileFromSDCard requests.
struct __attribute__((packed)) stcFileName_t {
  cts_stc_MessageHeader_t header;
  filename_t filename;
  uint8_t padding1[3];
};
typedef stcFileName_t stcGetFileInfo2_t;
typedef stcFileName_t stcDeleteFileFromSDCard_t;
UCSC_ASSERT_SIZE(stcFileName_t, 48);
UCSC_ASSERT_OFFSET(stcFileName_t, filename, 32);
UCSC_ASSERT_OFFSET(stcFileName_t, padding1, 45);

// SetAccessCode request and reply.
struct __attribute__((packed)) cts_stc_AccessCode_t {
  cts_stc_MessageHeader_t header;
  uint32_t rejectedBecauseConfigCode : 1;  // not read in requests
  uint32_t padding1 : 31;
  code_t accessCode;
};
UCSC_ASSERT_SIZE(cts_stc_AccessCode_t, 48);
UCSC_ASSERT_OFFSET(cts_stc_AccessCode_t, accessCode, 36);

// SetWiFiParameters and GetWiFiParameters, requests and replies.
struct __attribute__((packed)) cts_stc_WiFiParameters_t {
  cts_stc_MessageHeader_t header;
  wifiParameters_t parameters;
};
UCSC_ASSERT_SIZE(cts_stc_WiFiParameters_t, 56);
UCSC_ASSERT_OFFSET(cts_stc_WiFiParameters_t, parameters, 32);

// ---- Camera to server -------------------------------------------------------------------------

struct __attribute__((packed)) ctsOpenSession_t {
  cts_stc_MessageHeader_t header;
  uint32_t cameraFirmwareVersion;
  uint32_t redirectionToken[4];
  Version_t fpgaVersion;
  Version_t cameraVersion;  // the STM32's firmware
  Version_t wifiVersion;    // this module
};
UCSC_ASSERT_SIZE(ctsOpenSession_t, 88);
UCSC_ASSERT_OFFSET(ctsOpenSession_t, cameraFirmwareVersion, 32);
UCSC_ASSERT_OFFSET(ctsOpenSession_t, redirectionToken, 36);
UCSC_ASSERT_OFFSET(ctsOpenSession_t, fpgaVersion, 52);
UCSC_ASSERT_OFFSET(ctsOpenSession_t, cameraVersion, 64);
UCSC_ASSERT_OFFSET(ctsOpenSession_t, wifiVersion, 76);

struct __attribute__((packed)) ctsKeepAlive_t {
  cts_stc_MessageHeader_t header;
  uint32_t status;  // KAStatusValues bits
};
UCSC_ASSERT_SIZE(ctsKeepAlive_t, 36);
UCSC_ASSERT_OFFSET(ctsKeepAlive_t, status, 32);

struct __attribute__((packed)) ctsLiveView_t {
  cts_stc_MessageHeader_t header;
  int16_t status;
  uint8_t padding1[2];
};
UCSC_ASSERT_SIZE(ctsLiveView_t, 36);
UCSC_ASSERT_OFFSET(ctsLiveView_t, status, 32);
UCSC_ASSERT_OFFSET(ctsLiveView_t, padding1, 34);

struct __attribute__((packed)) ctsGetRegistrationCode_fw14541_t {
  cts_stc_MessageHeader_t header;
  code_t code;
  MCS_UID_t userID;
  uint8_t padding1[3];
};
UCSC_ASSERT_SIZE(ctsGetRegistrationCode_fw14541_t, 112);
UCSC_ASSERT_OFFSET(ctsGetRegistrationCode_fw14541_t, code, 32);
UCSC_ASSERT_OFFSET(ctsGetRegistrationCode_fw14541_t, userID, 44);
UCSC_ASSERT_OFFSET(ctsGetRegistrationCode_fw14541_t, padding1, 109);

struct __attribute__((packed)) ctsGetBatteryStatus_fw13955_t {
  cts_stc_MessageHeader_t header;
  additionalBatteryInfo_t additionalInfo;
  fuelguage_t batteries[I2CBAT_BATTERIES];
};
UCSC_ASSERT_SIZE(ctsGetBatteryStatus_fw13955_t, 180);
UCSC_ASSERT_OFFSET(ctsGetBatteryStatus_fw13955_t, additionalInfo, 32);
UCSC_ASSERT_OFFSET(ctsGetBatteryStatus_fw13955_t, batteries, 36);
UCSC_ASSERT_OFFSET(ctsGetBatteryStatus_fw13955_t, batteries[1], 72);
UCSC_ASSERT_OFFSET(ctsGetBatteryStatus_fw13955_t, batteries[3].info.internaltemp, 178);

// StartTCPConnection and DeleteFileFromSDCard replies.
struct __attribute__((packed)) ctsResultCode_t {
  cts_stc_MessageHeader_t header;
  int32_t resultCode;
};
typedef ctsResultCode_t ctsStartTCPConnection_t;
typedef ctsResultCode_t ctsDeleteFileFromSDCard_t;
UCSC_ASSERT_SIZE(ctsResultCode_t, 36);
UCSC_ASSERT_OFFSET(ctsResultCode_t, resultCode, 32);

struct __attribute__((packed)) ctsGetRecentFileStatus_t {
  cts_stc_MessageHeader_t header;
  fileInfoWithFrameCount_t newestFile;
};
UCSC_ASSERT_SIZE(ctsGetRecentFileStatus_t, 60);
UCSC_ASSERT_OFFSET(ctsGetRecentFileStatus_t, newestFile, 32);

struct __attribute__((packed)) ctsGetFileInfo2_t {
  cts_stc_MessageHeader_t header;
  fileInfoWithFrameCount_t fileInfo;
  dateTime8601_t dateTime8601;
  int16_t status;  // 1 while the file is being recorded; a failure's result
  uint8_t padding1[2];
  uint32_t interval;
  uint32_t playbackRate;
  uint8_t fileUID[40];
};
UCSC_ASSERT_SIZE(ctsGetFileInfo2_t, 144);
UCSC_ASSERT_OFFSET(ctsGetFileInfo2_t, fileInfo, 32);
UCSC_ASSERT_OFFSET(ctsGetFileInfo2_t, dateTime8601, 60);
UCSC_ASSERT_OFFSET(ctsGetFileInfo2_t, status, 92);
UCSC_ASSERT_OFFSET(ctsGetFileInfo2_t, padding1, 94);
UCSC_ASSERT_OFFSET(ctsGetFileInfo2_t, interval, 96);
UCSC_ASSERT_OFFSET(ctsGetFileInfo2_t, playbackRate, 100);
UCSC_ASSERT_OFFSET(ctsGetFileInfo2_t, fileUID, 104);

struct __attribute__((packed)) ctsGetSDCardStatus_t {
  cts_stc_MessageHeader_t header;
  uint8_t isSDCardMounted;
  sdcardspace_t sdCardSpace;
};
UCSC_ASSERT_SIZE(ctsGetSDCardStatus_t, 44);
UCSC_ASSERT_OFFSET(ctsGetSDCardStatus_t, isSDCardMounted, 32);
UCSC_ASSERT_OFFSET(ctsGetSDCardStatus_t, sdCardSpace, 33);

struct __attribute__((packed)) ctsGetStatisticsReport_fw15144_t {
  cts_stc_MessageHeader_t header;
  srReport_t report;
};
UCSC_ASSERT_SIZE(ctsGetStatisticsReport_fw15144_t, 112);
UCSC_ASSERT_OFFSET(ctsGetStatisticsReport_fw15144_t, report, 32);

// Every server-to-camera layout; the largest is what the camera accepts.
union stcAllMessages_t {
  cts_stc_MessageHeader_t header;
  stcOpenSession_t openSession;
  stcKeepAlive_t keepAlive;
  stcClearKAStatus_t clearKAStatus;
  stcLiveView_t liveView;
  cts_stc_OneValue_t oneValue;
  cts_stc_Schedule_t schedule;
  stcStartTCPConnection_t startTCPConnection;
  stcFileName_t fileName;
  cts_stc_AccessCode_t accessCode;
  cts_stc_WiFiParameters_t wifiParameters;
};
UCSC_ASSERT_SIZE(stcAllMessages_t, UCSC_MAX_STC_MSG_BYTES);

// Every camera-to-server layout.
union ctsAllMessages_t {
  cts_stc_MessageHeader_t header;
  ctsOpenSession_t openSession;
  ctsKeepAlive_t keepAlive;
  ctsLiveView_t liveView;
  ctsGetRegistrationCode_fw14541_t registrationCode;
  ctsGetBatteryStatus_fw13955_t batteryStatus;
  cts_stc_OneValue_t oneValue;
  cts_stc_Schedule_t schedule;
  ctsResultCode_t resultCode;
  ctsGetRecentFileStatus_t recentFileStatus;
  ctsGetFileInfo2_t fileInfo2;
  ctsGetSDCardStatus_t sdCardStatus;
  cts_stc_WiFiParameters_t wifiParameters;
  ctsGetStatisticsReport_fw15144_t statisticsReport;
  cts_stc_AccessCode_t accessCode;
};
UCSC_ASSERT_SIZE(ctsAllMessages_t, UCSC_MAX_CTS_MSG_BYTES);

// One exchange as the layers hand it on: the received request and the reply being built.
struct udpControlBlock_t {
  systimer_t timeReceived;  // when layer 1 received the request; all ones when there is none
  uint8_t* rxStcMsgPtr;     // UCSC_MAX_STC_MSG_BYTES
  uint8_t* txCtsMsgBuffer;  // txCtsMsgBufferSize
  uint16_t rxStcMsgBytes;
  uint16_t txCtsMsgBytes;
  uint16_t txCtsMsgBufferSize;
};

#endif  // UCSC_MESSAGES_H
