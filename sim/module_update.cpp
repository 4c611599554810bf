// The STM32's update feed for the module. It sits between the UART and the STM32's message link:
// from the module's greeting at boot until the module has closed the UART after its offer, the
// bytes are the update's and the link does not see them; all others pass through.
#include "sim/module_update.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace sim {

namespace {

constexpr uint8_t kEnd = 0xC0, kEsc = 0xDB, kEscEnd = 0xDC, kEscEsc = 0xDD;
constexpr size_t kPage = 4096;
constexpr uint64_t kLineGapUs = 20000;
const std::string kGreeting = "Innophase says: UART serial console ready\n\r";

std::atomic<ModuleUpdateFeed*> g_feed{nullptr};
std::atomic<uint64_t> g_boots{0};
std::once_flag g_hook_once;

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc = 0xFFFFFFFFu) {
  for (size_t i = 0; i < n; i++) {
    crc ^= p[i];
    for (int b = 0; b < 8; b++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc;
}

std::vector<uint8_t> read_file(const std::string& path, bool* ok) {
  std::ifstream f(path, std::ios::binary);
  *ok = static_cast<bool>(f);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

void ModuleUpdateFeed::on_reset() {
  // The kernel is stopped here: take the UART for the coming boot, nothing more.
  g_boots++;
  if (ModuleUpdateFeed* feed = g_feed.load()) camhost::uart_attach(feed);
}

ModuleUpdateFeed::ModuleUpdateFeed(camhost::UartPeer* link) : link_(link) {
  std::call_once(g_hook_once, [] { camhost::on_module_reset(&ModuleUpdateFeed::on_reset); });
  g_feed = this;
  camhost::uart_attach(this);
}

ModuleUpdateFeed::~ModuleUpdateFeed() {
  g_feed = nullptr;
  camhost::uart_attach(link_);
}

void ModuleUpdateFeed::set_mode(FeedMode mode) {
  std::lock_guard<std::mutex> g(m_);
  mode_ = mode;
}

void ModuleUpdateFeed::set_files(const std::vector<uint8_t>& file1,
                                 const std::vector<uint8_t>& file2) {
  std::lock_guard<std::mutex> g(m_);
  files_[0] = file1;
  files_[1] = file2;
  files_set_ = true;
}

void ModuleUpdateFeed::set_update_dir(const std::string& dir) {
  std::lock_guard<std::mutex> g(m_);
  update_dir_ = dir;
}

void ModuleUpdateFeed::set_card(const SdCard* card) {
  std::lock_guard<std::mutex> g(m_);
  card_ = card;
}

void ModuleUpdateFeed::set_fault(FeedFault fault, int file, int block, uint64_t stall_us,
                                 uint32_t length) {
  std::lock_guard<std::mutex> g(m_);
  fault_ = fault;
  fault_file_ = file;
  fault_block_ = block;
  stall_us_ = stall_us;
  fault_length_ = length;
}

void ModuleUpdateFeed::send(const std::string& bytes) {
  camhost::uart_send_to_module(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void ModuleUpdateFeed::send(const std::vector<uint8_t>& bytes) {
  camhost::uart_send_to_module(bytes.data(), bytes.size());
}

std::string ModuleUpdateFeed::received() const {
  std::lock_guard<std::mutex> g(m_);
  return received_;
}

int ModuleUpdateFeed::blocks_acknowledged() const {
  std::lock_guard<std::mutex> g(m_);
  return acknowledged_;
}

int ModuleUpdateFeed::transfers_completed() const {
  std::lock_guard<std::mutex> g(m_);
  return completed_;
}

void ModuleUpdateFeed::new_boot_if_needed() {
  uint64_t boot = g_boots.load();
  if (boot == generation_) return;
  generation_ = boot;
  received_.clear();
  pending_.clear();
  greeted_ = in_frame_ = done_ = from_dir_ = passthrough_ = false;
  frame_.clear();
  file_ = block_ = 0;
}

std::string ModuleUpdateFeed::command(char cmd, uint32_t a0, uint32_t a1) {
  char text[32];
  snprintf(text, sizeof text, "%c %08X %08X", cmd, a0, a1);
  return std::string(1, static_cast<char>(kEnd)) + text + static_cast<char>(kEnd);
}

std::vector<uint8_t> ModuleUpdateFeed::greeted(bool* script) {
  greeted_ = true;
  greeted_at_ = camhost::time_now();
  if (mode_ == FeedMode::kScript) {
    *script = true;
    return {};
  }
  if (mode_ == FeedMode::kSilent) return {};
  bool have = files_set_;
  if (have) {
    sending_[0] = files_[0];
    sending_[1] = files_[1];
  } else {
    taken_dir_ = !update_dir_.empty() ? update_dir_ : card_ != nullptr ? card_->dir() : "";
    if (!taken_dir_.empty()) {
      bool ok1, ok2;
      sending_[0] = read_file(taken_dir_ + "/" + kModuleUpdateFile1, &ok1);
      sending_[1] = read_file(taken_dir_ + "/" + kModuleUpdateFile2, &ok2);
      have = from_dir_ = ok1 && ok2;
    }
  }
  if (!have) {
    done_ = true;
    std::string nf = "nf\n";
    return {nf.begin(), nf.end()};
  }
  if (mode_ == FeedMode::kLine) {
    file_ = block_ = 0;
    return line_upload_start();
  }
  std::string v = "v\n";
  return {v.begin(), v.end()};
}

// Decimal numbers only: the module echoes the line, and an "x" of "0x" would read as a refusal.
std::vector<uint8_t> ModuleUpdateFeed::line_upload_start() {
  constexpr uint32_t kFileStart[2] = {0x1000, 0x40000};
  line_wait_ = LineWait::kAnswer;
  block_ = 0;
  std::string c = "uf " + std::to_string(sending_[file_].size()) + " " +
                  std::to_string(kFileStart[file_]) + "\n";
  return {c.begin(), c.end()};
}

void ModuleUpdateFeed::transfer_done() {
  done_ = true;
  completed_++;
  if (files_set_) files_set_ = false;  // taken: the next boot gets "nf"
  if (from_dir_) {
    std::error_code ec;
    std::filesystem::remove(taken_dir_ + "/" + kModuleUpdateFile1, ec);
    std::filesystem::remove(taken_dir_ + "/" + kModuleUpdateFile2, ec);
  }
}

void ModuleUpdateFeed::line_step(uint8_t byte, std::vector<uint8_t>* now,
                                 std::vector<uint8_t>* soon) {
  const int blocks = static_cast<int>((sending_[file_].size() + kPage - 1) / kPage);
  const std::string ub = "ub 4096\n", ud = "ud\n";
  switch (line_wait_) {
    case LineWait::kAnswer:
      if (byte == 'x') {
        done_ = true;  // refused: the module reboots
      } else if (byte == 'z' && block_ < blocks) {
        now->assign(ub.begin(), ub.end());
        line_wait_ = LineWait::kBlockLineEcho;
      } else if (byte == 'z') {
        now->assign(ud.begin(), ud.end());
        line_wait_ = LineWait::kDoneLineEcho;
      }
      return;
    case LineWait::kBlockLineEcho: {
      if (byte != '\n') return;
      const std::vector<uint8_t>& f = sending_[file_];
      std::vector<uint8_t> page(kPage, 0);
      size_t at = static_cast<size_t>(block_) * kPage;
      std::copy(f.begin() + static_cast<long>(at),
                f.begin() + static_cast<long>(std::min(f.size(), at + kPage)), page.begin());
      uint32_t sum = 0;
      for (size_t i = 0; i < kPage; i += 2) sum += page[i];
      while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
      uint16_t check = static_cast<uint16_t>(~sum);
      page.push_back(static_cast<uint8_t>(check & 0xFF));
      page.push_back(static_cast<uint8_t>(check >> 8));
      *soon = std::move(page);
      block_++;
      line_wait_ = LineWait::kAnswer;
      return;
    }
    case LineWait::kDoneLineEcho:
      if (byte != '\n') return;
      if (file_ == 0) {
        file_ = 1;
        *soon = line_upload_start();
      } else {
        transfer_done();
      }
      return;
  }
}

std::vector<uint8_t> ModuleUpdateFeed::file_start() {
  const std::vector<uint8_t>& f = sending_[file_];
  uint32_t length = static_cast<uint32_t>(f.size());
  // The CRC of the blocks as sent: the last one padded with zeros to a whole page.
  uint32_t crc = crc32(f.data(), f.size());
  std::vector<uint8_t> zeros((kPage - f.size() % kPage) % kPage, 0);
  crc = ~crc32(zeros.data(), zeros.size(), crc);
  if (fault_ == FeedFault::kBadFileCrc && fault_file_ == file_ + 1) crc ^= 1;
  if (fault_ == FeedFault::kWrongFileLength && fault_file_ == file_ + 1) length = fault_length_;
  std::string c = command(static_cast<char>('1' + file_), length, crc);
  return {c.begin(), c.end()};
}

std::vector<uint8_t> ModuleUpdateFeed::block(std::vector<uint8_t>* later) {
  const std::vector<uint8_t>& f = sending_[file_];
  std::vector<uint8_t> page(kPage, 0);
  size_t at = static_cast<size_t>(block_) * kPage;
  std::copy(f.begin() + static_cast<long>(at),
            f.begin() + static_cast<long>(std::min(f.size(), at + kPage)), page.begin());
  bool here = fault_file_ == file_ + 1 && fault_block_ == block_;
  if (here && fault_ == FeedFault::kExit) {
    std::string c = command('x', 0, 0);
    return {c.begin(), c.end()};
  }
  uint32_t crc = ~crc32(page.data(), page.size());
  if (here && fault_ == FeedFault::kBadBlockCrc) crc ^= 0x80000000u;
  std::string c = command('u', crc, 0);
  std::vector<uint8_t> out(c.begin(), c.end());
  out.push_back(kEnd);
  for (size_t i = 0; i < page.size(); i++) {
    if (here && fault_ == FeedFault::kBadEscape && i == kPage / 2) {
      out.push_back(kEsc);
      out.push_back(0x00);
    }
    if (here && fault_ == FeedFault::kStallInBlock && i == kPage / 2) {
      // The rest follows later.
      for (size_t j = i; j < page.size(); j++) {
        uint8_t b = page[j];
        if (b == kEnd) later->insert(later->end(), {kEsc, kEscEnd});
        else if (b == kEsc) later->insert(later->end(), {kEsc, kEscEsc});
        else later->push_back(b);
      }
      later->push_back(kEnd);
      return out;
    }
    uint8_t b = page[i];
    if (b == kEnd) out.insert(out.end(), {kEsc, kEscEnd});
    else if (b == kEsc) out.insert(out.end(), {kEsc, kEscEsc});
    else out.push_back(b);
  }
  out.push_back(kEnd);
  return out;
}

std::vector<uint8_t> ModuleUpdateFeed::frame_from_module(uint8_t cmd) {
  auto blocks_of = [this](int file) {
    return static_cast<int>((sending_[file].size() + kPage - 1) / kPage);
  };
  std::vector<uint8_t> later;  // unused here: stalls are sent by the caller
  if (cmd == 'A') {
    file_ = 0;
    return file_start();
  }
  if (cmd == '1' || cmd == '2') {
    block_ = 0;
    if (blocks_of(file_) > 0) return {};
    cmd = 'r';  // an empty file: straight on
    block_ = -1;
  }
  if (cmd == 'r') {
    if (block_ >= 0) acknowledged_++;
    block_++;
    if (block_ < blocks_of(file_)) return {};
    if (file_ == 0) {
      file_ = 1;
      return file_start();
    }
    transfer_done();
    return {};
  }
  return {};
}

void ModuleUpdateFeed::uart_byte_from_module(uint8_t byte) {
  std::vector<uint8_t> out, later, line_soon;
  bool script = false, give_back = false;
  uint64_t generation;
  std::vector<uint8_t> forward;  // bytes for the STM32's message link
  {
    std::lock_guard<std::mutex> g(m_);
    new_boot_if_needed();
    generation = generation_;
    if (passthrough_) {
      forward.push_back(byte);
    } else if (!greeted_) {
      // Until the greeting is whole, bytes that cannot be part of it belong to the link (a
      // module that does not offer the UART, or tests that drive the link directly).
      pending_.push_back(byte);
      if (kGreeting.compare(0, pending_.size(), pending_.data(), pending_.size()) != 0) {
        forward.assign(pending_.begin(), pending_.end());
        pending_.clear();
      } else if (pending_.size() == kGreeting.size()) {
        received_.assign(pending_.begin(), pending_.end());
        pending_.clear();
        out = greeted(&script);
        give_back = true;  // whatever the offer, the link gets the UART once the module is done
      }
    } else {
      received_.push_back(static_cast<char>(byte));
    }
    if (greeted_ && !passthrough_ && !done_ && mode_ == FeedMode::kLine &&
        received_.size() > kGreeting.size()) {
      line_step(byte, &out, &line_soon);
    }
    // The module's version-2 messages: END, one command byte, END.
    if (greeted_ && !passthrough_ && !done_ && mode_ != FeedMode::kScript &&
        mode_ != FeedMode::kLine && received_.size() > kGreeting.size()) {
      if (byte == kEnd) {
        if (in_frame_ && frame_.size() == 1) {
          uint8_t cmd = frame_[0];
          out = frame_from_module(cmd);
          bool wants_block = (cmd == '1' || cmd == '2' || cmd == 'r') && !done_ && out.empty() &&
                             block_ >= 0;
          if (wants_block) out = block(&later);
          in_frame_ = false;
        } else {
          in_frame_ = true;
        }
        frame_.clear();
      } else if (in_frame_) {
        frame_.push_back(byte);
        if (frame_.size() > 1) in_frame_ = false;  // not a command: echo or text
      }
    }
  }
  for (uint8_t b : forward) link_->uart_byte_from_module(b);
  if (!out.empty()) send(out);
  if (!later.empty()) {
    uint64_t stall;
    {
      std::lock_guard<std::mutex> g(m_);
      stall = stall_us_;
    }
    camhost::at(camhost::time_now() + stall, [this, later, generation] {
      if (g_feed.load() == this && g_boots.load() == generation) send(later);
    });
  }
  if (!line_soon.empty()) {
    // After a line the module drops what waits on the UART for a moment: the next bytes follow
    // once it is done.
    camhost::at(camhost::time_now() + kLineGapUs, [this, line_soon, generation] {
      if (g_feed.load() == this && g_boots.load() == generation) send(line_soon);
    });
  }
  if (script && on_greeting) on_greeting(*this);
  if (give_back) give_back_when_closed(generation);
}

void ModuleUpdateFeed::give_back_when_closed(uint64_t generation) {
  // The module's first request to the STM32 follows the close within a few milliseconds: once
  // the offer is over (or the module's 160 s are nearly up) look often, before that seldom.
  uint64_t step;
  {
    std::lock_guard<std::mutex> g(m_);
    bool soon = done_ || camhost::time_now() >= greeted_at_ + 159000000;
    step = soon ? 50 : 10000;
  }
  camhost::at(camhost::time_now() + step, [this, generation] {
    if (g_feed.load() != this || g_boots.load() != generation) return;
    if (camhost::uart_module_is_open()) {
      give_back_when_closed(generation);
      return;
    }
    std::lock_guard<std::mutex> g(m_);
    passthrough_ = true;
  });
}

}  // namespace sim
