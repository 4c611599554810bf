// camphone's view of the camera's GATT service: its characteristics by name and their values,
// encoded and decoded from the byte layouts of the service with camphone's own code.
#ifndef CAMPHONE_CAMERA_H
#define CAMPHONE_CAMERA_H

#include <string>
#include <vector>

#include "camphone/att_client.h"

namespace camphone {

struct CharInfo {
  const char* name;    // the name commands use
  uint8_t uuidByte;    // the UUID is this byte sixteen times
  const char* format;  // how the value is shown and written (see valueHelp)
};

// The 24 characteristics in service order.
const std::vector<CharInfo>& cameraCharacteristics();
const CharInfo* charByName(const std::string& name);
const CharInfo* charByStateChange(uint32_t type);  // nullptr for the ones without a characteristic
const char* stateChangeName(uint32_t type);
Bytes uuidOf(const CharInfo& c);

// Text of a value read from characteristic `c`.
std::string decodeValue(const CharInfo& c, const Bytes& v);
// Bytes to write for `text`; false with `error` when `text` does not fit the format.
bool encodeValue(const CharInfo& c, const std::string& text, Bytes* out, std::string* error);
// A state-change or debug-console indication as a line of text.
std::string decodeStateChange(const Bytes& v);
std::string decodeDebugLine(const Bytes& v);

// The connected camera: discovery done, the characteristics' handles at hand.
class Camera {
 public:
  explicit Camera(WaitFn wait = {}) : att(std::move(wait)) {}
  // Connects, exchanges MTU 247 and discovers; the error on failure.
  bool open(const std::string& path, std::string* error);
  int read(const std::string& name, Bytes* value);
  int write(const std::string& name, const Bytes& value);
  int subscribe(const std::string& name, bool on = true);
  // Writes the access code (and its terminator); true when the camera's state change says the
  // link is now authenticated.
  bool authenticate(const std::string& code, uint64_t usecs = 5000000);
  // Waits for a large-data stream on `name` (frame or directory): a 4-byte size, then the bytes.
  // The size (negative: the camera's error code) and the data; false on time-out or loss.
  bool stream(const std::string& name, int32_t* size, Bytes* data, uint64_t usecs);
  // Waits for the next indication from `name`, keeping the others for later.
  bool indication(const std::string& name, Bytes* value, uint64_t usecs);
  uint16_t handle(const std::string& name) const;
  AttClient att;

 private:
  std::vector<std::pair<uint16_t, Bytes>> held_;
};

}  // namespace camphone

#endif  // CAMPHONE_CAMERA_H
