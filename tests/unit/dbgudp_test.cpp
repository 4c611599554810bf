// Camera-server header command and error bits, command names and the header dump for log lines.
#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dbgudpDebugForUDPMessages/dbgudpDebugForUDPMessages.h"
#include "unit/host_fixture.h"

namespace {

// ---- Wire layout --------------------------------------------------------------------------------

TEST(DbgudpWireFormat, TheCommandTakesTheLow14BitsAndTheErrorsTheTopTwoWithoutDisturbingEachOther) {
  cts_stc_MessageHeader_t hdr = {};
  ctsStcHeader_setPersistentError(&hdr, true);
  ctsStcHeader_setTemporaryError(&hdr, true);
  ctsStcHeader_setCmdID(&hdr, cmdID_cts_stc_KeepAlive);
  EXPECT_EQ(hdr.cmdIDAndErrorBits, 0xC002);
  ctsStcHeader_setCmdID(&hdr, 0x3FFF);
  ctsStcHeader_setPersistentError(&hdr, false);
  EXPECT_EQ(hdr.cmdIDAndErrorBits, 0xBFFF);
  EXPECT_EQ(ctsStcHeader_getCmdID(&hdr), 0x3FFF);
  EXPECT_FALSE(ctsStcHeader_getPersistentError(&hdr));
  EXPECT_TRUE(ctsStcHeader_getTemporaryError(&hdr));
  ctsStcHeader_setTemporaryError(&hdr, false);
  ctsStcHeader_setCmdID(&hdr, 0xC001);  // beyond 14 bits
  EXPECT_EQ(hdr.cmdIDAndErrorBits, 0x0001);
}

// ---- Command names ------------------------------------------------------------------------------

TEST(DbgudpCmdIDtoString, ANamedCommandGivesItsShortNameAndAnyOtherValueItsNumber) {
  const std::pair<unsigned, const char*> kCases[] = {
      {cmdID_cts_stc_OpenSession, "OpenSession"},
      {cmdID_cts_stc_GetBatteryStatus, "GetBatteryStatus_fw13955"},
      {cmdID_cts_stc_DeleteFileFromSDCard, "DeleteFileFromSDCard"},
      {cmdID_DEPRECATED_5, "?cmdID? 5"},
      {cmdID_cts_stc_GetFileInfo1, "?cmdID? 32"},
      {0, "?cmdID? 0"},
      {65535, "?cmdID? 65535"}};
  for (const auto& [id, name] : kCases) EXPECT_STREQ(dbgudpCmdIDtoString(cmdID(id)), name);
}

TEST(DbgudpCmdIDtoString, ExactlyFortyNineDistinctIdentifiersHaveNames) {
  std::set<std::string> names;
  int named = 0;
  for (unsigned id = 0; id <= 0x3FFF; id++) {
    std::string name = dbgudpCmdIDtoString(cmdID(id));
    if (name.rfind("?cmdID?", 0) == 0) continue;
    named++;
    names.insert(name);
  }
  EXPECT_EQ(named, 49);
  EXPECT_EQ(names.size(), 49u);
}

// ---- Header dump --------------------------------------------------------------------------------

// The dump's buffer comes from the kernel heap, so it is made on a kernel thread.
class DbgudpHeaderToString : public OnKernel {
 protected:
  std::string dump(const cts_stc_MessageHeader_t* hdr) {
    std::string text;
    EXPECT_TRUE(inst.call([&] { text = dbgudpHeaderToString(hdr); }));
    return text;
  }
  static cts_stc_MessageHeader_t sample() {
    cts_stc_MessageHeader_t hdr = {
        36, 0, 17, 4000000000u, 123456, 0, {0x0001, 0xABCD, 0x00FF, 0x1234, 0xFFFF, 0x0000}};
    ctsStcHeader_setCmdID(&hdr, cmdID_cts_stc_SetContrast);
    return hdr;
  }
};

TEST_F(DbgudpHeaderToString, ShowsTheCommandNameCountersIdentityAndBodyLength) {
  cts_stc_MessageHeader_t errors = sample(), unnamed = sample(), empty = sample(), largest;
  ctsStcHeader_setPersistentError(&errors, true);
  ctsStcHeader_setTemporaryError(&errors, true);
  ctsStcHeader_setCmdID(&unnamed, 99);
  empty.msgLength = 0;
  memset(&largest, 0xFF, sizeof(largest));
  const std::string kRest =
      ", cmdSeq 17, pktSeq 4000000000, camMS 123456, srvMS 0, 0001-ABCD-00FF-1234-FFFF-0000 [";
  const cts_stc_MessageHeader_t plain = sample();
  const std::pair<const cts_stc_MessageHeader_t*, std::string> kCases[] = {
      {&plain, "cmd SetContrast" + kRest + "4]"},
      {&errors, "cmd SetContrast" + kRest + "4]"},
      {&unnamed, "cmd ?cmdID? 99" + kRest + "4]"},
      {&empty, "cmd SetContrast" + kRest + "-32]"},
      {&largest,
       "cmd ?cmdID? 16383, cmdSeq 4294967295, pktSeq 4294967295, camMS 4294967295, "
       "srvMS 4294967295, FFFF-FFFF-FFFF-FFFF-FFFF-FFFF [65503]"}};
  for (const auto& [hdr, text] : kCases) EXPECT_EQ(dump(hdr), text);
}

TEST_F(DbgudpHeaderToString, NoHeaderGivesAnEmptyText) { EXPECT_EQ(dump(nullptr), ""); }

TEST_F(DbgudpHeaderToString, OneBufferIsAllocatedByTheFirstCallThatCanAndThenReused) {
  cts_stc_MessageHeader_t hdr = sample();
  std::string whileExhausted;
  char *first = nullptr, *second = nullptr;
  int heapAfterFirst = 0, heapAfterSecond = 0;
  ASSERT_TRUE(inst.call([&] {
    std::vector<void*> blocks;
    while (void* p = os_alloc(64)) blocks.push_back(p);
    whileExhausted = dbgudpHeaderToString(&hdr);
    for (void* p : blocks) os_free(p);
    first = dbgudpHeaderToString(&hdr);
    heapAfterFirst = os_avail_heap();
    second = dbgudpHeaderToString(&hdr);
    heapAfterSecond = os_avail_heap();
  }));
  EXPECT_EQ(whileExhausted, "");
  EXPECT_EQ(std::string(first).rfind("cmd SetContrast, ", 0), 0u);
  EXPECT_EQ(first, second);
  EXPECT_EQ(heapAfterFirst, heapAfterSecond);
}

}  // namespace
