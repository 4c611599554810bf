// The camera's STM32 as the module sees it: the peer of the message exchange. It watches the
// module's signal line, raises its own to let a transaction go on, reads the SLIP frame at UART
// speed and answers every request of the catalogue with the right body and the request's
// signature. It has its own SLIP and message codec, written from the wire format.
#ifndef CAMSIM_STM32_H
#define CAMSIM_STM32_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "camhost/bus.h"

namespace sim {

struct Stm32Config {
  int32_t mode = 0;                   // camera mode: 0 idle, 1 live view, 2 time lapse, 3 USB
  uint32_t edge_latency_us = 300;     // module's rising signal -> the STM32 raises its own line
  uint32_t answer_delay_us = 2000;    // end of a request -> first byte of the answer
  uint32_t spi_transfer_length = 2048;
  uint16_t camera_uid[6] = {0x1A2B, 0x3C4D, 0x5E6F, 0x7081, 0x92A3, 0xB4C5};
  uint32_t fw_version[3] = {2, 4, 1187};    // major, minor, patch
  uint32_t fpga_version[3] = {1, 3, 77};
  std::string ble_name = "QVR8K-TL";
};

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

class Stm32 : public camhost::UartPeer {
 public:
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
  void clear_record();

  int32_t mode() const;
  void set_mode(int32_t mode);
  bool power_down_requested() const;
  // Instance times at which the STM32 raised its line in answer to the module's edges.
  std::vector<uint64_t> answer_edges() const;

  // Called by the board when the module's signal line (expander 1, bit 0) changes.
  void module_signal_changed(bool active);
  void uart_byte_from_module(uint8_t byte) override;

 private:
  void handle_frame(std::vector<uint8_t> frame);
  std::vector<uint8_t> answer(const std::vector<uint8_t>& request);
  void send_frame(const std::vector<uint8_t>& message, Stm32Fault fault);
  void set_line(bool active);

  Board& board_;
  Stm32Config config_;
  mutable std::mutex m_;
  Stm32Fault fault_ = Stm32Fault::kNone;
  int fault_count_ = 0;
  int32_t fault_result_ = -103;
  int edges_ = 0;              // rising edges of the module's line in the current transaction
  bool module_line_ = false;
  bool line_ = false;
  bool in_frame_ = false;
  bool escaped_ = false;
  std::vector<uint8_t> rx_;
  std::vector<Request> requests_;
  std::vector<uint64_t> answer_edges_;
  uint32_t last_signature_ = 0;
  bool power_down_ = false;
  std::vector<std::vector<uint8_t>> sd_files_deleted_;
};

}  // namespace sim

#endif  // CAMSIM_STM32_H
