#include "transport/http/http_request_line.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/parse_int.h"
#include "base/text.h"

namespace appsrv::transport {
namespace {

constexpr std::string_view kCommands[] = {"UNKNOWN", "HEAD", "GET",   "POST",
                                          "DELETE",  "PUT",  "TRACE", "OPTIONS"};

int decimal_or_minus_one(std::string_view text) { return base::parse_int<int>(text).value_or(-1); }

// The text after the first `delimiter`; the whole text goes when there is none.
std::string_view after_first(std::string_view text, char delimiter) {
  const size_t at = text.find(delimiter);
  return at == std::string_view::npos ? std::string_view() : text.substr(at + 1);
}

}  // namespace

THTTPCommandType CommandType(std::string_view method) {
  for (size_t i = 1; i < std::size(kCommands); ++i) {
    if (base::iequals(method, kCommands[i])) {
      return static_cast<THTTPCommandType>(i);
    }
  }
  return hcUnknown;
}

std::optional<RequestLine> parse_request_line(std::string_view line) {
  const size_t last_blank = line.rfind(' ');
  if (last_blank == std::string_view::npos) {
    return std::nullopt;
  }
  RequestLine result;
  result.version = std::string(line.substr(last_blank + 1));
  const std::string_view numbers = after_first(result.version, '/');
  const size_t dot = numbers.find('.');
  result.major = decimal_or_minus_one(numbers.substr(0, dot));
  result.minor = decimal_or_minus_one(dot == std::string_view::npos ? std::string_view()
                                                                    : numbers.substr(dot + 1));
  const std::string_view rest = line.substr(0, last_blank);
  const size_t first_blank = rest.find(' ');
  result.method = base::ascii_uppercase(rest.substr(0, first_blank));
  if (first_blank != std::string_view::npos) {
    result.target = std::string(rest.substr(first_blank + 1));
  }
  return result;
}

bool IsCleanHeaderLine(std::string_view line) {
  const auto is_control = [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && byte != '\t') || byte == 0x7F;
  };
  // Every header line is looked at: eight bytes a step, and byte by byte only in a step that
  // holds a byte below 0x20 or DEL (a tab, most likely).
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHigh = 0x80 * kOnes;
  size_t at = 0;
  for (; at + 8 <= line.size(); at += 8) {
    uint64_t word = 0;
    std::memcpy(&word, line.data() + at, 8);
    const uint64_t below_space = (word - 0x20 * kOnes) & ~word & kHigh;
    const uint64_t del = word ^ (0x7F * kOnes);
    const uint64_t is_del = (del - kOnes) & ~del & kHigh;
    if ((below_space | is_del) != 0 &&
        std::any_of(line.begin() + static_cast<std::ptrdiff_t>(at),
                    line.begin() + static_cast<std::ptrdiff_t>(at + 8), is_control)) {
      return false;
    }
  }
  return std::none_of(line.begin() + static_cast<std::ptrdiff_t>(at), line.end(), is_control);
}

bool version_at_least(int major, int minor, int want_major, int want_minor) {
  return major > want_major || (major == want_major && minor >= want_minor);
}

bool keep_connection_open(bool keep_alive_allowed, int major, int minor,
                          std::string_view connection_header) {
  if (!keep_alive_allowed) {
    return false;
  }
  if (version_at_least(major, minor, 1, 1)) {
    return !base::iequals(connection_header, "close");
  }
  return base::iequals(connection_header, "keep-alive");
}

}  // namespace appsrv::transport
