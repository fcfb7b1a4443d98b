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
