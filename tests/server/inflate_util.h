// Test helper: inflates gzip or zlib data with zlib so tests can check compressed output.
#pragma once

#include <zlib.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace appsrv::server::testing {

// Window bits 47 lets zlib detect gzip or zlib framing from the header.
inline std::string inflate_all(std::string_view data, int window_bits = 47) {
  z_stream z{};
  if (inflateInit2(&z, window_bits) != Z_OK) {
    throw std::runtime_error("inflateInit2");
  }
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char buf[4096];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
    if (rc == Z_BUF_ERROR && z.avail_in == 0) {
      break;
    }
  }
  const bool complete = rc == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  if (!complete) {
    throw std::runtime_error("inflate did not reach the end of the stream");
  }
  return out;
}

}  // namespace appsrv::server::testing
