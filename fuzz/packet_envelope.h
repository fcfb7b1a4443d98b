// Puts a fuzz input into the exchange buffer as an inline packet payload. The envelope that
// names a spilled payload's file is left out: its path is trusted in-process data, and a fuzzer
// that named /dev/stdin there would only hang.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "server/exchange/http_packet.h"

namespace appsrv::fuzz {

inline std::vector<char> inline_packet(const uint8_t* payload, size_t size) {
  std::vector<char> buffer(9 + size);
  const int32_t header[2] = {server::kPacketSignature, server::kPacketVersion};
  std::memcpy(buffer.data(), header, sizeof header);
  buffer[8] = 0;
  if (size > 0) {
    std::memcpy(buffer.data() + 9, payload, size);
  }
  return buffer;
}

}  // namespace appsrv::fuzz
