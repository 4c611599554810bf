// The configuration sync engine against the simulated board: the STM32 holds the camera's
// configuration, the module mirrors it through its work item.
#ifndef CAMLINK_TESTS_UNIT_GINF_FIXTURE_H
#define CAMLINK_TESTS_UNIT_GINF_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
  // The camera the tests start from; a test fixture may change it before the board is built.
  virtual void configure(sim::BoardConfig& c) {
    c.stm32.ssid = "HomeNet";
    c.stm32.password = "secret-pw";
    c.stm32.access_code = "1234";
  }

  void SetUp() override {
    sim::BoardConfig c;
    configure(c);
    board = std::make_unique<sim::Board>(c);
    ASSERT_TRUE(inst.call([] {
      whWorkHandler_Init();
      stmsgSTM32Message_Init();
      mtcMainThreadControl_Init();
      sysstateSystemState_Init();
      i2cDevices_Init();
      i2cDeactivateSignalToSTM32();  // the expander set-up leaves our line raised
    }));
  }

  void TearDown() override {
    if (getenv("GINF_DUMP")) fprintf(stderr, "%s", inst.console().c_str());
  }

  // Starts the module and its threads as the firmware does; with `settle`, runs until the first
  // validation is over and forgets what it did.
  void start(bool settle = true) {
    ASSERT_TRUE(inst.call([] {
      ginfGetConfigInfoFromSTM32_Init();
      i2cDevices_StartThreads();
      whWorkHandler_StartThreads();
    }));
    if (!settle) return;
    inst.run_for(3 * kGinfSec);
    ASSERT_EQ(logged("all data is valid after attempt #1; resetting counter"), 1) << inst.console();
    forget();
  }

  // Forgets the log, the STM32's record and the keep-alive status bits.
  void forget() {
    ASSERT_TRUE(inst.call([] { statClearStatus(0xFFFFFFFFu); }));
    stm32().clear_record();
    inst.clear_console();
  }

  void inKernel(const std::function<void()>& fn, int prio = 4) { ASSERT_TRUE(inst.call(fn, prio)); }

  sim::Stm32& stm32() { return board->stm32(); }

  uint32_t kaStatus() {
    uint32_t s = 0;
    inst.call([&] { s = statGetStatus(); });
    return s;
  }
  static bool errorFlag() { return (sysstateSystemState & sysstate_Error) != 0; }

  std::vector<std::string> messages() const { return boardLogMessages(inst.console()); }
  int logged(const std::string& message) const {
    int n = 0;
    for (const std::string& m : messages()) n += m == message;
    return n;
  }
  int loggedStartingWith(const std::string& prefix) const {
    int n = 0;
    for (const std::string& m : messages()) n += m.rfind(prefix, 0) == 0;
    return n;
  }
  // The position of the first line equal to `message` at or after `from`, or -1.
  int indexOf(const std::string& message, int from = 0) const {
    std::vector<std::string> m = messages();
    for (size_t i = from; i < m.size(); i++)
      if (m[i] == message) return static_cast<int>(i);
    return -1;
  }
  // A text the module queued for the phone's debug console (logged whether or not a phone is
  // there to take it).
  int phoneLine(const std::string& text) const { return logged("(BLE-NQ) log: \"" + text + "\""); }
  int stateChange(const std::string& name) const { return logged("(BLE-NQ) stateChange: " + name); }

  // The requests of `command` the STM32 received since the record was last cleared.
  std::vector<sim::Stm32::Request> requestsOf(uint16_t command) {
    std::vector<sim::Stm32::Request> out;
    for (const sim::Stm32::Request& r : stm32().requests())
      if (r.command == command) out.push_back(r);
    return out;
  }

  std::unique_ptr<sim::Board> board;
};

// Little-endian fields of a recorded message.
inline uint32_t ginfLE(const std::vector<uint8_t>& m, size_t at, size_t size) {
  uint32_t v = 0;
  for (size_t i = 0; i < size; i++) v |= static_cast<uint32_t>(m.at(at + i)) << (8 * i);
  return v;
}

inline std::string ginfText(const std::vector<uint8_t>& m, size_t at, size_t size) {
  std::string s;
  for (size_t i = 0; i < size && m.at(at + i) != 0; i++) s += static_cast<char>(m[at + i]);
  return s;
}

#endif  // CAMLINK_TESTS_UNIT_GINF_FIXTURE_H
