// The lenient reader behind TDynObject::ParseString.
#include <charconv>
#include <cstdlib>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/text.h"
#include "json/dyn_object.h"

namespace appsrv::json {

namespace {

// A value nested this deep fails: the top-level value is at depth 0. This also bounds the
// reader's recursion.
constexpr int kMaxDepth = 32;

enum class Context { kTop, kArray, kObject };

template <typename Char>
bool is_space(Char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\b';
}

template <typename Char>
bool is_number_char(Char c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

template <typename Char>
bool is_ascii_letter(Char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

template <typename Char>
int hex_value(Char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// Characters an unquoted key may not start with (whitespace is skipped before a key).
template <typename Char>
bool bad_key_start(Char c) {
  switch (c) {
    case 0:
    case '\b':
    case '\t':
    case '\n':
    case '\f':
    case '\r':
    case ' ':
    case '"':
    case '(':
    case ')':
    case ',':
    case '.':
    case ':':
    case '[':
    case ']':
    case '{':
    case '}':
      return true;
    default:
      return false;
  }
}

template <typename Char>
bool is_ascii(Char c) {
  return static_cast<std::make_unsigned_t<Char>>(c) < 0x80;
}

// Text between structural characters, which are all ASCII: UTF-16 is taken as it is and UTF-8
// is decoded. A run never splits a character because it only ends at an ASCII character.
void append_run(std::u16string& out, const char16_t* begin, const char16_t* end) {
  out.append(begin, end);
}

void append_run(std::u16string& out, const char* begin, const char* end) {
  base::append_utf16(out, std::string_view(begin, static_cast<size_t>(end - begin)));
}

// Reads one text, UTF-16 code units or UTF-8 bytes. Every method that can fail returns false or an
// empty pointer, and the failure goes straight up: nothing is returned for a text that does not
// parse.
template <typename Char>
class Reader {
 public:
  explicit Reader(std::basic_string_view<Char> text)
      : p_(text.data()), end_(text.data() + text.size()) {}

  IDynObject top(bool partial) {
    IDynObject v = value(0, Context::kTop);
    if (v && !partial && (!skip_space() || p_ != end_)) {
      return nullptr;
    }
    return v;
  }

 private:
  // The end of the text reads as NUL.
  Char peek() const { return p_ < end_ ? *p_ : Char{0}; }

  // Skips whitespace and comments; false on a "/" that starts neither.
  bool skip_space() {
    while (p_ < end_) {
      const Char c = *p_;
      if (is_space(c)) {
        ++p_;
        continue;
      }
      if (c != '/') {
        return true;
      }
      const Char next = p_ + 1 < end_ ? p_[1] : Char{0};
      if (next == '*') {
        p_ += 2;
        while (p_ < end_ && !(*p_ == '*' && p_ + 1 < end_ && p_[1] == '/')) {
          ++p_;
        }
        p_ = p_ < end_ ? p_ + 2 : end_;
      } else if (next == '/') {
        p_ += 2;
        while (p_ < end_ && *p_ != '\n') {
          ++p_;
        }
      } else {
        return false;
      }
    }
    return true;
  }

  IDynObject value(int depth, Context context) {
    if (depth >= kMaxDepth || !skip_space()) {
      return nullptr;
    }
    // "(" before a value is passed over.
    while (peek() == '(') {
      ++p_;
      if (!skip_space()) {
        return nullptr;
      }
    }
    const Char c = peek();
    switch (c) {
      case '"':
      case '\'': {
        std::u16string s;
        if (!quoted(s)) {
          return nullptr;
        }
        return TDynObject::make_string(std::move(s));
      }
      case '[':
        return array(depth);
      case '{':
        return object(depth);
      case 't':
        return literal("true", context);
      case 'f':
        return literal("false", context);
      case 'n':
        return literal("null", context);
      default:
        if (c == '-' || (c >= '0' && c <= '9')) {
          return number();
        }
        return bare_word(context);
    }
  }

  // A bare word runs to the character that closes the value in its context, or to the end.
  IDynObject bare_word(Context context) {
    const Char* start = p_;
    if (context == Context::kTop) {
      p_ = end_;
    } else {
      const Char close = context == Context::kArray ? ']' : '}';
      while (p_ < end_ && *p_ != ',' && *p_ != close) {
        ++p_;
      }
    }
    const Char* stop = p_;
    while (stop > start && (stop[-1] == ' ' || stop[-1] == '\r' || stop[-1] == '\n')) {
      --stop;
    }
    std::u16string word;
    append_run(word, start, stop);
    return TDynObject::make_string(std::move(word));
  }

  IDynObject literal(std::string_view word, Context context) {
    const Char* start = p_;
    size_t i = 0;
    while (i < word.size() && peek() == Char(word[i])) {
      ++p_;
      ++i;
    }
    const Char next = peek();
    if (i < word.size() || is_ascii_letter(next) || next == '_' || next == '.') {
      p_ = start;
      return bare_word(context);
    }
    if (word[0] == 'n') {
      return TDynObject::make_null();
    }
    return TDynObject::make_boolean(word[0] == 't');
  }

  IDynObject number() {
    const Char* start = p_;
    bool point = false;
    bool exponent = false;
    while (p_ < end_ && is_number_char(*p_)) {
      point |= *p_ == '.';
      exponent |= *p_ == 'e' || *p_ == 'E';
      ++p_;
    }
    // Every character of the token is ASCII.
    char buf[64] = {};
    std::string long_token;
    const size_t n = static_cast<size_t>(p_ - start);
    char* token = buf;
    if (n >= sizeof buf) {
      long_token.resize(n);
      token = long_token.data();
    }
    for (size_t i = 0; i < n; ++i) {
      token[i] = static_cast<char>(start[i]);
    }
    const std::string_view t(token, n);
    if (!point && !exponent) {
      return TDynObject::make_int(read_integer(t));
    }
    if (!exponent) {
      int64_t scaled = 0;
      if (read_currency(t, scaled)) {
        return TDynObject::make_currency(scaled);
      }
    }
    return TDynObject::make_double(read_double(t));
  }

  // A leading "-" and decimal digits; reading stops at the first character that does not fit
  // or at overflow, keeping what was read ("1-2" gives 1).
  static int64_t read_integer(std::string_view t) {
    const bool negative = !t.empty() && t[0] == '-';
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    uint64_t magnitude = 0;
    for (size_t i = negative ? 1 : 0; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
      const auto d = static_cast<uint64_t>(t[i] - '0');
      if (magnitude > (limit - d) / 10) {
        break;
      }
      magnitude = magnitude * 10 + d;
    }
    return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  }

  // [-]digits "." and at most four digits, exactly, scaled by 10 000. False for any other
  // shape, or when the scaled value does not fit; the token is then read as a double.
  static bool read_currency(std::string_view t, int64_t& scaled) {
    const bool negative = t[0] == '-';
    const size_t dot = t.find('.');
    const size_t fraction = t.size() - dot - 1;
    if (fraction > 4) {
      return false;
    }
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    uint64_t magnitude = 0;
    for (size_t i = negative ? 1 : 0; i < t.size(); ++i) {
      if (i == dot) {
        continue;
      }
      if (t[i] < '0' || t[i] > '9') {
        return false;
      }
      const auto d = static_cast<uint64_t>(t[i] - '0');
      if (magnitude > (limit - d) / 10) {
        return false;
      }
      magnitude = magnitude * 10 + d;
    }
    for (size_t i = fraction; i < 4; ++i) {
      if (magnitude > limit / 10) {
        return false;
      }
      magnitude *= 10;
    }
    scaled = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
  }

  // The longest prefix that reads as a number ("1.2.3" gives 1.2); 0 when there is none.
  static double read_double(std::string_view t) {
    double d = 0.0;
    const auto res = std::from_chars(t.data(), t.data() + t.size(), d);
    if (res.ec == std::errc::result_out_of_range) {
      // Infinity or zero with the right sign; only strtod says which.
      const std::string copy(t);
      d = std::strtod(copy.c_str(), nullptr);
    } else if (res.ec != std::errc()) {
      d = 0.0;
    }
    return d;
  }

  // Reads an escape after its backslash into `out`.
  bool escape(std::u16string& out) {
    const Char c = peek();
    if (p_ == end_) {
      return false;
    }
    ++p_;
    switch (c) {
      case 'b':
        out += u'\b';
        return true;
      case 'f':
        out += u'\f';
        return true;
      case 'n':
        out += u'\n';
        return true;
      case 'r':
        out += u'\r';
        return true;
      case 't':
        out += u'\t';
        return true;
      case 'u':
        return hex_unit(4, out);
      case 'x':
        return hex_unit(2, out);
      default:
        // Any other character stands for itself; a non-ASCII one is left for the run that
        // follows, so that UTF-8 is decoded whole.
        if (is_ascii(c)) {
          out += static_cast<char16_t>(c);
        } else {
          --p_;
        }
        return true;
    }
  }

  bool hex_unit(int digits, std::u16string& out) {
    unsigned unit = 0;
    for (int i = 0; i < digits; ++i) {
      const int h = hex_value(peek());
      if (h < 0) {
        return false;
      }
      unit = unit * 16 + static_cast<unsigned>(h);
      ++p_;
    }
    out += static_cast<char16_t>(unit);
    return true;
  }

  // A string closed by the quote that opens it. Fails when the text ends first.
  bool quoted(std::u16string& out) {
    const Char quote = *p_++;
    for (;;) {
      const Char* run = p_;
      while (p_ < end_ && *p_ != quote && *p_ != '\\') {
        ++p_;
      }
      append_run(out, run, p_);
      if (p_ == end_) {
        return false;
      }
      if (*p_++ == quote) {
        return true;
      }
      if (!escape(out)) {
        return false;
      }
    }
  }

  // Every character up to the next ":", escapes allowed.
  bool unquoted_key(std::u16string& out) {
    for (;;) {
      const Char* run = p_;
      while (p_ < end_ && *p_ != ':' && *p_ != '\\') {
        ++p_;
      }
      append_run(out, run, p_);
      if (p_ == end_) {
        return false;
      }
      if (*p_ == ':') {
        return true;
      }
      ++p_;
      if (!escape(out)) {
        return false;
      }
    }
  }

  IDynObject array(int depth) {
    ++p_;
    IDynObject result = TDynObject::make_array();
    TDynArray& elements = *result->array();
    if (!skip_space()) {
      return nullptr;
    }
    if (peek() == ']') {
      ++p_;
      return result;
    }
    for (;;) {
      IDynObject v = value(depth + 1, Context::kArray);
      if (!v) {
        return nullptr;
      }
      elements.push_back(std::move(v));
      if (!skip_space()) {
        return nullptr;
      }
      const Char c = peek();
      if (c == ']') {
        ++p_;
        return result;
      }
      if (c != ',') {
        return nullptr;
      }
      ++p_;
      if (!skip_space()) {
        return nullptr;
      }
      if (peek() == ']') {
        ++p_;
        return result;
      }
    }
  }

  IDynObject object(int depth) {
    ++p_;
    IDynObject result = TDynObject::make_object();
    TDynTableString& table = *result->table();
    if (!skip_space()) {
      return nullptr;
    }
    if (peek() == '}') {
      ++p_;
      return result;
    }
    for (;;) {
      std::u16string key;
      const Char c = peek();
      if (c == '"' || c == '\'') {
        if (!quoted(key) || !skip_space()) {
          return nullptr;
        }
      } else if (bad_key_start(c) || !unquoted_key(key)) {
        return nullptr;
      }
      if (peek() != ':') {
        return nullptr;
      }
      ++p_;
      IDynObject v = value(depth + 1, Context::kObject);
      if (!v) {
        return nullptr;
      }
      table.insert(std::move(key)).FPtr = std::move(v);
      if (!skip_space()) {
        return nullptr;
      }
      const Char next = peek();
      if (next == '}') {
        ++p_;
        return result;
      }
      if (next != ',') {
        return nullptr;
      }
      ++p_;
      if (!skip_space()) {
        return nullptr;
      }
      if (peek() == '}') {
        ++p_;
        return result;
      }
    }
  }

  const Char* p_;
  const Char* end_;
};

template <typename Char>
IDynObject parse(std::basic_string_view<Char> text, bool partial) {
  // The reader sees the text as a NUL-terminated string: an embedded NUL ends it.
  const size_t nul = text.find(Char{0});
  if (nul != std::basic_string_view<Char>::npos) {
    text = text.substr(0, nul);
  }
  return Reader<Char>(text).top(partial);
}

}  // namespace

IDynObject TDynObject::ParseString(std::u16string_view text, bool /*strict*/, bool partial) {
  return parse(text, partial);
}

IDynObject TDynObject::ParseString(std::string_view utf8, bool /*strict*/, bool partial) {
  return parse(utf8, partial);
}

}  // namespace appsrv::json
