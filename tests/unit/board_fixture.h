// A kernel in virtual time with the simulated camera board, for tests that call the modules of
// the local hardware and the STM32 link directly.
#ifndef CAMLINK_TESTS_UNIT_BOARD_FIXTURE_H
#define CAMLINK_TESTS_UNIT_BOARD_FIXTURE_H

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "camhost/runtime.h"
#include "os.h"
#include "sim/board.h"

// The message part of every log line (what follows "<module>::<function>() @<line>: ").
inline std::vector<std::string> boardLogMessages(const std::string& console) {
  std::vector<std::string> messages;
  std::istringstream lines(console);
  std::string line;
  while (std::getline(lines, line)) {
    size_t at = line.find("() @");
    if (at == std::string::npos) continue;
    size_t colon = line.find(": ", at);
    if (colon == std::string::npos) continue;
    messages.push_back(line.substr(colon + 2));
  }
  return messages;
}

class OnBoard : public ::testing::Test {
 protected:
  static camhost::Options VirtualTime() {
    camhost::Options o;
    o.clock = camhost::ClockKind::Virtual;
    return o;
  }

  void inKernel(const std::function<void()>& fn) { ASSERT_TRUE(inst.call(fn)); }

  // Starts fn on a firmware thread (one that a reset ends) and runs until it returns or
  // `max_usecs` pass; whether it returned.
  bool onFirmwareThread(const std::function<void()>& fn, uint64_t max_usecs = 20000000) {
    Call call;
    call.fn = fn;
    inKernel([&] { ASSERT_NE(os_create_thread("fwcall", callEntry, &call, 4, 16384), nullptr); });
    inst.run_until([&] { return call.finished.load(); }, max_usecs, 100);
    return call.finished;
  }

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

  camhost::Instance inst{VirtualTime()};
  sim::Board board;

 private:
  struct Call {
    std::function<void()> fn;
    std::atomic<bool> finished{false};
  };
  static void* callEntry(void* arg) {
    auto* call = static_cast<Call*>(arg);
    call->fn();
    call->finished = true;
    return nullptr;
  }
};

#endif  // CAMLINK_TESTS_UNIT_BOARD_FIXTURE_H
