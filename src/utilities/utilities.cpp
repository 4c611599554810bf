// Time base arithmetic, sleeping, ISO 8601 text, CRC-32 and display helpers.
//
// Calendar conversions are done here rather than with the C library's mktime/gmtime: those follow
// the process's time zone on a host and differ between C libraries, while every time here is a
// set of wall-clock fields counted as UTC.
#include "utilities/utilities.h"

#include <stdio.h>
#include <string.h>

// ---- Time base ----------------------------------------------------------------------------------

static uint32_t saturateToU32(uint64_t value) {
  return value > UINT32_MAX ? UINT32_MAX : (uint32_t)value;
}

uint64_t uSecsUntil(systimer_t when) {
  systimer_t now = os_systime64();
  return when > now ? when - now : 0;
}

uint32_t mSecsUntil(systimer_t when) { return saturateToU32(uSecsUntil(when) / 1000); }

systimer_t secsFromNow(uint32_t secs) { return os_systime64() + (uint64_t)secs * 1000000u; }

systimer_t mSecsFromNow(uint32_t msecs) { return os_systime64() + (uint64_t)msecs * 1000u; }

uint64_t uSecsSince(systimer_t time) {
  systimer_t now = os_systime64();
  return now > time ? now - time : 0;
}

uint32_t mSecsSince(systimer_t start) { return saturateToU32(uSecsSince(start) / 1000); }

uint32_t secsSince(systimer_t start) { return saturateToU32(uSecsSince(start) / 1000000); }

void sleepSecs(uint32_t secs) {
  os_sleep_us(saturateToU32((uint64_t)secs * 1000000u), OS_TIMEOUT_WAKEUP);
}

void sleepMSecs(uint32_t msecs) {
  os_sleep_us(saturateToU32((uint64_t)msecs * 1000u), OS_TIMEOUT_WAKEUP);
}

// ---- Text ---------------------------------------------------------------------------------------

void endStringAtFirstControlCharacter(char* s) {
  if (s == NULL) return;
  for (; *s != '\0'; s++) {
    if ((unsigned char)*s < 0x20) {
      *s = '\0';
      return;
    }
  }
}

// ---- Calendar -----------------------------------------------------------------------------------

// A broken-down time, month 1-12.
struct civilTime {
  int32_t year;
  int32_t month;
  int32_t day;
  int32_t hours;
  int32_t minutes;
  int32_t seconds;
};

static constexpr int64_t kSecsPerDay = 86400;

static bool isLeapYear(int32_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

static int32_t daysInMonth(int32_t year, int32_t month) {
  static const uint8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && isLeapYear(year)) return 29;
  return kDays[month - 1];
}

// Years 0000-9999 are what four digits can carry; nothing else is ever exchanged.
static bool isValidCivil(const civilTime* c) {
  return c->year >= 0 && c->year <= 9999 && c->month >= 1 && c->month <= 12 && c->day >= 1 &&
         c->day <= daysInMonth(c->year, c->month) && c->hours >= 0 && c->hours < 24 &&
         c->minutes >= 0 && c->minutes < 60 && c->seconds >= 0 && c->seconds < 60;
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar. Counted in eras of
// 400 years (146097 days), which repeat exactly, so no table of years is needed.
static constexpr int64_t daysFromCivil(int32_t year, int32_t month, int32_t day) {
  int64_t y = (int64_t)year - (month <= 2 ? 1 : 0);
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yearOfEra = y - era * 400;                             // 0-399
  int64_t monthFromMarch = month > 2 ? month - 3 : month + 9;    // 0-11, March first
  int64_t dayOfYear = (153 * monthFromMarch + 2) / 5 + day - 1;  // 0-365
  int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;  // 719468: 0000-03-01 to 1970-01-01
}

// The inverse of daysFromCivil.
static void civilFromDays(int64_t days, civilTime* c) {
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  int64_t dayOfEra = days - era * 146097;  // 0-146096
  int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;  // 0-399
  int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  c->day = (int32_t)(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
  c->month = (int32_t)(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
  c->year = (int32_t)(yearOfEra + era * 400 + (c->month <= 2 ? 1 : 0));
}

static time_t civilToTime(const civilTime* c) {
  return (time_t)(daysFromCivil(c->year, c->month, c->day) * kSecsPerDay + c->hours * 3600 +
                  c->minutes * 60 + c->seconds);
}

// False when `t` falls outside the years 0000-9999.
static bool timeToCivil(time_t t, civilTime* c) {
  constexpr int64_t kFirst = daysFromCivil(0, 1, 1) * kSecsPerDay;
  constexpr int64_t kEnd = daysFromCivil(10000, 1, 1) * kSecsPerDay;
  if ((int64_t)t < kFirst || (int64_t)t >= kEnd) return false;
  int64_t days = (int64_t)t / kSecsPerDay;
  int64_t secOfDay = (int64_t)t % kSecsPerDay;
  if (secOfDay < 0) {  // division rounds towards zero; times before 1970 belong to the day before
    secOfDay += kSecsPerDay;
    days -= 1;
  }
  civilFromDays(days, c);
  c->hours = (int32_t)(secOfDay / 3600);
  c->minutes = (int32_t)(secOfDay / 60 % 60);
  c->seconds = (int32_t)(secOfDay % 60);
  return true;
}

// ---- ISO 8601 -----------------------------------------------------------------------------------

static bool isDigit(char ch) { return ch >= '0' && ch <= '9'; }

static int32_t digitsValue(const char* s, int count) {
  int32_t value = 0;
  for (int i = 0; i < count; i++) value = value * 10 + (s[i] - '0');
  return value;
}

// Parses either form into `c` and the offset in minutes (0 without zone). The length is found
// looking at most one character beyond the longer form, so an unterminated buffer is not run over.
static bool parseIso8601(const char* s, civilTime* c, int16_t* offsetMins) {
  if (s == NULL) return false;
  size_t len = 0;
  while (len <= ISO8601_LEN_WITH_TZ && s[len] != '\0') len++;
  if (len != ISO8601_LEN_WITHOUT_TZ && len != ISO8601_LEN_WITH_TZ) return false;

  static const char kShape[] = "DDDD-DD-DDTDD:DD:DD";  // D: a digit; anything else: itself
  for (size_t i = 0; i < ISO8601_LEN_WITHOUT_TZ; i++) {
    if (kShape[i] == 'D' ? !isDigit(s[i]) : s[i] != kShape[i]) return false;
  }
  c->year = digitsValue(s, 4);
  c->month = digitsValue(s + 5, 2);
  c->day = digitsValue(s + 8, 2);
  c->hours = digitsValue(s + 11, 2);
  c->minutes = digitsValue(s + 14, 2);
  c->seconds = digitsValue(s + 17, 2);
  if (!isValidCivil(c)) return false;

  *offsetMins = 0;
  if (len == ISO8601_LEN_WITH_TZ) {
    if ((s[19] != '+' && s[19] != '-') || !isDigit(s[20]) || !isDigit(s[21]) || s[22] != ':' ||
        !isDigit(s[23]) || !isDigit(s[24])) {
      return false;
    }
    int32_t hours = digitsValue(s + 20, 2);
    int32_t minutes = digitsValue(s + 23, 2);
    if (hours >= 24 || minutes >= 60) return false;
    int32_t offset = hours * 60 + minutes;
    *offsetMins = (int16_t)(s[19] == '-' ? -offset : offset);
  }
  return true;
}

bool iso8601str_to_struct_tm(const char* s, struct tm* tm) {
  civilTime c;
  int16_t offsetMins;
  if (tm == NULL || !parseIso8601(s, &c, &offsetMins)) return false;
  int64_t days = daysFromCivil(c.year, c.month, c.day);
  memset(tm, 0, sizeof(*tm));
  tm->tm_year = c.year - 1900;
  tm->tm_mon = c.month - 1;
  tm->tm_mday = c.day;
  tm->tm_hour = c.hours;
  tm->tm_min = c.minutes;
  tm->tm_sec = c.seconds;
  tm->tm_isdst = -1;
  tm->tm_yday = (int)(days - daysFromCivil(c.year, 1, 1));
  tm->tm_wday = (int)(((days + 4) % 7 + 7) % 7);  // 1970-01-01 was a Thursday
  return true;
}

time_t iso8601str_to_localTime_as_time_t_and_tzOffset(const char* s, int16_t* tzOffset) {
  civilTime c;
  int16_t offsetMins = 0;
  time_t result = 0;
  if (parseIso8601(s, &c, &offsetMins)) {
    result = civilToTime(&c);
    if (result < 0) result = 0;
  }
  if (result == 0) offsetMins = 0;
  if (tzOffset != NULL) *tzOffset = offsetMins;
  return result;
}

// An offset this large no longer fits "HH:MM" with hours below 24.
static const int32_t kMaxOffsetMins = 24 * 60 - 1;

int localTime_as_time_t_and_offset_to_iso8601str(time_t localTime, int16_t tzOffsetMins, char* buf,
                                                 size_t size) {
  civilTime c;
  int32_t absOffset = tzOffsetMins < 0 ? -(int32_t)tzOffsetMins : tzOffsetMins;
  if (buf == NULL || size < ISO8601_LEN_WITH_TZ + 1 || absOffset > kMaxOffsetMins ||
      !timeToCivil(localTime, &c)) {
    return -1;
  }
  snprintf(buf, size, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", (int)c.year, (int)c.month,
           (int)c.day, (int)c.hours, (int)c.minutes, (int)c.seconds, tzOffsetMins >= 0 ? '+' : '-',
           (int)(absOffset / 60), (int)(absOffset % 60));
  return 0;
}

int time_t_to_iso8601str_without_timezone(time_t t, char* buf, size_t size) {
  char text[ISO8601_LEN_WITH_TZ + 1];
  if (buf == NULL || size < ISO8601_LEN_WITH_TZ) return -1;
  if (localTime_as_time_t_and_offset_to_iso8601str(t, 0, text, sizeof(text)) != 0) return -1;
  memcpy(buf, text, ISO8601_LEN_WITHOUT_TZ);
  buf[ISO8601_LEN_WITHOUT_TZ] = '\0';
  return 0;
}

time_t struct_dateTime_to_time_t(const dateTime_t* dateTime) {
  if (dateTime == NULL) return 0;
  civilTime c;
  c.year = dateTime->year;
  c.month = dateTime->month;
  c.day = dateTime->day;
  c.hours = dateTime->hours;
  c.minutes = dateTime->minutes;
  c.seconds = dateTime->seconds;
  if (!isValidCivil(&c)) return 0;
  time_t t = civilToTime(&c);
  return t < 0 ? 0 : t;
}

// ---- Checksums ----------------------------------------------------------------------------------

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t len) {
  for (size_t i = 0; i < len; i++) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; bit++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc;
}

// ---- Display ------------------------------------------------------------------------------------

char* uSecsToDisplayStringAll(uint64_t usecs) {
  static char text[16];  // "SSS,SSS.mmm,uuu"
  char digits[12];
  usecs %= 1000000000000ull;  // twelve digits: about 11.6 days, then the display wraps
  for (int i = 11; i >= 0; i--) {
    digits[i] = (char)('0' + usecs % 10);
    usecs /= 10;
  }
  // Built digit by digit: 64-bit printf conversions are missing from small C libraries.
  static const char kSeparatorAfter[12] = {0, 0, ',', 0, 0, '.', 0, 0, ',', 0, 0, 0};
  size_t pos = 0;
  for (int i = 0; i < 12; i++) {
    text[pos++] = digits[i];
    if (kSeparatorAfter[i] != 0) text[pos++] = kSeparatorAfter[i];
  }
  text[pos] = '\0';
  return text;
}

void printBuffAsHex(const uint8_t* buff, size_t len) {
  if (buff == NULL) len = 0;
  for (size_t i = 0; i < len; i++) {
    os_printf("%02X ", buff[i]);
    if ((i + 1) % 16 == 0) os_printf("\n");
  }
  if (len % 16 != 0 || len == 0) os_printf("\n");
}
