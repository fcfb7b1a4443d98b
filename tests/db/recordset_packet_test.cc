#include "db/recordset_packet.h"

#include <gtest/gtest.h>

namespace appsrv::db {
namespace {

TEST(RecordsetPacketTest, PlainNamesAreKept) {
  struct Case {
    std::string_view name;
    bool plain;
  };
  // clang-format off
  const Case cases[] = {
      {"ID",        true},         {"M01_TEXT", true},   {"_x",             true},
      {"Full Name", false}, {"1Leading",        false},  {"Name-With-Dash", false},
      {"a&b",       false},       {"a\"b",      false},      {"a'b",        false},
      {"a<b",       false},       {"tab\there", false}, {" ",               false},
      {"",          false},          {"xmlns",  false},     {"XmlThing",    false},
      {"h\xC3\xA9", false}, {"a.b",             false},       {"a:b",       false},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(is_plain_xml_name(c.name), c.plain);
  }
}

TEST(RecordsetPacketTest, AliasesColumnsThatAreNoNamesOrRepeat) {
  struct Case {
    std::vector<std::string> columns;
    std::vector<std::string> names;
  };
  // clang-format off
  const Case cases[] = {
      {{"ID", "Full Name", "1LeadingInteger"}, {"ID", "c1", "c2"}},
      {{"ID", "ID", "id"},                     {"ID", "c1", "id"}},
      {{"c1", "a b"},                          {"c0", "c1"}},
      {{"c1", "a b", "c0"},                    {"c0", "c1", "c2"}},
      {{},                                     {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.columns));
    EXPECT_EQ(packet_attribute_names(c.columns), c.names);
  }
}

TEST(RecordsetPacketTest, EscapesAttributeText) {
  struct Case {
    std::string_view text;
    std::string_view escaped;
  };
  // clang-format off
  const Case cases[] = {
      {"O'Brien",                     "O'Brien"},
      {"a&b<c>d\"e",                  "a&amp;b&lt;c&gt;d&quot;e"},
      {"tab\there",                   "tab&#9;here"},
      {"line1\r\nline2",              "line1&#13;&#10;line2"},
      {"\xE6\x89\xA7\xE8\xA1\x8C",    "\xE6\x89\xA7\xE8\xA1\x8C"},
      {"\xF0\x9F\x98\x80",            "\xF0\x9F\x98\x80"},
      {std::string_view("nul\0x", 5), "nul\xEF\xBF\xBDx"},
      {"bell\x07",                    "bell\xEF\xBF\xBD"},
      {"bad\xFF" "byte",              "bad\xEF\xBF\xBD" "byte"},
      {"cut\xE6\x89",                 "cut\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate\xED\xA0\x80",       "surrogate\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"overlong\xC0\xAF",            "overlong\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string out;
    append_attribute_text(out, c.text);
    EXPECT_EQ(out, c.escaped);
  }
}

}  // namespace
}  // namespace appsrv::db
