#include "sim/fpga.h"

#include <algorithm>

namespace sim {

namespace {

void put32(std::vector<uint8_t>& v, size_t off, uint32_t x) {
  for (int i = 0; i < 4; i++) v[off + i] = uint8_t(x >> (8 * i));
}

}  // namespace

Fpga::Fpga(uint32_t transfer_length) : transfer_length_(transfer_length) {
  camhost::spi_attach(this);
}

Fpga::~Fpga() { camhost::spi_attach(nullptr); }

void Fpga::set_transfer_length(uint32_t bytes) {
  std::lock_guard<std::mutex> g(m_);
  transfer_length_ = bytes;
}

void Fpga::set_faults(const FpgaFaults& f) {
  {
    std::lock_guard<std::mutex> g(m_);
    faults_ = f;
  }
  push();
}

void Fpga::send_message(SpiFlag flag, uint32_t signature, const std::vector<uint8_t>& payload) {
  {
    std::lock_guard<std::mutex> g(m_);
    size_t xfer = std::max<uint32_t>(transfer_length_, 12);
    auto header_block = [&](uint32_t f, uint32_t sig) {
      Transfer t{std::vector<uint8_t>(xfer, 0), false};
      put32(t.bytes, 0, f);
      put32(t.bytes, 4, 12);
      put32(t.bytes, 8, sig);
      queue_.push_back(std::move(t));
    };
    for (; faults_.junk_before > 0; faults_.junk_before--) header_block(0xDEADBEEF, signature);
    for (; faults_.bad_signature_before > 0; faults_.bad_signature_before--)
      header_block(static_cast<uint32_t>(flag), signature + 7);
    std::vector<uint8_t> msg(12 + payload.size());
    put32(msg, 0, static_cast<uint32_t>(flag));
    put32(msg, 4, static_cast<uint32_t>(msg.size()));
    put32(msg, 8, signature);
    std::copy(payload.begin(), payload.end(), msg.begin() + 12);
    for (size_t off = 0; off < msg.size(); off += xfer) {
      Transfer t{std::vector<uint8_t>(xfer, 0), off + xfer >= msg.size()};
      std::copy(msg.begin() + off, msg.begin() + std::min(msg.size(), off + xfer), t.bytes.begin());
      queue_.push_back(std::move(t));
    }
  }
  push();
}

void Fpga::clear() {
  std::lock_guard<std::mutex> g(m_);
  queue_.clear();
}

size_t Fpga::pending_transfers() const {
  std::lock_guard<std::mutex> g(m_);
  return queue_.size();
}

uint64_t Fpga::messages_sent() const {
  std::lock_guard<std::mutex> g(m_);
  return messages_;
}

uint64_t Fpga::transfers_sent() const {
  std::lock_guard<std::mutex> g(m_);
  return transfers_;
}

void Fpga::push() {
  std::vector<uint8_t> bytes;
  {
    std::lock_guard<std::mutex> g(m_);
    if (clocking_ || queue_.empty() || faults_.silent) return;
    bytes = queue_.front().bytes;
    if (faults_.short_transfers > 0) bytes.resize(bytes.size() / 2);
  }
  // Whether the module is ready is asked outside the lock: the driver takes its own.
  if (!camhost::spi_module_read_armed()) return;
  bool last;
  {
    std::lock_guard<std::mutex> g(m_);
    if (clocking_ || queue_.empty()) return;
    clocking_ = true;
    last = queue_.front().last;
  }
  if (!camhost::spi_send_to_module(bytes.data(), bytes.size())) {
    std::lock_guard<std::mutex> g(m_);
    clocking_ = false;
    return;
  }
  std::lock_guard<std::mutex> g(m_);
  if (faults_.short_transfers > 0) faults_.short_transfers--;
  clocking_last_ = last;
  if (!queue_.empty()) queue_.pop_front();  // on the wire: the slave has it or drops it
  transfers_++;
}

void Fpga::spi_read_armed(size_t) { push(); }

void Fpga::spi_transfer_done(size_t) {
  {
    std::lock_guard<std::mutex> g(m_);
    clocking_ = false;
    if (clocking_last_) messages_++;
    clocking_last_ = false;
  }
  push();
}

}  // namespace sim
