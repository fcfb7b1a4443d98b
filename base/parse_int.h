// The one way to read an integer from text: the whole text, an optional leading '-' (for signed
// types only), then decimal digits, and a value that fits the type. Anything else, leading or
// trailing spaces and '+' included, is not a number. A caller that is lenient (a default for a
// missing value, trimmed settings text) says so where it calls. parse_hex is the same rule for
// hexadecimal digits (chunk sizes, "%XX" escapes).
#pragma once

#include <charconv>
#include <concepts>
#include <optional>
#include <string_view>
#include <type_traits>

namespace appsrv::base {

template <std::integral T>
  requires(!std::same_as<T, bool>)
std::optional<T> parse_int(std::string_view text) noexcept {
  if (text.empty()) {
    return std::nullopt;
  }
  // from_chars takes a '-' for signed types; no other sign, and no "-" alone.
  if (text.front() == '-' && (std::is_unsigned_v<T> || text.size() == 1)) {
    return std::nullopt;
  }
  T value{};
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, 10);
  if (error != std::errc{} || stop != end) {
    return std::nullopt;
  }
  return value;
}

// The whole text as hexadecimal digits of either case, with no sign and no "0x", in range.
template <std::unsigned_integral T>
  requires(!std::same_as<T, bool>)
std::optional<T> parse_hex(std::string_view text) noexcept {
  // from_chars would take a '-' for no type here, but says nothing of '+': refuse both first.
  if (text.empty() || text.front() == '-' || text.front() == '+') {
    return std::nullopt;
  }
  T value{};
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, 16);
  if (error != std::errc{} || stop != end) {
    return std::nullopt;
  }
  return value;
}

}  // namespace appsrv::base
