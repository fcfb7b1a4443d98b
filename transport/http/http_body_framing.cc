#include "transport/http/http_body_framing.h"

#include <charconv>

#include "base/text.h"

namespace appsrv::transport {

int64_t decimal_int64_or_minus_one(std::string_view text) {
  text = base::trim(text);
  int64_t value = 0;
  const char* end = text.data() + text.size();
  // A leading "+" or "-" is not part of a length.
  if (text.empty() || text[0] < '0' || text[0] > '9') {
    return -1;
  }
  const auto [stop, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && stop == end ? value : -1;
}

ContentLength parse_content_length(const std::vector<std::string>& values) {
  ContentLength result;
  for (size_t i = 0; i < values.size(); ++i) {
    const int64_t value = decimal_int64_or_minus_one(values[i]);
    if (i == 0) {
      result.value = value;
    } else if (value != result.value || base::trim(values[i]) != base::trim(values[0])) {
      result.conflicting = true;
    }
  }
  return result;
}

BodyFraming body_framing(std::string_view transfer_encoding) {
  const std::string_view te = base::trim(transfer_encoding);
  if (te.empty() || base::iequals(te, "identity")) {
    return BodyFraming::kLength;
  }
  if (base::ifind(te, "chunked") != std::string_view::npos) {
    return BodyFraming::kChunked;
  }
  return BodyFraming::kUnsupported;
}

std::optional<int64_t> parse_chunk_size(std::string_view line) {
  const std::string_view size = base::trim(line.substr(0, line.find(';')));
  if (size.empty()) {
    return std::nullopt;
  }
  int64_t value = 0;
  const char* end = size.data() + size.size();
  const auto [stop, ec] = std::from_chars(size.data(), end, value, 16);
  if (ec != std::errc() || stop != end || value < 0 || size[0] == '-' || size[0] == '+') {
    return std::nullopt;
  }
  return value;
}

}  // namespace appsrv::transport
