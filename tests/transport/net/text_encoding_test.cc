#include "transport/net/text_encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace appsrv::transport {
namespace {

struct Case {
  const char* name;
  const IInTextEncoding* encoding;
  std::string text;   // UTF-8 in memory
  std::string bytes;  // on the wire
};

TEST(TextEncodingTest, EncodesAndDecodesBothWays) {
  const Case kCases[] = {
      {"ascii", ascii_encoding(), "Hello", "Hello"},
      {"8bit", eight_bit_encoding(), "caf\xC3\xA9", "caf\xE9"},
      {"utf8", utf8_encoding(), "caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},
      {"utf16le", utf16_le_encoding(), "A\xC3\xA9\xF0\x9F\x98\x80",
       std::string("A\0\xE9\0\x3D\xD8\x00\xDE", 8)},
      {"utf16be", utf16_be_encoding(), "A\xC3\xA9", std::string("\0A\0\xE9", 4)},
      {"utf7 plus", utf7_encoding(), "1+1", "1+-1"},
      {"utf7 smiley", utf7_encoding(), "Hi Mom -\xE2\x98\xBA-!", "Hi Mom -+Jjo--+ACE-"},
      {"utf7 kanji", utf7_encoding(), "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "+ZeVnLIqe-"},
      {"cp1252", CharsetToEncoding("windows-1252"), "\xE2\x82\xAC" "5", "\x80" "5"},
      {"koi8-r", CharsetToEncoding("KOI8-R"), "\xD0\x9F", "\xF0"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.encoding->GetBytes(c.text), c.bytes);
    EXPECT_EQ(c.encoding->GetString(c.bytes), c.text);
  }
}

TEST(TextEncodingTest, CharactersOutsideTheCharsetBecomeReplacements) {
  EXPECT_EQ(ascii_encoding()->GetString("a\x80z\xFF"), "a\xEF\xBF\xBDz\xEF\xBF\xBD");
  EXPECT_EQ(ascii_encoding()->GetBytes("a\xC3\xA9z\xE2\x82\xAC"), "a?z?");
  EXPECT_EQ(eight_bit_encoding()->GetBytes("\xE2\x82\xAC"), "?");
  EXPECT_EQ(CharsetToEncoding("windows-1252")->GetBytes("\xE4\xB8\x80"), "?");
  EXPECT_EQ(utf8_encoding()->GetString("a\xFFz"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(utf16_le_encoding()->GetString(std::string("A\0B", 3)), "A\xEF\xBF\xBD");
}

TEST(TextEncodingTest, ByteOrderMarks) {
  EXPECT_EQ(utf8_encoding()->GetPreamble(), "\xEF\xBB\xBF");
  EXPECT_EQ(utf16_le_encoding()->GetPreamble(), "\xFF\xFE");
  EXPECT_EQ(utf16_be_encoding()->GetPreamble(), "\xFE\xFF");
  EXPECT_EQ(ascii_encoding()->GetPreamble(), "");
  EXPECT_EQ(utf7_encoding()->GetPreamble(), "");
}

TEST(TextEncodingTest, CharsetNamesResolveWithoutRegardToCase) {
  struct Row {
    const char* charset;
    int code_page;
  };
  constexpr Row kRows[] = {
      {"utf-8", 65001},      {"UTF-8", 65001},       {"iso-8859-1", 28591}, {"ISO-8859-1", 28591},
      {"us-ascii", 20127},   {"windows-1252", 1252}, {"utf-16", 1200},      {"UTF-16LE", 1200},
      {"utf-16be", 1201},    {"utf-7", 65000},       {"koi8-r", 20866},     {"shift_jis", 932},
      {" utf-8 ", 65001},    {"no-such-charset", 0}, {"", 0},
  };
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.charset);
    EXPECT_EQ(charset_to_code_page(r.charset), r.code_page);
    const IInTextEncoding* e = CharsetToEncoding(r.charset);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->CodePage(), r.code_page == 0 ? 65001 : r.code_page);
  }
}

TEST(TextEncodingTest, CodePagesSelectTheirMembers) {
  EXPECT_EQ(encoding_for_code_page(20127), ascii_encoding());
  EXPECT_EQ(encoding_for_code_page(65001), utf8_encoding());
  EXPECT_EQ(encoding_for_code_page(1200), utf16_le_encoding());
  EXPECT_EQ(encoding_for_code_page(1201), utf16_be_encoding());
  EXPECT_EQ(encoding_for_code_page(65000), utf7_encoding());
  EXPECT_EQ(encoding_for_code_page(1251), encoding_for_code_page(1251));
  EXPECT_EQ(encoding_for_code_page(4242), nullptr);
}

}  // namespace
}  // namespace appsrv::transport
