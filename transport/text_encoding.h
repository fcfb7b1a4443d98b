// Charsets named by requests and replies: turning bytes in a charset into UTF-8 and back.
#pragma once

#include <string>
#include <string_view>

namespace appsrv::transport {

// One charset, chosen by name; unknown, empty or unusable names give UTF-8. Values are cheap to
// copy and safe to use from any thread.
class TextEncoding {
 public:
  // Looks the name up ignoring case: "utf-8", "iso-8859-1" and its aliases, "us-ascii",
  // "utf-16le"/"utf-16be" and whatever else the platform's iconv converts.
  static TextEncoding ForCharset(std::string_view charset);
  static TextEncoding Utf8() { return TextEncoding(Kind::kUtf8, {}); }

  // Bytes in this charset -> UTF-8; bytes the charset cannot read become U+FFFD.
  std::string decode(std::string_view bytes) const;
  // UTF-8 text -> bytes in this charset; characters it cannot hold become "?".
  std::string encode(std::string_view utf8) const;
  // One UTF-16 code unit -> its bytes in this charset (a lone surrogate in UTF-8 is U+FFFD).
  std::string encode_code_unit(char16_t unit) const;

  bool is_utf8() const { return kind_ == Kind::kUtf8; }

 private:
  enum class Kind { kUtf8, kLatin1, kAscii, kIconv };
  TextEncoding(Kind kind, std::string iconv_name) : kind_(kind), iconv_name_(std::move(iconv_name)) {}

  Kind kind_;
  std::string iconv_name_;  // for kIconv
};

}  // namespace appsrv::transport
