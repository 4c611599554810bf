// The configuration mirror against the simulated board, whose STM32 holds the camera's settings.
#ifndef CAMLINK_TESTS_UNIT_GINF_FIXTURE_H
#define CAMLINK_TESTS_UNIT_GINF_FIXTURE_H

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "board_fixture.h"  // boardLogMessages
#include "ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.h"
#include "host_fixture.h"
#include "i2cDevices/i2cDevices.h"
#include "mtcMainThreadControl/mtcMainThreadControl.h"
#include "sim/board.h"
#include "statStatus/statStatus.h"
#include "stmsgSTM32Message/stmsgSTM32Message.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "whWorkHandler/whWorkHandler.h"

constexpr uint64_t kGinfMs = 1000, kGinfSec = 1000000;

class GinfOnBoard : public OnKernel {
 protected:
  GinfOnBoard() {
    config.stm32.ssid = "HomeNet";
    config.stm32.password = "secret-pw";
    config.stm32.access_code = "1234";
  }

  // The board, built from `config` on first use, with the drivers the module relies on.
  sim::Stm32& stm32() {
    if (!board) {
      board = std::make_unique<sim::Board>(config);
      inKernel([] {
        whWorkHandler_Init();
        stmsgSTM32Message_Init();
        mtcMainThreadControl_Init();
        sysstateSystemState_Init();
        i2cDevices_Init();
        i2cDeactivateSignalToSTM32();  // the expander set-up leaves our line raised
      });
    }
    return board->stm32();
  }

  // Starts the module as the firmware does, `first` just after its Init; with `settle`, runs
  // through the first validation and forgets it.
  void start(bool settle = true, const std::function<void()>& first = nullptr) {
    stm32();
    inKernel([&] {
      ginfGetConfigInfoFromSTM32_Init();
      if (first) first();
      i2cDevices_StartThreads();
      whWorkHandler_StartThreads();
    });
    if (!settle) return;
    inst.run_for(3 * kGinfSec);
    ASSERT_EQ(logged("all data is valid after attempt #1; resetting counter"), 1) << inst.console();
    forget();
  }

  // Forgets the log, the STM32's record and the keep-alive status bits.
  void forget() {
    inKernel([] { statClearStatus(0xFFFFFFFFu); });
    stm32().clear_record();
    inst.clear_console();
  }

  void inKernel(const std::function<void()>& fn, int prio = 4) { ASSERT_TRUE(inst.call(fn, prio)); }
  // What `fn` returns, called in the kernel.
  template <class Fn>
  auto fromKernel(Fn fn) -> decltype(fn()) {
    decltype(fn()) result{};
    inKernel([&] { result = fn(); });
    return result;
  }

  uint32_t kaStatus() { return fromKernel(statGetStatus); }
  static bool errorFlag() { return (sysstateSystemState & sysstate_Error) != 0; }

  int logged(const std::string& message) const {
    int n = 0;
    for (const std::string& m : boardLogMessages(inst.console())) n += m == message;
    return n;
  }
  int loggedStartingWith(const std::string& prefix) const {
    int n = 0;
    for (const std::string& m : boardLogMessages(inst.console())) n += m.rfind(prefix, 0) == 0;
    return n;
  }
  // A text queued for the phone's debug console, and a state change queued for the phone.
  int phoneLine(const std::string& text) const { return logged("(BLE-NQ) log: \"" + text + "\""); }
  int stateChange(const std::string& name) const { return logged("(BLE-NQ) stateChange: " + name); }

  // The message of the last `command` request the STM32 received (empty if none).
  std::vector<uint8_t> lastRequest(uint16_t command) {
    std::vector<uint8_t> last;
    for (const sim::Stm32::Request& r : stm32().requests())
      if (r.command == command) last = r.message;
    return last;
  }

  sim::BoardConfig config;
  std::unique_ptr<sim::Board> board;
};

// A little-endian field of a recorded message.
inline uint32_t ginfLE(const std::vector<uint8_t>& m, size_t at, size_t size) {
  uint32_t v = 0;
  for (size_t i = 0; i < size; i++) v |= static_cast<uint32_t>(m.at(at + i)) << (8 * i);
  return v;
}

#endif  // CAMLINK_TESTS_UNIT_GINF_FIXTURE_H
