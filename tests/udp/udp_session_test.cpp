// The session end to end: opening with redirection, the back-off without a server, silence and
// Wi-Fi loss, keep-alives and the server clock, status bits and pairing.
#include <gtest/gtest.h>

#include "udp_fixture.h"

using camserver::Bytes;

namespace {

// The microsecond values of the "Didn't receive redirection response after %u uSecs" lines.
std::vector<uint64_t> RedirectionTimeouts(const std::string& console) {
  std::vector<uint64_t> out;
  const std::string key = "Didn't receive redirection response after ";
  for (const std::string& l : Lines(console)) {
    size_t at = l.find(key);
    if (at != std::string::npos) out.push_back(std::stoull(l.substr(at + key.size())));
  }
  return out;
}

}  // namespace

class UdpSession : public UdpWorld {};

TEST_F(UdpSession, OpensWithTheRedirectionTokenAndAnswersKeepAlives) {
  ASSERT_TRUE(Open()) << inst.console();
  EXPECT_EQ(CountLogged("New server address: camserver.camlink.test port 46103"), 1);
  std::string token = camserver::token_text(server->session().token);
  EXPECT_EQ(CountLogged("REDIRECTING -- IP: 10.0.2.2, Port: 46103, token: " + token), 1);
  EXPECT_EQ(CountLogged("3 - sessionOpen"), 1);
  // The opening burst carries packet and command sequence number 1; the redirected request
  // carries the token and the next packet number.
  camserver::Header first, redirected;
  ASSERT_TRUE(camserver::decode_header(server->received().front(), &first));
  EXPECT_EQ(first.packetSequenceNumber, 1u);
  EXPECT_EQ(first.cmdSequenceNumber, 1u);
  Bytes last_open;
  for (const Bytes& b : server->received())
    if (camserver::get16(b, 2) == camserver::kOpenSession) last_open = b;
  ASSERT_TRUE(camserver::decode_header(last_open, &redirected));
  EXPECT_EQ(redirected.packetSequenceNumber, 2u);
  EXPECT_EQ(camserver::get32(last_open, 36), server->session().token[0]);
  EXPECT_EQ(camserver::get32(last_open, 48), server->session().token[3]);

  Serve(35 * kSec);
  EXPECT_GE(server->session().keepalives_answered, 4u);
  EXPECT_EQ(server->session().sessions_opened, 1u);
}

TEST_F(UdpSession, WithoutAServerTheRequestsGoOutInBurstsOfThreeWithATenthLongerWaitEachTime) {
  ASSERT_TRUE(BootAndJoin());
  inst.run_for(60 * kSec);  // nothing serves: the requests go unanswered
  std::vector<uint64_t> t = RedirectionTimeouts(inst.console());
  ASSERT_GE(t.size(), 3u);
  EXPECT_EQ(t[0], 5000000u);
  EXPECT_EQ(t[1], 5500000u);
  EXPECT_EQ(t[2], 6050000u);
  // Every attempt is a burst of three, 200 ms apart.
  std::vector<std::string> sent = LinesWith(inst.console(), "sent: cmd OpenSession");
  ASSERT_GE(sent.size(), 9u);
  for (size_t i = 0; i + 2 < 9; i += 3) {
    EXPECT_EQ(Micros(sent[i + 1]) - Micros(sent[i]), 200000u);
    EXPECT_EQ(Micros(sent[i + 2]) - Micros(sent[i + 1]), 200000u);
  }
  // Between bursts: the wait, the 3 s pause, and at most 4 s of polling delay.
  for (size_t b = 1; b < 3; b++) {
    uint64_t gap = Micros(sent[3 * b]) - Micros(sent[3 * b - 1]);
    EXPECT_GE(gap, t[b - 1] + 3 * kSec) << b;
    EXPECT_LE(gap, t[b - 1] + 200000 + 3 * kSec + 4 * kSec) << b;
  }
  // A server that starts answering gets the session.
  Serve(40 * kSec);
  EXPECT_TRUE(server->session().open);
}

TEST_F(UdpSession, SilenceOfMoreThanThirtySecondsClosesTheSessionAndTheNextOneOpensAtOnce) {
  ASSERT_TRUE(Open());
  inst.run_for(40 * kSec);  // the server says nothing
  EXPECT_EQ(CountLogged("Auto-closing session"), 1);
  EXPECT_EQ(CountLogged("sessionIsOpen: 0"), 1);
  Serve(20 * kSec);
  EXPECT_EQ(server->session().sessions_opened, 2u);
  EXPECT_TRUE(server->session().open);
}

TEST_F(UdpSession, AWiFiLossClosesTheSessionAndItReopensAfterTheLinkReturns) {
  ASSERT_TRUE(Open());
  link.cut();
  Serve(20 * kSec);
  EXPECT_GE(CountLogged("sessionIsOpen: 0"), 1) << inst.console();
  link.restore();
  Serve(90 * kSec);
  EXPECT_EQ(server->session().sessions_opened, 2u);
}

TEST_F(UdpSession, TheServerClockIsTakenWithTheServersAuthorityAndWrittenToTheStm32) {
  ASSERT_TRUE(Open());
  Serve(2 * kSec);
  std::vector<std::string> writes = board.stm32().clock_writes();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.front().substr(0, 19), "2026-01-01T00:00:04");
  EXPECT_EQ(CountLogged("Queued initial clock update to ST from authority 3 -> 5"), 1);
}

// A keep-alive as the server would send it, with its own packet number, clock text and camera ID.
class UdpKeepAlive : public UdpWorld {
 protected:
  Bytes KeepAlive(uint32_t pktSeq, const std::string& clock, uint16_t idWord0) {
    Bytes b = Request(camserver::kKeepAlive, 56);
    camserver::put32(b, 8, pktSeq);
    camserver::put16(b, 20, idWord0);
    for (size_t i = 0; i < clock.size() && i < 21; i++) b[32 + i] = clock[i];
    return b;
  }
  // The module's clock as it writes it to the STM32 when recording stops.
  std::string ModuleClock() {
    board.stm32().clear_record();
    EXPECT_FALSE(Set(camserver::kSetEnableRecording, 1).error());
    EXPECT_FALSE(Set(camserver::kSetEnableRecording, 0).error());
    Serve(kSec);
    std::vector<std::string> w = board.stm32().clock_writes();
    return w.empty() ? "" : w.back();
  }
};

TEST_F(UdpKeepAlive, AStalePacketNumberIsAnsweredButDoesNotMoveTheClock) {
  ASSERT_TRUE(Open());
  Serve(kSec);  // the server's first keep-alive sets the clock
  std::vector<Bytes> back = Raw(KeepAlive(1, "2030-06-01T12:00:00", server->session().camera_id[0]));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(camserver::get16(back[0], 2), camserver::kKeepAlive);
  EXPECT_EQ(CountLogged("stale clock, no update"), 1);
  EXPECT_EQ(ModuleClock().substr(0, 10), "2026-01-01");
}

TEST_F(UdpKeepAlive, OneForAnotherCameraGetsNoReplyAndSetsNoClock) {
  ASSERT_TRUE(Open());
  Serve(kSec);
  uint16_t other = static_cast<uint16_t>(server->session().camera_id[0] ^ 0xFFFF);
  std::vector<Bytes> back = Raw(KeepAlive(900, "2030-06-01T12:00:00", other));
  EXPECT_TRUE(back.empty());
  EXPECT_EQ(CountLogged("ERROR!! Camera ID incorrect"), 1);
  EXPECT_EQ(ModuleClock().substr(0, 10), "2026-01-01");
  // The next genuine keep-alive is still taken: the stranger's packet number was not either.
  EXPECT_EQ(Raw(KeepAlive(800, "2029-02-03T04:05:06", server->session().camera_id[0])).size(), 1u);
  EXPECT_EQ(ModuleClock().substr(0, 13), "2029-02-03T04");
}

TEST_F(UdpKeepAlive, AClockFieldWithoutRoomForItsTerminatorIsRefusedAndStillAnswered) {
  ASSERT_TRUE(Open());
  Serve(kSec);
  struct Case {
    const char* text;  // written into the 21-byte field, unterminated when 21 characters
  } cases[] = {{"2030-06-01T12:00:00+0"}, {"2030-06-01T12:00:00Z"}, {"not a time at all...."}};
  uint32_t pkt = 500;
  for (const Case& c : cases) {
    EXPECT_EQ(Raw(KeepAlive(pkt++, c.text, server->session().camera_id[0])).size(), 1u) << c.text;
  }
  EXPECT_EQ(CountLogged("ERROR!! Failed to parse ISO8601 string"), 3);
  EXPECT_EQ(ModuleClock().substr(0, 10), "2026-01-01");
}

class UdpStatus : public UdpWorld {
 protected:
  static camserver::Options NoAutoClear() {
    camserver::Options o = ServerOptions();
    o.auto_clear = false;
    return o;
  }
  UdpStatus() : UdpWorld(NoAutoClear()) {}
  camserver::Reply Clear(uint32_t bits) {
    Bytes body;
    camserver::put32(body, 0, bits);
    return Command(camserver::kClearKAStatus, body);
  }
};

TEST_F(UdpStatus, ClearKAStatusClearsTheBitsTheServerSawAndKeepsTheOthers) {
  ASSERT_TRUE(Open());
  Serve(11 * kSec);
  uint32_t before = server->session().status;
  ASSERT_NE(before & 0x2000u, 0u) << "the module's reboot bit";
  ASSERT_FALSE(Clear(0x2000u).error());
  Serve(10 * kSec);
  EXPECT_EQ(server->session().status & 0x2000u, 0u);
  EXPECT_EQ(server->session().status & ~0x2000u, before & ~0x2000u);
}

TEST_F(UdpStatus, ThePairingHandsTheCodeAndUserOverThenForgetsBoth) {
  board.stm32().set_registration_code("REG-4711");  // the phone left them before the boot
  board.stm32().set_user_uid("user-0042");
  ASSERT_TRUE(Open());
  Serve(kSec);
  ASSERT_NE(server->session().status & camserver::kRegistrationCodeChangedBit, 0u)
      << inst.console();
  camserver::Reply code = Command(camserver::kGetRegistrationCode);
  ASSERT_FALSE(code.error());
  EXPECT_EQ(camserver::get_text(code.bytes, 32, 12), "REG-4711");
  EXPECT_EQ(camserver::get_text(code.bytes, 44, 65), "user-0042");
  ASSERT_FALSE(Clear(camserver::kRegistrationCodeChangedBit).error());
  Serve(3 * kSec);
  EXPECT_EQ(CountLogged("Clearing registration code and userUID"), 1);
  EXPECT_EQ(board.stm32().state().user_uid, "");
  camserver::Reply after = Command(camserver::kGetRegistrationCode);
  EXPECT_NE(camserver::get_text(after.bytes, 32, 12), "REG-4711");
}

TEST_F(UdpStatus, AClearForAnotherCameraClearsNothing) {
  ASSERT_TRUE(Open());
  Serve(11 * kSec);
  uint32_t before = server->session().status;
  ASSERT_NE(before, 0u);
  Bytes b = Request(camserver::kClearKAStatus, 36);
  camserver::put16(b, 22, static_cast<uint16_t>(server->session().camera_id[1] ^ 0x1));
  camserver::put32(b, 32, 0xFFFFFFFFu);
  EXPECT_TRUE(Raw(b).empty());
  Serve(10 * kSec);
  EXPECT_EQ(server->session().status, before);
}

class UdpPortZero : public UdpWorld {
 protected:
  static camserver::Options RedirectToPortZero() {
    camserver::Options o = ServerOptions();
    o.redirect_port = 0;
    return o;
  }
  UdpPortZero() : UdpWorld(RedirectToPortZero()) {}
};

TEST_F(UdpPortZero, ARedirectionToPort0ClosesTheAttemptAndTheNextStartsAtTheNextPoll) {
  ASSERT_TRUE(BootAndJoin());
  Serve(20 * kSec);
  EXPECT_FALSE(server->session().open);
  EXPECT_GE(CountLogged("ERROR!! redirectionPort is 0"), 2);
  EXPECT_EQ(CountLogged("sessionIsOpen: 1"), 0);
}
