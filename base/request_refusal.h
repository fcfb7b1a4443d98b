// Why the transport refused to read a request to its end, named so that the reply, the metrics
// and a reader of either agree on the cause.
#pragma once

#include <cstddef>
#include <string_view>

namespace appsrv::base {

enum class RequestRefusal {
  kHeaderTooLarge,       // the request line, the header block or the trailers over their limit
  kMalformedHeaderLine,  // a header or trailer line the server will not interpret
  kMissingHost,          // HTTP/1.1 without Host
  kUnknownBodyEnd,       // a framing that leaves the end of the body unknown
  kBodyTooLarge,         // a declared length or a sum of chunks over the body limit
  kBadChunk,             // a chunk size that is not one, or data that disagrees with it
  kLengthRequired,       // body bytes with neither a length nor a coding
  kExpectationFailed,    // an Expect the server does not meet
  kBlockedByHook,        // the headers hook said no (its status may differ from 403)
  kTimedOut,             // the request did not arrive in time
  kBodyNotKept,          // the server could not store the body (a full disk, a failing hook)
};
inline constexpr size_t kRequestRefusals = 11;

struct RefusalFacts {
  int status;              // the HTTP status the refusal answers with
  std::string_view cause;  // a lower_case name for logs and metric labels
};

RefusalFacts refusal_facts(RequestRefusal refusal) noexcept;

}  // namespace appsrv::base
