// The camera-server datagram wire format shared by the UDP modules: the command identifiers and
// the 32-byte message header. Every multi-byte field is little-endian; the structures map the
// datagram bytes directly, so they need a little-endian target.
#ifndef UDP_WIRE_FORMAT_H
#define UDP_WIRE_FORMAT_H

#include <stddef.h>
#include <stdint.h>

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the datagram structures are laid out for a little-endian target"
#endif

// Command identifiers, 14 bits. A Set is its Get plus 100, except SetWiFiParameters (31, whose Get
// is 131) and the one-way 125, 135 and 138. The deprecated values, GetFileInfo1 and every value
// missing here are not accepted.
enum cmdID : uint16_t {
  cmdID_cts_stc_OpenSession = 1,
  cmdID_cts_stc_KeepAlive = 2,
  cmdID_cts_stc_LiveView = 3,
  cmdID_cts_stc_GetRegistrationCode = 4,
  cmdID_DEPRECATED_5 = 5,
  cmdID_DEPRECATED_6 = 6,
  cmdID_cts_stc_GetEnableRecording = 7,
  cmdID_cts_stc_SetEnableRecording = 107,
  cmdID_cts_stc_GetContrast = 8,
  cmdID_cts_stc_SetContrast = 108,
  cmdID_cts_stc_GetExposureValue = 9,
  cmdID_cts_stc_SetExposureValue = 109,
  cmdID_cts_stc_GetSaturation = 10,
  cmdID_cts_stc_SetSaturation = 110,
  cmdID_cts_stc_GetSharpness = 11,
  cmdID_cts_stc_SetSharpness = 111,
  cmdID_cts_stc_GetWhiteBalance = 12,
  cmdID_cts_stc_SetWhiteBalance = 112,
  cmdID_cts_stc_GetExposureMode = 13,
  cmdID_cts_stc_SetExposureMode = 113,
  cmdID_DEPRECATED_14 = 14,
  cmdID_cts_stc_GetFileSplit = 15,
  cmdID_cts_stc_SetFileSplit = 115,
  cmdID_cts_stc_GetFlickerFilter = 16,
  cmdID_cts_stc_SetFlickerFilter = 116,
  cmdID_cts_stc_GetPlaybackRate = 17,
  cmdID_cts_stc_SetPlaybackRate = 117,
  cmdID_cts_stc_GetEmbedTimestamp = 18,
  cmdID_cts_stc_SetEmbedTimestamp = 118,
  cmdID_cts_stc_GetHdr = 19,
  cmdID_cts_stc_SetHdr = 119,
  cmdID_cts_stc_GetResolution = 20,
  cmdID_cts_stc_SetResolution = 120,
  cmdID_cts_stc_GetNoiseFilter = 21,
  cmdID_cts_stc_SetNoiseFilter = 121,
  cmdID_cts_stc_GetInterval = 22,
  cmdID_cts_stc_SetInterval = 122,
  cmdID_cts_stc_GetSchedule = 23,
  cmdID_cts_stc_SetSchedule = 123,
  cmdID_cts_stc_GetBatteryStatus = 24,
  cmdID_cts_stc_ClearKAStatus = 125,
  cmdID_cts_stc_StartTCPConnection = 26,
  cmdID_DEPRECATED_27 = 27,
  cmdID_cts_stc_GetRecentFileStatus = 28,
  cmdID_DEPRECATED_29 = 29,
  cmdID_cts_stc_GetSDCardStatus = 30,
  cmdID_cts_stc_SetWiFiParameters = 31,
  cmdID_cts_stc_GetWiFiParameters = 131,
  cmdID_cts_stc_GetFileInfo1 = 32,
  cmdID_cts_stc_GetStatisticsReport = 33,
  cmdID_DEPRECATED_34 = 34,
  cmdID_cts_stc_SetAccessCode = 135,
  cmdID_cts_stc_GetFileInfo2 = 36,
  cmdID_cts_stc_GetOverwriteOldFiles = 37,
  cmdID_cts_stc_SetOverwriteOldFiles = 137,
  cmdID_cts_stc_DeleteFileFromSDCard = 138,
};

#define CTS_STC_HEADER_SIZE 32
#define CTS_STC_CMDID_MASK 0x3FFFu
// In camera replies only; both clear in server messages.
#define CTS_STC_PERSISTENT_ERROR_BIT 0x4000u
#define CTS_STC_TEMPORARY_ERROR_BIT 0x8000u

// The header of every datagram, both directions.
struct __attribute__((packed)) cts_stc_MessageHeader_t {
  uint16_t msgLength;  // the whole datagram, header included
  // The command identifier in bits 0-13, persistentError in bit 14, temporaryError in bit 15:
  // use the accessors below.
  uint16_t cmdIDAndErrorBits;
  uint32_t cmdSequenceNumber;            // set by the server, echoed in the reply
  uint32_t packetSequenceNumber;         // each side numbers the datagrams it sends
  uint32_t cameraMSecsSinceBoot;         // written by the camera when it sends
  uint32_t serverMSecsSinceOpenSession;  // set by the server, echoed by the camera
  uint16_t cameraID[6];                  // the camera's identity
};
static_assert(sizeof(cts_stc_MessageHeader_t) == CTS_STC_HEADER_SIZE, "header is 32 bytes");
static_assert(offsetof(cts_stc_MessageHeader_t, msgLength) == 0, "msgLength");
static_assert(offsetof(cts_stc_MessageHeader_t, cmdIDAndErrorBits) == 2, "cmdID word");
static_assert(offsetof(cts_stc_MessageHeader_t, cmdSequenceNumber) == 4, "cmdSequenceNumber");
static_assert(offsetof(cts_stc_MessageHeader_t, packetSequenceNumber) == 8, "packetSequenceNumber");
static_assert(offsetof(cts_stc_MessageHeader_t, cameraMSecsSinceBoot) == 12,
              "cameraMSecsSinceBoot");
static_assert(offsetof(cts_stc_MessageHeader_t, serverMSecsSinceOpenSession) == 16,
              "serverMSecsSinceOpenSession");
static_assert(offsetof(cts_stc_MessageHeader_t, cameraID) == 20, "cameraID");

static inline cmdID ctsStcHeader_getCmdID(const cts_stc_MessageHeader_t* hdr) {
  return (cmdID)(hdr->cmdIDAndErrorBits & CTS_STC_CMDID_MASK);
}
// Sets the identifier (cut to 14 bits), keeping the error bits.
static inline void ctsStcHeader_setCmdID(cts_stc_MessageHeader_t* hdr, uint16_t id) {
  hdr->cmdIDAndErrorBits =
      (uint16_t)((hdr->cmdIDAndErrorBits & ~CTS_STC_CMDID_MASK) | (id & CTS_STC_CMDID_MASK));
}
static inline bool ctsStcHeader_getPersistentError(const cts_stc_MessageHeader_t* hdr) {
  return (hdr->cmdIDAndErrorBits & CTS_STC_PERSISTENT_ERROR_BIT) != 0;
}
static inline void ctsStcHeader_setPersistentError(cts_stc_MessageHeader_t* hdr, bool on) {
  hdr->cmdIDAndErrorBits = (uint16_t)(on ? hdr->cmdIDAndErrorBits | CTS_STC_PERSISTENT_ERROR_BIT
                                         : hdr->cmdIDAndErrorBits & ~CTS_STC_PERSISTENT_ERROR_BIT);
}
static inline bool ctsStcHeader_getTemporaryError(const cts_stc_MessageHeader_t* hdr) {
  return (hdr->cmdIDAndErrorBits & CTS_STC_TEMPORARY_ERROR_BIT) != 0;
}
static inline void ctsStcHeader_setTemporaryError(cts_stc_MessageHeader_t* hdr, bool on) {
  hdr->cmdIDAndErrorBits = (uint16_t)(on ? hdr->cmdIDAndErrorBits | CTS_STC_TEMPORARY_ERROR_BIT
                                         : hdr->cmdIDAndErrorBits & ~CTS_STC_TEMPORARY_ERROR_BIT);
}

#endif  // UDP_WIRE_FORMAT_H
