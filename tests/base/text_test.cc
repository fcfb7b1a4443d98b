#include "base/text.h"

#include <gtest/gtest.h>

namespace appsrv::base {
namespace {

TEST(TextTest, Utf8Utf16RoundTrip) {
  const std::string samples[] = {"", "abc", "é", "执行:", "\xF0\x9F\x98\x80", "a\0b"};
  for (const std::string& s : samples) {
    SCOPED_TRACE(s);
    EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(s)), s);
  }
  EXPECT_EQ(utf8_to_utf16("\xF0\x9F\x98\x80"), std::u16string(u"\xD83D\xDE00"));
}

TEST(TextTest, InvalidSequencesBecomeReplacementCharacters) {
  struct Case {
    std::string in;
    std::u16string want;
  };
  const Case cases[] = {
      {"\xFF", u"\xFFFD"},
      {"a\xC3", u"a\xFFFD"},                    // truncated two-byte sequence
      {"\xC0\xAF", u"\xFFFD\xFFFD"},            // overlong form
      {"\xED\xA0\x80", u"\xFFFD\xFFFD\xFFFD"},  // encoded surrogate
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(utf8_to_utf16(c.in), c.want);
  }
  EXPECT_EQ(utf16_to_utf8(u"\xD800x"), "\xEF\xBF\xBDx");
}

TEST(TextTest, DecodesOneUtf8CharacterAtAPosition) {
  struct Case {
    std::string text;
    size_t at;
    char32_t code_point;  // 0 with length 0: not a character
    size_t length;
  };
  const Case cases[] = {
      {"aé", 0, U'a', 1},
      {"aé", 1, U'\u00E9', 2},
      {"x\xE2\x82\xAC", 1, U'\u20AC', 3},
      {"\xF0\x9F\x98\x80", 0, U'\U0001F600', 4},
      {"\xF4\x8F\xBF\xBF", 0, U'\U0010FFFF', 4},
      {"\xEF\xBF\xBF", 0, U'\uFFFF', 3},
      {"\xA9", 0, 0, 0},              // a continuation byte first
      {"\xC3", 0, 0, 0},              // truncated
      {"\xC3(", 0, 0, 0},             // second byte not a continuation
      {"\xC1\xBF", 0, 0, 0},          // overlong two-byte form
      {"\xE0\x9F\xBF", 0, 0, 0},      // overlong three-byte form
      {"\xF0\x8F\xBF\xBF", 0, 0, 0},  // overlong four-byte form
      {"\xED\xA0\x80", 0, 0, 0},      // a surrogate
      {"\xF4\x90\x80\x80", 0, 0, 0},  // above U+10FFFF
      {"\xF8\x88\x80\x80\x80", 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<Utf8Char> got = decode_utf8_at(c.text, c.at);
    if (c.length == 0) {
      EXPECT_FALSE(got.has_value());
    } else {
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(got->code_point, c.code_point);
      EXPECT_EQ(got->length, c.length);
    }
  }
}

TEST(TextTest, AppendUtf16KeepsWhatIsThere) {
  std::u16string out = u"a";
  append_utf16(out, "\xC3\xA9\xF0\x9F\x98\x80\xFF");
  EXPECT_EQ(out, u"a\u00E9\xD83D\xDE00\xFFFD");
}

TEST(TextTest, AppendUtf8KeepsWhatIsThere) {
  std::string out = "a";
  append_utf8(out, u"\u00E9\xD83D\xDE00\xDC00");
  EXPECT_EQ(out, "a\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD");
}

TEST(TextTest, CodePointsEncodeInOneToFourBytes) {
  struct Case {
    char32_t code_point;
    std::string_view want;
  };
  const Case cases[] = {
      {U'\0', std::string_view("\0", 1)},
      {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},
      {0xFF, "\xC3\xBF"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0xFFFF, "\xEF\xBF\xBF"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
  };
  for (const Case& c : cases) {
    std::string out = "a";
    append_utf8(out, c.code_point);
    EXPECT_EQ(out, std::string("a").append(c.want)) << static_cast<uint32_t>(c.code_point);
  }
}

// Every pair of bytes, inside an eight-byte step and in the tail after it: equal exactly when
// their ASCII folds are.
TEST(TextTest, CaseInsensitiveComparisonOfEveryBytePair) {
  for (int x = 0; x < 256; ++x) {
    for (int y = 0; y < 256; ++y) {
      const char cx = static_cast<char>(x);
      const char cy = static_cast<char>(y);
      const bool want = ascii_lower(cx) == ascii_lower(cy);
      for (const size_t at : {size_t{0}, size_t{5}, size_t{7}, size_t{8}, size_t{10}}) {
        std::string a = "Mixed-Case!";
        std::string b = "mIXED-cASE!";
        a[at] = cx;
        b[at] = cy;
        if (iequals(a, b) != want) {
          ADD_FAILURE() << "bytes " << x << " and " << y << " at " << at;
          return;
        }
      }
    }
  }
}

TEST(TextTest, CaseInsensitiveComparison) {
  EXPECT_TRUE(iequals("Accept-Encoding", "accept-encoding"));
  EXPECT_FALSE(iequals("abc", "abcd"));
  EXPECT_TRUE(istarts_with("GZIP, deflate", "gzip"));
  EXPECT_TRUE(iends_with("/x/Index.SVP", "index.svp"));
  EXPECT_EQ(ifind("text/HTML", "html"), 5u);
  EXPECT_EQ(ifind("abc", "x"), std::string_view::npos);
  EXPECT_LT(icompare("apple", "Banana"), 0);
  EXPECT_EQ(ascii_uppercase("mozilla/5.0 é"), "MOZILLA/5.0 é");
}

TEST(TextTest, TrimSplitJoinReplace) {
  EXPECT_EQ(trim(" \t a b \r\n"), "a b");
  EXPECT_EQ(trim_left("  x "), "x ");
  EXPECT_EQ(trim_right("  x "), "  x");
  EXPECT_EQ(split("a,,b", ','), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(join({"a", "b"}, "; "), "a; b");
  EXPECT_EQ(replace_all("a''b'", "'", "''"), "a''''b''");
}

}  // namespace
}  // namespace appsrv::base
