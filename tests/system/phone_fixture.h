// The phone's side of BLE tests: camphone on a kernel thread, waiting on the BLE socket in the
// instance's own time.
#ifndef CAMLINK_TESTS_SYSTEM_PHONE_FIXTURE_H
#define CAMLINK_TESTS_SYSTEM_PHONE_FIXTURE_H

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "camhost/runtime.h"
#include "camphone/camera.h"
#include "os.h"

namespace phonetest {

inline camphone::WaitFn KernelWait() {
  return [](int fd, uint64_t usecs) {
    return camhost::wait_fds(&fd, 1, os_systime64() + usecs) > 0;
  };
}

// Runs `fn` on a kernel thread of `inst` as a phone connected to the socket at `path` and
// discovered.
inline void AsPhone(camhost::Instance& inst, const std::string& path,
                    const std::function<void(camphone::Camera&)>& fn) {
  ASSERT_TRUE(inst.call([&] {
    camphone::Camera cam(KernelWait());
    std::string error;
    ASSERT_TRUE(cam.open(path, &error)) << error;
    fn(cam);
  }));
}

}  // namespace phonetest

#endif  // CAMLINK_TESTS_SYSTEM_PHONE_FIXTURE_H
