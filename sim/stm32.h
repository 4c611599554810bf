// The camera's STM32 as the module sees it: the peer of the message exchange and the owner of the
// camera's configuration and status. It watches the module's signal line, raises its own to let a
// transaction go on, reads the SLIP frame at UART speed and answers every request of the catalogue
// with the right body and the request's signature. It keeps the credentials, codes, identity,
// capture settings, real-time clock, non-volatile blocks and SD-card state, optionally in the
// board's state directory across runs. It has its own SLIP and message codec, written from the
// wire format.
#ifndef CAMSIM_STM32_H
#define CAMSIM_STM32_H

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "camhost/bus.h"

namespace sim {

// ---- What the STM32 keeps ---------------------------------------------------------------------

constexpr size_t kNvmBlockBytes = 64;
constexpr uint16_t kNvmBlocks = 16;  // block numbers 0..15
using NvmBlock = std::array<uint8_t, kNvmBlockBytes>;

// The recording schedule. Start and stop are seconds after local midnight; week has one bit per
// day, bit 0 Sunday.
struct Schedule {
  uint32_t enabled = 0;
  uint32_t start = 8 * 3600;
  uint32_t stop = 18 * 3600;
  uint32_t week = 0x7F;
};

// The capture settings, as the STM32 encodes them (the module forwards them unchanged).
struct CaptureSettings {
  int32_t interval = 60;             // seconds between frames
  Schedule schedule;
  uint32_t file_split = 0;           // 0 one file, 1 a new file each day
  uint32_t overwrite_old_files = 0;  // 1: the oldest files make room when the card is full
  uint32_t exposure_mode = 0;        // 0 auto, 1 day, 2 night, 3 manual
  uint32_t flicker_filter = 0;       // 0 off, 1 50 Hz, 2 60 Hz
  uint32_t embed_timestamp = 1;
  uint32_t sharpness = 5;            // 0..10
  uint32_t saturation = 5;           // 0..10
  uint32_t playback_rate = 30;       // frames per second of the made video
  int32_t contrast = 0;              // -10..10
  int32_t exposure_value = 0;        // EV steps, -3..3
  int32_t white_balance = 0;         // 0 auto, 1 daylight, 2 cloudy, 3 shade, 4 tungsten, 5 fluor.
  int32_t hdr = 0;
  int32_t resolution = 0;            // 0 3840x2160, 1 2560x1440, 2 1920x1080, 3 1280x720
  int32_t noise_filter = 0;          // -2..2
};

struct SdCardState {
  bool present = true;
  bool error = false;
  bool full = false;
  uint32_t free_mb = 29000;  // a 32 GB card
  uint32_t total_mb = 30436;
};

struct Stm32Config {
  int32_t mode = 0;                   // camera mode: 0 idle, 1 live view, 2 time lapse, 3 USB
  // The STM32 serves its signal line and its UART from its main loop, between its own work: each
  // latency is drawn anew for every edge and every answer, uniform in min..max, from the
  // instance's seeded generator (min == max: a fixed latency).
  uint32_t edge_latency_min_us = 100;    // module's rising signal -> the STM32 raises its own line
  uint32_t edge_latency_max_us = 3000;
  uint32_t answer_delay_min_us = 1000;   // end of a request -> first byte of the answer
  uint32_t answer_delay_max_us = 15000;
  uint32_t spi_transfer_length = 2048;
  uint16_t camera_uid[6] = {0x1A2B, 0x3C4D, 0x5E6F, 0x7081, 0x92A3, 0xB4C5};
  uint32_t fw_version[3] = {2, 4, 1187};    // major, minor, patch
  uint32_t fpga_version[3] = {1, 3, 77};
  std::string ble_name = "QVR8K-TL";        // "" answers with the module's own name

  std::string ssid;                  // up to 64 bytes; "" = none (answered as "NONE")
  std::string password;              // up to 64 bytes; "" = none (answered as "NONE")
  std::string registration_code;     // up to 11 bytes; "" = none (answered as "NONE")
  std::string user_uid;              // up to 64 bytes; "" = none (answered empty)
  std::string access_code;           // up to 11 bytes; "" = no code
  bool access_code_locked = false;   // a locked code refuses every change
  CaptureSettings capture;
  int64_t rtc_utc = 1735689600;      // the clock's reading at power-on, UTC seconds (2025-01-01)
  int16_t rtc_offset_minutes = 0;    // the STM32's own UTC offset
  SdCardState sd;
  std::map<uint16_t, NvmBlock> nvm;  // written blocks; the others read as zeros
};

// ---- Value ranges -----------------------------------------------------------------------------

// A one-value capture setting: its key in board and state files, its commands and its range. A
// SET outside the range is refused with -103 and changes nothing.
struct CaptureSettingInfo {
  const char* key;
  uint16_t set_command, get_command;
  int64_t min, max;
  bool is_signed;  // int32 on the wire, else uint32
  int64_t (*get)(const CaptureSettings&);
  void (*set)(CaptureSettings&, int64_t);
};
const std::vector<CaptureSettingInfo>& capture_setting_table();

// The schedule's four fields, in wire order, with their ranges.
struct ScheduleFieldInfo {
  const char* key;
  uint32_t max;  // every field starts at 0
  uint32_t Schedule::*field;
};
const std::vector<ScheduleFieldInfo>& schedule_field_table();

constexpr uint32_t kMinSpiTransferLength = 16, kMaxSpiTransferLength = 65536;
constexpr int kMinRtcOffsetMinutes = -720, kMaxRtcOffsetMinutes = 840;
constexpr size_t kMaxWifiText = 64, kMaxCode = 11, kMaxBleName = 19;

// ---- Status word (CameraStatus) ---------------------------------------------------------------

constexpr uint32_t kStatusNormal = 0x1, kStatusExternalPower = 0x2, kStatusUsbMode = 0x4,
                   kStatusBatteryLow = 0x8, kStatusSdCardError = 0x10,
                   kStatusFirmwareUpdating = 0x20, kStatusFirmwareUpdateError = 0x40,
                   kStatusNoSdCard = 0x80, kStatusSdCardFull = 0x100,
                   kStatusExfatUnsupported = 0x200, kStatusUnknownFs = 0x400,
                   kStatusFwChanged = 0x1000, kStatusHardwareFailure = 0x2000,
                   kStatusLiveViewStopped = 0x4000, kStatusPictureCaptured = 0x8000,
                   kStatusNewFileCreated = 0x10000, kStatusConfigValuesDirty = 0x20000,
                   kStatusStRebooted = 0x40000;
// Bits that report an event: each goes out in one status answer, then clears.
constexpr uint32_t kStatusEventBits = kStatusLiveViewStopped | kStatusPictureCaptured |
                                      kStatusNewFileCreated | kStatusConfigValuesDirty |
                                      kStatusStRebooted;

// ---- Date and time text -----------------------------------------------------------------------

// The local times the text below can show, 1970-01-01T00:00:00 to 9999-12-31T23:59:59, as
// seconds since 1970. The STM32's clock keeps to them: it stops at the last one.
constexpr int64_t kFirstLocalSecond = 0, kLastLocalSecond = 253402300799;

// "YYYY-MM-DDTHH:MM:SS+HH:MM" (25 characters) or the same without the offset (19). Fills the
// local time as seconds since 1970 (fields taken as UTC) and the offset in minutes east of UTC;
// `has_offset` tells which form it was. False for anything else, an impossible date or time, a
// year before 1970 or an offset outside -12:00..+14:00.
bool parse_date_time_8601(const std::string& text, int64_t* local_seconds, int* offset_minutes,
                          bool* has_offset = nullptr);
// The 25-character form of `local_seconds` with `offset_minutes`.
std::string format_date_time_8601(int64_t local_seconds, int offset_minutes);

// ---- What the module sends ----------------------------------------------------------------

// The module's 80-byte health report (CMD_StatisticsReport), field by field.
struct StatisticsReport {
  uint64_t received_at = 0;  // instance time
  uint32_t uptime_ms = 0;
  uint32_t ap_open_count = 0;
  uint32_t dns_resolve_count = 0;
  uint32_t session_opened_count = 0;
  uint64_t session_opened_last_time = 0;
  uint32_t tcp_opened_count = 0;
  uint64_t tcp_opened_last_time = 0;
  uint32_t st_cmd_seq_err_count = 0;
  uint32_t st_uart_response_timeout_count = 0;
  uint32_t spi_read_timeout_count = 0;
  uint32_t semtmo_msg_err_count = 0;
  uint32_t semtmo_msg_err_last_line = 0;
  uint32_t sec_since_last_ble_communication = 0;
  uint32_t sec_since_last_udp_tx = 0;
  uint32_t sec_since_last_udp_rx = 0;
  uint32_t sec_since_current_session = 0;
  uint32_t consecutive_ap_not_found_count = 0;
  uint32_t heap_size_remaining = 0;
};

// One fuel gauge in CMD_setBatteryInfo.
struct BatteryEntry {
  uint16_t active = 0;
  uint16_t voltage = 0;
  int16_t current = 0;
  uint16_t design_capacity = 0;
  uint16_t full_charge_capacity = 0;
  uint16_t remaining_capacity = 0;
  uint16_t state_of_charge = 0;
  uint16_t time_to_empty = 0;
  uint16_t cycle_count = 0;
  uint16_t internal_temp = 0;
};

// CMD_setBatteryInfo, decoded.
struct BatteryInfo {
  uint64_t received_at = 0;
  uint8_t usb_powered = 0;         // bits 0-6 of the first byte
  bool charging_enabled = false;   // bit 7
  uint8_t total_charge_percent = 0;
  uint8_t low_battery = 0;
  std::array<BatteryEntry, 4> batteries{};
};

// One fuel gauge in the recording-status exchange (the legacy 8-byte entry).
struct LegacyBatteryEntry {
  uint16_t voltage = 0;
  uint16_t full_charge_capacity = 0;
  uint16_t remaining_capacity = 0;
  uint16_t internal_temp = 0;
};
using LegacyBatteryReport = std::array<LegacyBatteryEntry, 4>;

// What the STM32 answers in the recording-status exchange.
struct RecordingInfo {
  uint32_t frame_count = 0;
  uint32_t current_size = 0;
  std::string current_file_name;  // up to 12 characters (8.3)
};

// ---- The model --------------------------------------------------------------------------------

enum class Stm32Fault {
  kNone,
  kSilent,             // never raises its line and never answers
  kAnswerOnEdge2,      // slow: raises its line only at the module's 2nd edge
  kAnswerOnEdge3,      // slow: only at the 3rd edge
  kStaleAnswerFirst,   // first an answer carrying the previous signature, then the right one
  kLargerSignature,    // answers with the request's signature + 1
  kErrorResult,        // answers with the fault's result code (negative)
  kCorruptFrame,       // an invalid escape inside the answer frame
  kTruncatedFrame,     // the answer stops halfway, with no closing END
  kNoAnswer,           // raises its line but sends nothing back
};

class Board;
class Fpga;

class Stm32 : public camhost::UartPeer {
 public:
  // With a state directory in the board's configuration, the state kept there (if any) replaces
  // the persistent part of `config`; otherwise `config` seeds it. The board holds the directory
  // (lock_state_dir) until it is destroyed and saves the state on every change and, unless the
  // directory is temporary, each minute.
  // Throws std::runtime_error when another process holds the directory, or the state file cannot
  // be read or is not valid (it is then left as it is).
  Stm32(Board& board, const Stm32Config& config);

  // Applies `fault` to the next `count` requests (count < 0: until set_fault(kNone)).
  void set_fault(Stm32Fault fault, int count = 1, int32_t result = -103);
  // Raises the STM32's signal line on its own, asking the module for attention; it lowers it
  // again after `hold_us`.
  void poke(uint32_t hold_us = 50000);

  // Every request decoded, in order of arrival.
  struct Request {
    uint64_t time;      // instance time the frame's END arrived
    uint16_t length;
    uint16_t command;
    uint32_t signature;
    std::vector<uint8_t> message;  // the whole decoded message, header included
  };
  std::vector<Request> requests() const;
  int count(uint16_t command) const;
  // Forgets the requests, answer edges and the decoded records below.
  void clear_record();

  int32_t mode() const;
  void set_mode(int32_t mode);
  bool power_down_requested() const;
  // ---- The update files the module writes to the card's root (stm32_update.cpp) ----
  // The next `count` requests of `command` (CMD_rootFileWrite 162, CMD_rootFilesDelete 161,
  // CMD_rootFilesRenameAndReboot 163) are answered with `error_code` in their errorCode field and
  // change nothing.
  void fail_root_file_request(uint16_t command, int16_t error_code, int count = 1);
  // How often the STM32 rebooted itself after renaming the update files into place.
  int update_reboots() const;
  // Names of the files the module asked to delete from the SD card, in order.
  std::vector<std::string> deleted_files() const;
  // Instance times at which the STM32 raised its line in answer to the module's edges.
  std::vector<uint64_t> answer_edges() const;

  // ---- What the module sent, decoded (every such request, accepted or not) ----
  std::vector<std::string> clock_writes() const;           // CMD_setDateTime8601 texts
  std::vector<StatisticsReport> statistics_reports() const;
  // A line for a person watching the camera: what the STM32 received that is worth showing (a
  // statistics report, a clock, battery information, a power-down). Called with the model's lock
  // held: it must not call back into the model or the kernel.
  std::function<void(const std::string& note)> on_note;
  std::vector<BatteryInfo> battery_infos() const;          // CMD_setBatteryInfo
  std::optional<BatteryInfo> last_battery_info() const;
  std::vector<LegacyBatteryReport> battery_exchanges() const;  // CMD_xchgBatteryAndRecordingStatus
  std::string module_ble_name() const;                     // from the last CMD_getVersion1
  std::array<uint32_t, 3> module_version() const;          // its innoVersion

  // ---- What the STM32 holds now ----
  // The whole state, with rtc_utc the clock's reading now.
  Stm32Config state() const;
  int64_t rtc_utc() const;                 // UTC seconds now
  int16_t rtc_offset_minutes() const;
  std::string rtc_local_text() const;      // as CMD_getStatus3 reports it
  NvmBlock nvm_block(uint16_t block) const;
  // The status word the next status answer carries (events included, not cleared).
  uint32_t status_word() const;
  RecordingInfo recording_info() const;

  // ---- The camera's own side: its menus, card slot, sensor and clock. Each change pokes the
  // module; changes of configuration also report STATUS_CONFIG_VALUES_DIRTY. ----
  void set_ssid(const std::string& ssid);
  void set_password(const std::string& password);
  void set_registration_code(const std::string& code);
  void set_user_uid(const std::string& uid);
  void set_access_code(const std::string& code);
  void set_access_code_locked(bool locked);
  void set_camera_uid(const std::array<uint16_t, 6>& uid);
  void set_capture_settings(const CaptureSettings& settings);
  void set_rtc(int64_t utc_seconds, int16_t offset_minutes);
  void sd_card_removed();
  void sd_card_inserted();
  void set_sd_full(bool full);
  void set_sd_error(bool error);
  void set_space(uint32_t free_mb, uint32_t total_mb);
  void config_values_dirty();
  void st_rebooted();
  // A frame of `bytes` added to the current file.
  void picture_captured(uint32_t bytes = 0);
  // A new recording file; its frame count and size start again at 0.
  void new_file_created(const std::string& name = "");
  // Live view ended on the camera's side; a camera in live view goes idle.
  void live_view_stopped();
  // Any other status bits (battery low, hardware failure, ...), set or cleared.
  void set_status_bits(uint32_t bits, bool on);

  // Live-view frames the STM32 has the FPGA send, at most this many a second.
  void set_live_view_fps(uint32_t fps);
  // The SPI transfer length the STM32 reports, and the FPGA's with it.
  void set_spi_transfer_length(uint32_t bytes);
  uint64_t live_view_frames() const;
  // The next `count` requests of bulk command `command` (ClearSpi, SendSingleSPIBlock, a card
  // read) are answered with `result` and change nothing (count < 0: until cleared with count 0).
  void fail_bulk_command(uint16_t command, int32_t result, int count = 1);

  // Called by the board when the module's signal line (expander 1, bit 0) changes.
  void module_signal_changed(bool active);
  void uart_byte_from_module(uint8_t byte) override;

  // Saves the state (the clock's reading included). Events already scheduled find the model gone
  // and do nothing. Destroy the board from the thread that drives the instance, not from a kernel
  // thread.
  ~Stm32() override;

 private:
  struct Life;

  void handle_frame(std::vector<uint8_t> frame);

  // ---- Bulk data through the FPGA and the SD card (stm32_bulk.cpp) ----
  // Answers the card reads, ClearSpi and the single block (lock held), and paces live-view
  // frames; true when it answered. What the FPGA is to send waits in bulk_actions_ until the lock
  // is released (run_bulk_actions).
  bool bulk_answer(uint16_t command, std::vector<uint8_t>& m, bool take_effect);
  void run_bulk_actions();
  void live_view_tick(Fpga* fpga, uint32_t signature, uint64_t token);
  std::vector<std::function<void()>> bulk_actions_;
  uint64_t live_token_ = 0;         // changes when live view stops: a prepared frame is dropped
  uint64_t live_frames_ = 0;        // frames made so far
  uint32_t live_fps_ = 15;
  // ---- The update files (stm32_update.cpp) ----
  // Answers the root-file write, delete and rename requests (lock held); true when it answered.
  bool update_answer(uint16_t command, std::vector<uint8_t>& m, bool take_effect);
  // After the rename: the STM32 installs its own and the FPGA's file and comes back.
  void finish_update_reboot();
  uint16_t root_fault_command_ = 0;
  int16_t root_fault_code_ = 0;
  int root_fault_count_ = 0;
  uint64_t down_until_ = 0;  // the STM32 is rebooting until then: it answers nothing
  int update_reboots_ = 0;
  uint16_t bulk_fail_command_ = 0;
  int bulk_fail_count_ = 0;
  int32_t bulk_fail_result_ = 0;
  // The answer to a request (header and body), with its effects on the camera's state.
  std::vector<uint8_t> answer(const std::vector<uint8_t>& request, bool take_effect);
  // Records what a request carries for tests (lock held).
  void record_sent(uint16_t command, const std::vector<uint8_t>& m, uint64_t now);
  // The frame as it goes on the wire, damaged as `fault` says.
  static std::vector<uint8_t> encode(const std::vector<uint8_t>& message, Stm32Fault fault);
  void later(uint64_t when, std::function<void()> fn);
  void sync_line();            // tells the board the line's level (lock not held)
  void take_fault();           // the pending fault, for the current transaction (lock held)
  bool raises_now() const;     // whether this edge of the module gets an answer (lock held)

  // The clock (lock held).
  int64_t rtc_now_us() const;
  void rtc_set_us(int64_t utc_us);
  uint32_t status_locked() const;
  // Writes the state file, if there is a state directory (lock held).
  void save_locked();
  // Saves the state each minute from now on, for the clock's sake.
  void save_clock_periodically();
  // A change on the camera's side: `change` runs under the lock, then the state is saved, the
  // events in `events` are raised and the module poked.
  void camera_side(uint32_t events, const std::function<void()>& change);

  Board& board_;
  Stm32Config config_;         // config_.mode is the camera's mode; config_.rtc_utc is unused
  std::string state_path_;     // "" = no persistence
  int lock_fd_ = -1;           // holds the state directory for this board
  std::shared_ptr<Life> life_;
  mutable std::mutex m_;
  Stm32Fault fault_ = Stm32Fault::kNone;
  int fault_count_ = 0;
  int32_t fault_result_ = -103;
  // The transaction under way: from the module's first rising edge to its request.
  bool in_txn_ = false;
  bool txn_fault_taken_ = false;
  Stm32Fault txn_fault_ = Stm32Fault::kNone;
  int32_t txn_result_ = -103;
  int edges_ = 0;              // rising edges of the module's line in the current transaction
  uint64_t edge_token_ = 0;    // changes with every edge of the module's line
  uint64_t poke_token_ = 0;    // changes when a poke's line is taken over or replaced
  bool module_line_ = false;
  bool line_ = false;
  bool in_frame_ = false;
  bool escaped_ = false;
  bool bad_frame_ = false;
  std::vector<uint8_t> rx_;
  std::vector<Request> requests_;
  std::vector<uint64_t> answer_edges_;
  bool power_down_ = false;
  std::vector<std::string> sd_files_deleted_;

  // The clock: its reading (UTC, µs) at instance time rtc_base_.
  int64_t rtc_at_base_us_ = 0;
  uint64_t rtc_base_ = 0;
  uint32_t events_ = 0;        // event bits not yet reported
  uint32_t extra_status_ = 0;  // bits set through set_status_bits
  RecordingInfo recording_;
  bool save_failed_ = false;   // reported once

  std::vector<std::string> clock_writes_;
  std::vector<StatisticsReport> statistics_;
  std::vector<BatteryInfo> battery_infos_;
  std::vector<LegacyBatteryReport> battery_exchanges_;
  std::string module_ble_name_;
  std::array<uint32_t, 3> module_version_{};
};

}  // namespace sim

#endif  // CAMSIM_STM32_H
