// Commands end to end: every handler's reply and error bit, the refusals, and what the camera
// drops without a word.
#include <gtest/gtest.h>

#include "udp_fixture.h"

using camserver::Bytes;

class UdpCommands : public UdpWorld {
 protected:
  void SetUp() override {
    UdpWorld::SetUp();
    ASSERT_TRUE(Open());
  }
  // How many datagrams other than keep-alive traffic came back for `b` within 2 s.
  size_t Answers(const Bytes& b) {
    size_t n = 0;
    for (const Bytes& r : Raw(b)) {
      uint16_t id = camserver::get16(r, 2) & camserver::kCmdIDMask;
      n += id != camserver::kKeepAlive && id != camserver::kClearKAStatus;
    }
    return n;
  }
};

TEST_F(UdpCommands, ASetReachesTheStm32AndTheNextGetReturnsIt) {
  struct Case {
    const char* name;
    int32_t value;
  } cases[] = {{"contrast", 7},       {"exposurevalue", -3}, {"whitebalance", 4},
               {"hdr", 1},            {"resolution", 2},     {"noisefilter", -2},
               {"saturation", 6},     {"sharpness", 3},      {"exposuremode", 2},
               {"filesplit", 1},      {"flickerfilter", 1},  {"playbackrate", 24},
               {"embedtimestamp", 0}, {"interval", 30},      {"overwrite", 1}};
  for (const Case& c : cases) {
    const camserver::SettingInfo* s = camserver::setting_info(c.name);
    ASSERT_NE(s, nullptr) << c.name;
    camserver::Reply set = Set(s->set, c.value);
    ASSERT_TRUE(set.received) << c.name;
    EXPECT_FALSE(set.error()) << c.name << " " << set.text();
    EXPECT_EQ(Value(set), c.value) << c.name;
    camserver::Reply get = Command(s->get, Bytes(4, 0));
    EXPECT_FALSE(get.error()) << c.name;
    EXPECT_EQ(Value(get), c.value) << c.name;
  }
  EXPECT_EQ(board.stm32().state().capture.contrast, 7);
}

TEST_F(UdpCommands, ARefusedSetCarriesTheErrorBitOfItsResultAndTheSameSequenceNumber) {
  struct Case {
    int32_t stm32Result;
    bool persistent;
  } cases[] = {{-103, false}, {-106, false}, {-109, true}, {-111, true}, {-112, true}};
  Serve(2 * kSec);  // the session's own exchanges with the STM32 are done
  for (const Case& c : cases) {
    board.stm32().set_fault(sim::Stm32Fault::kErrorResult, 1, c.stm32Result);
    camserver::Reply r = Set(camserver::kSetContrast, 5);
    ASSERT_TRUE(r.received) << c.stm32Result;
    EXPECT_EQ(r.header.persistentError, c.persistent) << c.stm32Result;
    EXPECT_EQ(r.header.temporaryError, !c.persistent) << c.stm32Result;
  }
}

TEST_F(UdpCommands, TheScheduleAndReportsAnswerWithTheirBodies) {
  Bytes schedule;
  for (uint32_t i = 0; i < 4; i++) camserver::put32(schedule, 4 * i, std::vector<uint32_t>{1, 3600, 7200, 0x7F}[i]);
  camserver::Reply set = Command(camserver::kSetSchedule, schedule);
  EXPECT_FALSE(set.error()) << set.text();
  camserver::Reply get = Command(camserver::kGetSchedule);
  EXPECT_EQ(camserver::get32(get.bytes, 36), 3600u);
  EXPECT_EQ(camserver::get32(get.bytes, 44), 0x7Fu);

  camserver::Reply stats = Command(camserver::kGetStatisticsReport);
  ASSERT_FALSE(stats.error());
  EXPECT_EQ(stats.bytes.size(), 112u);
  EXPECT_EQ(camserver::get32(stats.bytes, 32 + 12), 1u) << "sessionOpened.count";

  camserver::Reply wifi = Command(camserver::kGetWiFiParameters, Bytes(24, 0));
  EXPECT_FALSE(wifi.error());
  EXPECT_EQ(wifi.bytes.size(), 56u);
}

TEST_F(UdpCommands, WithAnSdCardTheStatusSaysMounted) {
  camserver::Reply with = Command(camserver::kGetSDCardStatus);
  ASSERT_FALSE(with.error());
  EXPECT_EQ(with.bytes[32], 1);
  EXPECT_EQ(camserver::get32(with.bytes, 36), 29000u) << "freeSpaceMB";
}

class UdpNoCard : public UdpWorld {};

TEST_F(UdpNoCard, WithoutAnSdCardTheStatusSaysNotMounted) {
  board.stm32().sd_card_removed();
  ASSERT_TRUE(Open());
  camserver::Reply without = Command(camserver::kGetSDCardStatus);
  ASSERT_FALSE(without.error()) << without.text();
  EXPECT_EQ(without.bytes[32], 0);
}

TEST_F(UdpCommands, RecordingIsStartedAndStoppedAndBlocksTheSetsThatMustWait) {
  camserver::Reply on = Set(camserver::kSetEnableRecording, 1);
  ASSERT_FALSE(on.error()) << on.text();
  EXPECT_EQ(Value(on), 1);
  EXPECT_EQ(board.stm32().mode(), 2);
  camserver::Reply blocked = Set(120, 3);
  EXPECT_TRUE(blocked.header.temporaryError) << blocked.text();
  camserver::Reply off = Set(camserver::kSetEnableRecording, 0);
  EXPECT_EQ(Value(off), 0);
  EXPECT_EQ(board.stm32().mode(), 0);
}

TEST_F(UdpCommands, TheDataConnectionAndLiveViewReportTheirFailureInTheBody) {
  Bytes tcp;
  camserver::put16(tcp, 0, 40000);
  camserver::Reply r = Command(camserver::kStartTCPConnection, tcp);
  ASSERT_FALSE(r.error());
  EXPECT_EQ(static_cast<int32_t>(camserver::get32(r.bytes, 32)), -110);
  Bytes lv(12, 0);
  camserver::put32(lv, 0, 10);
  camserver::put16(lv, 4, 40000);
  camserver::Reply live = Command(camserver::kLiveView, lv);
  ASSERT_FALSE(live.error());
  EXPECT_EQ(static_cast<int16_t>(camserver::get16(live.bytes, 32)), -110);
}

TEST_F(UdpCommands, AWrongLengthOrAnotherCamerasIDGetsNoReply) {
  Bytes shortSet = Request(camserver::kSetContrast, 35);
  EXPECT_EQ(Answers(shortSet), 0u);
  Bytes fileInfo1 = Request(32, 32);  // GetFileInfo1 and the deprecated identifiers
  EXPECT_EQ(Answers(fileInfo1), 0u);
  Bytes stranger = Request(camserver::kGetContrast, 32);
  camserver::put16(stranger, 30, 0xDEAD);
  EXPECT_EQ(Answers(stranger), 0u);
  EXPECT_EQ(CountLogged("ERROR!! Camera ID incorrect"), 1);
  EXPECT_EQ(CountLogged("tossing packet"), 2);
  // The camera still answers what is right.
  EXPECT_FALSE(Command(camserver::kGetContrast).error());
}

TEST_F(UdpCommands, ARepeatedCommandNumberIsTossedSoARepeatedDatagramGetsOneReply) {
  Bytes set = Request(camserver::kSetContrast, 36);
  camserver::put32(set, 32, 4);
  std::vector<Bytes> back;
  OnKernel([&] {
    server->raw(set, 0);
    back = server->raw(set, 2 * kSec);
  });
  size_t replies = 0;
  for (const Bytes& r : server->received())
    replies += (camserver::get16(r, 2) & camserver::kCmdIDMask) == camserver::kSetContrast;
  EXPECT_EQ(replies, 1u);
  EXPECT_EQ(CountLogged("Tossing (CMDSeqNum <= highest; diff=0) cmd SetContrast"), 1);
}

TEST_F(UdpCommands, HostileDatagramsNeverCrashOrCorruptTheCamera) {
  Bytes lying = Request(camserver::kGetContrast, 32);
  camserver::put16(lying, 0, 60000);  // msgLength says more than came
  Bytes tooBig = Request(camserver::kSetContrast, 69);
  Bytes huge(1400, 0xA5);
  Bytes fragments(3000, 0x5A);  // more than a link frame holds: it arrives in IP fragments
  Bytes truncated(10, 0x01);
  Bytes zeros(32, 0);
  Bytes noise;
  uint32_t x = 7;
  for (int i = 0; i < 68; i++) noise.push_back(static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24));
  for (const Bytes& b : {lying, tooBig, huge, fragments, truncated, zeros, noise}) Raw(b, kSec / 2);
  EXPECT_GE(CountLogged("ERROR!! UDP message received was larger than max size"), 3);
  EXPECT_EQ(CountLogged("ERROR!! UDP message received was shorter than its header: 10 < 32"), 1);
  camserver::Reply after = Set(camserver::kSetContrast, -4);
  EXPECT_FALSE(after.error()) << after.text();
  EXPECT_EQ(Value(after), -4);
  EXPECT_TRUE(server->session().open);
}

TEST_F(UdpCommands, AFloodOfCommandsIsAnsweredAsFarAsTheStackTakesItAndLeavesTheCameraWorking) {
  std::vector<Bytes> flood;
  for (int i = 0; i < 40; i++) flood.push_back(Request(camserver::kGetInterval, 32));
  OnKernel([&] {
    for (const Bytes& b : flood) server->raw(b, 0);
    server->serve_until(server->waiter().now_us() + 5 * kSec);
  });
  size_t replies = 0;
  for (const Bytes& r : server->received())
    replies += (camserver::get16(r, 2) & camserver::kCmdIDMask) == camserver::kGetInterval;
  EXPECT_GE(replies, 1u);
  EXPECT_LE(replies, 40u);
  EXPECT_FALSE(Command(camserver::kGetInterval).error());
}

TEST_F(UdpCommands, AnIdleSessionLetsTheRadioSleepOnceItsFullPowerWindowEnds) {
  Serve(160 * kSec);
  EXPECT_GE(CountLogged("enabled low power mode"), 1);
}

TEST_F(UdpCommands, ATossedRepeatOfAUserCommandStillKeepsTheRadioAtFullPower) {
  Serve(100 * kSec);
  Bytes stale = Request(camserver::kSetContrast, 36);
  camserver::put32(stale, 4, 1);  // a number long since seen
  EXPECT_EQ(Answers(stale), 0u);
  EXPECT_EQ(CountLogged("Tossing (CMDSeqNum <= highest"), 1);
  Serve(60 * kSec);
  EXPECT_EQ(CountLogged("enabled low power mode"), 0);
}
