// ISO 8601 date-time text from the STM32, the phone and the camera server: parsing never reads
// past the text, and a text that parses formats back to the same instant and offset.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "utilities/utilities.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy
  int16_t offset = 0;
  time_t local = iso8601str_to_localTime_as_time_t_and_tzOffset(text.c_str(), &offset);
  struct tm tm;
  iso8601str_to_struct_tm(text.c_str(), &tm);
  if (local <= 0) return 0;

  char formatted[32];
  if (localTime_as_time_t_and_offset_to_iso8601str(local, offset, formatted, sizeof formatted) != 0)
    abort();
  int16_t offset2 = 0;
  time_t local2 = iso8601str_to_localTime_as_time_t_and_tzOffset(formatted, &offset2);
  if (local2 != local || offset2 != offset) abort();
  return 0;
}
