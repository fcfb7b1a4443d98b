// Number and byte encodings: base 36, hexadecimal, Base64, float text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace appsrv::base {

// Upper-case digits 0-9A-Z, no leading zeros ("0" for zero).
std::string to_base36(uint64_t value);
// Accepts either letter case; nullopt on an empty text, another character or overflow.
std::optional<uint64_t> from_base36(std::string_view text);

// Upper-case hexadecimal without leading zeros ("0" for zero).
std::string to_hex_upper(uint64_t value);
// Lower-case hexadecimal of each byte, two digits a byte.
std::string hex_lower(std::string_view bytes);

std::string base64_encode(std::string_view bytes);
// Ignores characters outside the alphabet (line breaks); stops at the first "=".
std::string base64_decode(std::string_view text);

// The shortest text of up to 15 significant digits that reads back as the same value at that
// precision, in the process's English locale: "0.5", "123", "1E20", "1.5E-7".
std::string float_text(double value);

}  // namespace appsrv::base
