#include "codec.h"

#include <cctype>
#include <cstdarg>
#include <cinttypes>
#include <cstdio>
#include <ctime>

namespace camserver {

namespace {

const CommandInfo kCommands[] = {
    {1, "OpenSession", 68, 88},
    {2, "KeepAlive", 56, 36},
    {3, "LiveView", 44, 36},
    {4, "GetRegistrationCode", 32, 112},
    {7, "GetEnableRecording", 32, 36},
    {107, "SetEnableRecording", 36, 36},
    {8, "GetContrast", 32, 36},
    {108, "SetContrast", 36, 36},
    {9, "GetExposureValue", 32, 36},
    {109, "SetExposureValue", 36, 36},
    {10, "GetSaturation", 32, 36},
    {110, "SetSaturation", 36, 36},
    {11, "GetSharpness", 32, 36},
    {111, "SetSharpness", 36, 36},
    {12, "GetWhiteBalance", 32, 36},
    {112, "SetWhiteBalance", 36, 36},
    {13, "GetExposureMode", 32, 36},
    {113, "SetExposureMode", 36, 36},
    {15, "GetFileSplit", 32, 36},
    {115, "SetFileSplit", 36, 36},
    {16, "GetFlickerFilter", 32, 36},
    {116, "SetFlickerFilter", 36, 36},
    {17, "GetPlaybackRate", 32, 36},
    {117, "SetPlaybackRate", 36, 36},
    {18, "GetEmbedTimestamp", 32, 36},
    {118, "SetEmbedTimestamp", 36, 36},
    {19, "GetHdr", 32, 36},
    {119, "SetHdr", 36, 36},
    {20, "GetResolution", 32, 36},
    {120, "SetResolution", 36, 36},
    {21, "GetNoiseFilter", 32, 36},
    {121, "SetNoiseFilter", 36, 36},
    {22, "GetInterval", 32, 36},
    {122, "SetInterval", 36, 36},
    {23, "GetSchedule", 32, 48},
    {123, "SetSchedule", 48, 48},
    {24, "GetBatteryStatus_fw13955", 32, 180},
    {125, "ClearKAStatus", 36, 32},
    {26, "StartTCPConnection", 36, 36},
    {28, "GetRecentFileStatus", 32, 60},
    {30, "GetSDCardStatus", 32, 44},
    {31, "SetWiFiParameters", 56, 56},
    {131, "GetWiFiParameters", 56, 56},
    {33, "GetStatisticsReport", 32, 112},
    {135, "SetAccessCode", 48, 48},
    {36, "GetFileInfo2", 48, 144},
    {37, "GetOverwriteOldFiles", 36, 36},
    {137, "SetOverwriteOldFiles", 36, 36},
    {138, "DeleteFileFromSDCard", 48, 36},
};

const std::vector<SettingInfo> kSettings = {
    {"recording", 7, 107, false},     {"contrast", 8, 108, true},
    {"exposurevalue", 9, 109, true},  {"saturation", 10, 110, false},
    {"sharpness", 11, 111, false},    {"whitebalance", 12, 112, true},
    {"exposuremode", 13, 113, false}, {"filesplit", 15, 115, false},
    {"flickerfilter", 16, 116, false}, {"playbackrate", 17, 117, false},
    {"embedtimestamp", 18, 118, false}, {"hdr", 19, 119, true},
    {"resolution", 20, 120, true},    {"noisefilter", 21, 121, true},
    {"interval", 22, 122, true},      {"overwrite", 37, 137, false},
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[1024];
  va_list args;
  va_start(args, fmt);
  vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

int32_t s32(const Bytes& b, size_t at) { return static_cast<int32_t>(get32(b, at)); }
int16_t s16(const Bytes& b, size_t at) { return static_cast<int16_t>(get16(b, at)); }

std::string file_info(const Bytes& b, size_t at) {
  return format("file %s size %u date 0x%08X frames %u", get_text(b, at, 13).c_str(),
                get32(b, at + 16), get32(b, at + 20), get32(b, at + 24));
}

std::string wifi_params(const Bytes& b, size_t at) {
  return format(
      "fullPower_arp_grat_period %u lowPower_arp_grat_period %u enableCloudMode %u "
      "lowPower_listen_interval %u lowPower_traffic_tmo %u lowPower_pm_flags %u",
      get32(b, at), get32(b, at + 4), get32(b, at + 8) & 1, get32(b, at + 12), get32(b, at + 16),
      get32(b, at + 20));
}

}  // namespace

const CommandInfo* command_info(uint16_t id) {
  for (const CommandInfo& c : kCommands)
    if (c.id == id) return &c;
  return nullptr;
}

const std::vector<SettingInfo>& settings() { return kSettings; }

const SettingInfo* setting_info(const std::string& name) {
  for (const SettingInfo& s : kSettings)
    if (name == s.name) return &s;
  return nullptr;
}

void put16(Bytes& b, size_t at, uint16_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = v & 0xFF;
  b[at + 1] = v >> 8;
}
void put32(Bytes& b, size_t at, uint32_t v) {
  put16(b, at, v & 0xFFFF);
  put16(b, at + 2, v >> 16);
}
uint16_t get16(const Bytes& b, size_t at) {
  if (b.size() < at + 2) return 0;
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
uint32_t get32(const Bytes& b, size_t at) {
  return get16(b, at) | (static_cast<uint32_t>(get16(b, at + 2)) << 16);
}
std::string get_text(const Bytes& b, size_t at, size_t size) {
  std::string s;
  for (size_t i = at; i < at + size && i < b.size() && b[i] != 0; i++)
    s += std::isprint(b[i]) ? static_cast<char>(b[i]) : '?';
  return s;
}
void put_text(Bytes& b, size_t at, size_t size, const std::string& text) {
  if (b.size() < at + size) b.resize(at + size);
  for (size_t i = 0; i < size; i++) b[at + i] = i < text.size() ? text[i] : 0;
}

bool decode_header(const Bytes& b, Header* h) {
  if (b.size() < kHeaderBytes) return false;
  h->msgLength = get16(b, 0);
  uint16_t word = get16(b, 2);
  h->cmdID = word & kCmdIDMask;
  h->persistentError = (word & kPersistentErrorBit) != 0;
  h->temporaryError = (word & kTemporaryErrorBit) != 0;
  h->cmdSequenceNumber = get32(b, 4);
  h->packetSequenceNumber = get32(b, 8);
  h->cameraMSecsSinceBoot = get32(b, 12);
  h->serverMSecsSinceOpenSession = get32(b, 16);
  for (int i = 0; i < 6; i++) h->cameraID[i] = get16(b, 20 + 2 * i);
  return true;
}

Bytes encode(const Header& h, size_t length) {
  Bytes b(length < kHeaderBytes ? kHeaderBytes : length, 0);
  put16(b, 0, static_cast<uint16_t>(length));
  uint16_t word = h.cmdID & kCmdIDMask;
  if (h.persistentError) word |= kPersistentErrorBit;
  if (h.temporaryError) word |= kTemporaryErrorBit;
  put16(b, 2, word);
  put32(b, 4, h.cmdSequenceNumber);
  put32(b, 8, h.packetSequenceNumber);
  put32(b, 12, h.cameraMSecsSinceBoot);
  put32(b, 16, h.serverMSecsSinceOpenSession);
  for (int i = 0; i < 6; i++) put16(b, 20 + 2 * i, h.cameraID[i]);
  b.resize(length);
  return b;
}

std::string camera_id_text(const uint16_t id[6]) {
  return format("%04X-%04X-%04X-%04X-%04X-%04X", id[0], id[1], id[2], id[3], id[4], id[5]);
}

std::string token_text(const uint32_t t[4]) {
  return format("%08X-%08X-%08X-%08X", t[0], t[1], t[2], t[3]);
}

std::string iso8601_utc(int64_t epoch_seconds) {
  time_t t = static_cast<time_t>(epoch_seconds);
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  return buf;
}

bool parse_hex(const std::string& text, Bytes* out) {
  out->clear();
  std::string digits;
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
      i++;
      continue;
    }
    if (std::isspace(static_cast<unsigned char>(c)) || c == ',' || c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() % 2 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 2)
    out->push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return true;
}

std::string describe_body(const Header& h, const Bytes& b) {
  switch (h.cmdID) {
    case kOpenSession: {
      uint32_t t[4] = {get32(b, 36), get32(b, 40), get32(b, 44), get32(b, 48)};
      return format("firmware %u token %s fpga %u.%u.%u camera %u.%u.%u wifi %u.%u.%u",
                    get32(b, 32), token_text(t).c_str(), get32(b, 52), get32(b, 56), get32(b, 60),
                    get32(b, 64), get32(b, 68), get32(b, 72), get32(b, 76), get32(b, 80),
                    get32(b, 84));
    }
    case kKeepAlive:
      return format("status 0x%08X", get32(b, 32));
    case kClearKAStatus:
      return "";
    case kLiveView:
      return format("status %d", s16(b, 32));
    case kGetRegistrationCode:
      return format("code '%s' userID '%s'", get_text(b, 32, 12).c_str(),
                    get_text(b, 44, 65).c_str());
    case kGetSchedule:
    case kSetSchedule:
      return format("schedule enabled %u start %u stop %u week 0x%X", get32(b, 32), get32(b, 36),
                    get32(b, 40), get32(b, 44));
    case kGetBatteryStatus: {
      uint8_t info = b.size() > 32 ? b[32] : 0;
      std::string s = format("usb %u charging %u charge %u%% low %u", info & 0x7F, info >> 7,
                             b.size() > 33 ? b[33] : 0, b.size() > 34 ? b[34] : 0);
      for (int i = 0; i < 4; i++) {
        size_t at = 36 + 36 * i;
        s += format("; '%s' active %u %umV %dmA soc %u%%", get_text(b, at, 16).c_str(),
                    get16(b, at + 16), get16(b, at + 18), s16(b, at + 20), get16(b, at + 28));
      }
      return s;
    }
    case kStartTCPConnection:
    case kDeleteFileFromSDCard:
      return format("resultCode %d", s32(b, 32));
    case kGetRecentFileStatus:
      return file_info(b, 32);
    case kGetFileInfo2:
      return format("%s dateTime8601 '%s' status %d interval %u playbackRate %u",
                    file_info(b, 32).c_str(), get_text(b, 60, 32).c_str(), s16(b, 92),
                    get32(b, 96), get32(b, 100));
    case kGetSDCardStatus:
      return format("isSDCardMounted %u usedSpacePercent %u freeSpaceMB %u totalSpaceMB %u",
                    b.size() > 32 ? b[32] : 0, b.size() > 33 ? b[33] : 0, get32(b, 36),
                    get32(b, 40));
    case kSetWiFiParameters:
    case kGetWiFiParameters:
      return wifi_params(b, 32);
    case kGetStatisticsReport:
      return format(
          "uptime_ms %u apOpen %u dnsResolve %u sessionOpened %u tcpOpened %u stCmdSeqErr %u "
          "stUARTResponseTimeout %u SPIReadTimeout %u semtmoMsgErr %u secSinceLastBLE %u "
          "secSinceLastUDPtx %u secSinceLastUDPrx %u secSinceCurrentSession %u "
          "consecutiveAPNotFound %u heapSizeRemaining %u",
          get32(b, 32), get32(b, 36), get32(b, 40), get32(b, 44), get32(b, 56), get32(b, 68),
          get32(b, 72), get32(b, 76), get32(b, 80), get32(b, 88), get32(b, 92), get32(b, 96),
          get32(b, 100), get32(b, 104), get32(b, 108));
    case kSetAccessCode:
      return format("rejectedBecauseConfigCode %u accessCode '%s'", get32(b, 32) & 1,
                    get_text(b, 36, 12).c_str());
    default:
      break;
  }
  for (const SettingInfo& s : kSettings) {
    if (h.cmdID == s.get || h.cmdID == s.set)
      return s.is_signed ? format("%s %d", s.name, s32(b, 32)) : format("%s %u", s.name, get32(b, 32));
  }
  return "";
}

std::string describe(const Bytes& b, bool to_camera) {
  Header h;
  if (!decode_header(b, &h)) return format("%zu bytes, shorter than a header", b.size());
  const CommandInfo* c = command_info(h.cmdID);
  std::string name = c ? c->name : format("?cmdID? %u", h.cmdID);
  std::string s = format("cmd %s, cmdSeq %u, pktSeq %u, camMS %u, srvMS %u, %s [%d]", name.c_str(),
                         h.cmdSequenceNumber, h.packetSequenceNumber, h.cameraMSecsSinceBoot,
                         h.serverMSecsSinceOpenSession, camera_id_text(h.cameraID).c_str(),
                         static_cast<int>(b.size()) - static_cast<int>(kHeaderBytes));
  if (h.persistentError) s += " persistentError";
  if (h.temporaryError) s += " temporaryError";
  if (c != nullptr && b.size() != (to_camera ? c->stc : c->cts))
    s += format(" (length %zu, expected %u)", b.size(), to_camera ? c->stc : c->cts);
  if (to_camera) {
    if (h.cmdID == kOpenSession) {
      uint32_t t[4] = {get32(b, 32), get32(b, 36), get32(b, 40), get32(b, 44)};
      s += format(": token %s port %u ip '%s'", token_text(t).c_str(), get16(b, 48),
                  get_text(b, 50, 17).c_str());
    } else if (h.cmdID == kKeepAlive) {
      s += format(": time '%s'", get_text(b, 32, 21).c_str());
    } else if (h.cmdID == kClearKAStatus) {
      s += format(": lastKnownStatus 0x%08X", get32(b, 32));
    }
    return s;
  }
  std::string body = describe_body(h, b);
  if (!body.empty()) s += ": " + body;
  return s;
}

}  // namespace camserver
