// The reply packet decoder: any payload either gives a reply or fails with a packet error; an
// inline body is exactly as long as the packet says.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/exception.h"
#include "fuzz/packet_envelope.h"
#include "fuzz/scratch_guard.h"
#include "server/exchange/reply_packet_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  appsrv::fuzz::scratch_folder();
  const std::vector<char> buffer = appsrv::fuzz::inline_packet(data, size);
  try {
    const appsrv::server::ReplyPacket reply =
        appsrv::server::read_reply_packet(buffer.data(), static_cast<int32_t>(buffer.size()));
    if (reply.body && reply.body_text().size() > size) {
      std::abort();
    }
  } catch (const appsrv::base::Exception&) {
  }
  return 0;
}
