#include "transport/http/http_body_framing.h"

#include <limits>

#include "base/parse_int.h"
#include "base/text.h"

namespace appsrv::transport {
namespace {

// The codings of a Transfer-Encoding list, trimmed; empty elements are skipped, as RFC 9110
// 5.6.1 asks of a list's recipient.
std::vector<std::string_view> codings(std::string_view list) {
  std::vector<std::string_view> out;
  while (true) {
    const size_t comma = list.find(',');
    const std::string_view coding = base::trim(list.substr(0, comma));
    if (!coding.empty()) {
      out.push_back(coding);
    }
    if (comma == std::string_view::npos) {
      return out;
    }
    list.remove_prefix(comma + 1);
  }
}

}  // namespace

int64_t decimal_int64_or_minus_one(std::string_view text) {
  // Lenient on the blanks around a field value; a length has no sign, so "-0" is no length.
  const std::optional<uint64_t> value = base::parse_int<uint64_t>(base::trim(text));
  if (!value || *value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return -1;
  }
  return static_cast<int64_t>(*value);
}

ContentLength parse_content_length(const std::vector<std::string>& values) {
  ContentLength result;
  for (size_t i = 0; i < values.size(); ++i) {
    const int64_t value = decimal_int64_or_minus_one(values[i]);
    if (value < 0) {
      result.malformed = true;
    }
    if (i == 0) {
      result.value = value;
    } else if (value != result.value || base::trim(values[i]) != base::trim(values[0])) {
      result.conflicting = true;
    }
  }
  return result;
}

BodyFraming body_framing(std::string_view transfer_encoding) {
  // Only a list whose last coding is "chunked", named once, ends where the chunks say; a
  // "chunked" anywhere else, or a name merely containing it, leaves the end unknown.
  size_t chunked = 0;
  bool last_is_chunked = false;
  bool only_identity = true;
  for (const std::string_view coding : codings(transfer_encoding)) {
    last_is_chunked = base::iequals(coding, "chunked");
    chunked += last_is_chunked ? 1 : 0;
    only_identity = only_identity && base::iequals(coding, "identity");
  }
  if (chunked == 0) {
    return only_identity ? BodyFraming::kLength : BodyFraming::kUnsupported;
  }
  return chunked == 1 && last_is_chunked ? BodyFraming::kChunked : BodyFraming::kUnsupported;
}

FramingFault framing_fault(const std::vector<std::string>& transfer_encodings,
                           const std::vector<std::string>& content_lengths, bool http11) {
  const ContentLength length = parse_content_length(content_lengths);
  if (length.malformed) {
    return length.conflicting ? FramingFault::kConflictingLengths : FramingFault::kMalformedLength;
  }
  if (length.conflicting) {
    return FramingFault::kConflictingLengths;
  }
  if (transfer_encodings.empty()) {
    return FramingFault::kNone;
  }
  // RFC 9112 6.3 lets the coding win over the length; refusing is safer, for whoever let the
  // request through may have taken the length.
  if (!content_lengths.empty()) {
    return FramingFault::kLengthBesideCoding;
  }
  if (!http11) {
    return FramingFault::kCodingBeforeHttp11;
  }
  const std::string list = base::join(transfer_encodings, ", ");
  if (body_framing(list) == BodyFraming::kUnsupported) {
    return FramingFault::kUnsupportedCoding;
  }
  // The server undoes no coding but chunked: a body still gzip-coded would reach the
  // application as if it were plain.
  for (const std::string_view coding : codings(list)) {
    if (!base::iequals(coding, "chunked") && !base::iequals(coding, "identity")) {
      return FramingFault::kUnsupportedCoding;
    }
  }
  return FramingFault::kNone;
}

std::optional<int64_t> parse_chunk_size(std::string_view line) {
  // Lenient on the blanks around the size, as before its extensions.
  const std::optional<uint64_t> value =
      base::parse_hex<uint64_t>(base::trim(line.substr(0, line.find(';'))));
  if (!value || *value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return std::nullopt;
  }
  return static_cast<int64_t>(*value);
}

}  // namespace appsrv::transport
