// The HTTP request reader: one connection whose peer sends the input (after its first byte,
// which says in what pieces it arrives), served to the end.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/http_server_fixture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static appsrv::fuzz::FuzzHttpServer server;
  if (size == 0) {
    return 0;
  }
  const size_t piece = data[0];
  server.Serve(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1), piece);
  return 0;
}
