#include "commands.h"

#include <fstream>

#include "bulk.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <sstream>
#include <vector>

namespace camserver {

namespace {

std::vector<std::string> words(const std::string& s) {
  std::istringstream in(s);
  std::vector<std::string> w;
  for (std::string x; in >> x;) w.push_back(x);
  return w;
}

bool parse_int(const std::string& s, int64_t* v) {
  char* end = nullptr;
  errno = 0;
  long long x = strtoll(s.c_str(), &end, 0);
  if (errno != 0 || end == s.c_str() || *end != '\0' || x < INT32_MIN || x > UINT32_MAX) return false;
  *v = x;
  return true;
}

bool report(const char* name, const Reply& r, std::string* out) {
  *out += std::string(name) + ": " + r.text() + "\n";
  return !r.error();
}

std::string status_text(Server& s) {
  const SessionInfo& i = s.session();
  char buf[512];
  uint64_t now = s.waiter().now_us();
  std::string last = i.last_keepalive_us == 0
                         ? "never"
                         : std::to_string((now - i.last_keepalive_us) / 1000000) + " s ago";
  snprintf(buf, sizeof buf,
           "session %s (%u opened), last keep-alive %s, status bits 0x%08X, camera ID %s, "
           "keep-alives answered %u",
           i.open ? "open" : "closed", i.sessions_opened, last.c_str(), i.status,
           i.camera_known ? camera_id_text(i.camera_id).c_str() : "unknown",
           i.keepalives_answered);
  return buf;
}

bool save_file(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(f);
}

std::string out_path(Server& s, const std::string& name) {
  return s.options().download_dir + "/" + name;
}

std::string seconds_text(uint64_t us) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.2f s", us / 1e6);
  return buf;
}

// The TCP data plane's commands (ls, get, block, frame, info, live, close); false when `w` is
// none of them (`*handled` tells).
bool bulk_command(Server& s, const std::vector<std::string>& w, std::string* out, bool* handled) {
  const std::string& c = w[0];
  // "get NAME" stays the setting when NAME is one; a file name has a dot (8.3), and "download"
  // takes any name.
  bool file_get = (c == "get" && w.size() >= 2 && w[1] != "schedule" && w[1] != "wifi" &&
                   setting_info(w[1]) == nullptr && w[1].find('.') != std::string::npos) ||
                  c == "download";
  *handled = c == "ls" || file_get || c == "block" || c == "frame" || c == "info" ||
             c == "live" || c == "close" || c == "update";
  if (!*handled) return false;
  auto bad = [&](const std::string& why) {
    *out += "error: " + why + "\n";
    return false;
  };
  Bulk& b = s.bulk();
  if (c == "update") {
    if (w.size() != 2) return bad("usage: update DIR");
    std::string why;
    auto say = [&](const std::string& line) {
      if (s.options().log) s.options().log(line);
    };
    if (!b.push_update(w[1], say, 600000000, &why)) return bad("update: " + why);
    const uint32_t* v = s.session().wifi_version;
    *out += "update: camera back with firmware version " + std::to_string(v[0]) + "." +
            std::to_string(v[1]) + "." + std::to_string(v[2]) + "\n";
    return true;
  }
  if (c == "close") {
    b.close();
    *out += "close: done\n";
    return true;
  }
  if (!b.connect(60000000)) return bad(c + ": " + b.error());
  int16_t result = 0;
  auto camera_error = [&](const std::string& what) {
    *out += what + ": error " + std::to_string(result) + "\n";
    return false;
  };
  uint64_t t0 = s.waiter().now_us();
  if (c == "ls") {
    std::vector<DirEntry> entries;
    if (!b.list(w.size() > 1 ? w[1] : "", &entries, &result)) return bad("ls: no reply");
    if (result != 0) return camera_error("ls");
    *out += "ls: " + std::to_string(entries.size()) + " file(s)\n";
    for (const DirEntry& e : entries) {
      char line[96];
      unsigned t = e.fat_time;
      snprintf(line, sizeof line, "  %-12s %10u  %04u-%02u-%02u %02u:%02u:%02u\n", e.name.c_str(),
               e.size, 1980 + (t >> 25), (t >> 21) & 15, (t >> 16) & 31, (t >> 11) & 31,
               (t >> 5) & 63, (t & 31) * 2);
      *out += line;
    }
    return true;
  }
  if (c == "info") {
    if (w.size() != 2) return bad("usage: info FILE");
    FileInfo i;
    if (!b.file_info(w[1], &i, &result)) return bad("info: no reply");
    if (result != 0) return camera_error("info " + w[1]);
    *out += "info: " + i.name + " " + std::to_string(i.size) + " bytes, " +
            std::to_string(i.frames) + " frame(s), FAT time 0x" +
            [&] { char h[16]; snprintf(h, sizeof h, "%08X", i.fat_time); return std::string(h); }() +
            "\n";
    return true;
  }
  if (file_get) {
    if (w.size() < 2 || w.size() > 3) return bad("usage: get FILE [SAVE-AS]");
    Bytes data;
    std::string name = w[1];
    Progress progress = [&](uint64_t have, uint64_t total) {
      if (!s.options().log || total == 0) return;
      char line[128];
      snprintf(line, sizeof line, "get %s: %3u%% %s of %s", name.c_str(),
               static_cast<unsigned>(have * 100 / total), human_bytes(have).c_str(),
               human_bytes(total).c_str());
      s.options().log(line);
    };
    if (!b.get_file(name, &data, &result, progress)) return bad("get: no reply");
    if (result != 0) return camera_error("get " + name);
    uint64_t took = s.waiter().now_us() - t0;
    std::string path = out_path(s, w.size() == 3 ? w[2] : name);
    if (!save_file(path, data)) return bad("get: cannot write " + path);
    char rate[48];
    snprintf(rate, sizeof rate, "%.2f MB/s", took ? data.size() / (took / 1e6) / 1e6 : 0.0);
    *out += "get: " + path + " " + std::to_string(data.size()) + " bytes in " + seconds_text(took) +
            " (" + rate + ")\n";
    return true;
  }
  if (c == "block") {
    int64_t off, len;
    if (w.size() != 4 || !parse_int(w[2], &off) || !parse_int(w[3], &len))
      return bad("usage: block FILE OFFSET COUNT");
    Bytes data;
    if (!b.get_block(w[1], static_cast<uint32_t>(off), static_cast<uint32_t>(len), &data, &result))
      return bad("block: no reply");
    if (result != 0) return camera_error("block " + w[1]);
    std::string path = out_path(s, w[1] + "." + w[2]);
    if (!save_file(path, data)) return bad("block: cannot write " + path);
    *out += "block: " + path + " " + std::to_string(data.size()) + " bytes in " +
            seconds_text(s.waiter().now_us() - t0) + "\n";
    return true;
  }
  if (c == "frame") {
    int64_t n;
    if (w.size() < 3 || w.size() > 4 || !parse_int(w[2], &n)) return bad("usage: frame FILE N [SAVE-AS]");
    Bytes data;
    if (!b.get_frame(w[1], static_cast<uint32_t>(n), &data, &result)) return bad("frame: no reply");
    if (result != 0) return camera_error("frame " + w[1] + " " + w[2]);
    char def[64];
    snprintf(def, sizeof def, "%s_%04u.jpg", w[1].c_str(), static_cast<unsigned>(n));
    std::string path = out_path(s, w.size() == 4 ? w[3] : def);
    if (!save_file(path, data)) return bad("frame: cannot write " + path);
    *out += "frame: " + path + " " + std::to_string(data.size()) + " bytes\n";
    return true;
  }
  // live DURATION: seconds, "10s" or "10".
  std::string d = w.size() == 2 ? w[1] : "";
  if (!d.empty() && d.back() == 's') d.pop_back();
  int64_t secs;
  if (w.size() != 2 || !parse_int(d, &secs) || secs <= 0) return bad("usage: live SECONDS[s]");
  uint64_t bytes = 0;
  int saved = 0, frames = 0;
  bool ended = b.live(static_cast<uint32_t>(secs), [&](const Bytes& jpeg) {
    char name[32];
    snprintf(name, sizeof name, "live_%04d.jpg", ++saved);
    save_file(out_path(s, name), jpeg);
    bytes += jpeg.size();
  }, &frames);
  uint64_t took = s.waiter().now_us() - t0;
  char line[160];
  snprintf(line, sizeof line, "live: %d frame(s), %s, in %s (%.1f frames/s)%s\n", frames,
           human_bytes(bytes).c_str(), seconds_text(took).c_str(),
           took ? frames / (took / 1e6) : 0.0, ended ? "" : "; no end marker");
  *out += line;
  return ended;
}

bool one(Server& s, const std::vector<std::string>& w, std::string* out) {
  bool handled = false;
  bool ok = bulk_command(s, w, out, &handled);
  if (handled) return ok;
  const std::string& c = w[0];
  auto bad = [&](const std::string& why) {
    *out += "error: " + why + "\n";
    return false;
  };
  if (c == "help") {
    *out += command_help();
    return true;
  }
  if (c == "status") {
    *out += status_text(s) + "\n";
    return true;
  }
  if (c == "wait") {
    int64_t secs = 0;
    if (w.size() != 2 || !parse_int(w[1], &secs) || secs < 0) return bad("usage: wait SECONDS");
    s.serve_until(s.waiter().now_us() + static_cast<uint64_t>(secs) * 1000000);
    return true;
  }
  if (c == "session") {
    int64_t secs = 60;
    if (w.size() == 2 && !parse_int(w[1], &secs)) return bad("usage: session [SECONDS]");
    bool open = s.wait_for_session(static_cast<uint64_t>(secs) * 1000000);
    *out += open ? "session open\n" : "no session\n";
    return open;
  }
  if (c == "get" || c == "set") {
    if (w.size() < 2) return bad("usage: get NAME | set NAME VALUE");
    bool set = c == "set";
    if (w[1] == "schedule") {
      if (!set) return report("GetSchedule", s.command(kGetSchedule), out);
      Bytes body;
      if (w.size() != 6) return bad("usage: set schedule ENABLED START STOP WEEK");
      for (int i = 0; i < 4; i++) {
        int64_t v;
        if (!parse_int(w[2 + i], &v)) return bad("not a number: " + w[2 + i]);
        put32(body, 4 * i, static_cast<uint32_t>(v));
      }
      return report("SetSchedule", s.command(kSetSchedule, body), out);
    }
    if (w[1] == "wifi") {
      Bytes body(24, 0);
      if (!set) return report("GetWiFiParameters", s.command(kGetWiFiParameters, body), out);
      if (w.size() != 8) return bad("usage: set wifi FULLARP LOWARP CLOUD LISTEN TMO FLAGS");
      for (int i = 0; i < 6; i++) {
        int64_t v;
        if (!parse_int(w[2 + i], &v)) return bad("not a number: " + w[2 + i]);
        put32(body, 4 * i, static_cast<uint32_t>(v));
      }
      return report("SetWiFiParameters", s.command(kSetWiFiParameters, body), out);
    }
    const SettingInfo* info = setting_info(w[1]);
    if (info == nullptr) return bad("unknown setting '" + w[1] + "' (see help)");
    const CommandInfo* ci = command_info(set ? info->set : info->get);
    if (!set) {
      if (w.size() != 2) return bad("usage: get NAME");
      return report(ci->name, s.command(info->get, Bytes(4, 0)), out);
    }
    int64_t v;
    if (w.size() != 3 || !parse_int(w[2], &v)) return bad("usage: set NAME VALUE");
    Bytes body;
    put32(body, 0, static_cast<uint32_t>(v));
    return report(ci->name, s.command(info->set, body), out);
  }
  if (c == "battery") return report("GetBatteryStatus", s.command(kGetBatteryStatus), out);
  if (c == "sdcard") return report("GetSDCardStatus", s.command(kGetSDCardStatus), out);
  if (c == "files") return report("GetRecentFileStatus", s.command(kGetRecentFileStatus), out);
  if (c == "stats") return report("GetStatisticsReport", s.command(kGetStatisticsReport), out);
  if (c == "fileinfo" || c == "delete") {
    if (w.size() != 2 || w[1].size() > 12) return bad("usage: " + c + " NAME (at most 12 characters)");
    Bytes body;
    put_text(body, 0, 16, w[1]);
    return c == "fileinfo" ? report("GetFileInfo2", s.command(kGetFileInfo2, body), out)
                           : report("DeleteFileFromSDCard", s.command(kDeleteFileFromSDCard, body), out);
  }
  if (c == "accesscode") {
    if (w.size() != 2 || w[1].size() > 12) return bad("usage: accesscode CODE (at most 12 characters)");
    Bytes body(4, 0);
    put_text(body, 4, 12, w[1]);
    return report("SetAccessCode", s.command(kSetAccessCode, body), out);
  }
  if (c == "tcp") {
    int64_t port;
    if (w.size() != 2 || !parse_int(w[1], &port)) return bad("usage: tcp PORT");
    Bytes body;
    put16(body, 0, static_cast<uint16_t>(port));
    put16(body, 2, 0);
    return report("StartTCPConnection", s.command(kStartTCPConnection, body), out);
  }
  if (c == "liveview") {
    int64_t secs, port;
    if (w.size() != 3 || !parse_int(w[1], &secs) || !parse_int(w[2], &port))
      return bad("usage: liveview SECONDS PORT");
    Bytes body;
    put32(body, 0, static_cast<uint32_t>(secs));
    put16(body, 4, static_cast<uint16_t>(port));
    put16(body, 6, 0);
    put32(body, 8, 0);
    return report("LiveView", s.command(kLiveView, body), out);
  }
  if (c == "clear") {
    int64_t bits;
    if (w.size() != 2 || !parse_int(w[1], &bits)) return bad("usage: clear BITS");
    Bytes body;
    put32(body, 0, static_cast<uint32_t>(bits));
    return report("ClearKAStatus", s.command(kClearKAStatus, body), out);
  }
  if (c == "pair") {
    Reply code = s.command(kGetRegistrationCode);
    if (!report("GetRegistrationCode", code, out)) return false;
    Bytes body;
    put32(body, 0, kRegistrationCodeChangedBit);
    return report("ClearKAStatus", s.command(kClearKAStatus, body), out);
  }
  if (c == "raw") {
    Bytes b;
    std::string hex;
    for (size_t i = 1; i < w.size(); i++) hex += w[i];
    if (!parse_hex(hex, &b) || b.empty()) return bad("usage: raw HEX");
    std::vector<Bytes> back = s.raw(b, 2000000);
    *out += "raw: sent " + std::to_string(b.size()) + " bytes; " + std::to_string(back.size()) +
            " datagram(s) back\n";
    for (const Bytes& r : back) *out += "  " + describe(r, false) + "\n";
    return true;
  }
  return bad("unknown command '" + c + "' (see help)");
}

}  // namespace

std::string command_help() {
  std::string s =
      "commands (separate several with ';'):\n"
      "  get NAME | set NAME VALUE   a setting; NAME one of:";
  for (const SettingInfo& i : settings()) s += std::string(" ") + i.name;
  s +=
      "\n"
      "  get schedule | set schedule ENABLED START STOP WEEK\n"
      "  get wifi | set wifi FULLARP LOWARP CLOUD LISTEN TMO FLAGS\n"
      "  status        session, last keep-alive, status bits, camera ID (no datagram sent)\n"
      "  battery | sdcard | files | stats\n"
      "  fileinfo NAME | delete NAME | accesscode CODE | tcp PORT | liveview SECONDS PORT\n"
      "  pair          GetRegistrationCode, then acknowledge its status bit\n"
      "  clear BITS    ClearKAStatus with these bits\n"
      "  raw HEX       send these bytes as they are and show what comes back within 2 s\n"
      "  session [SECONDS] | wait SECONDS | help\n"
      "over the TCP data connection (StartTCPConnection first, by itself):\n"
      "  ls [DIR]      the SD card's files with sizes and times\n"
      "  get FILE [SAVE-AS]  a whole file (a name with a dot; download FILE for any name)\n"
      "  block FILE OFFSET COUNT | frame FILE N [SAVE-AS] | info FILE\n"
      "  live SECONDS[s]  live view, frames saved as live_0001.jpg, ...\n"
      "  close         WillClose and close the connection\n"
      "  update DIR    push the camera's update files from DIR (qvr8k_fw.bin, qvr8k_hw.udf,\n"
      "                qvr8k_w1.udf, qvr8k_w2.udf) in checked chunks, then follow the camera\n"
      "                through its reboot and show its new firmware version\n";
  return s;
}

bool run_commands(Server& server, const std::string& line, std::string* out) {
  bool ok = true;
  std::string part;
  std::istringstream in(line);
  while (std::getline(in, part, ';')) {
    std::vector<std::string> w = words(part);
    if (w.empty() || w[0][0] == '#') continue;
    if (!one(server, w, out)) ok = false;
  }
  return ok;
}

}  // namespace camserver
