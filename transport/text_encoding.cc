#include "transport/text_encoding.h"

#include <errno.h>
#include <iconv.h>

#include <array>

#include "base/text.h"

namespace appsrv::transport {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Owns one conversion descriptor.
class Iconv {
 public:
  Iconv(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Iconv() {
    if (ok()) {
      iconv_close(cd_);
    }
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts all of `in`; an unconvertible or broken input sequence skips `skip_unit` bytes
  // and appends `replacement`.
  std::string convert(std::string_view in, size_t skip_unit, std::string_view replacement) {
    std::string out;
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    std::array<char, 1024> buf;
    while (src_left > 0) {
      char* dst = buf.data();
      size_t dst_left = buf.size();
      const size_t rc = iconv(cd_, &src, &src_left, &dst, &dst_left);
      out.append(buf.data(), buf.size() - dst_left);
      if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
        const size_t skip = std::min(skip_unit, src_left);
        src += skip;
        src_left -= skip;
        out.append(replacement);
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
      }
    }
    char* dst = buf.data();
    size_t dst_left = buf.size();
    iconv(cd_, nullptr, nullptr, &dst, &dst_left);
    out.append(buf.data(), buf.size() - dst_left);
    return out;
  }

 private:
  iconv_t cd_;
};

bool is_latin1_name(std::string_view name) {
  static constexpr std::string_view kNames[] = {"iso-8859-1", "iso8859-1", "iso_8859-1", "latin1",
                                                "l1",         "cp819",     "ibm819",     "iso-ir-100",
                                                "csisolatin1", "iso_8859-1:1987"};
  for (std::string_view n : kNames) {
    if (base::iequals(name, n)) {
      return true;
    }
  }
  return false;
}

bool is_ascii_name(std::string_view name) {
  static constexpr std::string_view kNames[] = {"us-ascii", "ascii", "iso646-us", "us", "ansi_x3.4-1968",
                                                "cp367", "ibm367", "csascii"};
  for (std::string_view n : kNames) {
    if (base::iequals(name, n)) {
      return true;
    }
  }
  return false;
}

}  // namespace

TextEncoding TextEncoding::ForCharset(std::string_view charset) {
  const std::string name(base::trim(charset));
  if (name.empty() || base::iequals(name, "utf-8") || base::iequals(name, "utf8")) {
    return Utf8();
  }
  if (is_latin1_name(name)) {
    return TextEncoding(Kind::kLatin1, {});
  }
  if (is_ascii_name(name)) {
    return TextEncoding(Kind::kAscii, {});
  }
  // Only names the platform converts both ways are usable; the rest read as UTF-8.
  if (Iconv(name, "UTF-8").ok() && Iconv("UTF-8", name).ok()) {
    return TextEncoding(Kind::kIconv, base::ascii_uppercase(name));
  }
  return Utf8();
}

std::string TextEncoding::decode(std::string_view bytes) const {
  switch (kind_) {
    case Kind::kUtf8:
      // Broken sequences become U+FFFD, as for every other charset.
      return base::utf16_to_utf8(base::utf8_to_utf16(bytes));
    case Kind::kLatin1: {
      std::string out;
      out.reserve(bytes.size());
      for (unsigned char c : bytes) {
        if (c < 0x80) {
          out += static_cast<char>(c);
        } else {
          out += static_cast<char>(0xC0 | (c >> 6));
          out += static_cast<char>(0x80 | (c & 0x3F));
        }
      }
      return out;
    }
    case Kind::kAscii: {
      std::string out;
      for (unsigned char c : bytes) {
        if (c < 0x80) {
          out += static_cast<char>(c);
        } else {
          out += kReplacement;
        }
      }
      return out;
    }
    case Kind::kIconv:
      break;
  }
  return Iconv("UTF-8", iconv_name_).convert(bytes, 1, kReplacement);
}

std::string TextEncoding::encode(std::string_view utf8) const {
  if (kind_ == Kind::kUtf8) {
    return std::string(utf8);
  }
  if (kind_ == Kind::kIconv) {
    return Iconv(iconv_name_, "UTF-8").convert(utf8, 1, "?");
  }
  std::string out;
  const std::u16string units = base::utf8_to_utf16(utf8);
  for (char16_t u : units) {
    out += encode_code_unit(u);
  }
  return out;
}

std::string TextEncoding::encode_code_unit(char16_t unit) const {
  switch (kind_) {
    case Kind::kUtf8:
      return base::utf16_to_utf8(std::u16string_view(&unit, 1));
    case Kind::kLatin1:
      return std::string(1, unit < 0x100 ? static_cast<char>(unit) : '?');
    case Kind::kAscii:
      return std::string(1, unit < 0x80 ? static_cast<char>(unit) : '?');
    case Kind::kIconv:
      break;
  }
  const char bytes[2] = {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
  return Iconv(iconv_name_, "UTF-16LE").convert(std::string_view(bytes, 2), 2, "?");
}

}  // namespace appsrv::transport
