// camserver's own codec of the camera-server datagrams, written from the byte offsets of the wire
// format: little-endian fields at fixed offsets, a 32-byte header and a body whose length depends
// only on the command and the direction. It shares nothing with the firmware's structures, so a
// layout fault on either side shows up as a test failure.
#ifndef CAMSERVER_CODEC_H
#define CAMSERVER_CODEC_H

#include <cstdint>
#include <string>
#include <vector>

namespace camserver {

using Bytes = std::vector<uint8_t>;

constexpr size_t kHeaderBytes = 32;
constexpr uint16_t kCmdIDMask = 0x3FFF;
constexpr uint16_t kPersistentErrorBit = 0x4000;
constexpr uint16_t kTemporaryErrorBit = 0x8000;

enum Cmd : uint16_t {
  kOpenSession = 1,
  kKeepAlive = 2,
  kLiveView = 3,
  kGetRegistrationCode = 4,
  kGetEnableRecording = 7,
  kSetEnableRecording = 107,
  kGetContrast = 8,
  kSetContrast = 108,
  kGetInterval = 22,
  kSetInterval = 122,
  kGetSchedule = 23,
  kSetSchedule = 123,
  kGetBatteryStatus = 24,
  kClearKAStatus = 125,
  kStartTCPConnection = 26,
  kGetRecentFileStatus = 28,
  kGetSDCardStatus = 30,
  kSetWiFiParameters = 31,
  kGetWiFiParameters = 131,
  kGetStatisticsReport = 33,
  kSetAccessCode = 135,
  kGetFileInfo2 = 36,
  kGetOverwriteOldFiles = 37,
  kSetOverwriteOldFiles = 137,
  kDeleteFileFromSDCard = 138,
};

// The keep-alive status bit that announces a new registration code or user.
constexpr uint32_t kRegistrationCodeChangedBit = 0x1;

struct CommandInfo {
  uint16_t id;
  const char* name;  // the short name of the log lines
  uint16_t stc;      // request length, header included
  uint16_t cts;      // reply length
};
// The entry of `id`, or null for an identifier that is not accepted.
const CommandInfo* command_info(uint16_t id);

// One setting that the `get` and `set` commands reach by name.
struct SettingInfo {
  const char* name;
  uint16_t get;
  uint16_t set;  // 0: read only
  bool is_signed;
};
const SettingInfo* setting_info(const std::string& name);
const std::vector<SettingInfo>& settings();

struct Header {
  uint16_t msgLength = 0;
  uint16_t cmdID = 0;
  bool persistentError = false;
  bool temporaryError = false;
  uint32_t cmdSequenceNumber = 0;
  uint32_t packetSequenceNumber = 0;
  uint32_t cameraMSecsSinceBoot = 0;
  uint32_t serverMSecsSinceOpenSession = 0;
  uint16_t cameraID[6] = {};
};

// Little-endian fields at a byte offset; reads past the end give 0.
void put16(Bytes& b, size_t at, uint16_t v);
void put32(Bytes& b, size_t at, uint32_t v);
uint16_t get16(const Bytes& b, size_t at);
uint32_t get32(const Bytes& b, size_t at);
std::string get_text(const Bytes& b, size_t at, size_t size);
void put_text(Bytes& b, size_t at, size_t size, const std::string& text);

// False when fewer than 32 bytes.
bool decode_header(const Bytes& b, Header* h);
// A datagram of `length` bytes with `h` in its first 32 (msgLength is set to `length`).
Bytes encode(const Header& h, size_t length);

std::string camera_id_text(const uint16_t id[6]);
// "a.b.c.d" token words as text.
std::string token_text(const uint32_t token[4]);
// One line describing a datagram in `to_camera` direction: header and decoded body.
std::string describe(const Bytes& b, bool to_camera);
// The reply body as "field value, ..." (without the header), for printing results.
std::string describe_body(const Header& h, const Bytes& b);
// "YYYY-MM-DDTHH:MM:SS" (UTC) for seconds since 1970.
std::string iso8601_utc(int64_t epoch_seconds);
// Hex text to bytes ("01 02", "0102", "0x01,0x02"); false on a bad digit.
bool parse_hex(const std::string& text, Bytes* out);

}  // namespace camserver

#endif  // CAMSERVER_CODEC_H
