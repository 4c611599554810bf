// The whole firmware image booted by the host kernel in virtual time.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "camhost/runtime.h"
#include "os.h"

#include "firmware_fixture.h"

namespace {

// "module::function() @line: text" of a log line, without the number and time stamp.
std::string Body(const std::string& line) {
  auto p = line.find(": ");
  return p == std::string::npos ? line : line.substr(p + 2);
}

std::vector<std::string> StatusLines(const std::string& console) {
  return LinesWith(console, "sleeping for");
}

class Boot : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(inst.ok()); }
  camhost::Instance inst{FirmwareOptions()};
  sim::Board board;
};

TEST_F(Boot, PrintsTheBannerThenInitialisesTheModulesInOrder) {
  inst.boot();
  inst.run_for(1 * kSec);
  auto lines = Lines(inst.console());
  std::vector<std::string> bodies;
  // BLE's own state lines (advertising waits for the camera ID) come between the entry lines.
  for (auto& l : lines)
    if (l.find("::") != std::string::npos &&
        (Body(l).rfind("ble::", 0) != 0 || Body(l).rfind("ble::bleBluetoothLowEnergy_Init", 0) == 0))
      bodies.push_back(Body(l));
  std::vector<std::string> want = {
      "main::main_thread() @",
      "main::main_thread() @",
      "main::main_thread() @",
      "main::main_thread() @",
      "osts::ostsOSThreadSupport_Init() @",
      "fwud::fwudFirmwareUpdater_Init() @",
      "main::main_Init_beforeFWUD() @",
      "wh::whWorkHandler_Init() @",
      "stmsg::stmsgSTM32Message_Init() @",
      "mtc::mtcMainThreadControl_Init() @",
      "sysstate::sysstateSystemState_Init() @",
      "i2c::i2cDevices_Init() @",
      "i2cledmgr::i2cledmgrLEDManager_Init() @",
      "i2c::i2cDevices_Init() @",  // the expanders, the gauge and the multiplexer
      "i2c::i2cDevices_Init() @",
      "i2c::i2cDevices_Init() @",
      "i2c::i2cDevices_Init() @",
      "i2cbtn::i2cbtnI2CButtons_Init() @",
      "i2cbat::i2cbatBattery_Init() @",
      "ginf::ginfGetConfigInfoFromSTM32_Init() @",
      "nvmgr::nvmgrNonVolatileMemoryManager_Init() @",
      "ginf::ginfQueueWork() @",  // the work item that fills the mirror
      "ucsc::ucscUDPCameraServerCommon_Init() @",
      "ucsl1::ucsl1UDPCameraServerLayer1_Init() @",
      "ucsl2::ucsl2UDPCameraServerLayer2_Init() @",
      "cs::csKeepAlive_Init() @",
      "tcsl1::tcsl1TCPCameraServerLayer1_Init() @",
      "tcp::tcpTCPTransfer_Init() @",
      "txbuf::txbufBuffers_Init() @",  // the TX pool, cleared
      "txbuf::txClearAll() @",
      "ble::bleBluetoothLowEnergy_Init() @",
      "spi2fpga::spi2fpgaSPItoFPGA_Init() @",
      "lui::luiLocalUI_Init() @",
      "semtmo::semtmoSemaphoreTimeoutWorker_Init() @",
      "ds::dsDeepSleep_Init() @",
      "stat::statStatus_Init() @",
  };
  ASSERT_GE(bodies.size(), want.size());
  for (size_t i = 0; i < want.size(); i++)
    EXPECT_EQ(bodies[i].substr(0, want[i].size()), want[i]) << "line " << i;
}

TEST_F(Boot, BannerLinesCarryVersionResetReasonHeapAndMessageSizes) {
  inst.boot();
  inst.run_for(1 * kSec);
  std::string c = inst.console();
  EXPECT_TRUE(std::regex_search(
      c, std::regex(R"(^0001  000,000\.000,000: main::main_thread\(\) @\d+: WiFi FW version \d+\.\d+\.\d+, \d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4} \(\w{3}, \d\d \w{3} \d{4}\)\n)")))
      << c.substr(0, 200);
  EXPECT_NE(c.find("os_get_reset_reason 0\n"), std::string::npos);
  EXPECT_NE(c.find("os_avail_heap 163840\n"), std::string::npos);
  EXPECT_NE(c.find("Largest cts msg 180, stc 68 bytes\n"), std::string::npos);
  EXPECT_NE(c.find("\n=========================\n"), std::string::npos);
  EXPECT_NE(c.find("main thread priority changed from 3 to 6\n"), std::string::npos);
}

TEST_F(Boot, EnablesDeepSleepAndDebugToServerAfterTheModulesAreInitialised) {
  inst.boot();
  inst.run_for(1 * kSec);
  std::string c = inst.console();
  auto stat = c.find("stat::statStatus_Init()");
  auto sleep = c.find("main::main_thread() @", stat);
  ASSERT_NE(stat, std::string::npos);
  EXPECT_NE(c.find("enabling deep sleep\n", stat), std::string::npos);
  auto enabling = c.find("Enabling debug to server dbgmsgrDebugMessenger_EnableDebugToServer()\n");
  auto enabled = c.find("dbgmsgr::dbgmsgrDebugMessenger_EnableDebugToServer() @");
  EXPECT_LT(sleep, enabling);
  EXPECT_LT(enabling, enabled);
}

TEST_F(Boot, MainLoopSleepsAtMost3SecondsAndShowsNoTrafficAsZeroSecondsAgo) {
  // The Wi-Fi poll's credential retries would add passes: a quiet stand-in takes its slot.
  struct Slot {
    systimer_t (*poll)(systimer_t);
    const char* name;
  };
  static_cast<Slot*>(inst.firmware_symbol("mainModulePolls"))[1].poll = [](systimer_t next) {
    return next;
  };
  inst.boot();
  inst.run_for(10 * kSec);
  auto status = StatusLines(inst.console());
  ASSERT_GE(status.size(), 3u);
  for (auto& l : status) {
    EXPECT_NE(l.find("main::main_loopPass() @"), std::string::npos);
    EXPECT_NE(l.find(": sleeping for 3000 mSecs; main; RX: 0 secs ago, 0 total, 0 big, 0 frag; "
                     "TX: 0 secs ago, 0 total; L2Q: 0/0; L3Q: 0/0"),
              std::string::npos)
        << l;
  }
  EXPECT_EQ(inst.console().find("said wakeup"), std::string::npos);
  // The passes themselves take no time: one status line every 3 s on the dot.
  EXPECT_EQ(Micros(status[1]) - Micros(status[0]), 3 * kSec);
  EXPECT_EQ(Micros(status[2]) - Micros(status[1]), 3 * kSec);
}

TEST(BootRepeatability, ThirtyMinutesWithTheSameSeedGiveTheSameConsoleByteForByte) {
  auto run = [](std::string* console, uint64_t* hash) {
    camhost::Instance inst{FirmwareOptions(7)};
    ASSERT_TRUE(inst.ok());
    sim::Board board;
    inst.boot();
    inst.run_for(1800 * kSec);
    *console = inst.console();
    *hash = inst.trace_hash();
  };
  std::string first, second;
  uint64_t h1 = 0, h2 = 0;
  run(&first, &h1);
  run(&second, &h2);
  EXPECT_GT(StatusLines(first).size(), 590u);
  EXPECT_GE(Micros(StatusLines(first).back()), 1797 * kSec);
  EXPECT_TRUE(first == second) << "the two consoles differ";
  EXPECT_EQ(h1, h2);
}

}  // namespace
