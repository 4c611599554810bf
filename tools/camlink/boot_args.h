// The platform boot arguments the firmware reads, with the values it can use. camlink refuses
// any other name or value: the kernel takes a name it does not know, or a value that is not a
// number, for an absent argument, so a typo would pass unnoticed.
#ifndef CAMLINK_BOOT_ARGS_H
#define CAMLINK_BOOT_ARGS_H

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace camlink {

struct BootArgInfo {
  const char* name;
  long min, max;
};

// Add a boot argument here when the firmware starts reading it (os_get_boot_arg_int).
inline constexpr BootArgInfo kBootArgs[] = {
    {"wifi.cloud_pm", 0, 1},  // 0: set up the Wi-Fi chip's cloud power management
};

// Checks NAME=VALUE (VALUE a whole number as the kernel reads it: decimal, 0x hex or 0 octal).
// Returns "" or what is wrong.
inline std::string check_boot_arg(const std::string& name, const std::string& value) {
  for (const BootArgInfo& a : kBootArgs) {
    if (name != a.name) continue;
    const std::string range = std::to_string(a.min) + ".." + std::to_string(a.max);
    errno = 0;
    char* end = nullptr;
    const long v = strtol(value.c_str(), &end, 0);
    if (value.empty() || *end || errno == ERANGE || v < INT_MIN || v > INT_MAX || v < a.min ||
        v > a.max)
      return "the value must be a whole number in " + range;
    return "";
  }
  std::string known;
  for (const BootArgInfo& a : kBootArgs) known += std::string(known.empty() ? "" : ", ") + a.name;
  return "not a boot argument the firmware reads (it reads " + known + ")";
}

}  // namespace camlink

#endif  // CAMLINK_BOOT_ARGS_H
