#include "camphone/camera.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>

namespace camphone {

namespace {

uint32_t u32(const Bytes& v, size_t at) {
  return at + 4 <= v.size() ? v[at] | v[at + 1] << 8 | v[at + 2] << 16 | (uint32_t)v[at + 3] << 24
                            : 0;
}
uint16_t u16(const Bytes& v, size_t at) {
  return at + 2 <= v.size() ? static_cast<uint16_t>(v[at] | v[at + 1] << 8) : 0;
}
void put32(Bytes* b, uint32_t x) {
  for (int i = 0; i < 4; i++) b->push_back(static_cast<uint8_t>(x >> (8 * i)));
}

bool number(const std::string& t, long long lo, long long hi, long long* out) {
  char* end = nullptr;
  long long n = strtoll(t.c_str(), &end, 0);
  if (t.empty() || *end != '\0' || n < lo || n > hi) return false;
  *out = n;
  return true;
}

std::vector<std::string> words(const std::string& t) {
  std::istringstream in(t);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

}  // namespace

// Formats: u32, text, code (text written with its terminator), id, auth, version, bool, battery,
// schedule, sdcard, stack, clock, name (a file name of 13 bytes), none (indications only).
const std::vector<CharInfo>& cameraCharacteristics() {
  static const std::vector<CharInfo> k = {
      {"frame", 0x33, "bool"},        {"regcode", 0x44, "text"},
      {"cameraid", 0x55, "id"},       {"ssid", 0x66, "text"},
      {"password", 0x77, "text"},     {"clock", 0x88, "clock"},
      {"accesscode", 0x99, "code"},   {"debug", 0xAA, "none"},
      {"version", 0xBB, "version"},   {"recordmode", 0xCC, "bool"},
      {"statechange", 0xDD, "none"},  {"battery", 0x14, "battery"},
      {"interval", 0x12, "u32"},      {"schedule", 0x13, "schedule"},
      {"sdcard", 0xFF, "sdcard"},     {"stack", 0x15, "stack"},
      {"exposure", 0x16, "u32"},      {"flicker", 0x17, "u32"},
      {"timestamp", 0x18, "u32"},     {"sharpness", 0x19, "u32"},
      {"saturation", 0x1A, "u32"},    {"playback", 0x1B, "u32"},
      {"directory", 0x1C, "name"},    {"delete", 0x1D, "name"},
  };
  return k;
}

const CharInfo* charByName(const std::string& name) {
  for (const auto& c : cameraCharacteristics())
    if (name == c.name) return &c;
  return nullptr;
}

const char* stateChangeName(uint32_t type) {
  static const char* k[] = {"none",     "ssid",     "password",  "recording", "auth",
                            "server",   "sdcard",   "interval",  "schedule",  "battery",
                            "statistics", "exposure", "flicker", "timestamp", "sharpness",
                            "saturation", "playback", "delete"};
  return type < sizeof k / sizeof k[0] ? k[type] : "unknown";
}

const CharInfo* charByStateChange(uint32_t type) {
  static const char* k[] = {nullptr,    "ssid",     "password",  "recordmode", nullptr,
                            nullptr,    "sdcard",   "interval",  "schedule",   "battery",
                            nullptr,    "exposure", "flicker",   "timestamp",  "sharpness",
                            "saturation", "playback", nullptr};
  return type < sizeof k / sizeof k[0] && k[type] ? charByName(k[type]) : nullptr;
}

Bytes uuidOf(const CharInfo& c) { return Bytes(16, c.uuidByte); }

std::string decodeValue(const CharInfo& c, const Bytes& v) {
  std::string f = c.format;
  char b[512];
  if (f == "u32") return v.size() == 4 ? std::to_string(u32(v, 0)) : "?";
  if (f == "text" || f == "code") return std::string(v.begin(), v.end());
  if (f == "bool" || f == "auth") return v.size() == 1 ? std::to_string(v[0]) : "?";
  if (f == "stack") return v.size() == 1 ? std::string(1, static_cast<char>(v[0])) : "?";
  if (f == "id" && v.size() == 12) {
    snprintf(b, sizeof b, "%04X-%04X-%04X-%04X-%04X-%04X", u16(v, 0), u16(v, 2), u16(v, 4),
             u16(v, 6), u16(v, 8), u16(v, 10));
    return b;
  }
  if (f == "version" && v.size() == 36) {
    snprintf(b, sizeof b, "fw %u.%u.%u fpga %u.%u.%u inno %u.%u.%u", u32(v, 0), u32(v, 4),
             u32(v, 8), u32(v, 12), u32(v, 16), u32(v, 20), u32(v, 24), u32(v, 28), u32(v, 32));
    return b;
  }
  if (f == "schedule" && v.size() == 24) {
    snprintf(b, sizeof b, "enabled %u start %u stop %u week %u fileSplit %u overwrite %u",
             u32(v, 0), u32(v, 4), u32(v, 8), u32(v, 12), u32(v, 16), u32(v, 20));
    return b;
  }
  if (f == "sdcard" && v.size() == 12) {
    snprintf(b, sizeof b, "mounted %u used %u%% free %u MB total %u MB", v[0], v[1], u32(v, 4),
             u32(v, 8));
    return b;
  }
  if (f == "battery" && v.size() == 84) {
    std::string s;
    snprintf(b, sizeof b, "usb %u charging %u total %u%% low %u", v[0] & 0x7F, v[0] >> 7, v[1],
             v[2]);
    s = b;
    for (int i = 0; i < 4; i++) {
      size_t o = 4 + 20 * i;
      if (!u16(v, o)) continue;
      snprintf(b, sizeof b, "; #%d %u mV %d mA %u%%", i, u16(v, o + 2),
               static_cast<int16_t>(u16(v, o + 4)), u16(v, o + 12));
      s += b;
    }
    return s;
  }
  if (f == "name" && v.size() == 20) {  // the delete result
    snprintf(b, sizeof b, "%.13s result %d", reinterpret_cast<const char*>(v.data()),
             static_cast<int32_t>(u32(v, 16)));
    return b;
  }
  std::string hex;
  for (uint8_t x : v) {
    snprintf(b, sizeof b, "%02x", x);
    hex += b;
  }
  return hex;
}

bool encodeValue(const CharInfo& c, const std::string& text, Bytes* out, std::string* error) {
  std::string f = c.format;
  out->clear();
  long long n;
  if (f == "u32") {
    if (!number(text, -2147483648LL, 4294967295LL, &n)) {
      *error = "a number";
      return false;
    }
    put32(out, static_cast<uint32_t>(n));
  } else if (f == "bool") {
    if (!number(text, 0, 1, &n)) {
      *error = "0 or 1";
      return false;
    }
    out->push_back(static_cast<uint8_t>(n));
  } else if (f == "text") {
    out->assign(text.begin(), text.end());
  } else if (f == "code") {
    out->assign(text.begin(), text.end());
    out->push_back(0);
  } else if (f == "name") {
    if (text.size() > 12) {
      *error = "a file name of at most 12 characters";
      return false;
    }
    out->assign(13, 0);
    memcpy(out->data(), text.data(), text.size());
  } else if (f == "schedule") {
    auto w = words(text);
    if (w.size() != 6) {
      *error = "six numbers: enabled start stop week fileSplit overwrite";
      return false;
    }
    for (auto& x : w) {
      if (!number(x, 0, 4294967295LL, &n)) {
        *error = "six numbers";
        return false;
      }
      put32(out, static_cast<uint32_t>(n));
    }
  } else if (f == "clock") {
    int y, mo, d, h, mi, s, tz = 0;
    if (sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d%d", &y, &mo, &d, &h, &mi, &s, &tz) < 6 ||
        y < 1970 || y > 65535) {
      *error = "YYYY-MM-DDTHH:MM:SS (UTC) and optionally the offset in minutes (+60)";
      return false;
    }
    out->push_back(y & 0xFF);
    out->push_back(y >> 8);
    for (int x : {mo, d, h, mi, s, 0}) out->push_back(static_cast<uint8_t>(x));
    put32(out, static_cast<uint32_t>(tz));
  } else {
    *error = std::string(c.name) + " cannot be written";
    return false;
  }
  return true;
}

std::string decodeStateChange(const Bytes& v) {
  if (v.size() < 12) return "short state change";
  uint32_t type = u32(v, 0);
  Bytes msg(v.begin() + 12, v.end());
  char head[96];
  snprintf(head, sizeof head, "state change #%u %s (t=%us): ", u32(v, 4), stateChangeName(type),
           u32(v, 8));
  std::string value;
  if (type == 4 || type == 5) {
    value = msg.size() == 1 ? std::to_string(msg[0]) : "?";
  } else if (type == 17) {
    CharInfo del = *charByName("delete");
    value = decodeValue(del, msg);
  } else if (const CharInfo* c = charByStateChange(type)) {
    value = decodeValue(*c, msg);
  } else {
    value = std::to_string(msg.size()) + " bytes";
  }
  return head + value;
}

std::string decodeDebugLine(const Bytes& v) {
  if (v.size() < 8) return "short debug line";
  char head[64];
  snprintf(head, sizeof head, "debug #%u (t=%us): ", u32(v, 0), u32(v, 4));
  return head + std::string(v.begin() + 8, v.end());
}

bool Camera::open(const std::string& path, std::string* error) {
  if (!att.connect(path)) {
    *error = "cannot connect to " + path;
    return false;
  }
  int e = att.exchangeMtu(247);
  if (e == 0) e = att.discover();
  if (e != 0) {
    *error = "discovery failed (" + std::to_string(e) + ")";
    return false;
  }
  if (!handle("statechange")) {
    *error = "the camera's service is missing";
    return false;
  }
  return true;
}

uint16_t Camera::handle(const std::string& name) const {
  const CharInfo* c = charByName(name);
  if (!c) return 0;
  const Characteristic* ch = att.find(uuidOf(*c));
  return ch ? ch->valueHandle : 0;
}

int Camera::read(const std::string& name, Bytes* value) {
  uint16_t h = handle(name);
  return h ? att.read(h, value) : kNotFound;
}

int Camera::write(const std::string& name, const Bytes& value) {
  uint16_t h = handle(name);
  return h ? att.write(h, value) : kNotFound;
}

int Camera::subscribe(const std::string& name, bool on) {
  const CharInfo* c = charByName(name);
  const Characteristic* ch = c ? att.find(uuidOf(*c)) : nullptr;
  if (!ch || !ch->cccdHandle) return kNotFound;
  return att.write(ch->cccdHandle, Bytes{static_cast<uint8_t>(on ? 2 : 0), 0});
}

bool Camera::indication(const std::string& name, Bytes* value, uint64_t usecs) {
  uint16_t want = handle(name);
  for (size_t i = 0; i < held_.size(); i++)
    if (held_[i].first == want) {
      *value = held_[i].second;
      held_.erase(held_.begin() + i);
      return true;
    }
  uint16_t h;
  Bytes v;
  while (att.nextIndication(&h, &v, usecs)) {
    if (h == want) {
      *value = v;
      return true;
    }
    held_.emplace_back(h, v);
  }
  return false;
}

bool Camera::authenticate(const std::string& code, uint64_t usecs) {
  subscribe("statechange");
  Bytes v(code.begin(), code.end());
  v.push_back(0);
  if (write("accesscode", v) != 0) return false;
  Bytes ind;
  while (indication("statechange", &ind, usecs))
    if (ind.size() == 13 && u32(ind, 0) == 4) return ind[12] == 1;
  return false;
}

bool Camera::stream(const std::string& name, int32_t* size, Bytes* data, uint64_t usecs) {
  Bytes v;
  // The camera says on the debug console when it could not even queue the request.
  uint16_t want = handle(name), debug = handle("debug");
  for (;;) {
    uint16_t h;
    if (!att.nextIndication(&h, &v, usecs)) return false;
    if (h == want) break;
    held_.emplace_back(h, v);
    std::string line(v.begin() + std::min<size_t>(8, v.size()), v.end());
    if (h == debug && line.rfind("ERROR!! unable to queue", 0) == 0) {
      fprintf(stderr, "camphone: the camera says \"%s\"\n", line.c_str());
      return false;
    }
  }
  if (v.size() != 4) return false;
  *size = static_cast<int32_t>(u32(v, 0));
  data->clear();
  while (*size > 0 && data->size() < static_cast<size_t>(*size)) {
    if (!indication(name, &v, usecs)) return false;
    data->insert(data->end(), v.begin(), v.end());
  }
  return true;
}

}  // namespace camphone
