// A phone's frame fetch over BLE, one run printing every figure: a live-view frame (768x432 JPEG)
// through the whole path (FPGA -> SPI -> BLE indications -> camphone) in virtual time, first with
// the phone confirming at once (the camera's own share), then with the phone confirming each
// indication one connection interval after it came, i.e. one 244-byte indication per connection
// event, next to the floor that sets: (1 + ceil(size / 244)) intervals.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "camhost/ble_air.h"
#include "camhost/runtime.h"
#include "camphone/camera.h"
#include "os.h"
#include "sim/board.h"

namespace {

constexpr uint64_t kSec = 1000000;
constexpr size_t kIndication = 244;

camphone::WaitFn KernelWait() {
  return [](int fd, uint64_t usecs) { return camhost::wait_fds(&fd, 1, os_systime64() + usecs) > 0; };
}

// Fetches one frame with each indication confirmed `intervalUs` after it arrived; the size, the
// virtual time from the request to the last byte and the count of frame indications.
bool Fetch(camhost::Instance& inst, const std::string& path, uint64_t intervalUs, int32_t* size,
           uint64_t* usecs, size_t* indications) {
  bool ok = false;
  inst.call([&] {
    camphone::Camera cam(KernelWait());
    std::string error;
    if (!cam.open(path, &error)) return (void)fprintf(stderr, "ble_bench: %s\n", error.c_str());
    if (cam.subscribe("frame") != 0) return;
    cam.att.autoConfirm = false;
    uint16_t want = cam.handle("frame"), h = 0;
    uint64_t t0 = os_systime64();
    if (cam.write("frame", camphone::Bytes{1}) != 0) return;
    camphone::Bytes v;
    size_t got = 0;
    *size = -1;
    *indications = 0;
    while (cam.att.nextIndication(&h, &v, 70 * kSec)) {
      if (intervalUs) os_sleep_us(intervalUs, OS_TIMEOUT_NO_WAKEUP);
      cam.att.confirm();
      if (h != want) continue;
      ++*indications;
      if (*size < 0) {
        *size = static_cast<int32_t>(v[0] | v[1] << 8 | v[2] << 16 | static_cast<uint32_t>(v[3]) << 24);
        if (*size <= 0) break;
      } else {
        got += v.size();
      }
      if (got >= static_cast<size_t>(*size)) {
        ok = got == static_cast<size_t>(*size);
        break;
      }
    }
    *usecs = os_systime64() - t0;
  });
  return ok;
}

}  // namespace

int main() {
  std::string dir = (std::filesystem::temp_directory_path() / "ble-bench-XXXXXX").string();
  if (!mkdtemp(dir.data())) return 1;
  std::string path = dir + "/ble.sock";
  if (!camhost::ble_listen(path)) return fprintf(stderr, "ble_bench: no BLE socket\n"), 1;
  camhost::Options o;
  o.clock = camhost::ClockKind::Virtual;
  o.firmware = CAMFW_PATH;
  int rc = 0;
  {
    camhost::Instance inst(o);
    sim::Board board;
    inst.boot();
    inst.run_until(
        [&] { return inst.console().find("BLE server started with advName") != std::string::npos; },
        10 * kSec);
    const uint64_t kIntervals[] = {0, 7500, 15000, 30000};
    for (uint64_t interval : kIntervals) {
      int32_t size = 0;
      uint64_t us = 0;
      size_t n = 0;
      if (!Fetch(inst, path, interval, &size, &us, &n)) {
        fprintf(stderr, "ble_bench: fetch failed (interval %llu us)\n", (unsigned long long)interval);
        rc = 1;
        break;
      }
      size_t floorEvents = 1 + (static_cast<size_t>(size) + kIndication - 1) / kIndication;
      if (interval == 0)
        printf("frame %d bytes in %zu indications, confirmed at once: %.1f ms virtual (the camera's "
               "own share)\n",
               size, n, us / 1e3);
      else
        printf("frame %d bytes, connection interval %.1f ms, one indication per event: %zu "
               "indications in %.2f s virtual, floor %zu events = %.2f s (%.1f kB/s)\n",
               size, interval / 1e3, n, us / 1e6, floorEvents, floorEvents * interval / 1e6,
               size / (us / 1e6) / 1e3);
    }
    inst.halt();
  }
  camhost::ble_close();
  std::filesystem::remove_all(dir);
  return rc;
}
