// The log line: layout, numbering, module names and the 511-character cut.
#include <cstring>
#include <string>

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"
#include "host_fixture.h"
#include "os.h"

namespace {

std::string ModuleOf(const char* path, uint32_t size = 12) {
  char name[32];
  memset(name, 'x', sizeof name);
  dbgmsgrDebugMessenger_parseModuleNameFromFILE(path, name, size);
  return name;
}

TEST(DbgmsgrModuleName, IsTheLowerCasePrefixOfTheFileName) {
  EXPECT_EQ(ModuleOf("src/ginfGetConfigInfoFromSTM32/ginfGetConfigInfoFromSTM32.c"), "ginf");
  EXPECT_EQ(ModuleOf("src/main.c"), "main");
  EXPECT_EQ(ModuleOf("src/i2cDevices/i2cbatBattery/i2cbatBattery.c"), "i2cbat");
  EXPECT_EQ(ModuleOf("/abs/path/src/main/main.cpp"), "main");
  EXPECT_EQ(ModuleOf("plain.cpp"), "plain");
}

TEST(DbgmsgrModuleName, IsTheWholeFileNameCutTo11WhenItStartsUpperCase) {
  EXPECT_EQ(ModuleOf("src/x/KeepAliveHandler.cpp"), "KeepAliveHa");
}

TEST(DbgmsgrModuleName, StopsAtTheBufferSize) {
  EXPECT_EQ(ModuleOf("src/abcdefghijklmnop.c", 5), "abcd");
}

class Dbgmsgr : public OnKernel {};

TEST_F(Dbgmsgr, FirstLineIsNumberedOneWithTimeModuleFunctionAndLine) {
  inst.run_for(12345678);
  inst.call([] {
    char* line =
        dbgmsgrDebugMessenger_createDebugMessage_ISRsafe(true, "mod", "func", 42, "v=%d\n", 7);
    dbgmsgrDebugMessenger_DebugSend(line);
  });
  EXPECT_EQ(inst.console(), "0001  000,012.345,678: mod::func() @42: v=7\n");
}

TEST_F(Dbgmsgr, LinesAreNumberedOnAndANumberOfFiveOrMoreDigitsIsNotCut) {
  inst.call([] {
    for (int i = 0; i < 9999; i++)
      dbgmsgrDebugMessenger_createDebugMessage_ISRsafe(true, "m", "f", 1, "%s", "");
    dbgmsgrDebugMessenger_DebugSend(
        dbgmsgrDebugMessenger_createDebugMessage_ISRsafe(true, "m", "f", 1, "%s\n", "a"));
    for (int i = 0; i < 89999; i++)
      dbgmsgrDebugMessenger_createDebugMessage_ISRsafe(true, "m", "f", 1, "%s", "");
    dbgmsgrDebugMessenger_DebugSend(
        dbgmsgrDebugMessenger_createDebugMessage_ISRsafe(true, "m", "f", 1, "%s\n", "b"));
  });
  EXPECT_EQ(inst.console(),
            "10000  000,000.000,000: m::f() @1: a\n"
            "100000  000,000.000,000: m::f() @1: b\n");
}

TEST_F(Dbgmsgr, ALongMessageIsCutSoTheWholeLineIs511Characters) {
  std::string out;
  inst.call([&] {
    std::string big(2000, 'z');
    out = dbgmsgrDebugMessenger_createDebugMessage_ISRsafe(true, "m", "f", 1, "%s", big.c_str());
  });
  ASSERT_EQ(out.size(), 511u);
  EXPECT_EQ(out.substr(0, 34), "0001  000,000.000,000: m::f() @1: ");
  EXPECT_EQ(out.back(), 'z');
}

TEST_F(Dbgmsgr, AnEmptyTextStillPrintsItsHeaderButAnEmptyLineIsDropped) {
  inst.call([] {
    DBGLOG_ENTRY();
    char empty[1] = "";
    dbgmsgrDebugMessenger_DebugSend(empty);
  });
  auto lines = ConsoleLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(": dbgmsgr::operator()() @"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].substr(lines[0].size() - 2), ": ");
}

TEST_F(Dbgmsgr, ModuleNameComesFromTheSourceFileOnTheFirstLine) {
  inst.call([] { DBGLOG("%s\n", "hello"); });
  EXPECT_NE(inst.console().find(" dbgmsgr::operator()() @"), std::string::npos) << inst.console();
  EXPECT_STREQ(thisModuleName, "dbgmsgr");
}

TEST_F(Dbgmsgr, LinesOfTwoThreadsNeverMix) {
  for (int t = 0; t < 2; t++) {
    inst.spawn(t ? "b" : "a", 4, [t] {
      for (int i = 0; i < 50; i++) {
        DBGLOG("%s %d\n", t ? "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb" : "aaaa", i);
        os_yield();
      }
    });
  }
  inst.run_for(1000);
  auto lines = ConsoleLines();
  ASSERT_EQ(lines.size(), 100u);
  for (size_t i = 0; i < lines.size(); i++) {
    char num[24];
    snprintf(num, sizeof num, "%04zu ", i + 1);
    EXPECT_EQ(lines[i].substr(0, 5), num);
  }
}

TEST_F(Dbgmsgr, EnablingDebugToServerOnlyLogsIt) {
  inst.call([] { dbgmsgrDebugMessenger_EnableDebugToServer(); });
  auto lines = ConsoleLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("dbgmsgr::dbgmsgrDebugMessenger_EnableDebugToServer() @"),
            std::string::npos);
  EXPECT_EQ(lines[0].substr(lines[0].size() - 24), "Enabling debug to server");
}

}  // namespace
