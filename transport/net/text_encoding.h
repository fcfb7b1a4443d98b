// Text encodings chosen by charset name. Text in memory is UTF-8; an encoding turns it into the
// bytes of its charset and back.
#pragma once

#include <string>
#include <string_view>

namespace appsrv::transport {

// A conversion between text (UTF-8 in memory) and the bytes of one charset. Encodings are
// immutable and live as long as the process: hold them as plain pointers, share them freely.
class IInTextEncoding {
 public:
  virtual ~IInTextEncoding() = default;
  // Bytes of this charset -> UTF-8 text. Bytes that cannot be decoded become U+FFFD.
  virtual std::string GetString(std::string_view bytes) const = 0;
  // UTF-8 text -> bytes of this charset. Characters the charset lacks become "?".
  virtual std::string GetBytes(std::string_view text) const = 0;
  // The byte-order mark ("" when the charset has none).
  virtual std::string GetPreamble() const = 0;
  virtual int CodePage() const = 0;
};

// ASCII (code page 20127), the default of every I/O handler: bytes of 0x80 and more decode to
// U+FFFD, characters above 127 encode as "?".
const IInTextEncoding* ascii_encoding();
// Each byte is the character of the same value (Latin-1); characters above 255 encode as "?".
const IInTextEncoding* eight_bit_encoding();
const IInTextEncoding* utf8_encoding();           // 65001
const IInTextEncoding* utf16_le_encoding();       // 1200
const IInTextEncoding* utf16_be_encoding();       // 1201
const IInTextEncoding* utf7_encoding();           // 65000
// The encoding of a code page: the members above for 1200, 1201, 20127, 65000 and 65001, a
// platform (iconv) conversion for other pages; nullptr when the platform cannot convert it.
const IInTextEncoding* encoding_for_code_page(int code_page);

// The code page a charset name or alias stands for (case-insensitive), or 0 when unknown.
int charset_to_code_page(std::string_view charset);
// The encoding of a charset name; UTF-8 for an empty, unknown or unusable name.
const IInTextEncoding* CharsetToEncoding(std::string_view charset);

}  // namespace appsrv::transport
