// The integer text rule that string values follow when read as integers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace appsrv::json {

// Optional leading spaces (U+0020 only), an optional "+" or "-", then decimal digits or a
// hexadecimal number introduced by "$", "x", "X", "0x" or "0X", and nothing after the digits.
// nullopt without a digit, on any other character, or outside the signed 64-bit range.
std::optional<int64_t> parse_integer_text(std::u16string_view text);
std::optional<int64_t> parse_integer_text(std::string_view text);

}  // namespace appsrv::json
