// SLIP encoder and decoders. No state, no allocation; failures are logged and reported by a 0 or
// false result.
#include "slipSLIPUtilities/slipSLIPUtilities.h"

#include <string.h>

#include "dbgmsgrDebugMessenger/dbgmsgrDebugMessenger.h"

int slipEncode(const uint8_t* binaryBuffer, uint16_t binaryBufferLen, uint8_t* slipBuffer,
               uint16_t slipBufferLen) {
  if (slipBuffer == NULL || (binaryBuffer == NULL && binaryBufferLen > 0)) return 0;
  // Even an empty message needs both ENDs.
  if (slipBufferLen < 2) {
    DBGLOG("buffer overflow; can't encode; msg len %d, output buffer len %d\n",
           (int)binaryBufferLen, (int)slipBufferLen);
    return 0;
  }
  uint32_t pos = 0;
  slipBuffer[pos++] = SLIP_END;
  for (uint32_t i = 0; i < binaryBufferLen; i++) {
    if (pos + 2 >= slipBufferLen) {
      DBGLOG("buffer overflow; can't encode; msg len %d, output buffer len %d\n",
             (int)binaryBufferLen, (int)slipBufferLen);
      return 0;
    }
    uint8_t byte = binaryBuffer[i];
    if (byte == SLIP_END) {
      slipBuffer[pos++] = SLIP_ESC;
      slipBuffer[pos++] = SLIP_ESC_END;
    } else if (byte == SLIP_ESC) {
      slipBuffer[pos++] = SLIP_ESC;
      slipBuffer[pos++] = SLIP_ESC_ESC;
    } else {
      slipBuffer[pos++] = byte;
    }
  }
  slipBuffer[pos++] = SLIP_END;
  return (int)pos;
}

// The data byte that the escape pair starting at slipBuffer[escPos] stands for. False (logged)
// when the byte after ESC is neither ESC_END nor ESC_ESC.
static bool unescape(const uint8_t* slipBuffer, uint32_t escPos, const char* funcName,
                     uint8_t* byte) {
  uint8_t code = slipBuffer[escPos + 1];
  if (code == SLIP_ESC_END) {
    *byte = SLIP_END;
  } else if (code == SLIP_ESC_ESC) {
    *byte = SLIP_ESC;
  } else {
    DBGLOG_AS(funcName, "SLIP decode error: unexpected escape char 0x%02X at position %d\n",
              (unsigned)code, (int)(escPos + 1));
    return false;
  }
  return true;
}

// A frame whose closing END is not within the bytes given: reading on would leave the input.
static int failWithoutEnd(uint32_t slipBufferLen) {
  DBGLOG_AS("slipDecode", "SLIP decode error: no end char within %u bytes\n",
            (unsigned)slipBufferLen);
  return 0;
}

int slipDecode(const uint8_t* slipBuffer, uint32_t slipBufferLen, uint8_t* binaryBuffer,
               uint16_t binaryBufferLen) {
  if (slipBuffer == NULL || slipBufferLen == 0 || slipBuffer[0] != SLIP_END) {
    DBGLOG_TEXT("SLIP decode error: no start char found");
    return 0;
  }
  if (slipBufferLen < binaryBufferLen) {
    DBGLOG_TEXT("ERROR!! provided buffer larger than slip buffer");
    return 0;
  }
  uint32_t pos = 1;
  uint16_t produced = 0;
  while (produced < binaryBufferLen) {
    if (pos >= slipBufferLen) return failWithoutEnd(slipBufferLen);
    uint8_t byte = slipBuffer[pos];
    if (byte == SLIP_END) return produced;  // a frame may be shorter than the buffer
    if (byte == SLIP_ESC) {
      if (pos + 1 >= slipBufferLen) return failWithoutEnd(slipBufferLen);
      if (!unescape(slipBuffer, pos, __func__, &byte)) return 0;
      pos += 2;
    } else {
      pos += 1;
    }
    binaryBuffer[produced++] = byte;
  }
  if (pos >= slipBufferLen) return failWithoutEnd(slipBufferLen);
  if (slipBuffer[pos] == SLIP_END) return produced;

  // The frame is longer than the caller expected: report by how many data bytes, counting those
  // after the first surplus one up to the END (or as far as it is worth looking).
  uint32_t limit = slipBufferLen < SLIP_MAX_SCAN_POSITION ? slipBufferLen : SLIP_MAX_SCAN_POSITION;
  pos += slipBuffer[pos] == SLIP_ESC ? 2 : 1;
  int surplus = 0;
  while (pos < limit && slipBuffer[pos] != SLIP_END) {
    pos += slipBuffer[pos] == SLIP_ESC ? 2 : 1;
    surplus++;
  }
  DBGLOG("SLIP decode error: end char found %d bytes beyond expected\n", surplus);
  return 0;
}

bool slipGetHeaderFromSLIP(const uint8_t* slipBuffer, CameraMessageHeader* header) {
  if (header == NULL) return false;
  memset(header, 0, sizeof(*header));
  if (slipBuffer == NULL || slipBuffer[0] != SLIP_END) {
    DBGLOG_TEXT("SLIP decode error: no start char found");
    return false;
  }
  if (slipBuffer[1] == SLIP_END) {
    DBGLOG_TEXT("SLIP_END at pos 1; no header found");
    return false;
  }
  uint8_t bytes[sizeof(CameraMessageHeader)];
  uint32_t pos = 1;
  for (size_t i = 0; i < sizeof(bytes); i++) {
    uint8_t byte = slipBuffer[pos];
    // An END here closes a frame shorter than a header: whatever follows is not this message.
    if (byte == SLIP_END) {
      DBGLOG("SLIP decode error: end char at position %d, inside the %u-byte header\n", (int)pos,
             (unsigned)sizeof(bytes));
      return false;
    }
    if (byte == SLIP_ESC) {
      if (!unescape(slipBuffer, pos, __func__, &byte)) return false;
      pos += 2;
    } else {
      pos += 1;
    }
    bytes[i] = byte;
  }
  header->length = (uint16_t)(bytes[0] | bytes[1] << 8);
  header->command = (uint16_t)(bytes[2] | bytes[3] << 8);
  header->commandSignature = (uint32_t)bytes[4] | (uint32_t)bytes[5] << 8 |
                             (uint32_t)bytes[6] << 16 | (uint32_t)bytes[7] << 24;
  header->result = (int32_t)((uint32_t)bytes[8] | (uint32_t)bytes[9] << 8 |
                             (uint32_t)bytes[10] << 16 | (uint32_t)bytes[11] << 24);
  return true;
}

bool isSLIPFrame(const uint8_t* buff, size_t bufflen) {
  return buff != NULL && bufflen >= 2 && buff[0] == SLIP_END && buff[bufflen - 1] == SLIP_END;
}
