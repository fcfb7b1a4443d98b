// The request packet decoder: any payload either builds a request record or fails with a
// packet error. Uploaded-file paths in it are only ever deleted inside the scratch folder.
#include <cstddef>
#include <cstdint>

#include "base/exception.h"
#include "fuzz/packet_envelope.h"
#include "fuzz/scratch_guard.h"
#include "server/http/http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  appsrv::fuzz::scratch_folder();
  const std::vector<char> buffer = appsrv::fuzz::inline_packet(data, size);
  try {
    appsrv::server::THttpRequest request(buffer.data(), static_cast<int32_t>(buffer.size()));
    request.GetParams();
    request.GetCookieValue("SvSessionId");
    request.GetRawHeaderValue("Host");
  } catch (const appsrv::base::Exception&) {
  }
  return 0;
}
