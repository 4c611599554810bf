// The STM32's side of bulk data: it answers the card requests from the SD card directory and has
// the FPGA push the data over SPI, paces live-view frames, and flushes the FPGA on ClearSpi.
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "sim/board.h"
#include "sim/stm32.h"

namespace sim {

namespace {

enum : uint16_t {
  kSetLiveViewMode = 29,
  kSetModeWithReason = 48,
  kClearSpi = 54,
  kSendSingleSPIBlock = 55,
  kReadBlockFromFile = 168,
  kReadFileContents = 170,
  kReadJpegFrameFromFile = 171,
  kGetFileInfo = 172,
  kGetDirectory1 = 185,
};

constexpr size_t kNameField = 13;
constexpr int kLiveViewWidth = 768, kLiveViewHeight = 432;

uint32_t le32(const std::vector<uint8_t>& m, size_t off) {
  uint32_t v = 0;
  for (int i = 0; i < 4 && off + i < m.size(); i++) v |= uint32_t(m[off + i]) << (8 * i);
  return v;
}

void put32(std::vector<uint8_t>& m, size_t off, uint32_t v) {
  for (int i = 0; i < 4 && off + i < m.size(); i++) m[off + i] = uint8_t(v >> (8 * i));
}

std::string name_at(const std::vector<uint8_t>& m, size_t off) {
  std::string s;
  for (size_t i = 0; i < kNameField && off + i < m.size() && m[off + i]; i++) s += char(m[off + i]);
  return s;
}

// A 24-byte directory record: name (13), padding (3), size, FAT time.
void append_record(std::vector<uint8_t>& out, const SdFile& f) {
  size_t at = out.size();
  out.resize(at + 24, 0);
  for (size_t i = 0; i < f.name.size() && i < kNameField - 1; i++) out[at + i] = f.name[i];
  put32(out, at + 16, f.size);
  put32(out, at + 20, f.fat_time);
}

}  // namespace

void Stm32::set_live_view_fps(uint32_t fps) {
  std::lock_guard<std::mutex> g(m_);
  live_fps_ = fps ? fps : 1;
}

void Stm32::set_spi_transfer_length(uint32_t bytes) {
  {
    std::lock_guard<std::mutex> g(m_);
    config_.spi_transfer_length = bytes;
  }
  board_.fpga().set_transfer_length(bytes);
}

void Stm32::fail_bulk_command(uint16_t command, int32_t result, int count) {
  std::lock_guard<std::mutex> g(m_);
  bulk_fail_command_ = command;
  bulk_fail_result_ = result;
  bulk_fail_count_ = count;
}

uint64_t Stm32::live_view_frames() const {
  std::lock_guard<std::mutex> g(m_);
  return live_frames_;
}

// While live view runs, the FPGA has at most one frame waiting for the module; a new one is
// prepared at each tick of the frame rate when the last has been taken.
void Stm32::live_view_tick(Fpga* fpga, uint32_t sig, uint64_t token) {
  uint64_t n, next;
  int64_t utc;
  {
    std::lock_guard<std::mutex> g(m_);
    if (token != live_token_ || config_.mode != 1) return;
    next = camhost::time_now() + 1000000 / live_fps_;
    n = live_frames_;
    utc = rtc_now_us() / 1000000;
  }
  later(next, [this, fpga, sig, token] { live_view_tick(fpga, sig, token); });
  if (fpga->pending_transfers() != 0) return;  // the module has not taken the last one yet
  {
    std::lock_guard<std::mutex> g(m_);
    live_frames_++;
  }
  time_t t = static_cast<time_t>(utc);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char line1[48], line2[32];
  strftime(line1, sizeof line1, "LIVE %Y-%m-%d %H:%M:%S", &tm);
  snprintf(line2, sizeof line2, "FRAME %llu", static_cast<unsigned long long>(n));
  fpga->send_message(SpiFlag::kLiveView, sig,
                     test_card_jpeg(kLiveViewWidth, kLiveViewHeight, line1, line2));
}

void Stm32::run_bulk_actions() {
  std::vector<std::function<void()>> actions;
  {
    std::lock_guard<std::mutex> g(m_);
    actions.swap(bulk_actions_);
  }
  for (auto& a : actions) a();
}

bool Stm32::bulk_answer(uint16_t command, std::vector<uint8_t>& m, bool take_effect) {
  bulk_actions_.clear();  // left by a request that was never answered
  uint32_t sig = le32(m, 4);
  Fpga* fpga = &board_.fpga();
  const SdCard* sd = &board_.sdcard();
  auto fail = [&m](int32_t rc) {
    put32(m, 8, static_cast<uint32_t>(rc));
    return true;
  };
  auto send_later = [this, fpga, sig](SpiFlag flag, std::vector<uint8_t> payload) {
    bulk_actions_.push_back([fpga, flag, sig, p = std::move(payload)] {
      fpga->send_message(flag, sig, p);
    });
  };
  bool card = config_.sd.present && !config_.sd.error;
  if (take_effect && bulk_fail_count_ != 0 && command == bulk_fail_command_) {
    if (bulk_fail_count_ > 0) bulk_fail_count_--;
    return fail(bulk_fail_result_);
  }

  switch (command) {
    case kSetLiveViewMode:
    case kSetModeWithReason: {
      bool wants = command == kSetLiveViewMode && le32(m, 16) > 0;
      if (!take_effect) return false;
      bool running = config_.mode == 1;
      if (wants && running) return false;  // already streaming
      live_token_++;
      if (!wants) {
        // A frame prepared and not yet taken is dropped.
        if (running) bulk_actions_.push_back([fpga] { fpga->clear(); });
        return false;
      }
      uint64_t token = live_token_;
      later(camhost::time_now() + 1000000 / live_fps_,
            [this, fpga, sig, token] { live_view_tick(fpga, sig, token); });
      return false;  // the mode itself is kept by the main answer
    }
    case kClearSpi:
      if (take_effect) bulk_actions_.push_back([fpga] { fpga->clear(); });
      return true;
    case kSendSingleSPIBlock:
      if (take_effect) send_later(SpiFlag::kSingleBlock, {});
      return true;
    case kGetDirectory1: {
      if (!card) return fail(kSdNotPresent);
      std::vector<uint8_t> listing;
      for (const SdFile& f : sd->list(name_at(m, 12))) append_record(listing, f);
      if (take_effect) send_later(SpiFlag::kDirList, std::move(listing));
      return true;
    }
    case kGetFileInfo: {
      if (!card) return fail(kSdNotPresent);
      SdFile f;
      uint32_t frames = 0;
      int32_t rc = sd->info(name_at(m, 12), &f, &frames);
      if (rc != kSdOk) return fail(rc);
      put32(m, 28, f.size);
      put32(m, 32, f.fat_time);
      put32(m, 36, frames);
      return true;
    }
    case kReadBlockFromFile:
    case kReadFileContents:
    case kReadJpegFrameFromFile: {
      if (!card) return fail(kSdNotPresent);
      std::vector<uint8_t> data;
      std::string name = name_at(m, 12);
      int32_t rc;
      SpiFlag flag;
      if (command == kReadBlockFromFile) {
        rc = sd->read(name, le32(m, 25), le32(m, 29), &data);
        flag = SpiFlag::kBlockFromFile;
      } else if (command == kReadFileContents) {
        rc = sd->read_all(name, &data);
        flag = SpiFlag::kFileContents;
      } else {
        rc = sd->frame(name, le32(m, 25), &data);
        flag = SpiFlag::kJpegFrameFromFile;
      }
      if (rc != kSdOk) return fail(rc);
      if (take_effect) send_later(flag, std::move(data));
      return true;
    }
    default:
      return false;
  }
}

}  // namespace sim
