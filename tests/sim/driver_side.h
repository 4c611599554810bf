// The module's side of the board for the models' tests: the host drivers called as the firmware
// calls them, from a kernel thread, with the tests' own message and SLIP codec.
#ifndef CAMLINK_TESTS_SIM_DRIVER_SIDE_H
#define CAMLINK_TESTS_SIM_DRIVER_SIDE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "camhost/bus.h"
#include "camhost/runtime.h"
#include "i2c.h"
#include "os.h"
#include "sim/board.h"
#include "uart.h"

namespace simtest {

inline camhost::Options VirtualTime() {
  camhost::Options o;
  o.clock = camhost::ClockKind::Virtual;
  return o;
}

// ---- I2C: register pairs, port 0 in the low byte ---------------------------------------------

inline i2c_device* Expander(uint8_t address) {
  return i2c_create_device(i2c_bus_init(0), address, 400000);
}

inline int WriteWord(i2c_device* dev, uint8_t reg, uint16_t value) {
  uint8_t buf[3] = {reg, uint8_t(value), uint8_t(value >> 8)};
  i2c_msg msg{I2C_M_WRITE | I2C_M_STOP, 3, buf};
  return i2c_transfer(dev, &msg, 1);
}

// The register pointer, then two bytes after a repeated start. Negative on a bus error.
inline int ReadWord(i2c_device* dev, uint8_t reg) {
  uint8_t out[2] = {0, 0};
  i2c_msg msgs[2] = {{I2C_M_WRITE, 1, &reg}, {I2C_M_READ | I2C_M_STOP, 2, out}};
  int rc = i2c_transfer(dev, msgs, 2);
  return rc < 0 ? rc : out[0] | out[1] << 8;
}

// ---- Messages and SLIP ----------------------------------------------------------------------

constexpr uint8_t kEnd = 0xC0, kEsc = 0xDB, kEscEnd = 0xDC, kEscEsc = 0xDD;

inline void PutLe(std::vector<uint8_t>& m, size_t off, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; i++) m.at(off + i) = uint8_t(v >> (8 * i));
}

inline uint32_t GetLe(const std::vector<uint8_t>& m, size_t off, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; i++) v |= uint32_t(m.at(off + i)) << (8 * i);
  return v;
}

// A text field of `field` bytes: the text, then NULs.
inline void PutText(std::vector<uint8_t>& m, size_t off, size_t field, const std::string& s) {
  for (size_t i = 0; i < field; i++) m.at(off + i) = i < s.size() ? uint8_t(s[i]) : 0;
}

inline std::string GetText(const std::vector<uint8_t>& m, size_t off, size_t field) {
  std::string s;
  for (size_t i = 0; i < field && m.at(off + i); i++) s += char(m[off + i]);
  return s;
}

// The 12-byte header (length, command, signature, result 0), then a body that starts with
// `words` (32-bit fields) and is zero after them.
inline std::vector<uint8_t> Request(uint16_t command, uint32_t signature, size_t size,
                                    std::initializer_list<uint32_t> words = {}) {
  std::vector<uint8_t> m(size, 0);
  PutLe(m, 0, static_cast<uint32_t>(size), 2);
  PutLe(m, 2, command, 2);
  PutLe(m, 4, signature, 4);
  for (size_t i = 0; i < words.size(); i++) PutLe(m, 12 + 4 * i, words.begin()[i], 4);
  return m;
}

inline uint32_t Signature(const std::vector<uint8_t>& msg) { return GetLe(msg, 4, 4); }
inline int32_t Result(const std::vector<uint8_t>& msg) { return int32_t(GetLe(msg, 8, 4)); }

inline std::vector<uint8_t> Slip(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out{kEnd};
  for (uint8_t b : data) {
    if (b == kEnd || b == kEsc)
      out.insert(out.end(), {kEsc, b == kEnd ? kEscEnd : kEscEsc});
    else
      out.push_back(b);
  }
  out.push_back(kEnd);
  return out;
}

// The data of one whole frame (END ... END); false when it is not one or holds a bad escape.
inline bool Unslip(const std::vector<uint8_t>& frame, std::vector<uint8_t>* data) {
  data->clear();
  if (frame.size() < 2 || frame.front() != kEnd || frame.back() != kEnd) return false;
  for (size_t i = 1; i + 1 < frame.size(); i++) {
    if (frame[i] == kEnd) return false;
    if (frame[i] != kEsc) {
      data->push_back(frame[i]);
    } else if (++i + 1 < frame.size() && (frame[i] == kEscEnd || frame[i] == kEscEsc)) {
      data->push_back(frame[i] == kEscEnd ? kEnd : kEsc);
    } else {
      return false;
    }
  }
  return true;
}

inline std::vector<uint8_t> Decode(const std::vector<uint8_t>& frame) {
  std::vector<uint8_t> msg;
  EXPECT_TRUE(Unslip(frame, &msg)) << "not one whole frame, " << frame.size() << " bytes";
  return msg;
}

// ---- The module's end of the STM32 link ---------------------------------------------------------

// Expander 1 set up as the module sets it up, its signal line low, and the UART open. Make it on
// a kernel thread.
class ModuleSide {
 public:
  static constexpr uint16_t kOutputs = 0x8126;

  ModuleSide() : exp1_(Expander(0x20)) {
    WriteWord(exp1_, 0x02, kOutputs);
    WriteWord(exp1_, 0x06, 0x8126);  // configuration
    WriteWord(exp1_, 0x44, 0x8126);  // input latch
    WriteWord(exp1_, 0x04, 0x0006);  // polarity
    WriteWord(exp1_, 0x4A, 0x7FD9);  // interrupt mask
    uart_ = uart_open_ext(460800, 21, 20, 0, 0, 0);
  }
  ~ModuleSide() {
    uart_close(uart_);
    i2c_destroy_device(exp1_);
  }
  ModuleSide(const ModuleSide&) = delete;
  ModuleSide& operator=(const ModuleSide&) = delete;

  void Signal(bool active) { WriteWord(exp1_, 0x02, active ? kOutputs | 1 : kOutputs); }
  // Polls the STM32's line as the firmware does, every 25 ms, up to `max_us`.
  bool WaitForStm32(uint64_t max_us) {
    uint64_t end = camhost::time_now() + max_us;
    while (!(ReadWord(exp1_, 0x00) & 0x8000)) {
      if (camhost::time_now() >= end) return false;
      os_sleep_us(25000, OS_TIMEOUT_WAKEUP);
    }
    return true;
  }

  // Returns when the last byte has left.
  void Send(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) uart_putchar(uart_, b);
    uart_flush(uart_);
  }

  // Bytes from a frame's opening END to its closing END, or up to `gap_us` without a byte.
  std::vector<uint8_t> ReceiveFrame(uint32_t gap_us = 20000) {
    std::vector<uint8_t> out;
    for (int c; (c = uart_getchar_tmo(uart_, gap_us)) >= 0;) {
      if (out.empty() && c != kEnd) continue;
      out.push_back(static_cast<uint8_t>(c));
      if (c == kEnd && out.size() > 1) break;
    }
    return out;
  }

  // Handshake, request, line down, answer (raw frame bytes; none without a handshake).
  std::vector<uint8_t> Transact(const std::vector<uint8_t>& request) {
    Signal(true);
    bool up = WaitForStm32(1500000);
    if (up) Send(Slip(request));
    Signal(false);
    return up ? ReceiveFrame() : std::vector<uint8_t>{};
  }

  uart* port() { return uart_; }

 private:
  i2c_device* exp1_;
  uart* uart_ = nullptr;
};

inline void AsModule(camhost::Instance& inst, const std::function<void(ModuleSide&)>& fn) {
  ASSERT_TRUE(inst.call([&] {
    ModuleSide m;
    fn(m);
  }));
}

// ---- Files ----------------------------------------------------------------------------------

// A fresh directory under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "camsim-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace simtest

#endif  // CAMLINK_TESTS_SIM_DRIVER_SIDE_H
