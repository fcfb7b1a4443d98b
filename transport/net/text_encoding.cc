#include "transport/net/text_encoding.h"

#include <iconv.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

#include "base/text.h"
#include "transport/net/charset_table.h"
#include "transport/net/utf7.h"

namespace appsrv::transport {
namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

// Calls `each` with every code point of UTF-8 text; invalid bytes come as U+FFFD, one each.
template <typename F>
void for_each_code_point(std::string_view text, F each) {
  size_t i = 0;
  while (i < text.size()) {
    auto c = base::decode_utf8_at(text, i);
    if (c) {
      each(c->code_point);
      i += c->length;
    } else {
      each(U'\xFFFD');
      ++i;
    }
  }
}

bool is_valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    auto c = base::decode_utf8_at(s, i);
    if (!c) {
      return false;
    }
    i += c->length;
  }
  return true;
}

class TInASCIIEncoding : public IInTextEncoding {
 public:
  std::string GetString(std::string_view bytes) const override {
    std::string out;
    out.reserve(bytes.size());
    for (char b : bytes) {
      if (static_cast<unsigned char>(b) < 0x80) {
        out += b;
      } else {
        out += kReplacementUtf8;
      }
    }
    return out;
  }
  std::string GetBytes(std::string_view text) const override {
    std::string out;
    out.reserve(text.size());
    for_each_code_point(text, [&](char32_t cp) { out += cp < 0x80 ? static_cast<char>(cp) : '?'; });
    return out;
  }
  std::string GetPreamble() const override { return ""; }
  int CodePage() const override { return 20127; }
};

class TIn8BitEncoding : public IInTextEncoding {
 public:
  std::string GetString(std::string_view bytes) const override {
    std::string out;
    out.reserve(bytes.size());
    for (char b : bytes) {
      base::append_utf8(out, static_cast<char32_t>(static_cast<unsigned char>(b)));
    }
    return out;
  }
  std::string GetBytes(std::string_view text) const override {
    std::string out;
    out.reserve(text.size());
    for_each_code_point(text, [&](char32_t cp) { out += cp < 0x100 ? static_cast<char>(cp) : '?'; });
    return out;
  }
  std::string GetPreamble() const override { return ""; }
  int CodePage() const override { return 28591; }
};

class TInUTF8Encoding : public IInTextEncoding {
 public:
  std::string GetString(std::string_view bytes) const override { return sanitized(bytes); }
  std::string GetBytes(std::string_view text) const override { return sanitized(text); }
  std::string GetPreamble() const override { return "\xEF\xBB\xBF"; }
  int CodePage() const override { return 65001; }

 private:
  static std::string sanitized(std::string_view s) {
    if (is_valid_utf8(s)) {
      return std::string(s);
    }
    return base::utf16_to_utf8(base::utf8_to_utf16(s));
  }
};

class TInUTF16Encoding : public IInTextEncoding {
 public:
  explicit TInUTF16Encoding(bool big_endian) : big_endian_(big_endian) {}
  std::string GetString(std::string_view bytes) const override {
    std::u16string units;
    units.reserve(bytes.size() / 2 + 1);
    size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
      const auto a = static_cast<unsigned char>(bytes[i]);
      const auto b = static_cast<unsigned char>(bytes[i + 1]);
      units += static_cast<char16_t>(big_endian_ ? (a << 8 | b) : (b << 8 | a));
    }
    if (i < bytes.size()) {
      units += u'\xFFFD';  // half a code unit
    }
    return base::utf16_to_utf8(units);
  }
  std::string GetBytes(std::string_view text) const override {
    const std::u16string units = base::utf8_to_utf16(text);
    std::string out;
    out.reserve(units.size() * 2);
    for (char16_t u : units) {
      const char hi = static_cast<char>(u >> 8);
      const char lo = static_cast<char>(u & 0xFF);
      out += big_endian_ ? hi : lo;
      out += big_endian_ ? lo : hi;
    }
    return out;
  }
  std::string GetPreamble() const override { return big_endian_ ? "\xFE\xFF" : "\xFF\xFE"; }
  int CodePage() const override { return big_endian_ ? 1201 : 1200; }

 private:
  bool big_endian_;
};

class TInUTF7Encoding : public IInTextEncoding {
 public:
  std::string GetString(std::string_view bytes) const override { return utf7_decode(bytes); }
  std::string GetBytes(std::string_view text) const override { return utf7_encode(text); }
  std::string GetPreamble() const override { return ""; }
  int CodePage() const override { return 65000; }
};

// Another code page, converted by iconv. A conversion descriptor is opened per call: they are
// not safe to share between threads and these code pages are rare on the wire.
class TInMBCSEncoding : public IInTextEncoding {
 public:
  TInMBCSEncoding(int code_page, const char* iconv_name)
      : code_page_(code_page), iconv_name_(iconv_name) {}

  std::string GetString(std::string_view bytes) const override {
    return convert(bytes, "UTF-8", iconv_name_, kReplacementUtf8, false);
  }
  std::string GetBytes(std::string_view text) const override {
    return convert(text, iconv_name_, "UTF-8", "?", true);
  }
  std::string GetPreamble() const override { return ""; }
  int CodePage() const override { return code_page_; }

 private:
  // Converts `in`; an input sequence the target lacks (or that is broken) becomes `replacement`
  // and is skipped: one UTF-8 character when `utf8_input`, else one byte.
  static std::string convert(std::string_view in, const char* to, const char* from,
                             std::string_view replacement, bool utf8_input) {
    iconv_t cd = ::iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
      return std::string(replacement);
    }
    std::string out;
    std::string block(4096, '\0');
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    while (src_left > 0) {
      char* dst = block.data();
      size_t dst_left = block.size();
      size_t rc = ::iconv(cd, &src, &src_left, &dst, &dst_left);
      out.append(block.data(), block.size() - dst_left);
      if (rc != static_cast<size_t>(-1)) {
        break;
      }
      if (errno == E2BIG) {
        continue;
      }
      // EILSEQ or EINVAL (a sequence cut off at the end)
      out += replacement;
      size_t skip = 1;
      if (utf8_input) {
        auto c = base::decode_utf8_at(std::string_view(src, src_left), 0);
        skip = c ? c->length : 1;
      }
      src += skip;
      src_left -= skip;
      ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    // Flush a stateful encoding's shift back to its initial state.
    char* dst = block.data();
    size_t dst_left = block.size();
    ::iconv(cd, nullptr, nullptr, &dst, &dst_left);
    out.append(block.data(), block.size() - dst_left);
    ::iconv_close(cd);
    return out;
  }

  int code_page_;
  const char* iconv_name_;
};

}  // namespace

const IInTextEncoding* ascii_encoding() {
  static const TInASCIIEncoding e;
  return &e;
}
const IInTextEncoding* eight_bit_encoding() {
  static const TIn8BitEncoding e;
  return &e;
}
const IInTextEncoding* utf8_encoding() {
  static const TInUTF8Encoding e;
  return &e;
}
const IInTextEncoding* utf16_le_encoding() {
  static const TInUTF16Encoding e(false);
  return &e;
}
const IInTextEncoding* utf16_be_encoding() {
  static const TInUTF16Encoding e(true);
  return &e;
}
const IInTextEncoding* utf7_encoding() {
  static const TInUTF7Encoding e;
  return &e;
}

const IInTextEncoding* encoding_for_code_page(int code_page) {
  switch (code_page) {
    case 1200:
      return utf16_le_encoding();
    case 1201:
      return utf16_be_encoding();
    case 20127:
      return ascii_encoding();
    case 28591:
      return eight_bit_encoding();  // Latin-1 is exactly one code point per byte
    case 65000:
      return utf7_encoding();
    case 65001:
      return utf8_encoding();
    default:
      break;
  }
  const char* name = iconv_name_of_code_page(code_page);
  if (name == nullptr) {
    return nullptr;
  }
  // Encodings live as long as the process, so each page is made once and kept.
  static std::mutex mu;
  static std::map<int, std::unique_ptr<TInMBCSEncoding>> made;  // guarded by mu
  std::scoped_lock lock(mu);
  auto it = made.find(code_page);
  if (it != made.end()) {
    return it->second.get();
  }
  iconv_t probe = ::iconv_open("UTF-8", name);
  if (probe == reinterpret_cast<iconv_t>(-1)) {
    return nullptr;
  }
  ::iconv_close(probe);
  auto encoding = std::make_unique<TInMBCSEncoding>(code_page, name);
  const IInTextEncoding* result = encoding.get();
  made.emplace(code_page, std::move(encoding));
  return result;
}

int charset_to_code_page(std::string_view charset) {
  return code_page_of_charset(base::trim(charset));
}

const IInTextEncoding* CharsetToEncoding(std::string_view charset) {
  const int code_page = charset_to_code_page(charset);
  const IInTextEncoding* encoding = code_page != 0 ? encoding_for_code_page(code_page) : nullptr;
  return encoding != nullptr ? encoding : utf8_encoding();
}

}  // namespace appsrv::transport
