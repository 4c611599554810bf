// Camera-server header wire layout, command names and the header dump for log lines.
#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "camhost/runtime.h"
#include "dbgudpDebugForUDPMessages/dbgudpDebugForUDPMessages.h"

namespace {

// ---- Wire layout --------------------------------------------------------------------------------

TEST(DbgudpWireFormat, TheHeaderMapsTheDatagramBytesLittleEndian) {
  const uint8_t wire[32] = {0x24, 0x00,                                      // msgLength 36
                            0x6C, 0x40,                                      // 108, persistent
                            0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // sequences
                            0x10, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00,  // milliseconds
                            0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x00, 0x05, 0x00, 0xFF, 0xFF};
  cts_stc_MessageHeader_t hdr;
  memcpy(&hdr, wire, sizeof(hdr));
  EXPECT_EQ(hdr.msgLength, 36);
  EXPECT_EQ(ctsStcHeader_getCmdID(&hdr), cmdID_cts_stc_SetContrast);
  EXPECT_TRUE(ctsStcHeader_getPersistentError(&hdr));
  EXPECT_FALSE(ctsStcHeader_getTemporaryError(&hdr));
  EXPECT_EQ(hdr.cmdSequenceNumber, 0x04030201u);
  EXPECT_EQ(hdr.packetSequenceNumber, 0x08070605u);
  EXPECT_EQ(hdr.cameraMSecsSinceBoot, 16u);
  EXPECT_EQ(hdr.serverMSecsSinceOpenSession, 32u);
  EXPECT_EQ(hdr.cameraID[0], 1);
  EXPECT_EQ(hdr.cameraID[5], 0xFFFF);
}

TEST(DbgudpWireFormat, TheErrorBitsAreTheTopTwoBitsOfTheCommandWord) {
  cts_stc_MessageHeader_t hdr = {};
  ctsStcHeader_setCmdID(&hdr, cmdID_cts_stc_DeleteFileFromSDCard);
  ctsStcHeader_setTemporaryError(&hdr, true);
  uint8_t wire[32];
  memcpy(wire, &hdr, sizeof(wire));
  EXPECT_EQ(wire[2], 138);
  EXPECT_EQ(wire[3], 0x80);
  ctsStcHeader_setTemporaryError(&hdr, false);
  ctsStcHeader_setPersistentError(&hdr, true);
  memcpy(wire, &hdr, sizeof(wire));
  EXPECT_EQ(wire[3], 0x40);
}

TEST(DbgudpWireFormat, CommandAndErrorBitsAreSetWithoutDisturbingEachOther) {
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
}

TEST(DbgudpWireFormat, ACommandValueBeyond14BitsCannotReachTheErrorBits) {
  cts_stc_MessageHeader_t hdr = {};
  ctsStcHeader_setCmdID(&hdr, 0xC001);
  EXPECT_EQ(hdr.cmdIDAndErrorBits, 0x0001);
}

// ---- Command names ------------------------------------------------------------------------------

TEST(DbgudpCmdIDtoString, KnownCommandsGiveTheirShortNames) {
  EXPECT_STREQ(dbgudpCmdIDtoString(cmdID_cts_stc_OpenSession), "OpenSession");
  EXPECT_STREQ(dbgudpCmdIDtoString(cmdID_cts_stc_SetInterval), "SetInterval");
  EXPECT_STREQ(dbgudpCmdIDtoString(cmdID_cts_stc_ClearKAStatus), "ClearKAStatus");
  EXPECT_STREQ(dbgudpCmdIDtoString(cmdID_cts_stc_SetWiFiParameters), "SetWiFiParameters");
  EXPECT_STREQ(dbgudpCmdIDtoString(cmdID_cts_stc_GetWiFiParameters), "GetWiFiParameters");
  EXPECT_STREQ(dbgudpCmdIDtoString(cmdID_cts_stc_DeleteFileFromSDCard), "DeleteFileFromSDCard");
  EXPECT_STREQ(dbgudpCmdIDtoString(cmdID_cts_stc_GetBatteryStatus), "GetBatteryStatus_fw13955");
}

TEST(DbgudpCmdIDtoString, DeprecatedCommandsAndGetFileInfo1HaveNoName) {
  EXPECT_STREQ(dbgudpCmdIDtoString(cmdID_DEPRECATED_5), "?cmdID? 5");
  EXPECT_STREQ(dbgudpCmdIDtoString(cmdID_DEPRECATED_34), "?cmdID? 34");
  EXPECT_STREQ(dbgudpCmdIDtoString(cmdID_cts_stc_GetFileInfo1), "?cmdID? 32");
}

TEST(DbgudpCmdIDtoString, ValuesOutsideTheTableGiveTheirNumber) {
  EXPECT_STREQ(dbgudpCmdIDtoString((cmdID)0), "?cmdID? 0");
  EXPECT_STREQ(dbgudpCmdIDtoString((cmdID)25), "?cmdID? 25");
  EXPECT_STREQ(dbgudpCmdIDtoString((cmdID)124), "?cmdID? 124");
  EXPECT_STREQ(dbgudpCmdIDtoString((cmdID)65535), "?cmdID? 65535");
}

TEST(DbgudpCmdIDtoString, ExactlyFortyNineDistinctIdentifiersHaveNames) {
  std::set<std::string> names;
  int named = 0;
  for (unsigned id = 0; id <= 0x3FFF; id++) {
    std::string name = dbgudpCmdIDtoString((cmdID)id);
    if (name.rfind("?cmdID?", 0) == 0) continue;
    named++;
    names.insert(name);
  }
  EXPECT_EQ(named, 49);
  EXPECT_EQ(names.size(), 49u);
}

// ---- Header dump --------------------------------------------------------------------------------

class DbgudpHeaderToString : public ::testing::Test {
 protected:
  DbgudpHeaderToString() : inst_(options()) {}
  static camhost::Options options() {
    camhost::Options o;
    o.clock = camhost::ClockKind::Virtual;
    return o;
  }
  // The dump's buffer comes from the kernel heap, so it is made on a kernel thread.
  std::string dump(const cts_stc_MessageHeader_t* hdr) {
    std::string text;
    EXPECT_TRUE(inst_.call([&] { text = dbgudpHeaderToString(hdr); }));
    return text;
  }
  static cts_stc_MessageHeader_t sample() {
    cts_stc_MessageHeader_t hdr = {};
    hdr.msgLength = 36;
    ctsStcHeader_setCmdID(&hdr, cmdID_cts_stc_SetContrast);
    hdr.cmdSequenceNumber = 17;
    hdr.packetSequenceNumber = 4000000000u;
    hdr.cameraMSecsSinceBoot = 123456;
    hdr.serverMSecsSinceOpenSession = 0;
    const uint16_t id[6] = {0x0001, 0xABCD, 0x00FF, 0x1234, 0xFFFF, 0x0000};
    memcpy(hdr.cameraID, id, sizeof(id));
    return hdr;
  }
  camhost::Instance inst_;
};

TEST_F(DbgudpHeaderToString, ShowsNameCountersIdentityAndBodyLength) {
  cts_stc_MessageHeader_t hdr = sample();
  EXPECT_EQ(dump(&hdr),
            "cmd SetContrast, cmdSeq 17, pktSeq 4000000000, camMS 123456, srvMS 0, "
            "0001-ABCD-00FF-1234-FFFF-0000 [4]");
}

TEST_F(DbgudpHeaderToString, ErrorBitsDoNotHideTheCommandName) {
  cts_stc_MessageHeader_t hdr = sample();
  ctsStcHeader_setPersistentError(&hdr, true);
  ctsStcHeader_setTemporaryError(&hdr, true);
  EXPECT_EQ(dump(&hdr).rfind("cmd SetContrast, ", 0), 0u);
}

TEST_F(DbgudpHeaderToString, AnUnnamedCommandShowsItsNumber) {
  cts_stc_MessageHeader_t hdr = sample();
  ctsStcHeader_setCmdID(&hdr, 99);
  EXPECT_EQ(dump(&hdr).rfind("cmd ?cmdID? 99, cmdSeq 17, ", 0), 0u);
}

TEST_F(DbgudpHeaderToString, ALengthShorterThanTheHeaderShowsANegativeBody) {
  cts_stc_MessageHeader_t hdr = sample();
  hdr.msgLength = 0;
  std::string text = dump(&hdr);
  EXPECT_EQ(text.substr(text.size() - 6), " [-32]") << text;
}

TEST_F(DbgudpHeaderToString, TheLargestValuesFitTheBuffer) {
  cts_stc_MessageHeader_t hdr;
  memset(&hdr, 0xFF, sizeof(hdr));
  EXPECT_EQ(dump(&hdr),
            "cmd ?cmdID? 16383, cmdSeq 4294967295, pktSeq 4294967295, camMS 4294967295, "
            "srvMS 4294967295, FFFF-FFFF-FFFF-FFFF-FFFF-FFFF [65503]");
}

TEST_F(DbgudpHeaderToString, NoHeaderGivesAnEmptyText) { EXPECT_EQ(dump(nullptr), ""); }

TEST_F(DbgudpHeaderToString, OneBufferIsAllocatedAndReused) {
  cts_stc_MessageHeader_t hdr = sample();
  char* first = nullptr;
  char* second = nullptr;
  int heapAfterFirst = 0;
  int heapAfterSecond = 0;
  ASSERT_TRUE(inst_.call([&] {
    first = dbgudpHeaderToString(&hdr);
    heapAfterFirst = os_avail_heap();
    second = dbgudpHeaderToString(&hdr);
    heapAfterSecond = os_avail_heap();
  }));
  EXPECT_EQ(first, second);
  EXPECT_EQ(heapAfterFirst, heapAfterSecond);
}

TEST_F(DbgudpHeaderToString, AnExhaustedHeapGivesAnEmptyTextAndALaterCallRetries) {
  cts_stc_MessageHeader_t hdr = sample();
  std::string whileExhausted;
  std::string afterFree;
  ASSERT_TRUE(inst_.call([&] {
    std::vector<void*> blocks;
    while (void* p = os_alloc(64)) blocks.push_back(p);
    whileExhausted = dbgudpHeaderToString(&hdr);
    for (void* p : blocks) os_free(p);
    afterFree = dbgudpHeaderToString(&hdr);
  }));
  EXPECT_EQ(whileExhausted, "");
  EXPECT_EQ(afterFree.rfind("cmd SetContrast, ", 0), 0u);
}

}  // namespace
