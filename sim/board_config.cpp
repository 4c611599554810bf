// Board files and the STM32's state file, read and written with nlohmann::json. Every value is
// checked against the range the STM32 itself accepts, and every error names its key.
#include "sim/board_config.h"

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

namespace sim {

namespace {

using json = nlohmann::json;
using ojson = nlohmann::ordered_json;

struct BadValue {
  std::string key, what;
};

[[noreturn]] void bad(const std::string& key, const std::string& what) {
  throw BadValue{key, what};
}

std::string join(const std::string& parent, const std::string& key) {
  return parent.empty() ? key : parent + "." + key;
}

int64_t whole(const json& v, const std::string& key, int64_t lo, int64_t hi) {
  const std::string range = std::to_string(lo) + ".." + std::to_string(hi);
  bool ok = v.is_number_integer();
  int64_t x = 0;
  if (ok && v.is_number_unsigned()) {
    uint64_t u = v.get<uint64_t>();
    ok = u <= uint64_t(std::numeric_limits<int64_t>::max());
    x = static_cast<int64_t>(u);
  } else if (ok) {
    x = v.get<int64_t>();
  }
  if (!ok) bad(key, "must be a whole number in " + range + ", not " + v.dump());
  if (x < lo || x > hi) bad(key, v.dump() + " is out of range " + range);
  return x;
}

bool flag(const json& v, const std::string& key) {
  if (!v.is_boolean()) bad(key, "must be true or false, not " + v.dump());
  return v.get<bool>();
}

bool valid_utf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    uint8_t c = static_cast<uint8_t>(s[i]);
    size_t n = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 9;
    if (n == 9 || (n == 1 && c < 0xC2) || i + n >= s.size()) return false;
    uint32_t cp = n == 0 ? c : c & (0x3F >> n);
    for (size_t k = 1; k <= n; k++) {
      uint8_t b = static_cast<uint8_t>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = cp << 6 | (b & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n + 1;
  }
  return true;
}

std::string to_hex(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 0xF];
  }
  return s;
}

bool from_hex(const std::string& s, std::vector<uint8_t>* out) {
  auto nibble = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (s.size() % 2) return false;
  out->clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    int hi = nibble(s[i]), lo = nibble(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return true;
}

// A text: a JSON string, or {"hex": "..."} for bytes that are not UTF-8 (the module may write
// any bytes into the credentials).
std::string text(const json& v, const std::string& key, size_t max) {
  std::string s;
  if (v.is_string()) {
    s = v.get<std::string>();
  } else if (v.is_object() && v.size() == 1 && v.contains("hex") && v["hex"].is_string()) {
    std::vector<uint8_t> bytes;
    if (!from_hex(v["hex"].get<std::string>(), &bytes))
      bad(key + ".hex", "must be pairs of hex digits");
    s.assign(bytes.begin(), bytes.end());
  } else {
    bad(key, "must be a string, not " + v.dump());
  }
  if (s.find('\0') != std::string::npos) bad(key, "must not hold a NUL character");
  if (s.size() > max)
    bad(key, "is " + std::to_string(s.size()) + " bytes long; at most " + std::to_string(max));
  return s;
}

ojson text_value(const std::string& s) {
  if (valid_utf8(s)) return s;
  ojson o;
  o["hex"] = to_hex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  return o;
}

// "major.minor.patch" or [major, minor, patch].
void version(const json& v, const std::string& key, uint32_t out[3]) {
  uint32_t parts[3];
  if (v.is_array()) {
    if (v.size() != 3) bad(key, "must have three numbers, not " + v.dump());
    for (size_t i = 0; i < 3; i++)
      parts[i] = static_cast<uint32_t>(whole(v[i], key, 0, 0xFFFFFFFFll));
  } else if (v.is_string()) {
    const std::string s = v.get<std::string>();
    unsigned long long a, b, c;
    char tail;
    if (sscanf(s.c_str(), "%llu.%llu.%llu%c", &a, &b, &c, &tail) != 3 || s[0] == '-' ||
        s.find_first_not_of("0123456789.") != std::string::npos || a > 0xFFFFFFFFull ||
        b > 0xFFFFFFFFull || c > 0xFFFFFFFFull)
      bad(key, "must be \"major.minor.patch\", not " + v.dump());
    parts[0] = uint32_t(a), parts[1] = uint32_t(b), parts[2] = uint32_t(c);
  } else {
    bad(key, "must be \"major.minor.patch\", not " + v.dump());
  }
  std::copy(parts, parts + 3, out);
}

std::string version_text(const uint32_t v[3]) {
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]);
}

// "1A2B-3C4D-5E6F-7081-92A3-B4C5" (as the module prints it) or six numbers.
void camera_uid(const json& v, const std::string& key, uint16_t out[6]) {
  uint16_t parts[6];
  if (v.is_array()) {
    if (v.size() != 6) bad(key, "must have six numbers, not " + v.dump());
    for (size_t i = 0; i < 6; i++) parts[i] = static_cast<uint16_t>(whole(v[i], key, 0, 0xFFFF));
  } else if (v.is_string()) {
    const std::string s = v.get<std::string>();
    bool ok = s.size() == 29;
    for (size_t i = 0; ok && i < s.size(); i++)
      ok = i % 5 == 4 ? s[i] == '-' : isxdigit(static_cast<unsigned char>(s[i])) != 0;
    if (!ok) bad(key, "must be six groups of four hex digits, XXXX-XXXX-..., not " + v.dump());
    for (int i = 0; i < 6; i++)
      parts[i] = static_cast<uint16_t>(std::stoul(s.substr(5 * i, 4), nullptr, 16));
  } else {
    bad(key, "must be \"XXXX-XXXX-XXXX-XXXX-XXXX-XXXX\", not " + v.dump());
  }
  std::copy(parts, parts + 6, out);
}

std::string camera_uid_text(const uint16_t uid[6]) {
  char buf[32];
  snprintf(buf, sizeof buf, "%04X-%04X-%04X-%04X-%04X-%04X", uid[0], uid[1], uid[2], uid[3],
           uid[4], uid[5]);
  return buf;
}

int32_t mode(const json& v, const std::string& key) {
  static const char* const kNames[] = {"idle", "live_view", "time_lapse", "usb", "focus"};
  if (v.is_string()) {
    for (int i = 0; i < 5; i++)
      if (v.get<std::string>() == kNames[i]) return i;
    bad(key, "must be idle, live_view, time_lapse, usb, focus or 0..4, not " + v.dump());
  }
  return static_cast<int32_t>(whole(v, key, 0, 4));
}

void object_or_bad(const json& v, const std::string& key) {
  if (!v.is_object()) bad(key, "must be an object, not " + v.dump());
}

void apply_schedule(const json& obj, const std::string& key, Schedule* s) {
  object_or_bad(obj, key);
  for (const auto& item : obj.items()) {
    const std::string path = join(key, item.key());
    const ScheduleFieldInfo* info = nullptr;
    for (const ScheduleFieldInfo& f : schedule_field_table())
      if (item.key() == f.key) info = &f;
    if (!info) bad(path, "unknown key");
    if (item.value().is_boolean() && info->max == 1)
      s->*info->field = item.value().get<bool>();
    else
      s->*info->field = static_cast<uint32_t>(whole(item.value(), path, 0, info->max));
  }
}

void apply_capture(const json& obj, const std::string& key, CaptureSettings* c) {
  object_or_bad(obj, key);
  for (const auto& item : obj.items()) {
    const std::string path = join(key, item.key());
    if (item.key() == "schedule") {
      apply_schedule(item.value(), path, &c->schedule);
      continue;
    }
    const CaptureSettingInfo* info = nullptr;
    for (const CaptureSettingInfo& s : capture_setting_table())
      if (item.key() == s.key) info = &s;
    if (!info) bad(path, "unknown key");
    info->set(*c, whole(item.value(), path, info->min, info->max));
  }
}

void apply_sd(const json& obj, const std::string& key, SdCardState* sd) {
  object_or_bad(obj, key);
  for (const auto& item : obj.items()) {
    const std::string path = join(key, item.key());
    const json& v = item.value();
    if (item.key() == "present")
      sd->present = flag(v, path);
    else if (item.key() == "error")
      sd->error = flag(v, path);
    else if (item.key() == "full")
      sd->full = flag(v, path);
    else if (item.key() == "free_mb")
      sd->free_mb = static_cast<uint32_t>(whole(v, path, 0, 0xFFFFFFFFll));
    else if (item.key() == "total_mb")
      sd->total_mb = static_cast<uint32_t>(whole(v, path, 0, 0xFFFFFFFFll));
    else
      bad(path, "unknown key");
  }
  if (sd->free_mb > sd->total_mb)
    bad(join(key, "free_mb"), std::to_string(sd->free_mb) + " is more than the total, " +
                                  std::to_string(sd->total_mb));
}

void apply_nvm(const json& obj, const std::string& key, std::map<uint16_t, NvmBlock>* nvm) {
  object_or_bad(obj, key);
  for (const auto& item : obj.items()) {
    const std::string path = join(key, item.key());
    const std::string& k = item.key();
    bool number = !k.empty() && k.size() <= 5 &&
                  k.find_first_not_of("0123456789") == std::string::npos;
    if (!number || std::stoul(k) >= kNvmBlocks)
      bad(path, "must be a block number, 0.." + std::to_string(kNvmBlocks - 1));
    std::vector<uint8_t> bytes;
    if (!item.value().is_string() || !from_hex(item.value().get<std::string>(), &bytes) ||
        bytes.size() != kNvmBlockBytes)
      bad(path, "must be " + std::to_string(2 * kNvmBlockBytes) + " hex digits (" +
                    std::to_string(kNvmBlockBytes) + " bytes)");
    NvmBlock block;
    std::copy(bytes.begin(), bytes.end(), block.begin());
    (*nvm)[static_cast<uint16_t>(std::stoul(k))] = block;
  }
}

// "access_points": [{"ssid": S, "passphrase": P (absent or "": open), "join_ms": N,
// "rssi": N}, ...]. Throws BadValue.
std::vector<camhost::net::AccessPoint> access_points(const json& v, const std::string& k) {
  if (!v.is_array()) bad(k, "must be a list of access points, not " + v.dump());
  std::vector<camhost::net::AccessPoint> out;
  for (size_t i = 0; i < v.size(); i++) {
    std::string path = k + "[" + std::to_string(i) + "]";
    const json& a = v[i];
    if (!a.is_object()) bad(path, "must be an object, not " + a.dump());
    camhost::net::AccessPoint ap;
    for (const auto& f : a.items()) {
      std::string fk = path + "." + f.key();
      if (f.key() == "ssid") {
        ap.ssid = text(f.value(), fk, 32);
      } else if (f.key() == "passphrase") {
        ap.passphrase = text(f.value(), fk, 63);
      } else if (f.key() == "join_ms") {
        ap.join_ms = static_cast<uint32_t>(whole(f.value(), fk, 0, 60000));
      } else if (f.key() == "rssi") {
        ap.rssi = static_cast<int>(whole(f.value(), fk, -100, 0));
      } else {
        bad(fk, "is not an access point key (ssid, passphrase, join_ms, rssi)");
      }
    }
    if (ap.ssid.empty()) bad(path + ".ssid", "must name the access point");
    out.push_back(ap);
  }
  return out;
}

// The keys both files share, and a board file's inputs when `board` is given. Throws BadValue.
void apply(const json& root, Stm32Config* s, BoardConfig* board) {
  if (!root.is_object()) bad("", "the file must hold one JSON object, not " + root.dump());
  const json* rtc_time = nullptr;
  bool offset_given = false;
  for (const auto& item : root.items()) {
    const std::string& k = item.key();
    const json& v = item.value();
    if (k == "format") {
      if (!v.is_number_integer() || v.get<int64_t>() != kStateFormat)
        bad(k, v.dump() + " is not a format this program reads (" +
                   std::to_string(kStateFormat) + ")");
    } else if (k == "camera_uid") {
      camera_uid(v, k, s->camera_uid);
    } else if (k == "fw_version") {
      version(v, k, s->fw_version);
    } else if (k == "fpga_version") {
      version(v, k, s->fpga_version);
    } else if (k == "ble_name") {
      s->ble_name = text(v, k, kMaxBleName);
    } else if (k == "spi_transfer_length") {
      s->spi_transfer_length =
          static_cast<uint32_t>(whole(v, k, kMinSpiTransferLength, kMaxSpiTransferLength));
    } else if (k == "access_points" && board) {
      board->access_points = access_points(v, k);
    } else if (k == "ssid") {
      s->ssid = text(v, k, kMaxWifiText);
    } else if (k == "password") {
      s->password = text(v, k, kMaxWifiText);
    } else if (k == "registration_code") {
      s->registration_code = text(v, k, kMaxCode);
    } else if (k == "user_uid") {
      s->user_uid = text(v, k, kMaxWifiText);
    } else if (k == "access_code") {
      s->access_code = text(v, k, kMaxCode);
    } else if (k == "access_code_locked") {
      s->access_code_locked = flag(v, k);
    } else if (k == "capture") {
      apply_capture(v, k, &s->capture);
    } else if (k == "rtc_time") {
      if (!v.is_string()) bad(k, "must be \"YYYY-MM-DDTHH:MM:SS+HH:MM\", not " + v.dump());
      rtc_time = &v;
    } else if (k == "rtc_offset_minutes") {
      s->rtc_offset_minutes =
          static_cast<int16_t>(whole(v, k, kMinRtcOffsetMinutes, kMaxRtcOffsetMinutes));
      offset_given = true;
    } else if (k == "sd") {
      apply_sd(v, k, &s->sd);
    } else if (k == "nvm") {
      apply_nvm(v, k, &s->nvm);
    } else if (k == "mode" || k == "usb_powered") {
      if (!board) bad(k, "is a board input, not kept in a state file");
      if (k == "mode")
        s->mode = mode(v, k);
      else
        board->usb_powered = flag(v, k);
    } else {
      bad(k, "unknown key");
    }
  }
  if (rtc_time) {
    // The clock's local time; with an offset in the text, that offset is the STM32's.
    int64_t local;
    int offset;
    bool has_offset;
    if (!parse_date_time_8601(rtc_time->get<std::string>(), &local, &offset, &has_offset))
      bad("rtc_time", "must be a real date and time, \"YYYY-MM-DDTHH:MM:SS+HH:MM\", not " +
                          rtc_time->dump());
    if (has_offset && offset_given && offset != s->rtc_offset_minutes)
      bad("rtc_offset_minutes", std::to_string(s->rtc_offset_minutes) +
                                    " disagrees with rtc_time's offset, " +
                                    std::to_string(offset));
    if (has_offset) s->rtc_offset_minutes = static_cast<int16_t>(offset);
    s->rtc_utc = local - int64_t(s->rtc_offset_minutes) * 60;
  }
}

bool parse_json(const std::string& text, json* root, std::string* error) {
  try {
    *root = json::parse(text);
    return true;
  } catch (const json::exception& e) {
    std::string what = e.what();
    size_t bracket = what.find("] ");
    if (what.rfind("[json.exception", 0) == 0 && bracket != std::string::npos)
      what = what.substr(bracket + 2);
    *error = "not valid JSON: " + what;
    return false;
  }
}

std::string describe(const BadValue& b) {
  return b.key.empty() ? b.what : "\"" + b.key + "\": " + b.what;
}

}  // namespace

bool parse_board_json(const std::string& text, BoardConfig* config, std::string* error) {
  json root;
  if (!parse_json(text, &root, error)) return false;
  BoardConfig next = *config;
  try {
    apply(root, &next.stm32, &next);
  } catch (const BadValue& b) {
    *error = describe(b);
    return false;
  }
  *config = next;
  return true;
}

bool load_board_file(const std::string& path, BoardConfig* config, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot be opened";
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    *error = path + ": cannot be read";
    return false;
  }
  if (!parse_board_json(text.str(), config, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

std::string stm32_state_path(const std::string& state_dir) { return state_dir + "/stm32.json"; }

std::string stm32_state_json(const Stm32Config& c) {
  ojson j;
  j["format"] = kStateFormat;
  j["camera_uid"] = camera_uid_text(c.camera_uid);
  j["fw_version"] = version_text(c.fw_version);
  j["fpga_version"] = version_text(c.fpga_version);
  j["ble_name"] = text_value(c.ble_name);
  j["spi_transfer_length"] = c.spi_transfer_length;
  j["ssid"] = text_value(c.ssid);
  j["password"] = text_value(c.password);
  j["registration_code"] = text_value(c.registration_code);
  j["user_uid"] = text_value(c.user_uid);
  j["access_code"] = text_value(c.access_code);
  j["access_code_locked"] = c.access_code_locked;
  ojson capture;
  for (const CaptureSettingInfo& s : capture_setting_table()) {
    capture[s.key] = s.get(c.capture);
    if (std::string(s.key) == "interval") {
      ojson schedule;
      for (const ScheduleFieldInfo& f : schedule_field_table())
        schedule[f.key] = c.capture.schedule.*f.field;
      capture["schedule"] = schedule;
    }
  }
  j["capture"] = capture;
  j["rtc_time"] =
      format_date_time_8601(c.rtc_utc + int64_t(c.rtc_offset_minutes) * 60, c.rtc_offset_minutes);
  ojson sd;
  sd["present"] = c.sd.present;
  sd["error"] = c.sd.error;
  sd["full"] = c.sd.full;
  sd["free_mb"] = c.sd.free_mb;
  sd["total_mb"] = c.sd.total_mb;
  j["sd"] = sd;
  ojson nvm = ojson::object();
  for (const auto& block : c.nvm)
    nvm[std::to_string(block.first)] = to_hex(block.second.data(), block.second.size());
  j["nvm"] = nvm;
  return j.dump(2) + "\n";
}

bool parse_stm32_state_json(const std::string& text, Stm32Config* config, std::string* error) {
  json root;
  if (!parse_json(text, &root, error)) return false;
  Stm32Config next = *config;
  try {
    if (root.is_object() && !root.contains("format")) bad("format", "is missing");
    apply(root, &next, nullptr);
  } catch (const BadValue& b) {
    *error = describe(b);
    return false;
  }
  *config = next;
  return true;
}

}  // namespace sim
