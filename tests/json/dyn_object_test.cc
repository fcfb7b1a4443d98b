#include "json/dyn_object.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <vector>

namespace appsrv::json {
namespace {

IDynObject parse(std::string_view text) {
  IDynObject v = TDynObject::ParseString(text, false, true);
  EXPECT_NE(v, nullptr) << text;
  return v;
}

TEST(DynObjectTest, GetIReadsMembersAsIntegers) {
  struct Case {
    std::string_view text;
    std::string_view key;
    int64_t want;
  };
  const Case cases[] = {
      {"{\"A\":1,\"A\":2}", "A", 2},
      {"{\"A\":1}", "a", 0},  // names are case-sensitive
      {"{\"A\":1}", "B", 0},
      {"{A:1, 'B':'x'}", "A", 1},
      {"{\"A\":\"12\"}", "A", 12},
      {"{\"A\":\" +12\"}", "A", 12},
      {"{\"A\":\"$1F\"}", "A", 31},
      {"{\"A\":\"12abc\"}", "A", 0},
      {"{\"A\":\"12 \"}", "A", 0},
      {"{\"A\":\"1.5\"}", "A", 0},
      {"{\"A\":2.5}", "A", 2},  // currency, halves to even
      {"{\"A\":3.5}", "A", 4},
      {"{\"A\":-2.5}", "A", -2},
      {"{\"A\":-3.5}", "A", -4},
      {"{\"A\":2.5001}", "A", 3},
      {"{\"A\":-0.4999}", "A", 0},
      {"{\"A\":2.50000}", "A", 2},  // double, halves to even
      {"{\"A\":3.50000}", "A", 4},
      {"{\"A\":-2.50000}", "A", -2},
      {"{\"A\":0.500001}", "A", 1},
      {"{\"A\":1e300}", "A", INT64_MAX},
      {"{\"A\":-1e300}", "A", INT64_MIN},
      {"{\"A\":true}", "A", 1},
      {"{\"A\":false}", "A", 0},
      {"{\"A\":null}", "A", 0},
      {"{\"A\":[1]}", "A", 0},
      {"{\"A\":{\"A\":1}}", "A", 0},
      {"{\"A\":-9223372036854775808}", "A", INT64_MIN},
      {"[1]", "A", 0},  // not an object
      {"", "A", 0},
      {"7", "A", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse(c.text)->GetI(c.key), c.want);
  }
}

TEST(DynObjectTest, GetSReadsMembersAsText) {
  struct Case {
    std::string_view text;
    std::string_view want;
  };
  const Case cases[] = {
      {"{\"A\":5}", "5"},
      {"{\"A\":-5}", "-5"},
      {"{\"A\":null}", "null"},
      {"{\"A\":true}", "true"},
      {"{\"A\":\"x\"}", "x"},
      {"{\"A\":\"a/\\\"b\\u00e9\"}", "a/\"b\xC3\xA9"},  // a string's own text
      {"{\"A\":{\"x\":\"\xC3\xA9\"}}", "{\"x\":\"\xC3\xA9\"}"},
      {"{\"A\":[1,\"a/b\",\"\\u0000\\t\"]}", "[1,\"a\\/b\",\"\\u0000\t\"]"},
      {"{\"A\":1.5}", "1.5"},
      {"{\"A\":1.50000}", "1.5"},
      {"{\"A\":1e20}", "1E20"},
      {"{\"A\":[]}", "[]"},
      {"{\"B\":1}", ""},
      {"", ""},
      {"[\"A\"]", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse(c.text)->GetS("A"), c.want);
  }
}

TEST(DynObjectTest, EmptyTextIsAnEmptyString) {
  const IDynObject v = parse("");
  EXPECT_EQ(v->type(), TDynType::stString);
  EXPECT_EQ(v->AsString(), "");
  EXPECT_EQ(v->AsJSon(false, true), "\"\"");
}

TEST(DynObjectTest, AddResultComesBeforeInfo) {
  const IDynObject p = parse("{\"A\":2,\"B\":3,\"Info\":\"x\"}");
  for (bool info_first : {false, true}) {
    SCOPED_TRACE(info_first);
    const IDynObject r = parse("{}");
    if (info_first) {
      r->PutS("Info", p->GetS("Info"));
    }
    r->PutI("Result", p->GetI("A") + p->GetI("B"));
    if (!info_first) {
      r->PutS("Info", p->GetS("Info"));
    }
    EXPECT_EQ(r->AsJSon(false, true), "{\"Result\":5,\"Info\":\"x\"}");
  }
}

TEST(DynObjectTest, MemberTextKeepsLoneSurrogates) {
  const IDynObject p = parse("{\"Info\":\"a\\ud800\",\"N\":5}");
  const IDynObject r = parse("{}");
  r->PutS("Info", p->member_text("Info"));
  EXPECT_EQ(r->AsJSon(false, true), "{\"Info\":\"a\\ud800\"}");
  EXPECT_EQ(p->GetS("Info"), "a\xEF\xBF\xBD");  // UTF-8 has no lone surrogates
  EXPECT_EQ(p->member_text("N"), u"5");
  EXPECT_EQ(p->member_text("missing"), u"");
}

TEST(DynObjectTest, UnescapedTextKeepsLoneSurrogatesApartFromTheReplacementCharacter) {
  const IDynObject o = parse("{\"\\ud800\":1,\"\\ufffd\":2}");
  const IDynObject again = parse(o->AsJSon(false, false));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->AsJSon(false, true), o->AsJSon(false, true));
}

TEST(DynObjectTest, TimeResultEscapesEveryNonAsciiCharacter) {
  const IDynObject r = parse("{}");
  r->PutS("Result", "2015-05-07 14:03:22 123");
  r->PutS("Info", "服务器时间");
  EXPECT_EQ(r->AsJSon(false, true),
            "{\"Result\":\"2015-05-07 14:03:22 123\","
            "\"Info\":\"\\u670d\\u52a1\\u5668\\u65f6\\u95f4\"}");
}

TEST(DynObjectTest, FetchDataOrderIsXmlRecordCountPageNo) {
  std::array<std::string_view, 3> names = {"PageNo", "RecordCount", "XML"};
  do {
    SCOPED_TRACE(std::string(names[0]) + "," + std::string(names[1]));
    const IDynObject r = parse("{}");
    for (std::string_view name : names) {
      if (name == "XML") {
        r->PutS(name, "<xml/>");
      } else {
        r->PutI(name, name == "PageNo" ? 2 : 45);
      }
    }
    EXPECT_EQ(r->AsJSon(false, true), "{\"XML\":\"<xml\\/>\",\"RecordCount\":45,\"PageNo\":2}");
  } while (std::next_permutation(names.begin(), names.end()));
}

TEST(DynObjectTest, PutReplacesTheValueOfAnExistingMember) {
  const IDynObject r = parse("{}");
  r->PutS("Result", "old");
  const IDynObject old = r->member(u"Result");
  r->PutI("Result", -5);
  EXPECT_EQ(old.use_count(), 1);  // the table let go of the old value
  EXPECT_EQ(r->table()->size(), 1u);
  EXPECT_EQ(r->AsJSon(false, true), "{\"Result\":-5}");
  r->PutI("Result", INT64_MIN);
  EXPECT_EQ(r->AsJSon(false, true), "{\"Result\":-9223372036854775808}");
  r->PutI("Result", INT64_MAX);
  EXPECT_EQ(r->AsJSon(false, true), "{\"Result\":9223372036854775807}");
  r->PutS("a/b", u"\x01");
  EXPECT_EQ(r->GetS("a/b"), "\x01");
}

TEST(DynObjectTest, PutIntoANonObjectStoresNothing) {
  for (std::string_view text : {"[]", "", "5", "null"}) {
    SCOPED_TRACE(text);
    const IDynObject v = parse(text);
    const std::string before = v->AsJSon(false, true);
    v->PutI("A", 1);
    v->PutS("B", "x");
    EXPECT_EQ(v->AsJSon(false, true), before);
    EXPECT_EQ(v->GetI("A"), 0);
  }
}

TEST(DynObjectTest, EscapingPerCodeUnit) {
  struct Case {
    std::u16string_view text;
    std::string_view escaped;  // escape true
    std::string_view plain;    // escape false
  };
  const Case cases[] = {
      {u"\"", "\\\"", "\\\""},
      {u"\\", "\\\\", "\\\\"},
      {u"/", "\\/", "\\/"},
      {u"\b\t\n\f\r", "\\b\\t\\n\\f\\r", "\b\t\n\f\r"},
      {std::u16string_view(u"\0", 1), "\\u0000", "\\u0000"},
      {u"\x01\x1F", "\\u0001\\u001f", "\x01\x1F"},
      {u" ~\x7F", " ~\x7F", " ~\x7F"},
      {u"\x80", "\\u0080", "\xC2\x80"},
      {u"\u00E9\u00FF", "\\u00e9\\u00ff", "\xC3\xA9\xC3\xBF"},
      {u"\u0100", "\\u0100", "\xC4\x80"},
      {u"\u670D", "\\u670d", "\xE6\x9C\x8D"},
      {u"\xD83D\xDE00", "\\ud83d\\ude00", "\xF0\x9F\x98\x80"},
      // Lone surrogates have no UTF-8 form; escaped, they read back unchanged.
      {u"\xD800", "\\ud800", "\\ud800"},
      {u"a\xDC00\xD83D", "a\\udc00\\ud83d", "a\\udc00\\ud83d"},
      {u"\xD83D\xD83D\xDE00", "\\ud83d\\ud83d\\ude00", "\\ud83d\xF0\x9F\x98\x80"},
      {u"a\"b/c", "a\\\"b\\/c", "a\\\"b\\/c"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.escaped);
    const IDynObject v = TDynObject::make_string(std::u16string(c.text));
    EXPECT_EQ(v->AsJSon(false, true), std::string("\"").append(c.escaped).append("\""));
    EXPECT_EQ(v->AsJSon(false, false), std::string("\"").append(c.plain).append("\""));
    // Names are escaped the same way.
    const IDynObject o = TDynObject::make_object();
    o->set_member(c.text, TDynObject::make_int(1));
    EXPECT_EQ(o->AsJSon(false, true), "{\"" + std::string(c.escaped) + "\":1}");
  }
}

TEST(DynObjectTest, ScalarTexts) {
  struct Case {
    IDynObject value;
    std::string_view json;
    int64_t integer;
  };
  const Case cases[] = {
      {TDynObject::make_null(), "null", 0},
      {TDynObject::make_boolean(true), "true", 1},
      {TDynObject::make_boolean(false), "false", 0},
      {TDynObject::make_int(0), "0", 0},
      {TDynObject::make_int(-42), "-42", -42},
      {TDynObject::make_currency(15000), "1.5", 2},
      {TDynObject::make_currency(-5), "-0.0005", 0},
      {TDynObject::make_currency(1230000), "123", 123},
      {TDynObject::make_currency(INT64_MIN), "-922337203685477.5808", -922337203685478},
      {TDynObject::make_double(0.1), "0.1", 0},
      {TDynObject::make_double(-1.5e-7), "-1.5E-7", 0},
      {TDynObject::make_double(123456789.5), "123456789.5", 123456790},
      {TDynObject::make_string("12"), "\"12\"", 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(c.value->AsJSon(false, true), c.json);
    EXPECT_EQ(c.value->AsInteger(), c.integer);
    if (c.value->type() != TDynType::stString) {
      EXPECT_EQ(c.value->AsString(), c.json);
    }
  }
  EXPECT_EQ(TDynObject::make_string("12")->AsString(), "12");
}

// Doubles beyond the range of a number, and NaN, still write texts that a JSON reader accepts;
// the infinities read back as themselves.
TEST(DynObjectTest, NonFiniteDoublesWriteValidJson) {
  struct Case {
    std::string_view text;
    std::string_view json;
  };
  const Case cases[] = {
      {"[-1e999,1]", "[-1e999,1]"},
      {"[1e999]", "[1e999]"},
      {"{\"A\":2e400}", "{\"A\":1e999}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string written = parse(c.text)->AsJSon(false, true);
    EXPECT_EQ(written, c.json);
    const IDynObject back = TDynObject::ParseString(written);
    ASSERT_NE(back, nullptr) << written;
    EXPECT_EQ(back->AsJSon(false, true), written);
  }
  const IDynObject nan = TDynObject::make_array();
  nan->array()->push_back(TDynObject::make_double(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_EQ(nan->AsJSon(false, true), "[null]");
  EXPECT_EQ(TDynObject::make_double(-std::numeric_limits<double>::infinity())->AsJSon(false, true),
            "-1e999");
}

TEST(DynObjectTest, AbsentMethodAndInProgressValues) {
  const IDynObject o = TDynObject::make_object();
  EXPECT_EQ(o->AsJSon(false, true), "{}");
  o->set_member(u"X", nullptr);
  EXPECT_EQ(o->AsJSon(false, true), "{\"X\":null}");

  const IDynObject m = TDynObject::make_method([](const TDynArray& args) {
    return TDynObject::make_int(static_cast<int64_t>(args.size()));
  });
  EXPECT_EQ((*m->method())({nullptr, nullptr})->AsInteger(), 2);
  EXPECT_EQ(m->AsJSon(false, true), "null");
  const IDynObject a = TDynObject::make_array();
  a->array()->push_back(m);
  EXPECT_EQ(a->AsJSon(false, true), "[]");
  a->array()->push_back(nullptr);
  a->array()->push_back(m);
  a->array()->push_back(TDynObject::make_int(1));
  EXPECT_EQ(a->AsJSon(false, true), "[null,1]");
  o->set_member(u"M", m);
  EXPECT_EQ(o->AsJSon(false, true), "{\"X\":null}");
}

TEST(DynObjectTest, AValueReachedThroughItselfIsLeftOut) {
  const IDynObject o = TDynObject::make_object();
  const IDynObject a = TDynObject::make_array();
  o->set_member(u"self", o);
  o->set_member(u"list", a);
  a->array()->push_back(TDynObject::make_int(1));
  a->array()->push_back(o);
  a->array()->push_back(a);
  EXPECT_EQ(o->AsJSon(false, true), "{\"list\":[1]}");
  EXPECT_EQ(a->AsJSon(false, true), "[1,{}]");
  EXPECT_EQ(o->GetS("list"), "[1,{}]");  // a list written first holds o, but not o in o
  // Break the cycles so that the values are freed.
  o->set_member(u"self", nullptr);
  a->array()->clear();
}

TEST(DynObjectTest, IndentedForm) {
  EXPECT_EQ(parse("{\"A\":[1,{}]}")->AsJSon(true, true), "{\n  \"A\": [\n    1,\n    {}\n  ]\n}");
  EXPECT_EQ(parse("[]")->AsJSon(true, true), "[]");
}


TEST(DynObjectTest, EscapedStringWritesWhatAStringValueWrites) {
  // Long texts cross the slices the writer converts one at a time: multi-byte sequences,
  // invalid bytes and lone surrogates at every position must come out as from the whole text.
  std::string mixed;
  const std::string_view pieces[] = {"a", "\xC3\xA9", "\xE6\x9C\x8D", "\xF0\x9F\x98\x80", "\xFF",
                                     "\xE6\x9C", "\x01", "\"", "/", "\xED\xA0\x80"};
  for (size_t i = 0; mixed.size() < 200 * 1024; ++i) {
    mixed += pieces[(i * 7 + i / 13) % std::size(pieces)];
  }
  const std::string no_ascii = std::string(70 * 1024, '\xC3') + "\xA9" + std::string(3, '\x80');
  for (const std::string& text : {std::string(), std::string("plain"), mixed, no_ascii}) {
    SCOPED_TRACE(text.size());
    std::string out = "<";
    append_escaped_string(out, text);
    EXPECT_EQ(out, "<" + TDynObject::make_string(std::string_view(text))->AsJSon(false, true));
  }
}

}  // namespace
}  // namespace appsrv::json
