// Text helpers: UTF-8 <-> UTF-16, ASCII case folding and comparison, trimming, splitting.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace appsrv::base {

// One character of UTF-8 text: its code point and how many bytes it takes.
struct Utf8Char {
  char32_t code_point;
  size_t length;
};
// The character whose UTF-8 form starts at `s[i]`, or nullopt when the bytes there are not a
// complete, shortest-form sequence of a code point up to U+10FFFF other than a surrogate.
std::optional<Utf8Char> decode_utf8_at(std::string_view s, size_t i);

// Invalid UTF-8 sequences decode to U+FFFD each.
std::u16string utf8_to_utf16(std::string_view s);
// utf8_to_utf16 appended to `out`.
void append_utf16(std::u16string& out, std::string_view s);
// Lone surrogates encode as U+FFFD.
std::string utf16_to_utf8(std::u16string_view s);
// utf16_to_utf8 appended to `out`, for writers that build one text in one buffer.
void append_utf8(std::string& out, std::u16string_view s);
// The UTF-8 form of one code point up to U+10FFFF appended to `out`.
void append_utf8(std::string& out, char32_t code_point);

char ascii_lower(char c);
char ascii_upper(char c);
std::string ascii_lowercase(std::string_view s);
std::string ascii_uppercase(std::string_view s);
std::u16string ascii_lowercase(std::u16string_view s);
std::u16string ascii_uppercase(std::u16string_view s);

// Comparisons that fold ASCII letters only.
bool iequals(std::string_view a, std::string_view b);
bool istarts_with(std::string_view s, std::string_view prefix);
bool iends_with(std::string_view s, std::string_view suffix);
// Position of `needle` in `hay` ignoring ASCII case, or npos.
size_t ifind(std::string_view hay, std::string_view needle, size_t from = 0);
// Three-way comparison ignoring ASCII case (<0, 0, >0).
int icompare(std::string_view a, std::string_view b);

bool starts_with(std::string_view s, std::string_view prefix);
bool ends_with(std::string_view s, std::string_view suffix);

// Trim characters <= ' ', as the classic Trim does.
std::string_view trim(std::string_view s);
std::string_view trim_left(std::string_view s);
std::string_view trim_right(std::string_view s);

std::vector<std::string> split(std::string_view s, char sep);
std::string join(const std::vector<std::string>& parts, std::string_view sep);
std::string replace_all(std::string_view s, std::string_view from, std::string_view to);

}  // namespace appsrv::base
