// Time base arithmetic, sleeping, ISO 8601 text, CRC-32 and the display helpers.
#include "utilities/utilities.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "camhost/runtime.h"

namespace {

// A kernel on the virtual clock: whatever reads the clock, sleeps or prints runs inside it.
class UtilitiesInKernel : public ::testing::Test {
 protected:
  UtilitiesInKernel() : inst_(options()) {}
  static camhost::Options options() {
    camhost::Options o;
    o.clock = camhost::ClockKind::Virtual;
    return o;
  }
  // Long enough for the longest sleep here (two of about 72 minutes).
  void inKernel(const std::function<void()>& fn) {
    ASSERT_TRUE(inst_.call(fn, 4, 3 * 3600000000ull));
  }
  camhost::Instance inst_;
};

const uint64_t k2To32 = 4294967296ull;

// ---- Time base ----------------------------------------------------------------------------------

using UtilitiesTimeBase = UtilitiesInKernel;

TEST_F(UtilitiesTimeBase, UntilCountsWholeUnitsToAFutureMomentAndZeroOtherwise) {
  inst_.run_for(5000000);
  inKernel([] {
    systimer_t now = os_systime64();
    EXPECT_EQ(uSecsUntil(now + 1999), 1999u);
    EXPECT_EQ(mSecsUntil(now + 1999), 1u);
    EXPECT_EQ(uSecsUntil(now), 0u);
    EXPECT_EQ(mSecsUntil(now - 1), 0u);
  });
}

TEST_F(UtilitiesTimeBase, MSecsUntilSaturatesOnceTheMillisecondsNoLongerFit32Bits) {
  inKernel([] {
    systimer_t now = os_systime64();
    EXPECT_EQ(mSecsUntil(now + 1000 * (k2To32 - 1) - 1), 4294967294u);
    EXPECT_EQ(mSecsUntil(now + 1000 * k2To32), 4294967295u);
    EXPECT_EQ(mSecsUntil(SYSTIMER_NEVER), 4294967295u);
  });
}

TEST_F(UtilitiesTimeBase, FromNowAddsToTheCurrentTimeWithout32BitOverflow) {
  inst_.run_for(1234567);
  inKernel([] {
    systimer_t now = os_systime64();
    EXPECT_EQ(secsFromNow(3), now + 3000000);
    EXPECT_EQ(mSecsFromNow(250), now + 250000);
    EXPECT_EQ(secsFromNow(4294967295u), now + 4294967295ull * 1000000);
  });
}

TEST_F(UtilitiesTimeBase, SinceCountsWholeUnitsFromAPastMoment) {
  inKernel([] {
    systimer_t start = os_systime64();
    os_sleep_us(2999999, OS_TIMEOUT_NO_WAKEUP);
    EXPECT_EQ(uSecsSince(start), 2999999u);
    EXPECT_EQ(mSecsSince(start), 2999u);
    EXPECT_EQ(secsSince(start), 2u);
  });
}

TEST_F(UtilitiesTimeBase, SinceIsZeroForThePresentAndTheFuture) {
  inKernel([] {
    systimer_t now = os_systime64();
    EXPECT_EQ(uSecsSince(now), 0u);
    EXPECT_EQ(mSecsSince(now + 10000000), 0u);
    EXPECT_EQ(secsSince(now + 10000000), 0u);
    EXPECT_EQ(secsSince(SYSTIMER_NEVER), 0u);
  });
}

TEST_F(UtilitiesTimeBase, MSecsSinceSaturatesAfterAbout50Days) {
  inst_.run_for(1000 * k2To32 + 5000);
  inKernel([] {
    systimer_t now = os_systime64();
    EXPECT_EQ(mSecsSince(now - 1000 * k2To32), 4294967295u);
    EXPECT_EQ(mSecsSince(now - 1000 * (k2To32 - 1) + 1), 4294967294u);
    EXPECT_EQ(secsSince(now - 1000 * k2To32), 4294967u);
  });
}

TEST_F(UtilitiesTimeBase, SecsSinceSaturatesOnceTheSecondsNoLongerFit32Bits) {
  inst_.run_for(1000000 * k2To32 + 5000000);
  inKernel([] {
    systimer_t now = os_systime64();
    EXPECT_EQ(secsSince(now - 1000000 * k2To32), 4294967295u);
    EXPECT_EQ(secsSince(now - 1000000 * (k2To32 - 1) + 1), 4294967294u);
  });
}

TEST_F(UtilitiesTimeBase, SleepsLastTheirTimeUpTo32BitsOfMicroseconds) {
  inKernel([] {
    systimer_t start = os_systime64();
    sleepSecs(3);
    sleepMSecs(250);
    EXPECT_EQ(os_systime64() - start, 3250000u);
    start = os_systime64();
    sleepSecs(5000);
    EXPECT_EQ(os_systime64() - start, 4294967295u);
    start = os_systime64();
    sleepMSecs(4294968);
    EXPECT_EQ(os_systime64() - start, 4294967295u);
  });
}

// ---- Text ---------------------------------------------------------------------------------------

TEST(UtilitiesText, EndStringCutsAtTheFirstControlCharacter) {
  char line[] = "ssid-name\r\nnext";
  endStringAtFirstControlCharacter(line);
  EXPECT_STREQ(line, "ssid-name");
  char tabbed[] = "a\tb";
  endStringAtFirstControlCharacter(tabbed);
  EXPECT_STREQ(tabbed, "a");
  char leading[] =
      "\x1F"
      "abc";
  endStringAtFirstControlCharacter(leading);
  EXPECT_STREQ(leading, "");
}

TEST(UtilitiesText, EndStringKeepsSpacesAndNonAsciiBytes) {
  char text[] = "Caf\xC3\xA9 au lait ~";
  endStringAtFirstControlCharacter(text);
  EXPECT_STREQ(text, "Caf\xC3\xA9 au lait ~");
}

// ---- ISO 8601 parsing ---------------------------------------------------------------------------

TEST(UtilitiesIso8601Parse, TheLocalTimeIsTheFieldsAsUtcAndTheOffsetComesInMinutes) {
  const struct {
    const char* text;
    int16_t offset;
  } cases[] = {{"2021-03-04T05:06:07", 0},
               {"2021-03-04T05:06:07+05:30", 330},
               {"2021-03-04T05:06:07-08:00", -480}};
  for (const auto& c : cases) {
    int16_t offset = 99;
    EXPECT_EQ(iso8601str_to_localTime_as_time_t_and_tzOffset(c.text, &offset), 1614834367);
    EXPECT_EQ(offset, c.offset) << c.text;
  }
  EXPECT_EQ(iso8601str_to_localTime_as_time_t_and_tzOffset("2000-03-01T00:00:00+01:00", nullptr),
            951868800);
}

TEST(UtilitiesIso8601Parse, LeapDaysAndCenturyYearsCountRight) {
  EXPECT_EQ(iso8601str_to_localTime_as_time_t_and_tzOffset("2024-02-29T23:59:59", nullptr),
            1709251199);
  EXPECT_EQ(iso8601str_to_localTime_as_time_t_and_tzOffset("2100-03-01T00:00:00", nullptr),
            4107542400);
  EXPECT_EQ(iso8601str_to_localTime_as_time_t_and_tzOffset("9999-12-31T23:59:59", nullptr),
            253402300799);
}

TEST(UtilitiesIso8601Parse, StructTmGetsTheFieldsInCLibraryConvention) {
  struct tm tm;
  memset(&tm, 0x55, sizeof(tm));
  ASSERT_TRUE(iso8601str_to_struct_tm("2021-03-04T05:06:07-08:00", &tm));
  EXPECT_EQ(tm.tm_year, 121);
  EXPECT_EQ(tm.tm_mon, 2);
  EXPECT_EQ(tm.tm_mday, 4);
  EXPECT_EQ(tm.tm_hour, 5);
  EXPECT_EQ(tm.tm_min, 6);
  EXPECT_EQ(tm.tm_sec, 7);
  EXPECT_EQ(tm.tm_isdst, -1);
  EXPECT_EQ(tm.tm_wday, 4);  // a Thursday
  EXPECT_EQ(tm.tm_yday, 62);
}

TEST(UtilitiesIso8601Parse, TextsOfTheWrongShapeAreRejected) {
  struct tm tm;
  const char* bad[] = {
      "2021-3-04T05:06:07",          // one-digit month: 18 characters
      "2021-03-04 05:06:07",         // space instead of 'T'
      "2021-03-04T05:06:07Z",        // 20 characters
      "2021-03-04T05:06:07+05:3",    // 24 characters
      "2021-03-04T05:06:07+05:300",  // 26 characters
      "2021-03-04T05:06:07*05:30",   // no sign
      "2021-03-04T05:06:07+05-30",   // no colon in the offset
      "2021-03-04T05:06:07+0a:30",   // letter in the offset
      "2021/03/04T05:06:07",         // wrong separators
      "2021-03-04T05-06-07",         //
      "2O21-03-04T05:06:07",         // letter O for a zero
      "",                            //
  };
  for (const char* text : bad) {
    EXPECT_FALSE(iso8601str_to_struct_tm(text, &tm)) << text;
    int16_t offset = 7;
    EXPECT_EQ(iso8601str_to_localTime_as_time_t_and_tzOffset(text, &offset), 0) << text;
    EXPECT_EQ(offset, 0) << text;
  }
}

TEST(UtilitiesIso8601Parse, ImpossibleDatesAndTimesAreRejectedRatherThanWrapped) {
  struct tm tm;
  const char* bad[] = {
      "2021-00-10T00:00:00",       "2021-13-10T00:00:00",       "2021-01-00T00:00:00",
      "2021-04-31T00:00:00",       "2023-02-29T00:00:00",       "2100-02-29T00:00:00",
      "2021-01-10T24:00:00",       "2021-01-10T23:60:00",       "2021-01-10T23:59:60",
      "2021-01-10T10:00:00+24:00", "2021-01-10T10:00:00-05:60",
  };
  for (const char* text : bad) EXPECT_FALSE(iso8601str_to_struct_tm(text, &tm)) << text;
  EXPECT_TRUE(iso8601str_to_struct_tm("2000-02-29T23:59:59+23:59", &tm));
}

TEST(UtilitiesIso8601Parse, ATimeBefore1970GivesZero) {
  int16_t offset = 5;
  EXPECT_EQ(iso8601str_to_localTime_as_time_t_and_tzOffset("1969-12-31T23:59:59+01:00", &offset),
            0);
  EXPECT_EQ(offset, 0);
  EXPECT_EQ(iso8601str_to_localTime_as_time_t_and_tzOffset("1970-01-01T00:00:01", nullptr), 1);
}

TEST(UtilitiesIso8601Parse, AnUnterminatedBufferIsNotReadFarBeyondTheLongestForm) {
  char buffer[40];
  memset(buffer, '1', sizeof(buffer));  // no terminator anywhere
  struct tm tm;
  EXPECT_FALSE(iso8601str_to_struct_tm(buffer, &tm));
}

// ---- ISO 8601 formatting ------------------------------------------------------------------------

TEST(UtilitiesIso8601Format, TheOffsetIsWrittenWithItsSignHoursAndMinutes) {
  char text[32];
  ASSERT_EQ(localTime_as_time_t_and_offset_to_iso8601str(0, -90, text, sizeof(text)), 0);
  EXPECT_STREQ(text, "1970-01-01T00:00:00-01:30");
  ASSERT_EQ(localTime_as_time_t_and_offset_to_iso8601str(1709251199, 0, text, sizeof(text)), 0);
  EXPECT_STREQ(text, "2024-02-29T23:59:59+00:00");  // zero counts as positive
}

TEST(UtilitiesIso8601Format, ABufferThatCannotHoldTheWholeTextFailsWritingNothing) {
  char text[25];
  memset(text, 'x', sizeof(text));
  EXPECT_EQ(localTime_as_time_t_and_offset_to_iso8601str(0, 60, text, sizeof(text)), -1);
  EXPECT_EQ(text[0], 'x');
}

TEST(UtilitiesIso8601Format, ValuesThatDoNotFitTheTextAreRefused) {
  char text[32];
  EXPECT_EQ(localTime_as_time_t_and_offset_to_iso8601str(0, 1440, text, sizeof(text)), -1);
  EXPECT_EQ(localTime_as_time_t_and_offset_to_iso8601str(0, -32768, text, sizeof(text)), -1);
  EXPECT_EQ(localTime_as_time_t_and_offset_to_iso8601str(253402300800, 0, text, sizeof(text)), -1);
  EXPECT_EQ(localTime_as_time_t_and_offset_to_iso8601str(INT64_MIN, 0, text, sizeof(text)), -1);
  ASSERT_EQ(localTime_as_time_t_and_offset_to_iso8601str(253402300799, -1439, text, sizeof(text)),
            0);
  EXPECT_STREQ(text, "9999-12-31T23:59:59-23:59");
}

TEST(UtilitiesIso8601Format, WithoutTimezoneFailsWithA24ByteBuffer) {
  char text[24];
  EXPECT_EQ(time_t_to_iso8601str_without_timezone(0, text, sizeof(text)), -1);
}

TEST(UtilitiesIso8601Format, WithoutTimezoneWritesNineteenCharactersIntoA25ByteBuffer) {
  char text[25];
  ASSERT_EQ(time_t_to_iso8601str_without_timezone(1614834367, text, sizeof(text)), 0);
  EXPECT_STREQ(text, "2021-03-04T05:06:07");
}

TEST(UtilitiesIso8601Format, TimesBefore1970FormatOnTheRightDay) {
  char text[25];
  ASSERT_EQ(time_t_to_iso8601str_without_timezone(-1, text, sizeof(text)), 0);
  EXPECT_STREQ(text, "1969-12-31T23:59:59");
  ASSERT_EQ(time_t_to_iso8601str_without_timezone(-62135596800, text, sizeof(text)), 0);
  EXPECT_STREQ(text, "0001-01-01T00:00:00");
}

TEST(UtilitiesIso8601Format, FormattedTextParsesBackToTheSameTimeAndOffset) {
  // Steps that are not a whole number of days visit every month, leap years and times of day.
  for (time_t t = 0; t < 253402300799; t += 86400 * 37 + 3671) {
    int16_t offsetIn = (int16_t)((t / 3671) % 2879 - 1439);
    char text[26];
    ASSERT_EQ(localTime_as_time_t_and_offset_to_iso8601str(t, offsetIn, text, sizeof(text)), 0);
    int16_t offsetOut = 0;
    if (t == 0) continue;  // 0 also means "failed"
    ASSERT_EQ(iso8601str_to_localTime_as_time_t_and_tzOffset(text, &offsetOut), t) << text;
    ASSERT_EQ(offsetOut, offsetIn) << text;
  }
}

// ---- dateTime_t ---------------------------------------------------------------------------------

TEST(UtilitiesDateTime, TheWireBytesMapToTheFieldsLittleEndian) {
  const uint8_t wire[7] = {0xE8, 0x07, 2, 29, 23, 59, 58};
  dateTime_t dt;
  memcpy(&dt, wire, sizeof(dt));
  EXPECT_EQ(dt.year, 2024);
  EXPECT_EQ(dt.month, 2);
  EXPECT_EQ(dt.day, 29);
  EXPECT_EQ(struct_dateTime_to_time_t(&dt), 1709251198);
}

TEST(UtilitiesDateTime, FieldsOutOfRangeOrATimeBefore1970GiveZero) {
  const dateTime_t bad[] = {
      {2021, 0, 1, 0, 0, 0},  {2021, 13, 1, 0, 0, 0}, {2021, 4, 31, 0, 0, 0},
      {2021, 2, 29, 0, 0, 0}, {2021, 1, 0, 0, 0, 0},  {2021, 1, 1, 24, 0, 0},
      {2021, 1, 1, 0, 60, 0}, {2021, 1, 1, 0, 0, 60}, {1969, 12, 31, 23, 59, 59},
  };
  for (const dateTime_t& dt : bad) EXPECT_EQ(struct_dateTime_to_time_t(&dt), 0);
}

// ---- CRC-32 -------------------------------------------------------------------------------------

TEST(UtilitiesCrc32, TheDigitsOneToNineGiveThePublishedCheckValue) {
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(~crc32_update(0xFFFFFFFFu, digits, sizeof(digits)), 0xCBF43926u);
}

TEST(UtilitiesCrc32, UpdatingInPiecesEqualsOnePass) {
  uint8_t block[1000];
  for (size_t i = 0; i < sizeof(block); i++) block[i] = (uint8_t)(i * 7 + 3);
  uint32_t whole = crc32_update(0xFFFFFFFFu, block, sizeof(block));
  uint32_t pieces = crc32_update(0xFFFFFFFFu, block, 1);
  pieces = crc32_update(pieces, block + 1, 498);
  pieces = crc32_update(pieces, block + 499, sizeof(block) - 499);
  EXPECT_EQ(pieces, whole);
  EXPECT_EQ(crc32_update(whole, nullptr, 0), whole);
}

// ---- Display ------------------------------------------------------------------------------------

TEST(UtilitiesDisplay, SecondsMillisecondsAndMicrosecondsAreSeparated) {
  EXPECT_STREQ(uSecsToDisplayStringAll(5), "000,000.000,005");
  EXPECT_STREQ(uSecsToDisplayStringAll(12345678), "000,012.345,678");
  EXPECT_STREQ(uSecsToDisplayStringAll(999999999999ull), "999,999.999,999");
}

TEST(UtilitiesDisplay, TimesOfTwelveDigitsAndMoreWrap) {
  EXPECT_STREQ(uSecsToDisplayStringAll(1000000000007ull), "000,000.000,007");
  EXPECT_STREQ(uSecsToDisplayStringAll(UINT64_MAX), "073,709.551,615");
  EXPECT_EQ(strlen(uSecsToDisplayStringAll(UINT64_MAX)), 15u);
}

using UtilitiesHexDump = UtilitiesInKernel;

TEST_F(UtilitiesHexDump, BreaksTheLineAfterEverySixteenBytes) {
  uint8_t bytes[33];
  for (size_t i = 0; i < sizeof(bytes); i++) bytes[i] = (uint8_t)(i + 0xE0);
  inKernel([&] { printBuffAsHex(bytes, sizeof(bytes)); });
  EXPECT_NE(inst_.console().find("E0 E1 E2 E3 E4 E5 E6 E7 E8 E9 EA EB EC ED EE EF \n"
                                 "F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF \n"
                                 "00 \n"),
            std::string::npos)
      << inst_.console();
}

TEST_F(UtilitiesHexDump, AFullLastLineIsNotFollowedByAnEmptyOne) {
  uint8_t bytes[16] = {0};
  inKernel([&] { printBuffAsHex(bytes, sizeof(bytes)); });
  std::string console = inst_.console();
  EXPECT_NE(console.find("00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 \n"), std::string::npos);
  EXPECT_EQ(console.find("00 \n\n"), std::string::npos) << console;
}

}  // namespace
