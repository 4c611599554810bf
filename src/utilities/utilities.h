// Small shared operations: arithmetic on the microsecond time base, sleeping, ISO 8601 date-time
// text in both directions, CRC-32, a text clean-up, the log time stamp and a console hex dump.
#ifndef UTILITIES_H
#define UTILITIES_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>  // struct tm and time_t only: the conversions below never use the C library's

#include "os.h"

// Seconds since 1970-01-01 00:00:00. A local time is the wall-clock fields counted as if UTC.
static_assert(sizeof(time_t) == 8, "time_t must be 64 bits wide");

// ---- Time base (now is os_systime64()) --------------------------------------------------------

// `when` - now, or 0 when `when` is not in the future.
uint64_t uSecsUntil(systimer_t when);
// The same in whole milliseconds; 0 when not in the future, 4294967295 from 1000 * 2^32 µs on.
uint32_t mSecsUntil(systimer_t when);
// now + secs * 1000000.
systimer_t secsFromNow(uint32_t secs);
// now + msecs * 1000.
systimer_t mSecsFromNow(uint32_t msecs);
// now - `time`, or 0 when `time` is not in the past.
uint64_t uSecsSince(systimer_t time);
// Whole milliseconds since `start`; 0 when not in the past, 4294967295 from 1000 * 2^32 µs on.
uint32_t mSecsSince(systimer_t start);
// Whole seconds since `start`; 0 when not in the past, 4294967295 from 1000000 * 2^32 µs on.
uint32_t secsSince(systimer_t start);

// Sleep (waking the system from deep sleep at the end); at most 4294967295 µs.
void sleepSecs(uint32_t secs);
void sleepMSecs(uint32_t msecs);

// ---- Text ---------------------------------------------------------------------------------------

// Ends `s` at its first character below 0x20 (space), if any. Bytes 0x80 and up are kept.
void endStringAtFirstControlCharacter(char* s);

// ---- Date and time ------------------------------------------------------------------------------

// A calendar date and wall-clock time as the STM32 and the phone exchange it (month 1-12).
struct __attribute__((packed)) dateTime_t {
  uint16_t year;
  uint8_t month;
  uint8_t day;
  uint8_t hours;
  uint8_t minutes;
  uint8_t seconds;
};
static_assert(sizeof(dateTime_t) == 7, "dateTime_t is 7 bytes on the wire");
static_assert(offsetof(dateTime_t, year) == 0, "dateTime_t.year");
static_assert(offsetof(dateTime_t, month) == 2, "dateTime_t.month");
static_assert(offsetof(dateTime_t, day) == 3, "dateTime_t.day");
static_assert(offsetof(dateTime_t, hours) == 4, "dateTime_t.hours");
static_assert(offsetof(dateTime_t, minutes) == 5, "dateTime_t.minutes");
static_assert(offsetof(dateTime_t, seconds) == 6, "dateTime_t.seconds");

// Length of "YYYY-MM-DDTHH:MM:SS" and of "YYYY-MM-DDTHH:MM:SS+HH:MM".
#define ISO8601_LEN_WITHOUT_TZ 19
#define ISO8601_LEN_WITH_TZ 25

// Parses either ISO 8601 form into `tm` (tm_year from 1900, tm_mon 0-11, tm_isdst -1; tm_wday and
// tm_yday filled too). False for any other shape and for fields out of range: month 1-12, a day
// that the month has, hours below 24, minutes and seconds below 60, an offset below 24:00.
bool iso8601str_to_struct_tm(const char* s, struct tm* tm);

// The local time of `s` as seconds since 1970 (fields counted as UTC) and, when `tzOffset` is
// given, its UTC offset in minutes (0 for the form without zone; 0 on failure too). 0 when `s`
// does not parse or is before 1970.
time_t iso8601str_to_localTime_as_time_t_and_tzOffset(const char* s, int16_t* tzOffset);

// Writes "YYYY-MM-DDTHH:MM:SS+HH:MM" for `localTime` and its offset in minutes ('+' for 0 and
// above). 0 on success; -1, writing nothing, when `buf` cannot hold the 25 characters and their
// terminator, when the year is outside 0000-9999 or when the offset is 24 hours or more.
int localTime_as_time_t_and_offset_to_iso8601str(time_t localTime, int16_t tzOffsetMins, char* buf,
                                                 size_t size);

// Writes "YYYY-MM-DDTHH:MM:SS" for `t`. -1 when `size` is below 25 (or the year is outside
// 0000-9999), else 0.
int time_t_to_iso8601str_without_timezone(time_t t, char* buf, size_t size);

// The fields of `dateTime` as seconds since 1970 (counted as UTC); 0 when a field is out of range
// or the time is before 1970.
time_t struct_dateTime_to_time_t(const dateTime_t* dateTime);

// ---- Checksums ----------------------------------------------------------------------------------

// Bitwise reflected CRC-32 update (polynomial 0xEDB88320) of `len` bytes, without the initial and
// final inversion: the standard CRC-32 of a block is ~crc32_update(0xFFFFFFFF, block, len).
uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t len);

// ---- Display ------------------------------------------------------------------------------------

// `usecs` (modulo 10^12) as "SSS,SSS.mmm,uuu", 15 characters, in one static buffer that the next
// call overwrites.
char* uSecsToDisplayStringAll(uint64_t usecs);

// Prints `len` bytes on the console as "%02X ", 16 to a line, ending with a line break.
void printBuffAsHex(const uint8_t* buff, size_t len);

#endif  // UTILITIES_H
