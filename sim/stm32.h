// The camera's STM32 as the module sees it: the peer of the message exchange. It watches the
// module's signal line, raises its own to let a transaction go on, reads the SLIP frame at UART
// speed and answers every request of the catalogue with the right body and the request's
// signature. It has its own SLIP and message codec, written from the wire format.
#ifndef CAMSIM_STM32_H
#define CAMSIM_STM32_H

#include <cstdint>
#include <functional>
#include <memory>
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
  // Names of the files the module asked to delete from the SD card, in order.
  std::vector<std::string> deleted_files() const;
  // Instance times at which the STM32 raised its line in answer to the module's edges.
  std::vector<uint64_t> answer_edges() const;

  // Called by the board when the module's signal line (expander 1, bit 0) changes.
  void module_signal_changed(bool active);
  void uart_byte_from_module(uint8_t byte) override;

  // Events already scheduled find the model gone and do nothing. Destroy the board from the
  // thread that drives the instance, not from a kernel thread.
  ~Stm32() override;

 private:
  struct Life;

  void handle_frame(std::vector<uint8_t> frame);
  // The answer to a request (header and body), with its effects on the camera's state.
  std::vector<uint8_t> answer(const std::vector<uint8_t>& request, bool take_effect);
  // The frame as it goes on the wire, damaged as `fault` says.
  static std::vector<uint8_t> encode(const std::vector<uint8_t>& message, Stm32Fault fault);
  void later(uint64_t when, std::function<void()> fn);
  void sync_line();            // tells the board the line's level (lock not held)
  void take_fault();           // the pending fault, for the current transaction (lock held)
  bool raises_now() const;     // whether this edge of the module gets an answer (lock held)

  Board& board_;
  Stm32Config config_;         // config_.mode is the camera's mode
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
};

}  // namespace sim

#endif  // CAMSIM_STM32_H
