#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "base/text.h"
#include "json/dyn_object.h"

namespace appsrv::json {
namespace {

// The compact, fully escaped text of what `text` parses to, or "<none>". The text is read
// both as UTF-8 and as UTF-16, which must agree.
std::string parsed(std::string_view text, bool partial = true) {
  const IDynObject v = TDynObject::ParseString(text, false, partial);
  const std::string from_utf8 = v ? v->AsJSon(false, true) : "<none>";
  const std::u16string utf16 = base::utf8_to_utf16(text);
  const IDynObject w = TDynObject::ParseString(std::u16string_view(utf16), false, partial);
  EXPECT_EQ(w ? w->AsJSon(false, true) : "<none>", from_utf8) << "read as UTF-16";
  return from_utf8;
}

std::string nest(int n, std::string_view open, std::string_view inner, std::string_view close) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    s += open;
  }
  s += inner;
  for (int i = 0; i < n; ++i) {
    s += close;
  }
  return s;
}

struct Case {
  std::string text;
  std::string want;
};

void check(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parsed(c.text), c.want);
  }
}

TEST(DynParserTest, ContainersAndTheLenientGrammar) {
  check({
      {"{}", "{}"},
      {"[]", "[]"},
      {" [ ] ", "[]"},
      {"[1,]", "[1]"},
      {"[,1]", "[\"\",1]"},
      {"[,]", "[\"\"]"},
      {"[1,,2]", "[1,\"\",2]"},
      {"[true,false,null]", "[true,false,null]"},
      {"[[1,[2]],{}]", "[[1,[2]],{}]"},
      {"(5)", "5"},
      {"( (5", "5"},
      {"[(1 ,2]", "[1,2]"},
      {"{A:1}", "{\"A\":1}"},
      {"{ A B :1}", "{\"A B \":1}"},
      {"{a\\:b:1}", "{\"a:b\":1}"},
      {"{\x0B:1}", "{\"\\u000b\":1}"},
      {"[\x0B"
       "1]",
       "[\"\\u000b1\"]"},  // vertical tab is not whitespace
      {"{}:1}", "{}"},
      {"{'A':'x'}", "{\"A\":\"x\"}"},
      {"{\"A\" : 1 , }", "{\"A\":1}"},
      {"{\"A\":}", "{\"A\":\"\"}"},
      {"{\"A\":x y ,}", "{\"A\":\"x y\"}"},
      {"{\"A\":1,\"A\":2}", "{\"A\":2}"},
      {"[1] trailing words", "[1]"},
      {"{\"A\":1} }}} [", "{\"A\":1}"},
      {"/* c */ 5", "5"},
      {"[1 /* c */ , // c\n 2]", "[1,2]"},
      {"// only a comment", "\"\""},
      {"/* open", "\"\""},
  });
}

TEST(DynParserTest, LiteralsAndBareWords) {
  check({
      {"true", "true"},
      {"false ", "false"},
      {"null", "null"},
      {"tomato", "\"tomato\""},
      {"nullable", "\"nullable\""},
      {"True", "\"True\""},
      {"[tru]", "[\"tru\"]"},
      {"[n]", "[\"n\"]"},
      {"[true_]", "[\"true_\"]"},
      {"[false.x]", "[\"false.x\"]"},
      {"[nulls , 1]", "[\"nulls\",1]"},
      {"true1", "true"},
      {"true story", "true"},
      {"[a b , c]", "[\"a b\",\"c\"]"},
      {"[a\"b]", "[\"a\\\"b\"]"},
      {"hello, world [ ] \r\n", "\"hello, world [ ]\""},
      {"hello\t", "\"hello\\t\""},
      {"hello\t \n", "\"hello\\t\""},
      {"+5", "\"+5\""},
      {".5", "\".5\""},
      {"]", "\"]\""},
      {"", "\"\""},
      {" \t\r\n\f\b", "\"\""},
      {"\x0B", "\"\\u000b\""},
  });
}

TEST(DynParserTest, Strings) {
  check({
      {"\"a\\\"b\"", "\"a\\\"b\""},
      {"'a\"b'", "\"a\\\"b\""},
      {"'it''s'", "\"it\""},
      {"\"\\b\\f\\n\\r\\t\"", "\"\\b\\f\\n\\r\\t\""},
      {"\"\\u00e9\\u00E9\\u670D\"", "\"\\u00e9\\u00e9\\u670d\""},
      {"\"\\x41\\x7f\\xE9\"", "\"A\x7f\\u00e9\""},
      {"\"\\q\\/\\'\\\\\"", "\"q\\/'\\\\\""},
      {"\"\\ud83d\"", "\"\\ud83d\""},
      {"\"\\ud83d\\ude00\"", "\"\\ud83d\\ude00\""},
      {"\"\xF0\x9F\x98\x80\"", "\"\\ud83d\\ude00\""},
      {"\"\xC3\xA9\"", "\"\\u00e9\""},
      {"\"a\tb\x01\"", "\"a\\tb\\u0001\""},
      {"\"/* no comment */\"", "\"\\/* no comment *\\/\""},
      {"\"\\\xC3\xA9\"", "\"\\u00e9\""},  // an escaped UTF-8 character
      {"\"\\\xF0\x9F\x98\x80\"", "\"\\ud83d\\ude00\""},
      {"\"a\xFF\xC3\"", "\"a\\ufffd\\ufffd\""},  // bad UTF-8 reads as U+FFFD
      {"{\xC3\xA9:\xE6\x9C\x8D}", "{\"\\u00e9\":\"\\u670d\"}"},
      {"[\xC3\xA9 ,\xC3]", "[\"\\u00e9\",\"\\ufffd\"]"},
  });
}

TEST(DynParserTest, Numbers) {
  check({
      {"0", "0"},
      {"-5", "-5"},
      {"007", "7"},
      {"1-2", "1"},
      {"-", "0"},
      {"--5", "0"},
      {"5+3", "5"},
      {"9223372036854775807", "9223372036854775807"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"9223372036854775808", "922337203685477580"},
      {"99999999999999999999", "999999999999999999"},
      {"1.5", "1.5"},
      {"2.", "2"},
      {"-0.0001", "-0.0001"},
      {"0.1000", "0.1"},
      {"-.5", "-0.5"},
      {"922337203685477.5807", "922337203685477.5807"},
      {"1.23456", "1.23456"},
      {"1e3", "1000"},
      {"1.5E2", "150"},
      {"1E-7", "1E-7"},
      {"1.2.3", "1.2"},
      {"[1 ,-2.5,3e1]", "[1,-2.5,30]"},
  });
}

TEST(DynParserTest, NumberKinds) {
  struct Kind {
    std::string_view text;
    TDynType type;
    int64_t int_value;
    double double_value;
  };
  const Kind cases[] = {
      {"12", TDynType::stInt, 12, 0},
      {"-12", TDynType::stInt, -12, 0},
      {"1.5", TDynType::stCurrency, 15000, 0},
      {"2.", TDynType::stCurrency, 20000, 0},
      {"-1.2345", TDynType::stCurrency, -12345, 0},
      {"922337203685477.5807", TDynType::stCurrency, INT64_MAX, 0},
      {"-922337203685477.5808", TDynType::stCurrency, INT64_MIN, 0},
      {"922337203685477.5808", TDynType::stDouble, 0, 922337203685477.5808},
      {"1.23456", TDynType::stDouble, 0, 1.23456},
      {"1e2", TDynType::stDouble, 0, 100},
      {"1.5e1", TDynType::stDouble, 0, 15},
      {"1-2.5", TDynType::stDouble, 0, 1},
      {"1e", TDynType::stDouble, 0, 1},
      {"-e5", TDynType::stDouble, 0, 0},
      {"1e-999", TDynType::stDouble, 0, 0},
  };
  for (const Kind& c : cases) {
    SCOPED_TRACE(c.text);
    const IDynObject v = TDynObject::ParseString(c.text);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type(), c.type);
    EXPECT_EQ(v->int_value(), c.int_value);
    EXPECT_EQ(v->double_value(), c.double_value);
  }
  const IDynObject huge = TDynObject::ParseString("-1e999");
  ASSERT_NE(huge, nullptr);
  EXPECT_TRUE(std::isinf(huge->double_value()) && huge->double_value() < 0);
}

TEST(DynParserTest, MalformedTextsGiveNothing) {
  const std::string_view cases[] = {
      "{\"A\":1",  // closing brace missing
      "{",
      "[",
      "[1,2",
      "[1 2]",  // no comma between elements
      "[\"a\" x]",
      "[true story]",
      "[(1)]",  // ")" follows the element
      "[1 /* open",
      "{\"A\":1 \"B\":2}",
      "{\"A\":\"x\" y}",
      "{\"A\" 1}",  // key not followed by ":"
      "{A}",        // unquoted key runs to the end
      "{A",
      "{.A:1}",
      "{(A:1}",
      "{[:1}",
      "{]:1}",
      "{{:1}",
      "{):1}",
      "{:1}",
      "{,}",
      "{\"A\":1,,}",
      "{\"A\":[1}",
      "\"abc",  // text ends inside a string
      "'abc\"",
      "\"abc\\",  // ... or inside an escape
      "\"\\u12",
      "\"\\u12\"",
      "\"\\u12G4\"",
      "\"\\u\"",
      "\"\\x4\"",
      "\"\\xG1\"",
      "{\"a\\u\":1}",
      "{a\\x:1}",
      "/x",  // bad comment start
      "/",
      "[1 /x]",
      "{ /x }",
      "{\"A\":/x}",
  };
  for (std::string_view text : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parsed(text), "<none>");
  }
}

TEST(DynParserTest, NestingStopsAtDepthThirtyTwo) {
  struct Depth {
    std::string text;
    bool parses;
  };
  const Depth cases[] = {
      {nest(32, "[", "", "]"), true},  // innermost array at depth 31, empty
      {nest(33, "[", "", "]"), false},
      {nest(31, "[", "1", "]"), true},  // the 1 sits at depth 31
      {nest(32, "[", "1", "]"), false},
      {nest(32, "[", ",", "]"), false},  // an empty word is a value too
      {nest(31, "{\"a\":", "{}", "}"), true},
      {nest(32, "{\"a\":", "{}", "}"), false},
      {nest(32, "{\"a\":", "1", "}"), false},
      {nest(100000, "[", "", "]"), false},
      {std::string(100000, '['), false},
      {std::string(100000, '('), true},
  };
  for (const Depth& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 80));
    EXPECT_EQ(parsed(c.text) != "<none>", c.parses);
  }
}

TEST(DynParserTest, ManyMembersRoundTrip) {
  std::string text = "{";
  for (int i = 0; i < 2000; ++i) {
    text += (i > 0 ? ",\"k" : "\"k") + std::to_string(i) + "\":" + std::to_string(i * 7);
  }
  text += "}";
  const IDynObject v = TDynObject::ParseString(text);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->table()->size(), 2000u);
  const IDynObject again = TDynObject::ParseString(v->AsJSon(false, true));
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->AsJSon(false, true), v->AsJSon(false, true));
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(again->GetI(std::string("k").append(std::to_string(i))), i * 7) << i;
  }
}

TEST(DynParserTest, AnEmbeddedNulEndsTheText) {
  using namespace std::string_literals;
  EXPECT_EQ(parsed("ab\0cd"s), "\"ab\"");
  EXPECT_EQ(parsed("[1]\0 junk"s), "[1]");
  EXPECT_EQ(parsed("\"a\0b\""s), "<none>");
}

TEST(DynParserTest, WithoutPartialOnlySpaceMayFollow) {
  EXPECT_EQ(parsed("[1] /* c */ \n", false), "[1]");
  EXPECT_EQ(parsed("[1] x", false), "<none>");
  EXPECT_EQ(parsed("[1] /x", false), "<none>");
  EXPECT_EQ(parsed("[1] x", true), "[1]");
}

TEST(DynParserTest, Utf16TextKeepsLoneSurrogates) {
  const IDynObject v = TDynObject::ParseString(std::u16string_view(u"{'\xDC00':'a\xD800'}"));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->AsJSon(false, true), "{\"\\udc00\":\"a\\ud800\"}");
  EXPECT_EQ(v->member(u"\xDC00")->text(), u"a\xD800");
}

// Every prefix of a valid text, and random bytes, parse or fail without crashing.
TEST(DynParserTest, CutAndRandomTextsNeverCrash) {
  const std::string text =
      "{ \"a\\u00e9\\x41\" : [1, -2.5, 3e4, 'x\\\\', tru, nul, (7 , /* c */ {b:{}}, ],"
      " c : bare word, 'd': \"\\ud83d\\ude00\", e:// line\n null }";
  ASSERT_NE(TDynObject::ParseString(text), nullptr);
  for (size_t n = 0; n < text.size(); ++n) {
    SCOPED_TRACE(n);
    // Every cut ends inside the object; only the empty prefix reads, as the empty string.
    EXPECT_EQ(parsed(std::string_view(text).substr(0, n)), n == 0 ? "\"\"" : "<none>");
  }
  std::mt19937 rng(42);
  const std::string_view pieces[] = {"{",    "}",  "[",  "]",    "(",    ")",    ",",           ":",
                                     "'",    "\"", "\\", "/",    "*",    "u",    "x",           "0",
                                     "7",    "a",  "F",  ".",    "-",    "e",    " ",           "t",
                                     "true", "n",  "\n", "\xC3", "\xA9", "\xFF", "\xE6\x9C\x8D"};
  for (int i = 0; i < 3000; ++i) {
    std::string s;
    for (size_t n = rng() % 40; n > 0; --n) {
      s += pieces[rng() % std::size(pieces)];
    }
    SCOPED_TRACE(s);
    parsed(s);  // reads it as UTF-8 and as UTF-16 and compares
  }
}

}  // namespace
}  // namespace appsrv::json
