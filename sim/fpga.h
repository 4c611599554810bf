// The camera's FPGA at the far end of the module's SPI slave: it pushes the STM32's bulk data
// (live-view frames, file blocks and contents, directory listings) as messages of a 12-byte header
// and payload, cut into transfers of the configured length, the last one padded. It clocks a
// transfer only while the module has a read armed. Its own codec, from the byte offsets.
#ifndef CAMSIM_FPGA_H
#define CAMSIM_FPGA_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "camhost/bus.h"

namespace sim {

// The header's first word: what the message carries.
enum class SpiFlag : uint32_t {
  kLiveView = 0x6765706A,  // "jpeg"
  kJpegFrameFromFile = 1,
  kBlockFromFile = 3,
  kFileContents = 4,
  kSingleBlock = 5,
  kDirList = 6,
};

// What can go wrong on the FPGA's side, for tests: each applies to the next message(s) queued.
struct FpgaFaults {
  int junk_before = 0;        // transfers with a wrong flag ahead of the next message's header
  int bad_signature_before = 0;  // transfers with a right flag but another signature ahead
  bool silent = false;        // clocks nothing at all (messages stay queued)
  int short_transfers = 0;    // the next N transfers stop halfway
};

class Fpga : public camhost::SpiMaster {
 public:
  explicit Fpga(uint32_t transfer_length);
  ~Fpga() override;
  Fpga(const Fpga&) = delete;
  Fpga& operator=(const Fpga&) = delete;

  void set_transfer_length(uint32_t bytes);
  // Queues a message: header (flag, length including the header, signature) then `payload`.
  void send_message(SpiFlag flag, uint32_t signature, const std::vector<uint8_t>& payload);
  // Drops every transfer not yet clocked (the STM32's ClearSpi).
  void clear();
  // Transfers queued and not yet clocked.
  size_t pending_transfers() const;
  // Messages whose last transfer was clocked, and transfers clocked in all.
  uint64_t messages_sent() const;
  uint64_t transfers_sent() const;

  FpgaFaults& faults() { return faults_; }
  void set_faults(const FpgaFaults& f);

  void spi_read_armed(size_t length) override;
  void spi_transfer_done(size_t landed) override;

 private:
  struct Transfer {
    std::vector<uint8_t> bytes;
    bool last;  // of its message
  };
  void push();  // clocks the next transfer if the module is ready (lock not held)

  mutable std::mutex m_;
  uint32_t transfer_length_;
  std::deque<Transfer> queue_;
  FpgaFaults faults_;
  bool clocking_ = false;
  bool clocking_last_ = false;
  uint64_t messages_ = 0, transfers_ = 0;
};

}  // namespace sim

#endif  // CAMSIM_FPGA_H
