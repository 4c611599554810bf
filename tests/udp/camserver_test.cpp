// camserver's own codec and command language, without a camera.
#include <gtest/gtest.h>

#include "codec.h"
#include "commands.h"
#include "server.h"

using camserver::Bytes;

TEST(CamserverCodec, AHeaderGoesOnTheWireAtItsOffsetsAndComesBackTheSame) {
  camserver::Header h;
  h.cmdID = 108;
  h.temporaryError = true;
  h.cmdSequenceNumber = 0x01020304;
  h.packetSequenceNumber = 0x05060708;
  h.cameraMSecsSinceBoot = 9;
  h.serverMSecsSinceOpenSession = 10;
  for (int i = 0; i < 6; i++) h.cameraID[i] = static_cast<uint16_t>(0x1111 * (i + 1));
  Bytes b = camserver::encode(h, 36);
  ASSERT_EQ(b.size(), 36u);
  EXPECT_EQ(b[0], 36);
  EXPECT_EQ(camserver::get16(b, 2), 108 | 0x8000);
  EXPECT_EQ(b[4], 0x04);
  EXPECT_EQ(b[7], 0x01);
  EXPECT_EQ(camserver::get32(b, 8), 0x05060708u);
  EXPECT_EQ(camserver::get16(b, 20), 0x1111);
  EXPECT_EQ(camserver::get16(b, 30), 0x6666);
  camserver::Header back;
  ASSERT_TRUE(camserver::decode_header(b, &back));
  EXPECT_EQ(back.cmdID, 108);
  EXPECT_TRUE(back.temporaryError);
  EXPECT_FALSE(back.persistentError);
  EXPECT_EQ(back.cmdSequenceNumber, h.cmdSequenceNumber);
  EXPECT_FALSE(camserver::decode_header(Bytes(31, 0), &back));
}

TEST(CamserverCodec, RepliesAreDescribedWithTheirErrorBitsAndBodies) {
  camserver::Header h;
  h.cmdID = 108;
  h.persistentError = true;
  Bytes b = camserver::encode(h, 36);
  camserver::put32(b, 32, static_cast<uint32_t>(-5));
  std::string text = camserver::describe(b, false);
  EXPECT_NE(text.find("cmd SetContrast"), std::string::npos) << text;
  EXPECT_NE(text.find("persistentError"), std::string::npos) << text;
  EXPECT_NE(text.find("contrast -5"), std::string::npos) << text;
  EXPECT_NE(camserver::describe(camserver::encode(h, 40), false).find("(length 40, expected 36)"),
            std::string::npos);
  EXPECT_NE(camserver::describe(Bytes(3, 0), false).find("shorter than a header"), std::string::npos);
}

TEST(CamserverCodec, HexTextInTheUsualSpellingsIsRead) {
  struct Case {
    const char* text;
    bool ok;
    size_t bytes;
  } cases[] = {{"0102", true, 2}, {"01 02 ff", true, 3}, {"0x01,0x02", true, 2},
               {"012", false, 0}, {"zz", false, 0}};
  for (const Case& c : cases) {
    Bytes b;
    EXPECT_EQ(camserver::parse_hex(c.text, &b), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(b.size(), c.bytes) << c.text;
    }
  }
}

TEST(CamserverCodec, TheServerClockIsWrittenInTheUtcFormThatFitsTheKeepAlive) {
  EXPECT_EQ(camserver::iso8601_utc(1767225600), "2026-01-01T00:00:00");
  EXPECT_EQ(camserver::iso8601_utc(1767225600 + 86399), "2026-01-01T23:59:59");
}

TEST(CamserverCommands, AnUnknownCommandOrSettingAndANoSessionTimeOutFail) {
  camserver::Options o;
  o.port = 0;
  o.command_timeout_ms = 10;
  camserver::Server s(o, camserver::wall_clock_waiter());
  ASSERT_TRUE(s.ok()) << s.error();
  std::string out;
  EXPECT_FALSE(camserver::run_commands(s, "frobnicate", &out));
  EXPECT_FALSE(camserver::run_commands(s, "get nothing", &out));
  EXPECT_FALSE(camserver::run_commands(s, "set contrast seven", &out));
  EXPECT_FALSE(camserver::run_commands(s, "get contrast", &out));
  EXPECT_NE(out.find("GetContrast: timed out"), std::string::npos) << out;
  out.clear();
  EXPECT_TRUE(camserver::run_commands(s, "status; help", &out));
  EXPECT_NE(out.find("session closed"), std::string::npos) << out;
}
