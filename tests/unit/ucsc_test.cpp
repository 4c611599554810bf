// The UDP control plane's tricky parts without a network: the length table, the error bits, the
// outgoing header, the packet queues, layer 1's checks and sequence rule, and the dispatcher's
// wait for the camera ID.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "board_fixture.h"  // boardLogMessages
#include "ginf_fixture.h"
#include "host_fixture.h"
#include "iupqIncomingUDPPacketQueue/iupqIncomingUDPPacketQueue.h"
#include "lwip/pbuf.h"
#include "lwip/tcpip.h"
#include "lwip/udp.h"
#include "ucscUDPCameraServerCommon/ucscUDPCameraServerCommon.h"
#include "ucsl1UDPCameraServerLayer1/ucsl1UDPCameraServerLayer1.h"
#include "sysstateSystemState/sysstateSystemState.h"
#include "ucsl3UDPCameraServerLayer3/ucsl3UDPCameraServerLayer3.h"

namespace {

std::vector<uint8_t> Datagram(uint16_t id, uint32_t cmdSeq, size_t length) {
  std::vector<uint8_t> b(length, 0);
  b[0] = length & 0xFF;
  b[1] = length >> 8;
  b[2] = id & 0xFF;
  b[3] = (id >> 8) & 0x3F;
  memcpy(&b[4], &cmdSeq, 4);
  return b;
}

}  // namespace

TEST(UcscLengths, EachCommandHasItsLengthInEachDirectionAndTheRestNone) {
  struct Case {
    uint16_t id;
    uint32_t stc, cts;
  } cases[] = {{1, 68, 88},   {2, 56, 36},   {3, 44, 36},   {4, 32, 112},  {24, 32, 180},
               {125, 36, 32}, {37, 36, 36},  {36, 48, 144}, {31, 56, 56},  {131, 56, 56},
               {138, 48, 36}, {123, 48, 48}, {0, 0, 0},     {5, 0, 0},     {32, 0, 0},
               {114, 0, 0},   {124, 0, 0},   {139, 0, 0},   {0x3FFF, 0, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(ucscGetLengthFromCommandID(c.id, UDP_DIRECTION_STC), c.stc) << c.id;
    EXPECT_EQ(ucscGetLengthFromCommandID(c.id, UDP_DIRECTION_CTS), c.cts) << c.id;
  }
}

TEST(UcscUserCommands, OnlyLiveViewAndTheSetsAPersonMakesCount) {
  for (int id = 0; id < 200; id++) {
    bool user = id == 3 || (id >= 107 && id <= 113) || (id >= 115 && id <= 123) || id == 135 ||
                id == 137 || id == 138;
    EXPECT_EQ(ucscIsUserGeneratedUICommand(static_cast<cmdID>(id)), user) << id;
  }
}

TEST(UcscErrorBits, ThreeResultsArePersistentEveryOtherNegativeOneTemporary) {
  struct Case {
    errorCodes result;
    bool persistent, temporary;
  } cases[] = {{ERRORCODE_PERSISTENT_ERROR, true, false}, {ERRORCODE_BAD_ARG, true, false},
               {ERRORCODE_BAD_CMD, true, false},          {ERRORCODE_GENERIC, false, true},
               {ERRORCODE_SD_NOT_PRESENT, false, true},   {ERRORCODE_TEMPORARY_ERROR, false, true},
               {ERRORCODE_FRAME_FILE_MISSING, false, true}, {ERRORCODE_SUCCESS, false, false},
               {static_cast<errorCodes>(7), false, false}};
  for (const Case& c : cases) {
    cts_stc_MessageHeader_t h = {};
    ctsStcHeader_setCmdID(&h, cmdID_cts_stc_SetContrast);
    ucscMarkHeaderErrorBasedOnResult(&h, c.result);
    EXPECT_EQ(ctsStcHeader_getPersistentError(&h), c.persistent) << c.result;
    EXPECT_EQ(ctsStcHeader_getTemporaryError(&h), c.temporary) << c.result;
    EXPECT_EQ(ctsStcHeader_getCmdID(&h), cmdID_cts_stc_SetContrast);
  }
  ucscMarkHeaderErrorBasedOnResult(nullptr, ERRORCODE_BAD_ARG);  // changes nothing, and survives
}

// Layer 1 and the queues on the kernel, with lwIP's thread running and no camera ID yet.
class Layer1 : public OnKernel {
 protected:
  void SetUp() override {
    inKernel([] {
      ucscUDPCameraServerCommon_Init();
      ucsl1UDPCameraServerLayer1_Init();
      os_semaphore up;
      os_sem_init(&up, 0);
      tcpip_init([](void* s) { os_sem_post(static_cast<os_semaphore*>(s)); }, &up);
      os_sem_wait(&up);
      ASSERT_TRUE(ucsl1UDPCameraServerLayer1_Open());
    });
  }
  void inKernel(const std::function<void()>& fn) { ASSERT_TRUE(inst.call(fn)); }

  // Hands `bytes` to the receive callback as lwIP would, in `pieces` chained pbufs.
  void Receive(const std::vector<uint8_t>& bytes, int pieces = 1, udp_pcb* pcb = nullptr) {
    inKernel([&] {
      LOCK_TCPIP_CORE();
      pbuf* p = nullptr;
      size_t at = 0;
      for (int i = 0; i < pieces; i++) {
        size_t n = i + 1 == pieces ? bytes.size() - at : bytes.size() / pieces;
        pbuf* q = pbuf_alloc(PBUF_TRANSPORT, static_cast<u16_t>(n), PBUF_RAM);
        if (n > 0) memcpy(q->payload, bytes.data() + at, n);
        at += n;
        if (p == nullptr) {
          p = q;
        } else {
          pbuf_cat(p, q);
        }
      }
      ip_addr_t from;
      IP_ADDR4(&from, 10, 0, 2, 2);
      ucsl1ReceivedCallback(nullptr, pcb != nullptr ? pcb : ucsl1PCB, p, &from, 46103);
      UNLOCK_TCPIP_CORE();
    });
  }
  uint32_t L2() { return iupqGetNumPacketsInQueue(ucsc_layer2PacketQueueHandle); }
  uint32_t L3() { return iupqGetNumPacketsInQueue(ucsc_layer3PacketQueueHandle); }
  int Logged(const std::string& prefix) {
    int n = 0;
    for (const std::string& m : boardLogMessages(inst.console())) n += m.rfind(prefix, 0) == 0;
    return n;
  }
};

TEST_F(Layer1, TheSequenceRuleTossesAnythingNotNewerAndOpenSessionStartsItAgain) {
  struct Step {
    uint16_t id;
    uint32_t cmdSeq;
    uint32_t l2, l3;  // queue lengths after the step
  } steps[] = {
      {108, 5, 0, 1},  // new
      {108, 5, 0, 1},  // the same number again: tossed
      {8, 4, 0, 1},    // older: tossed
      {8, 6, 0, 2},    // newer
      {1, 0, 1, 2},    // the server's OpenSession, whatever its number: starts the rule again
      {8, 1, 1, 3},    // so 1 is new again
      {125, 2, 2, 3},  // ClearKAStatus goes to layer 2
      {2, 3, 3, 3},    // and so does KeepAlive
  };
  for (const Step& s : steps) {
    Receive(Datagram(s.id, s.cmdSeq, ucscGetLengthFromCommandID(s.id, UDP_DIRECTION_STC)));
    EXPECT_EQ(L2(), s.l2) << s.id << "/" << s.cmdSeq;
    EXPECT_EQ(L3(), s.l3) << s.id << "/" << s.cmdSeq;
  }
  EXPECT_EQ(Logged("Tossing (CMDSeqNum <= highest; diff=0) cmd SetContrast"), 1);
  EXPECT_EQ(Logged("Tossing (CMDSeqNum <= highest; diff=1) cmd GetContrast"), 1);
  EXPECT_EQ(Logged("Rx OpenSession - Resetting highestCMDSeqNum to 0"), 1);
}

TEST_F(Layer1, MalformedDatagramsAreCountedOrLoggedAndNeverQueued) {
  struct Case {
    std::vector<uint8_t> bytes;
    int pieces;
    const char* log;
  } cases[] = {
      {Datagram(108, 10, 69), 1, "ERROR!! UDP message received was larger than max size: 69 > 68"},
      {Datagram(1, 10, 68), 2, "ERROR!! UDP message received was fragmented: 68 != 34"},
      {Datagram(108, 10, 20), 1, "ERROR!! UDP message received was shorter than its header"},
      {Datagram(108, 10, 35), 1, "ERROR!! length 35 != expected 36 for cmdID 108"},
      {Datagram(32, 10, 32), 1, "ERROR!! length 32 != expected 0 for cmdID 32"},
  };
  for (const Case& c : cases) {
    Receive(c.bytes, c.pieces);
    EXPECT_EQ(Logged(c.log), 1) << c.log;
  }
  EXPECT_EQ(L2() + L3(), 0u);
  EXPECT_EQ(ucscRxCount, 5u);
  EXPECT_EQ(ucscRxTooBigCount, 1u);
  EXPECT_EQ(ucscRxFragmentedCount, 1u);
  // None of them moved the sequence rule: a command numbered 1 is still new.
  Receive(Datagram(8, 1, 32));
  EXPECT_EQ(L3(), 1u);
}

TEST_F(Layer1, ADatagramOnAnotherEndpointIsDropped) {
  udp_pcb* other = nullptr;
  inKernel([&] {
    LOCK_TCPIP_CORE();
    other = udp_new();
    UNLOCK_TCPIP_CORE();
  });
  Receive(Datagram(8, 3, 32), 1, other);
  EXPECT_EQ(L3(), 0u);
  EXPECT_EQ(Logged("ERROR!! UDP message received by an unexpected udp_pcb"), 1);
}

TEST_F(Layer1, AFullQueueDropsTheNewDatagramAndKeepsTheOthers) {
  for (uint32_t i = 1; i <= 6; i++) Receive(Datagram(2, i, 56));
  EXPECT_EQ(L2(), 5u);
  EXPECT_EQ(Logged("ERROR!! L2 queue full: cmd KeepAlive, cmdSeq 6"), 1);
  for (uint32_t i = 7; i <= 31; i++) Receive(Datagram(8, i, 32));
  EXPECT_EQ(L3(), 23u);
  EXPECT_EQ(Logged("ERROR!! L3 queue full"), 2);
  // The oldest come out first, whole.
  inKernel([] {
    uint8_t rx[UCSC_MAX_STC_MSG_BYTES];
    uint8_t tx[UCSC_MAX_CTS_MSG_BYTES];
    udpControlBlock_t cb = {SYSTIMER_NEVER, rx, tx, 0, 0, sizeof tx};
    for (uint32_t want = 7; want < 7 + 23; want++) {
      ASSERT_TRUE(iupqPopFromQueue(ucsc_layer3PacketQueueHandle, &cb, 0));
      EXPECT_EQ(cb.rxStcMsgBytes, 32);
      EXPECT_EQ(((cts_stc_MessageHeader_t*)rx)->cmdSequenceNumber, want);
    }
    EXPECT_FALSE(iupqPopFromQueue(ucsc_layer3PacketQueueHandle, &cb, 10));
  });
}

TEST_F(Layer1, CommandsWaitInTheQueueWhileTheCameraIDIsUnknown) {
  Receive(Datagram(8, 1, 32));
  Receive(Datagram(108, 2, 36));
  inKernel([] { ucsl3UDPCameraServerLayer3_Poll(SYSTIMER_NEVER); });
  EXPECT_EQ(L3(), 2u);
  EXPECT_EQ(Logged("Error!! Camera ID hasn't been read yet; can't process incoming command"), 1);
}

TEST(IupqQueues, PushRefusesBadHandlesAndOversizeAndPopWaitsOnlyAsLongAsAsked) {
  camhost::Options o;
  camhost::Instance inst(o);
  ASSERT_TRUE(inst.call([] {
    static incomingPacketStruct_t slots[2];
    int q = iupqOpenQueue("T", slots, 2);
    ASSERT_EQ(q, 0);
    EXPECT_EQ(iupqFindQueueByName("T"), 0);
    EXPECT_EQ(iupqFindQueueByName("none"), -1);
    uint8_t big[69] = {};
    systimer_t now = os_systime64();
    EXPECT_FALSE(iupqPushToQueue(q, big, sizeof big, nullptr, 0, &now));
    EXPECT_FALSE(iupqPushToQueue(5, big, 10, nullptr, 0, &now));
    EXPECT_EQ(iupqGetNumPacketsInQueue(5), 0u);
    uint8_t rx[UCSC_MAX_STC_MSG_BYTES];
    udpControlBlock_t cb = {SYSTIMER_NEVER, rx, nullptr, 0, 0, 0};
    systimer_t before = os_systime64();
    EXPECT_FALSE(iupqPopFromQueue(q, &cb, 250));
    EXPECT_EQ(os_systime64() - before, 250000u);
    // Around the ring more than once.
    for (uint8_t i = 0; i < 5; i++) {
      uint8_t b[3] = {i, i, i};
      ASSERT_TRUE(iupqPushToQueue(q, b, 3, nullptr, 0, &now));
      ASSERT_TRUE(iupqPopFromQueue(q, &cb, 0));
      EXPECT_EQ(rx[2], i);
    }
    iupqClearQueue(q);
    EXPECT_EQ(iupqGetNumPacketsInQueue(q), 0u);
  }));
}

// The outgoing header, with the camera ID read from the simulated board.
class OutgoingHeader : public GinfOnBoard {};

TEST_F(OutgoingHeader, TheOpeningRequestRestartsTheNumberingAndARepliesEchoesTheRequest) {
  start();
  inKernel([] {
    cts_stc_MessageHeader_t open;
    ASSERT_TRUE(ucscPrepareTXHeaderForCameraServer(nullptr, &open));
    EXPECT_EQ(ctsStcHeader_getCmdID(&open), cmdID_cts_stc_OpenSession);
    EXPECT_EQ(open.cmdSequenceNumber, 1u);
    EXPECT_EQ(open.packetSequenceNumber, 1u);
    EXPECT_EQ(open.msgLength, 88);
    EXPECT_EQ(open.cameraID[0], 0x1A2B);

    cts_stc_MessageHeader_t rx = open;
    ctsStcHeader_setCmdID(&rx, cmdID_cts_stc_SetContrast);
    ctsStcHeader_setTemporaryError(&rx, true);
    rx.cmdSequenceNumber = 77;
    rx.serverMSecsSinceOpenSession = 1234;
    cts_stc_MessageHeader_t reply;
    ASSERT_TRUE(ucscPrepareTXHeaderForCameraServer(&rx, &reply));
    EXPECT_EQ(ctsStcHeader_getCmdID(&reply), cmdID_cts_stc_SetContrast);
    EXPECT_FALSE(ctsStcHeader_getTemporaryError(&reply));
    EXPECT_EQ(reply.cmdSequenceNumber, 77u);
    EXPECT_EQ(reply.serverMSecsSinceOpenSession, 1234u);
    EXPECT_EQ(reply.packetSequenceNumber, 2u);
    EXPECT_EQ(reply.msgLength, 36);

    rx.cameraID[5] ^= 1;
    EXPECT_FALSE(ucscPrepareTXHeaderForCameraServer(&rx, &reply));
    EXPECT_TRUE(ucscPrepareTXHeaderForCameraServer(nullptr, &open));
    EXPECT_EQ(open.packetSequenceNumber, 1u);
  });
  EXPECT_EQ(loggedStartingWith("Camera ID in rxMsgHeader does not match our globalCameraID"), 1);
}

// The dispatcher against the simulated board's STM32.
class Dispatcher : public GinfOnBoard {
 protected:
  void Queue(uint16_t id, uint32_t cmdSeq, int32_t value) {
    std::vector<uint8_t> b = Datagram(id, cmdSeq, ucscGetLengthFromCommandID(id, UDP_DIRECTION_STC));
    static const uint16_t kId[6] = {0x1A2B, 0x3C4D, 0x5E6F, 0x7081, 0x92A3, 0xB4C5};
    memcpy(&b[20], kId, sizeof kId);
    if (b.size() >= 36) memcpy(&b[32], &value, 4);
    inKernel([&] {
      systimer_t now = os_systime64();
      ASSERT_TRUE(iupqPushToQueue(ucsc_layer3PacketQueueHandle, b.data(), b.size(), nullptr, 0, &now));
    });
  }
  int IndexOf(const std::string& prefix) {
    std::vector<std::string> m = boardLogMessages(inst.console());
    for (size_t i = 0; i < m.size(); i++)
      if (m[i].find(prefix) != std::string::npos) return static_cast<int>(i);
    return -1;
  }
};

TEST_F(Dispatcher, CommandsQueuedBeforeTheCameraIDIsKnownRunInOrderOnceItIs) {
  stm32();
  inKernel([] {
    ucscUDPCameraServerCommon_Init();
    ucsl1UDPCameraServerLayer1_Init();
    os_semaphore up;
    os_sem_init(&up, 0);
    tcpip_init([](void* s) { os_sem_post(static_cast<os_semaphore*>(s)); }, &up);
    os_sem_wait(&up);
  });
  Queue(cmdID_cts_stc_SetContrast, 1, 6);
  Queue(cmdID_cts_stc_GetContrast, 2, 0);
  inKernel([] { ucsl3UDPCameraServerLayer3_Poll(SYSTIMER_NEVER); });
  EXPECT_EQ(fromKernel([] { return iupqGetNumPacketsInQueue(ucsc_layer3PacketQueueHandle); }), 2u);
  start(false);
  inst.run_for(3 * kGinfSec);
  inKernel([] {
    sysstate_setWiFiConnectedToAPState(true);  // after the mirror's own Wi-Fi restart
    ucsl3UDPCameraServerLayer3_Poll(SYSTIMER_NEVER);
  }, 6);
  EXPECT_EQ(fromKernel([] { return iupqGetNumPacketsInQueue(ucsc_layer3PacketQueueHandle); }), 0u);
  int set = IndexOf("handling cmd SetContrast, cmdSeq 1");
  int get = IndexOf("handling cmd GetContrast, cmdSeq 2");
  ASSERT_GE(set, 0) << inst.console();
  EXPECT_GT(get, set);
  EXPECT_EQ(ginfLE(lastRequest(CMD_setContrast), 12, 4), 6u);
  EXPECT_EQ(stm32().state().capture.contrast, 6);
}
