// The STM32's side of the module's self-update: at every boot of the module it keeps the UART's
// bytes from the STM32's message link from the module's greeting until the module has had its
// offer and closed the UART; everything else passes through to the link.
//
// What it offers: "nf" (no firmware, the default, so a plain boot does not wait), the version-2
// transfer of the module's two update files (when they are set or found on the SD card's root or
// in the update directory), the same files with the older line commands, nothing at all (the
// module then listens for its full 160 s), or a script a test drives itself (anything at all).
#ifndef CAMSIM_MODULE_UPDATE_H
#define CAMSIM_MODULE_UPDATE_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "camhost/bus.h"
#include "sim/sdcard.h"

namespace sim {

// The module's update files on the SD card, and their temporary forms.
constexpr const char* kModuleUpdateFile1 = "qvr8k_w1.udf";
constexpr const char* kModuleUpdateFile2 = "qvr8k_w2.udf";

enum class FeedMode {
  kAuto,    // the version-2 transfer when there are update files, else "nf"
  kSilent,  // says nothing
  kScript,      // calls on_greeting; the test sends and watches for itself
  // The older line commands with the update files, when there are any, else "nf": each file is
  // an upload ("uf SIZE START", then "ub 4096" and a 4098-byte block for each page, "ud"), file
  // 1 to the image's first page and file 2 after its 63 pages; the second "ud" reboots.
  kLine,
};

// Damage to a version-2 transfer, for tests.
enum class FeedFault {
  kNone,
  kBadBlockCrc,     // block `fault_block` announced with a wrong CRC
  kBadFileCrc,      // file `fault_file` announced with a wrong CRC
  kStallInBlock,    // block `fault_block` stops halfway for `stall_us`
  kBadEscape,       // block `fault_block` carries ESC followed by 0x00
  kExit,            // "x" instead of block `fault_block`
  kWrongFileLength, // file `fault_file` announced `fault_length` bytes long
};

class ModuleUpdateFeed : public camhost::UartPeer {
 public:
  // `link` is the STM32's message link, given the UART back after each offer.
  explicit ModuleUpdateFeed(camhost::UartPeer* link);
  ~ModuleUpdateFeed() override;
  ModuleUpdateFeed(const ModuleUpdateFeed&) = delete;
  ModuleUpdateFeed& operator=(const ModuleUpdateFeed&) = delete;

  void set_mode(FeedMode mode);
  // The files a version-2 offer sends; they win over the update directory's.
  void set_files(const std::vector<uint8_t>& file1, const std::vector<uint8_t>& file2);
  // Where the STM32 finds the module's update files (default: the root of the card given to
  // set_card; "" = there). Files found there are deleted once the module has taken them.
  void set_update_dir(const std::string& dir);
  // The SD card whose root holds the update files, wherever it is when the module boots.
  void set_card(const SdCard* card);
  void set_fault(FeedFault fault, int file = 1, int block = 0, uint64_t stall_us = 200000,
                 uint32_t length = 0);

  // Sends bytes to the module (scripts).
  void send(const std::string& bytes);
  void send(const std::vector<uint8_t>& bytes);
  // Everything the module sent while the feed held the UART, this boot.
  std::string received() const;
  // Version-2 blocks the module acknowledged, over all boots.
  int blocks_acknowledged() const;
  // Whether a version-2 transfer ran to its last acknowledged block.
  int transfers_completed() const;
  // Called (on the event thread, lock not held) when the module has greeted the feed, in
  // kScript mode.
  std::function<void(ModuleUpdateFeed&)> on_greeting;

  void uart_byte_from_module(uint8_t byte) override;

 private:
  void new_boot_if_needed();  // lock held
  std::vector<uint8_t> greeted(bool* script);       // lock held
  std::vector<uint8_t> frame_from_module(uint8_t cmd);  // lock held
  std::vector<uint8_t> file_start();                // lock held
  std::vector<uint8_t> block(std::vector<uint8_t>* later);  // lock held
  void give_back_when_closed(uint64_t generation);
  // The line protocol's next step on a byte from the module (lock held): bytes to send now and
  // bytes to send a moment later, once the module has flushed the rest of its line.
  void line_step(uint8_t byte, std::vector<uint8_t>* now, std::vector<uint8_t>* soon);
  std::vector<uint8_t> line_upload_start();  // lock held
  void transfer_done();                      // lock held
  static std::string command(char cmd, uint32_t a0, uint32_t a1);

  static void on_reset();
  camhost::UartPeer* link_;
  mutable std::mutex m_;
  FeedMode mode_ = FeedMode::kAuto;
  std::vector<uint8_t> files_[2];
  bool files_set_ = false;
  std::string update_dir_;
  const SdCard* card_ = nullptr;
  std::string taken_dir_;  // where this boot's files came from
  FeedFault fault_ = FeedFault::kNone;
  int fault_file_ = 1, fault_block_ = 0;
  uint64_t stall_us_ = 200000;
  uint32_t fault_length_ = 0;
  // This boot.
  std::string received_;
  bool greeted_ = false, in_frame_ = false, done_ = false, from_dir_ = false;
  std::vector<uint8_t> frame_;
  std::string pending_;  // a greeting's beginning, held back from the link
  bool passthrough_ = false;
  std::vector<uint8_t> sending_[2];
  int file_ = 0, block_ = 0;
  enum class LineWait { kAnswer, kBlockLineEcho, kDoneLineEcho } line_wait_ = LineWait::kAnswer;
  int acknowledged_ = 0, completed_ = 0;
  uint64_t greeted_at_ = 0;
  uint64_t generation_ = ~0ull;  // the boot this state is for
};

}  // namespace sim

#endif  // CAMSIM_MODULE_UPDATE_H
