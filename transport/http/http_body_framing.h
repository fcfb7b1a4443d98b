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
  bool malformed = false;    // a value that is not all digits (a sign, a list, too large)
};

// From the values of every Content-Length header of a request. Repeats of one value count as
// that value; differing values are a smuggling attempt.
ContentLength parse_content_length(const std::vector<std::string>& values);

// A decimal 64-bit number, or -1 when the text is not one (after trimming).
int64_t decimal_int64_or_minus_one(std::string_view text);

enum class BodyFraming {
  kLength,       // no transfer coding but "identity": Content-Length (or no body)
  kChunked,      // the codings end in "chunked", named once
  kUnsupported,  // any other list of codings: where the body ends is unknown
};
// From the comma-separated list of every Transfer-Encoding line of a request, in order.
BodyFraming body_framing(std::string_view transfer_encoding);

// Why the server cannot tell where a request's body ends. Each is answered 400 and closes the
// connection: a proxy in front may read the same bytes differently, and guessing would serve
// the rest of the body as a request of its own.
enum class FramingFault {
  kNone,
  kMalformedLength,       // a Content-Length that is not all digits
  kConflictingLengths,    // Content-Length lines that disagree
  kUnsupportedCoding,     // codings other than "identity" and one final "chunked"
  kLengthBesideCoding,    // Content-Length and Transfer-Encoding together
  kCodingBeforeHttp11,    // Transfer-Encoding in an HTTP/1.0 request (RFC 9112 6.1)
};
// From the values of every Transfer-Encoding and Content-Length line of a request.
FramingFault framing_fault(const std::vector<std::string>& transfer_encodings,
                           const std::vector<std::string>& content_lengths, bool http11);

// The size on a chunk-size line: the text before any ";" (extensions), trimmed, as hexadecimal.
// nullopt when it is not hexadecimal or does not fit in 63 bits, so a malformed size can never
// read as the last chunk and leave the rest of the body to be read as the next request.
std::optional<int64_t> parse_chunk_size(std::string_view line);

}  // namespace appsrv::transport
