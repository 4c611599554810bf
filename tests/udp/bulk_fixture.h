// The bulk data path's world: a joined camera with an SD card of the test's own, and camserver
// connected over TCP.
#ifndef CAMLINK_TESTS_UDP_BULK_FIXTURE_H
#define CAMLINK_TESTS_UDP_BULK_FIXTURE_H

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <turbojpeg.h>

#include "bulk.h"
#include "sim/sdcard.h"
#include "udp_fixture.h"

inline camserver::Bytes Pattern(size_t n, uint32_t seed) {
  camserver::Bytes v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; i++) {
    x = x * 1103515245u + 12345u;
    v[i] = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

class TempCard {
 public:
  TempCard() {
    std::string pattern = (std::filesystem::temp_directory_path() / "camcard-XXXXXX").string();
    if (mkdtemp(pattern.data())) path = pattern;
  }
  ~TempCard() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  void Write(const std::string& name, const camserver::Bytes& data) {
    std::ofstream f(path + "/" + name, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  std::string path;
};

// Whether `jpeg` is one whole image: its markers and a decode without a warning.
inline bool WholeJpeg(const camserver::Bytes& jpeg) {
  size_t n = jpeg.size();
  if (n < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8 || jpeg[n - 2] != 0xFF || jpeg[n - 1] != 0xD9)
    return false;
  tjhandle tj = tjInitDecompress();
  int w = 0, h = 0, sub = 0, space = 0;
  bool ok = tjDecompressHeader3(tj, jpeg.data(), static_cast<unsigned long>(n), &w, &h, &sub,
                                &space) == 0;
  std::vector<uint8_t> pixels(ok ? static_cast<size_t>(w) * h * 3 : 0);
  ok = ok && tjDecompress2(tj, jpeg.data(), static_cast<unsigned long>(n), pixels.data(), w, 0,
                           h, TJPF_RGB, 0) == 0;
  tjDestroy(tj);
  return ok;
}

// Asks for a file's contents on the server's thread and returns once part of it has come.
inline uint32_t StartDownloadAndTakeSome(camserver::Server& server, const std::string& name,
                                         uint64_t bytes = 200000) {
  camserver::Bytes f(16, 0);
  std::copy(name.begin(), name.end(), f.begin());
  uint32_t seq = server.bulk().send_request(camserver::kTcpFileContents, f);
  uint64_t until = server.waiter().now_us() + 10 * kSec;
  while (server.bulk().bytes_received() < bytes && server.waiter().now_us() < until)
    server.serve_until(server.waiter().now_us() + 10000);
  return seq;
}

inline void StartBigDownloadAndTakeSome(camserver::Server& server) {
  StartDownloadAndTakeSome(server, "BIG.BIN");
}

class Bulk : public UdpWorld {
 protected:
  void SetUp() override {
    UdpWorld::SetUp();
    board.sdcard().set_dir(card.path);
    std::vector<uint8_t> rec;
    for (int i = 0; i < 4; i++) {
      auto j = sim::test_card_jpeg(160, 90, "REC", "FRAME " + std::to_string(i));
      rec.insert(rec.end(), j.begin(), j.end());
    }
    card.Write("REC1.MJP", rec);
  }
  bool OpenAndConnect() {
    if (!Open()) return false;
    bool ok = false;
    OnKernel([&] { ok = server->bulk().connect(60 * kSec); });
    return ok;
  }
  // A new data connection, then `name` downloaded whole: what the card holds must come back.
  ::testing::AssertionResult ReconnectsAndDownloads(const std::string& name,
                                                    const camserver::Bytes& expected) {
    camserver::Bytes got;
    int16_t result = 1;
    bool ok = false;
    OnKernel([&] {
      ok = server->bulk().connect(60 * kSec) &&
           server->bulk().get_file(name, &got, &result, nullptr);
    });
    if (!ok) return ::testing::AssertionFailure() << "no connection or no reply for " << name;
    if (result != 0) return ::testing::AssertionFailure() << name << ": result " << result;
    if (got != expected)
      return ::testing::AssertionFailure() << name << ": " << got.size() << " bytes differ from "
                                           << expected.size() << " on the card";
    return ::testing::AssertionSuccess();
  }
  uint64_t BytesCopied() { return Symbol<uint64_t (*)()>("_Z19spi2fpgaBytesCopiedv")(); }
  uint32_t FreeBuffers() { return Symbol<uint32_t (*)()>("_Z16txAvailableCountv")(); }
  // Lets acknowledgements come in, then the pool's free count.
  uint32_t FreeBuffersAfterAWhile() {
    Serve(2 * kSec);
    return FreeBuffers();
  }

  // On the server's thread: asks for live view over TCP for `seconds` (0 stops it); the
  // request's sequence number.
  uint32_t AskLiveView(uint32_t seconds) {
    camserver::Bytes f(12, 0);
    camserver::put32(f, 0, seconds);
    return server->bulk().send_request(camserver::kTcpLiveViewFrame, f);
  }
  // On the server's thread: serves `usecs`, then takes every message not waited for.
  std::vector<camserver::TcpMessage> ServeAndTake(uint64_t usecs) {
    server->serve_until(server->waiter().now_us() + usecs);
    std::vector<camserver::TcpMessage> out(server->bulk().unclaimed().begin(),
                                           server->bulk().unclaimed().end());
    server->bulk().unclaimed().clear();
    return out;
  }

  TempCard card;
};

#endif  // CAMLINK_TESTS_UDP_BULK_FIXTURE_H
