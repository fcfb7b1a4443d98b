// UTF-7 (modified base64 runs of UTF-16) between text and bytes.
#pragma once

#include <string>
#include <string_view>

namespace appsrv::transport {

// UTF-8 text -> UTF-7 bytes. Letters, digits, the characters '(),-./:? and space, tab, CR and
// LF go as they are; "+" becomes "+-"; everything else goes in base64 runs.
std::string utf7_encode(std::string_view text);
// UTF-7 bytes -> UTF-8 text. Bytes above 0x7F and broken runs decode to U+FFFD.
std::string utf7_decode(std::string_view bytes);

}  // namespace appsrv::transport
