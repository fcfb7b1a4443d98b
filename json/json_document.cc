#include "json/json_document.h"

#include <algorithm>
#include <cassert>
#include <charconv>

#include "base/text.h"

namespace appsrv::json {

std::string JsonValue::ToString() const {
  std::string out;
  write(out);
  return out;
}

TJSONString::TJSONString(std::u16string_view value) { base::append_utf8(text_, value); }

namespace {

bool is_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Only ASCII is escaped, and no byte of a longer UTF-8 sequence is ASCII: runs between escapes
// go out as they are.
bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

}  // namespace

TJSONString::TJSONString(std::string_view utf8) {
  if (is_ascii(utf8)) {
    text_ = utf8;
  } else {
    // Through UTF-16, so that bad bytes become the replacement character.
    base::append_utf8(text_, base::utf8_to_utf16(utf8));
  }
}

TJSONString::TJSONString(std::string&& utf8, int) {
  if (is_ascii(utf8)) {
    text_ = std::move(utf8);
  } else {
    base::append_utf8(text_, base::utf8_to_utf16(utf8));
  }
}

size_t TJSONString::written_size() const {
  size_t size = text_.size() + 2;  // the quotes
  for (const char ch : text_) {
    const auto c = static_cast<unsigned char>(ch);
    if (needs_escape(c)) {
      size += c < 0x20 ? 5 : 1;  // \u00XX or a backslash before the character
    }
  }
  return size;
}

void TJSONString::write(std::string& out) const {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t start = 0;
  for (size_t i = 0; i < text_.size(); ++i) {
    const auto c = static_cast<unsigned char>(text_[i]);
    if (!needs_escape(c)) {
      continue;
    }
    out.append(text_, start, i - start);
    if (c < 0x20) {
      const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(esc, sizeof esc);
    } else {
      out += '\\';
      out += static_cast<char>(c);
    }
    start = i + 1;
  }
  out.append(text_, start, std::string::npos);
  out += '"';
}

TJSONNumber::TJSONNumber(int64_t value) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  text_.assign(buf, res.ptr);
}

void TJSONNumber::write(std::string& out) const { out += text_; }

TJSONPair::TJSONPair(std::string_view name, std::unique_ptr<JsonValue> value)
    : name_(name), value_(std::move(value)) {
  assert(value_ != nullptr);
}

void TJSONPair::write(std::string& out) const {
  name_.write(out);
  out += ':';
  value_->write(out);
}

void TJSONArray::Add(std::string_view utf8) {
  elements_.push_back(std::make_unique<TJSONString>(utf8));
}

void TJSONArray::Add(std::unique_ptr<TJSONArray> array) {
  Add(std::unique_ptr<JsonValue>(std::move(array)));
}

void TJSONArray::Add(std::unique_ptr<JsonValue> value) {
  assert(value != nullptr);
  elements_.push_back(std::move(value));
}

void TJSONArray::write(std::string& out) const {
  out += '[';
  for (size_t i = 0; i < elements_.size(); ++i) {
    if (i > 0) {
      out += ',';
    }
    elements_[i]->write(out);
  }
  out += ']';
}

void TJSONObject::AddPair(std::unique_ptr<TJSONPair> pair) {
  assert(pair != nullptr);
  pairs_.push_back(std::move(pair));
}

void TJSONObject::AddPair(std::string_view name, std::unique_ptr<JsonValue> value) {
  AddPair(std::make_unique<TJSONPair>(name, std::move(value)));
}

void TJSONObject::write(std::string& out) const {
  out += '{';
  for (size_t i = 0; i < pairs_.size(); ++i) {
    if (i > 0) {
      out += ',';
    }
    pairs_[i]->write(out);
  }
  out += '}';
}

}  // namespace appsrv::json
