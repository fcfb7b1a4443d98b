#include "json/dyn_object.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <utility>

#include "base/encoding.h"
#include "base/text.h"
#include "json/integer_text.h"

namespace appsrv::json {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// How the writer treats each ASCII code unit when escaping: 0 writes it as it is, 'u' as
// \u00XX, any other letter as a backslash and that letter.
struct EscapeTable {
  char full[128] = {};   // escape true
  char plain[128] = {};  // escape false
  constexpr EscapeTable() {
    for (int c = 0; c < 0x20; ++c) {
      full[c] = 'u';
    }
    const std::pair<char, char> named[] = {{'\b', 'b'}, {'\t', 't'}, {'\n', 'n'},  {'\f', 'f'},
                                           {'\r', 'r'}, {'"', '"'},  {'\\', '\\'}, {'/', '/'}};
    for (const auto& [c, e] : named) {
      full[static_cast<unsigned char>(c)] = e;
    }
    plain[0] = 'u';
    for (const char c : {'"', '\\', '/'}) {
      plain[static_cast<unsigned char>(c)] = c;
    }
  }
};
constexpr EscapeTable kEscapes;

const std::u16string kEmptyText;

// Round to the nearest integer, halves to the even neighbour.
int64_t round_half_even(double v) {
  if (std::isnan(v)) {
    return 0;
  }
  // Out of range saturates: reading a member never fails.
  if (v >= 9223372036854775807.0) {
    return std::numeric_limits<int64_t>::max();
  }
  if (v <= -9223372036854775808.0) {
    return std::numeric_limits<int64_t>::min();
  }
  const double floor = std::floor(v);
  const double diff = v - floor;
  auto r = static_cast<int64_t>(floor);
  if (diff > 0.5 || (diff == 0.5 && (r & 1) != 0)) {
    ++r;
  }
  return r;
}

int64_t currency_to_integer(int64_t scaled) {
  int64_t q = scaled / 10000;
  const int64_t r = scaled % 10000;  // carries the sign of `scaled`
  if (r > 5000 || (r == 5000 && (q & 1) != 0)) {
    ++q;
  } else if (r < -5000 || (r == -5000 && (q & 1) != 0)) {
    --q;
  }
  return q;
}

void append_int(std::string& out, int64_t v) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

// Plain decimal form of a currency value: up to four decimals, trailing zeros dropped.
void append_currency(std::string& out, int64_t scaled) {
  uint64_t magnitude = static_cast<uint64_t>(scaled);
  if (scaled < 0) {
    out += '-';
    magnitude = 0 - magnitude;
  }
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, magnitude / 10000);
  out.append(buf, res.ptr);
  auto frac = static_cast<unsigned>(magnitude % 10000);
  if (frac != 0) {
    char digits[5] = {'.'};
    int n = 4;
    while (frac % 10 == 0) {
      frac /= 10;
      --n;
    }
    for (int i = n; i >= 1; --i) {
      digits[i] = static_cast<char>('0' + frac % 10);
      frac /= 10;
    }
    out.append(digits, static_cast<size_t>(n) + 1);
  }
}

std::u16string to_u16(std::string_view utf8) { return base::utf8_to_utf16(utf8); }

}  // namespace

// Writes values in one pass into one growing buffer.
class DynWriter {
 public:
  DynWriter(std::string& out, bool indent, bool escape)
      : out_(out), indent_(indent), escape_(escape) {}

  // JSON has no words for the infinities or NaN: an infinity is written as a number too large
  // for a double, which every reader takes back as that infinity; NaN becomes null.
  void double_text(double v) {
    if (std::isnan(v)) {
      out_ += "null";
    } else if (std::isinf(v)) {
      out_ += v > 0 ? "1e999" : "-1e999";
    } else {
      out_ += base::float_text(v);
    }
  }

  // The text of a string value held as UTF-8, between its quotes.
  void string_body_utf8(std::string_view utf8) { string_body(base::utf8_to_utf16(utf8)); }

  void value(const TDynObject& v, int level) {
    if (v.processing_) {
      out_ += "null";
      return;
    }
    switch (v.type_) {
      case TDynType::stNull:
      case TDynType::stMethod:
        out_ += "null";
        break;
      case TDynType::stBoolean:
        out_ += std::get<bool>(v.payload_) ? "true" : "false";
        break;
      case TDynType::stDouble:
        double_text(std::get<double>(v.payload_));
        break;
      case TDynType::stCurrency:
        append_currency(out_, std::get<int64_t>(v.payload_));
        break;
      case TDynType::stInt:
        append_int(out_, std::get<int64_t>(v.payload_));
        break;
      case TDynType::stString:
        string(std::get<std::u16string>(v.payload_));
        break;
      case TDynType::stObject:
        object(v, level);
        break;
      case TDynType::stArray:
        array(v, level);
        break;
    }
  }

 private:
  // Marks a container as being written for as long as the guard lives.
  class Processing {
   public:
    explicit Processing(const TDynObject& v) : v_(v) { v_.processing_ = true; }
    Processing(const Processing&) = delete;
    Processing& operator=(const Processing&) = delete;
    ~Processing() { v_.processing_ = false; }

   private:
    const TDynObject& v_;
  };

  // Absent members and elements are written as null; methods and values already being
  // written are left out.
  static bool skipped(const IDynObject& v) {
    return v && (v->type_ == TDynType::stMethod || v->processing_);
  }

  void element(const IDynObject& v, int level) {
    if (v) {
      value(*v, level);
    } else {
      out_ += "null";
    }
  }

  void object(const TDynObject& v, int level) {
    const TDynTableString& table = std::get<TDynTableString>(v.payload_);
    Processing guard(v);
    out_ += '{';
    bool first = true;
    table.for_each([&](const TDynAvlEntry& e) {
      if (skipped(e.FPtr)) {
        return;
      }
      separator(first, level + 1);
      string(e.FName);
      out_ += indent_ ? ": " : ":";
      element(e.FPtr, level + 1);
    });
    close(first, level, '}');
  }

  void array(const TDynObject& v, int level) {
    const TDynArray& elements = std::get<TDynArray>(v.payload_);
    Processing guard(v);
    out_ += '[';
    bool first = true;
    for (const IDynObject& e : elements) {
      if (skipped(e)) {
        continue;
      }
      separator(first, level + 1);
      element(e, level + 1);
    }
    close(first, level, ']');
  }

  void separator(bool& first, int level) {
    if (!first) {
      out_ += ',';
    }
    first = false;
    if (indent_) {
      out_ += '\n';
      out_.append(static_cast<size_t>(level) * 2, ' ');
    }
  }

  void close(bool empty, int level, char bracket) {
    if (indent_ && !empty) {
      out_ += '\n';
      out_.append(static_cast<size_t>(level) * 2, ' ');
    }
    out_ += bracket;
  }

  void string(std::u16string_view s) {
    out_ += '"';
    string_body(s);
    out_ += '"';
  }

  // A string's text between its quotes.
  void string_body(std::u16string_view s) {
    if (escape_) {
      // Escaped text goes through a small buffer in chunks, at most 6 bytes per code unit.
      constexpr size_t kChunk = 256;
      char buf[kChunk * 6];
      for (size_t from = 0; from < s.size(); from += kChunk) {
        const std::u16string_view chunk = s.substr(from, kChunk);
        char* p = buf;
        for (const char16_t c : chunk) {
          if (c < 0x80) {
            const char e = kEscapes.full[c];
            if (e == 0) {
              *p++ = static_cast<char>(c);
              continue;
            }
            *p++ = '\\';
            if (e != 'u') {
              *p++ = e;
              continue;
            }
          } else {
            *p++ = '\\';
          }
          p[0] = 'u';
          p[1] = kHexDigits[c >> 12];
          p[2] = kHexDigits[(c >> 8) & 0xF];
          p[3] = kHexDigits[(c >> 4) & 0xF];
          p[4] = kHexDigits[c & 0xF];
          p += 5;
        }
        out_.append(buf, static_cast<size_t>(p - buf));
      }
    } else {
      // Runs between escapes go out as UTF-8 in one piece; a run never splits a surrogate pair.
      // A lone surrogate has no UTF-8 form: it is written as \uXXXX, so that it reads back as
      // itself instead of turning into U+FFFD (two names could then collide).
      size_t start = 0;
      for (size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
          ++i;  // a pair
          continue;
        }
        const bool lone_surrogate = c >= 0xD800 && c <= 0xDFFF;
        if (!lone_surrogate && (c >= 0x80 || kEscapes.plain[c] == 0)) {
          continue;
        }
        base::append_utf8(out_, s.substr(start, i - start));
        if (lone_surrogate || c == 0) {
          const char hex[] = {'\\',
                              'u',
                              kHexDigits[c >> 12],
                              kHexDigits[(c >> 8) & 0xF],
                              kHexDigits[(c >> 4) & 0xF],
                              kHexDigits[c & 0xF]};
          out_.append(hex, sizeof hex);
        } else {
          out_ += '\\';
          out_ += static_cast<char>(c);
        }
        start = i + 1;
      }
      base::append_utf8(out_, s.substr(start));
    }
  }

  std::string& out_;
  bool indent_;
  bool escape_;
};

TDynObject::TDynObject(TDynType type) : type_(type) {
  switch (type) {
    case TDynType::stNull:
      break;
    case TDynType::stBoolean:
      payload_ = false;
      break;
    case TDynType::stDouble:
      payload_ = 0.0;
      break;
    case TDynType::stCurrency:
    case TDynType::stInt:
      payload_ = int64_t{0};
      break;
    case TDynType::stObject:
      payload_.emplace<TDynTableString>();
      break;
    case TDynType::stArray:
      payload_.emplace<TDynArray>();
      break;
    case TDynType::stString:
      payload_.emplace<std::u16string>();
      break;
    case TDynType::stMethod:
      payload_.emplace<TDynMethod>();
      break;
  }
}

IDynObject TDynObject::make_null() { return std::make_shared<TDynObject>(TDynType::stNull); }

IDynObject TDynObject::make_boolean(bool value) {
  auto v = std::make_shared<TDynObject>(TDynType::stBoolean);
  v->payload_ = value;
  return v;
}

IDynObject TDynObject::make_double(double value) {
  auto v = std::make_shared<TDynObject>(TDynType::stDouble);
  v->payload_ = value;
  return v;
}

IDynObject TDynObject::make_currency(int64_t scaled) {
  auto v = std::make_shared<TDynObject>(TDynType::stCurrency);
  v->payload_ = scaled;
  return v;
}

IDynObject TDynObject::make_int(int64_t value) {
  auto v = std::make_shared<TDynObject>(TDynType::stInt);
  v->payload_ = value;
  return v;
}

IDynObject TDynObject::make_object() { return std::make_shared<TDynObject>(TDynType::stObject); }

IDynObject TDynObject::make_array() { return std::make_shared<TDynObject>(TDynType::stArray); }

IDynObject TDynObject::make_string(std::u16string text) {
  auto v = std::make_shared<TDynObject>(TDynType::stString);
  v->payload_ = std::move(text);
  return v;
}

IDynObject TDynObject::make_string(std::string_view utf8) { return make_string(to_u16(utf8)); }

IDynObject TDynObject::make_method(TDynMethod method) {
  auto v = std::make_shared<TDynObject>(TDynType::stMethod);
  v->payload_ = std::move(method);
  return v;
}

int64_t TDynObject::GetI(std::string_view key) const {
  const IDynObject v = member(to_u16(key));
  return v ? v->AsInteger() : 0;
}

std::string TDynObject::GetS(std::string_view key) const {
  const IDynObject v = member(to_u16(key));
  return v ? v->AsString() : std::string();
}

std::u16string TDynObject::member_text(std::string_view key) const {
  const IDynObject v = member(to_u16(key));
  return v ? v->as_u16string() : std::u16string();
}

void TDynObject::PutI(std::string_view key, int64_t value) {
  set_member(to_u16(key), make_int(value));
}

void TDynObject::PutS(std::string_view key, std::string_view utf8) {
  set_member(to_u16(key), make_string(utf8));
}

void TDynObject::PutS(std::string_view key, std::u16string text) {
  set_member(to_u16(key), make_string(std::move(text)));
}

int64_t TDynObject::AsInteger() const {
  switch (type_) {
    case TDynType::stInt:
      return std::get<int64_t>(payload_);
    case TDynType::stBoolean:
      return std::get<bool>(payload_) ? 1 : 0;
    case TDynType::stDouble:
      return round_half_even(std::get<double>(payload_));
    case TDynType::stCurrency:
      return currency_to_integer(std::get<int64_t>(payload_));
    case TDynType::stString:
      return parse_integer_text(std::get<std::u16string>(payload_)).value_or(0);
    default:
      return 0;
  }
}

std::string TDynObject::AsString() const {
  if (type_ == TDynType::stString) {
    return base::utf16_to_utf8(std::get<std::u16string>(payload_));
  }
  return AsJSon(false, false);
}

std::u16string TDynObject::as_u16string() const {
  if (type_ == TDynType::stString) {
    return std::get<std::u16string>(payload_);
  }
  return to_u16(AsJSon(false, false));
}

void append_escaped_string(std::string& out, std::string_view utf8) {
  // Converted to UTF-16 a slice at a time, each ending before an ASCII byte: no UTF-8 sequence,
  // valid or not, reaches past such a byte, so the slices give the code units the whole text
  // would, and the text is never held twice in full.
  constexpr size_t kSlice = 64 * 1024;
  DynWriter writer(out, false, true);
  out += '"';
  size_t from = 0;
  while (from < utf8.size()) {
    size_t to = std::min(from + kSlice, utf8.size());
    while (to < utf8.size() && static_cast<unsigned char>(utf8[to]) >= 0x80) {
      ++to;
    }
    writer.string_body_utf8(utf8.substr(from, to - from));
    from = to;
  }
  out += '"';
}

std::string TDynObject::AsJSon(bool indent, bool escape) const {
  std::string out;
  DynWriter(out, indent, escape).value(*this, 0);
  return out;
}

bool TDynObject::bool_value() const {
  return type_ == TDynType::stBoolean && std::get<bool>(payload_);
}

int64_t TDynObject::int_value() const {
  return (type_ == TDynType::stInt || type_ == TDynType::stCurrency) ? std::get<int64_t>(payload_)
                                                                     : 0;
}

double TDynObject::double_value() const {
  return type_ == TDynType::stDouble ? std::get<double>(payload_) : 0.0;
}

const std::u16string& TDynObject::text() const {
  return type_ == TDynType::stString ? std::get<std::u16string>(payload_) : kEmptyText;
}

const TDynTableString* TDynObject::table() const { return std::get_if<TDynTableString>(&payload_); }

TDynTableString* TDynObject::table() { return std::get_if<TDynTableString>(&payload_); }

const TDynArray* TDynObject::array() const { return std::get_if<TDynArray>(&payload_); }

TDynArray* TDynObject::array() { return std::get_if<TDynArray>(&payload_); }

const TDynMethod* TDynObject::method() const { return std::get_if<TDynMethod>(&payload_); }

IDynObject TDynObject::member(std::u16string_view name) const {
  const TDynTableString* t = table();
  if (t == nullptr) {
    return nullptr;
  }
  const TDynAvlEntry* e = t->find(name);
  return e != nullptr ? e->FPtr : nullptr;
}

void TDynObject::set_member(std::u16string_view name, IDynObject value) {
  TDynTableString* t = table();
  if (t != nullptr) {
    t->insert(std::u16string(name)).FPtr = std::move(value);
  }
}

}  // namespace appsrv::json
