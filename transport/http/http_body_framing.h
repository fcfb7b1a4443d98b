// How a request says where its body ends: Content-Length, chunked transfer coding, or neither.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace appsrv::transport {

struct ContentLength {
  int64_t value = -1;        // -1: none, or not a decimal number
  bool conflicting = false;  // several Content-Length headers that disagree
};

// From the values of every Content-Length header of a request. Repeats of one value count as
// that value; differing values are a smuggling attempt.
ContentLength parse_content_length(const std::vector<std::string>& values);

// A decimal 64-bit number, or -1 when the text is not one (after trimming).
int64_t decimal_int64_or_minus_one(std::string_view text);

enum class BodyFraming {
  kLength,       // Transfer-Encoding empty or "identity": Content-Length (or no body)
  kChunked,      // Transfer-Encoding names "chunked"
  kUnsupported,  // any other transfer coding: 400
};
BodyFraming body_framing(std::string_view transfer_encoding);

// The size on a chunk-size line: the text before any ";" (extensions), trimmed, as hexadecimal.
// nullopt when it is not hexadecimal or does not fit in 63 bits, so a malformed size can never
// read as the last chunk and leave the rest of the body to be read as the next request.
std::optional<int64_t> parse_chunk_size(std::string_view line);

}  // namespace appsrv::transport
