#include "json/json_document.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>

namespace appsrv::json {
namespace {

std::unique_ptr<JsonValue> str(std::string_view s) { return std::make_unique<TJSONString>(s); }
std::unique_ptr<JsonValue> num(int64_t v) { return std::make_unique<TJSONNumber>(v); }

TEST(JsonDocumentTest, PairsKeepInsertionOrderAndDuplicates) {
  TJSONObject doc;
  EXPECT_EQ(doc.ToString(), "{}");
  doc.AddPair("b", num(1));
  doc.AddPair(std::make_unique<TJSONPair>("a", str("x")));
  doc.AddPair("b", num(2));
  EXPECT_EQ(doc.ToString(), "{\"b\":1,\"a\":\"x\",\"b\":2}");
  EXPECT_EQ(doc.size(), 3u);
}

TEST(JsonDocumentTest, StringEscaping) {
  struct Case {
    std::u16string_view text;
    std::string_view want;
  };
  const Case cases[] = {
      {u"a\"b", "\"a\\\"b\""},
      {u"\\", "\"\\\\\""},
      {u"\t", "\"\\u0009\""},
      {u"\r\n\b\f", "\"\\u000d\\u000a\\u0008\\u000c\""},
      {std::u16string_view(u"\0\x1F", 2), "\"\\u0000\\u001f\""},
      {u" /\x7F", "\" /\x7F\""},
      {u"\u00E9", "\"\xC3\xA9\""},
      {u"\u670D", "\"\xE6\x9C\x8D\""},
      {u"\xD83D\xDE00", "\"\xF0\x9F\x98\x80\""},
      {u"", "\"\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    const TJSONString string{std::u16string(c.text)};
    EXPECT_EQ(string.ToString(), c.want);
    // A page bounded by its written size is counted before it is written.
    EXPECT_EQ(string.written_size(), c.want.size());
  }
  EXPECT_EQ(TJSONString("q\"\\\t\xC3\xA9").ToString(), "\"q\\\"\\\\\\u0009\xC3\xA9\"");
  // UTF-8 text: bad bytes become U+FFFD, whatever surrounds them.
  EXPECT_EQ(TJSONString("\xC3\xA9\"\xFF\n\xE6\x9C").ToString(),
            "\"\xC3\xA9\\\"\xEF\xBF\xBD\\u000a\xEF\xBF\xBD\xEF\xBF\xBD\"");
  TJSONObject doc;
  doc.AddPair("a\tb\"", num(0));
  EXPECT_EQ(doc.ToString(), "{\"a\\u0009b\\\"\":0}");
}

TEST(JsonDocumentTest, NumbersAreWrittenInFull) {
  struct Case {
    std::unique_ptr<TJSONNumber> number;
    std::string_view want;
  };
  const Case cases[] = {
      {std::make_unique<TJSONNumber>(-5), "-5"},
      {std::make_unique<TJSONNumber>(0), "0"},
      {std::make_unique<TJSONNumber>(std::numeric_limits<int32_t>::min()), "-2147483648"},
      {std::make_unique<TJSONNumber>(int64_t{5000000000}), "5000000000"},
      {std::make_unique<TJSONNumber>(std::numeric_limits<int64_t>::min()), "-9223372036854775808"},
      {std::make_unique<TJSONNumber>(std::numeric_limits<int64_t>::max()), "9223372036854775807"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(c.number->ToString(), c.want);
  }
}

TEST(JsonDocumentTest, GridShapedDocument) {
  TJSONObject doc;
  doc.AddPair("fldCount", num(2));
  auto names = std::make_unique<TJSONArray>();
  names->Add("id");
  names->Add("name");
  doc.AddPair("fldNames", std::move(names));
  doc.AddPair("rowCount", num(45));
  auto rows = std::make_unique<TJSONArray>();
  for (const char* name : {"\xE6\x9C\x8D", "a/b"}) {
    auto row = std::make_unique<TJSONArray>();
    row->Add("1");
    row->Add(name);
    rows->Add(std::move(row));
  }
  rows->Add(std::make_unique<TJSONArray>());
  doc.AddPair("rows", std::move(rows));
  doc.AddPair("empty", std::make_unique<TJSONArray>());
  doc.AddPair("inner", std::make_unique<TJSONObject>());
  EXPECT_EQ(doc.ToString(),
            "{\"fldCount\":2,\"fldNames\":[\"id\",\"name\"],\"rowCount\":45,"
            "\"rows\":[[\"1\",\"\xE6\x9C\x8D\"],[\"1\",\"a/b\"],[]],\"empty\":[],\"inner\":{}}");
}

}  // namespace
}  // namespace appsrv::json
