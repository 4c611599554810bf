// Time base arithmetic, sleeping, ISO 8601 text, CRC-32 and the display helpers.
#include "utilities/utilities.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "unit/host_fixture.h"

namespace {

// A kernel on the virtual clock: whatever reads the clock, sleeps or prints runs inside it.
class UtilitiesInKernel : public OnKernel {
 protected:
  // Long enough for the longest sleep here (two of about 72 minutes).
  void inKernel(const std::function<void()>& fn) {
    ASSERT_TRUE(inst.call(fn, 4, 3 * 3600000000ull));
  }
};

const uint64_t k2To32 = 4294967296ull;

time_t parseLocal(const char* text, int16_t* offset = nullptr) {
  return iso8601str_to_localTime_as_time_t_and_tzOffset(text, offset);
}
int format(time_t localTime, int16_t offset, char* text, size_t size) {
  return localTime_as_time_t_and_offset_to_iso8601str(localTime, offset, text, size);
}

// ---- Time base ----------------------------------------------------------------------------------

using UtilitiesTimeBase = UtilitiesInKernel;

TEST_F(UtilitiesTimeBase, UntilCountsWholeUnitsToAFutureMomentZeroOtherwiseAndSaturates) {
  inst.run_for(5000000);
  inKernel([] {
    systimer_t now = os_systime64();
    EXPECT_EQ(uSecsUntil(now + 1999), 1999u);
    EXPECT_EQ(mSecsUntil(now + 1999), 1u);
    EXPECT_EQ(uSecsUntil(now), 0u);
    EXPECT_EQ(mSecsUntil(now - 1), 0u);
    EXPECT_EQ(mSecsUntil(now + 1000 * (k2To32 - 1) - 1), 4294967294u);
    EXPECT_EQ(mSecsUntil(now + 1000 * k2To32), 4294967295u);
    EXPECT_EQ(mSecsUntil(SYSTIMER_NEVER), 4294967295u);
  });
}

TEST_F(UtilitiesTimeBase, FromNowAddsToTheCurrentTimeWithout32BitOverflow) {
  inst.run_for(1234567);
  inKernel([] {
    systimer_t now = os_systime64();
    EXPECT_EQ(secsFromNow(3), now + 3000000);
    EXPECT_EQ(mSecsFromNow(250), now + 250000);
    EXPECT_EQ(secsFromNow(4294967295u), now + 4294967295ull * 1000000);
  });
}

TEST_F(UtilitiesTimeBase, SinceCountsWholeUnitsFromAPastMomentAndZeroForThePresentAndFuture) {
  inKernel([] {
    systimer_t start = os_systime64();
    os_sleep_us(2999999, OS_TIMEOUT_NO_WAKEUP);
    EXPECT_EQ(uSecsSince(start), 2999999u);
    EXPECT_EQ(mSecsSince(start), 2999u);
    EXPECT_EQ(secsSince(start), 2u);
    systimer_t now = os_systime64();
    EXPECT_EQ(uSecsSince(now), 0u);
    EXPECT_EQ(mSecsSince(now + 10000000), 0u);
    EXPECT_EQ(secsSince(now + 10000000), 0u);
    EXPECT_EQ(secsSince(SYSTIMER_NEVER), 0u);
  });
}

TEST_F(UtilitiesTimeBase, SinceSaturatesOnceTheUnitsNoLongerFit32Bits) {
  inst.run_for(1000000 * k2To32 + 5000000);
  inKernel([] {
    systimer_t now = os_systime64();
    EXPECT_EQ(mSecsSince(now - 1000 * (k2To32 - 1) + 1), 4294967294u);
    EXPECT_EQ(mSecsSince(now - 1000 * k2To32), 4294967295u);
    EXPECT_EQ(secsSince(now - 1000 * k2To32), 4294967u);
    EXPECT_EQ(secsSince(now - 1000000 * (k2To32 - 1) + 1), 4294967294u);
    EXPECT_EQ(secsSince(now - 1000000 * k2To32), 4294967295u);
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

TEST(UtilitiesText, EndStringCutsAtTheFirstByteBelowSpaceOnly) {
  const std::pair<const char*, const char*> kCases[] = {{"ssid-name\r\nnext", "ssid-name"},
                                                        {"a\tb", "a"},
                                                        {"\037abc", ""},
                                                        {"Caf\xC3\xA9 ~", "Caf\xC3\xA9 ~"}};
  for (const auto& [in, out] : kCases) {
    std::string text = in;
    endStringAtFirstControlCharacter(&text[0]);
    EXPECT_STREQ(text.c_str(), out);
  }
}

// ---- ISO 8601 parsing ---------------------------------------------------------------------------

TEST(UtilitiesIso8601Parse, TheLocalTimeIsTheFieldsCountedAsUtcAndTheOffsetComesInMinutes) {
  // Leap days, century years and both ends of the range among them.
  const std::tuple<const char*, time_t, int16_t> kCases[] = {
      {"2021-03-04T05:06:07", 1614834367, 0},
      {"2021-03-04T05:06:07+05:30", 1614834367, 330},
      {"2021-03-04T05:06:07-08:00", 1614834367, -480},
      {"2000-03-01T00:00:00+01:00", 951868800, 60},
      {"2000-02-29T23:59:59+23:59", 951868799, 1439},
      {"2024-02-29T23:59:59", 1709251199, 0},
      {"2100-03-01T00:00:00", 4107542400, 0},
      {"1970-01-01T00:00:01", 1, 0},
      {"9999-12-31T23:59:59", 253402300799, 0}};
  for (const auto& [text, t, minutes] : kCases) {
    int16_t offset = 99;
    EXPECT_EQ(parseLocal(text, &offset), t) << text;
    EXPECT_EQ(offset, minutes) << text;
  }
}

TEST(UtilitiesIso8601Parse, StructTmGetsTheFieldsInCLibraryConvention) {
  struct tm tm;
  memset(&tm, 0x55, sizeof(tm));
  ASSERT_TRUE(iso8601str_to_struct_tm("2021-03-04T05:06:07-08:00", &tm));
  // Year from 1900, month 0-11, day, hours, minutes, seconds, no DST known, a Thursday, 63rd day.
  EXPECT_EQ((std::vector<int>{tm.tm_year, tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                              tm.tm_isdst, tm.tm_wday, tm.tm_yday}),
            (std::vector<int>{121, 2, 4, 5, 6, 7, -1, 4, 62}));
}

TEST(UtilitiesIso8601Parse, TextsOfTheWrongShapeOrWithImpossibleFieldsAreRejected) {
  // One-digit month (18 characters), a space for the 'T', 20, 24 and 26 characters, no sign, no
  // colon or a letter in the offset, wrong separators, a letter O for a zero; then impossible
  // fields.
  const char* bad[] = {
      "2021-3-04T05:06:07",        "2021-03-04 05:06:07",        "2021-03-04T05:06:07Z",
      "2021-03-04T05:06:07+05:3",  "2021-03-04T05:06:07+05:300", "2021-03-04T05:06:07*05:30",
      "2021-03-04T05:06:07+05-30", "2021-03-04T05:06:07+0a:30",  "2021/03/04T05:06:07",
      "2021-03-04T05-06-07",       "2O21-03-04T05:06:07",        "",
      "2021-00-10T00:00:00",       "2021-13-10T00:00:00",        "2021-01-00T00:00:00",
      "2021-04-31T00:00:00",       "2023-02-29T00:00:00",        "2100-02-29T00:00:00",
      "2021-01-10T24:00:00",       "2021-01-10T23:60:00",        "2021-01-10T23:59:60",
      "2021-01-10T10:00:00+24:00", "2021-01-10T10:00:00-05:60"};
  struct tm tm;
  for (const char* text : bad) {
    EXPECT_FALSE(iso8601str_to_struct_tm(text, &tm)) << text;
    int16_t offset = 7;
    EXPECT_EQ(parseLocal(text, &offset), 0) << text;
    EXPECT_EQ(offset, 0) << text;
  }
}

TEST(UtilitiesIso8601Parse, ATimeBefore1970GivesZero) {
  int16_t offset = 5;
  EXPECT_EQ(parseLocal("1969-12-31T23:59:59+01:00", &offset), 0);
  EXPECT_EQ(offset, 0);
}

TEST(UtilitiesIso8601Parse, AnUnterminatedBufferIsNotReadFarBeyondTheLongestForm) {
  char buffer[26];                      // the longest form and one more: all the parser may look at
  memset(buffer, '1', sizeof(buffer));  // no terminator anywhere
  struct tm tm;
  EXPECT_FALSE(iso8601str_to_struct_tm(buffer, &tm));
}

// ---- ISO 8601 formatting ------------------------------------------------------------------------

TEST(UtilitiesIso8601Format, TheOffsetIsWrittenWithItsSignHoursAndMinutes) {
  const std::tuple<time_t, int16_t, const char*> kCases[] = {
      {0, -90, "1970-01-01T00:00:00-01:30"},
      {1709251199, 0, "2024-02-29T23:59:59+00:00"},  // zero counts as positive
      {253402300799, -1439, "9999-12-31T23:59:59-23:59"}};
  for (const auto& [t, offset, want] : kCases) {
    char text[32];
    ASSERT_EQ(format(t, offset, text, sizeof(text)), 0);
    EXPECT_STREQ(text, want);
  }
}

TEST(UtilitiesIso8601Format, ValuesThatDoNotFitTheTextOrTheBufferAreRefusedWritingNothing) {
  const std::tuple<time_t, int16_t, size_t> kCases[] = {
      {0, 60, 25}, {0, 1440, 32}, {0, -32768, 32}, {253402300800, 0, 32}, {INT64_MIN, 0, 32}};
  for (const auto& [t, offset, size] : kCases) {
    char text[32] = "x";
    EXPECT_EQ(format(t, offset, text, size), -1) << t << ", " << offset << ", " << size;
    EXPECT_STREQ(text, "x");
  }
}

TEST(UtilitiesIso8601Format, WithoutTimezoneNineteenCharactersWantA25ByteBuffer) {
  char text[25];
  EXPECT_EQ(time_t_to_iso8601str_without_timezone(0, text, 24), -1);
  ASSERT_EQ(time_t_to_iso8601str_without_timezone(1614834367, text, sizeof(text)), 0);
  EXPECT_STREQ(text, "2021-03-04T05:06:07");
  ASSERT_EQ(time_t_to_iso8601str_without_timezone(-1, text, sizeof(text)), 0);
  EXPECT_STREQ(text, "1969-12-31T23:59:59");
  ASSERT_EQ(time_t_to_iso8601str_without_timezone(-62135596800, text, sizeof(text)), 0);
  EXPECT_STREQ(text, "0001-01-01T00:00:00");
}

TEST(UtilitiesIso8601Format, FormattedTextParsesBackToTheSameTimeAndOffset) {
  // Steps that are not a whole number of days visit every month, leap years and times of day.
  for (time_t t = 86400 * 37 + 3671; t < 253402300799; t += 86400 * 37 + 3671) {
    int16_t offsetIn = (int16_t)((t / 3671) % 2879 - 1439), offsetOut = 0;
    char text[26];
    ASSERT_EQ(format(t, offsetIn, text, sizeof(text)), 0);
    ASSERT_EQ(parseLocal(text, &offsetOut), t) << text;
    ASSERT_EQ(offsetOut, offsetIn) << text;
  }
}

// ---- dateTime_t ---------------------------------------------------------------------------------

TEST(UtilitiesDateTime, TheWireBytesMapToTheFieldsLittleEndian) {
  const uint8_t wire[7] = {0xE8, 0x07, 2, 29, 23, 59, 58};
  dateTime_t dt;
  memcpy(&dt, wire, sizeof(dt));
  EXPECT_EQ(dt.year, 2024);
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

TEST(UtilitiesCrc32, TheDigitsOneToNineGiveTheCheckValueInOnePassOrInPieces) {
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(~crc32_update(0xFFFFFFFFu, digits, sizeof(digits)), 0xCBF43926u);
  uint32_t crc = crc32_update(0xFFFFFFFFu, digits, 1);
  crc = crc32_update(crc, nullptr, 0);
  crc = crc32_update(crc, digits + 1, sizeof(digits) - 1);
  EXPECT_EQ(~crc, 0xCBF43926u);
}

// ---- Display ------------------------------------------------------------------------------------

TEST(UtilitiesDisplay, MicrosecondsShowAsSecondsMillisecondsAndMicrosecondsOfTwelveDigits) {
  const std::pair<uint64_t, const char*> kCases[] = {{5, "000,000.000,005"},
                                                     {12345678, "000,012.345,678"},
                                                     {999999999999ull, "999,999.999,999"},
                                                     {1000000000007ull, "000,000.000,007"},
                                                     {UINT64_MAX, "073,709.551,615"}};
  for (const auto& [usecs, text] : kCases) EXPECT_STREQ(uSecsToDisplayStringAll(usecs), text);
}

TEST_F(UtilitiesInKernel, AHexDumpBreaksTheLineAfterEverySixteenBytesWithoutAnEmptyLastLine) {
  uint8_t bytes[49];
  for (size_t i = 0; i < sizeof(bytes); i++) bytes[i] = (uint8_t)(i + 0xE0);
  inKernel([&] {
    printBuffAsHex(bytes, 33);
    printBuffAsHex(bytes + 33, 16);
  });
  EXPECT_EQ(inst.console(),
            "E0 E1 E2 E3 E4 E5 E6 E7 E8 E9 EA EB EC ED EE EF \n"
            "F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF \n"
            "00 \n"
            "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 \n");
}

}  // namespace
