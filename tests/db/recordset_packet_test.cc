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

// The datatype facets of each field kind, as ADO clients read them for a connectionless
// recordset: type, refinement, size, precision 0 except for decimals, fixed/long flags, and
// rs:maybenull="false" only on NOT NULL columns.
TEST(RecordsetPacketTest, DatatypeFacetsPerFieldKind) {
  struct Case {
    FieldType type;
    int64_t size;
    bool currency;
    bool required;
    std::string_view datatype;
  };
  // clang-format off
  const Case cases[] = {
      {FieldType::kWideString, 40, false, false, "dt:type=\"string\" dt:maxLength=\"40\" rs:precision=\"0\""},
      {FieldType::kWideString, 40, false, true,  "dt:type=\"string\" dt:maxLength=\"40\" rs:precision=\"0\" rs:maybenull=\"false\""},
      {FieldType::kGuid,       0,  false, false, "dt:type=\"uuid\" dt:maxLength=\"16\" rs:precision=\"0\" rs:fixedlength=\"true\""},
      {FieldType::kInteger,    0,  false, false, "dt:type=\"int\" dt:maxLength=\"4\" rs:precision=\"0\" rs:fixedlength=\"true\""},
      {FieldType::kAutoInc,    0,  false, true,  "dt:type=\"int\" dt:maxLength=\"4\" rs:precision=\"0\" rs:fixedlength=\"true\" rs:maybenull=\"false\""},
      {FieldType::kSmallint,   0,  false, false, "dt:type=\"i2\" dt:maxLength=\"2\" rs:precision=\"0\" rs:fixedlength=\"true\""},
      {FieldType::kByte,       0,  false, false, "dt:type=\"ui1\" dt:maxLength=\"1\" rs:precision=\"0\" rs:fixedlength=\"true\""},
      {FieldType::kLargeint,   0,  false, false, "dt:type=\"i8\" dt:maxLength=\"8\" rs:precision=\"0\" rs:fixedlength=\"true\""},
      {FieldType::kFloat,      0,  false, false, "dt:type=\"float\" dt:maxLength=\"8\" rs:precision=\"0\" rs:fixedlength=\"true\""},
      {FieldType::kBCD,        0,  true,  false, "dt:type=\"number\" rs:dbtype=\"currency\" dt:maxLength=\"8\" rs:precision=\"0\" rs:fixedlength=\"true\""},
      {FieldType::kBCD,        0,  false, false, "dt:type=\"number\" rs:dbtype=\"numeric\" dt:maxLength=\"19\" rs:scale=\"2\" rs:precision=\"10\" rs:fixedlength=\"true\""},
      {FieldType::kBoolean,    0,  false, false, "dt:type=\"boolean\" dt:maxLength=\"2\" rs:precision=\"0\" rs:fixedlength=\"true\""},
      {FieldType::kDateTime,   0,  false, false, "dt:type=\"dateTime\" rs:dbtype=\"variantdate\" dt:maxLength=\"16\" rs:precision=\"0\" rs:fixedlength=\"true\""},
      {FieldType::kDate,       0,  false, false, "dt:type=\"date\" dt:maxLength=\"6\" rs:precision=\"0\" rs:fixedlength=\"true\""},
      {FieldType::kTime,       0,  false, false, "dt:type=\"time\" dt:maxLength=\"6\" rs:precision=\"0\" rs:fixedlength=\"true\""},
      {FieldType::kWideMemo,   0,  false, false, "dt:type=\"string\" dt:maxLength=\"536870910\" rs:precision=\"0\" rs:long=\"true\""},
      {FieldType::kBlob,       0,  false, false, "dt:type=\"bin.hex\" dt:maxLength=\"1073741823\" rs:precision=\"0\" rs:long=\"true\""},
      {FieldType::kBytes,      8,  false, false, "dt:type=\"bin.hex\" dt:maxLength=\"8\" rs:precision=\"0\" rs:fixedlength=\"true\""},
      {FieldType::kVarBytes,   16, false, false, "dt:type=\"bin.hex\" dt:maxLength=\"16\" rs:precision=\"0\""},
  };
  // clang-format on
  for (const Case& c : cases) {
    TFieldDef def;
    def.name = "F";
    def.data_type = c.type;
    def.size = c.size;
    def.currency = c.currency;
    def.required = c.required;
    def.precision = 10;
    def.scale = 2;
    std::vector<std::unique_ptr<TField>> fields;
    fields.push_back(make_field(def));
    SCOPED_TRACE(c.datatype);
    const std::string packet = PacketWriter(fields).finish();
    const std::string attribute_type =
        std::string("\t\t\t<s:AttributeType name=\"F\" rs:number=\"1\"") +
        (c.required ? "" : " rs:nullable=\"true\"") + " rs:write=\"true\">\r\n";
    EXPECT_NE(packet.find(attribute_type + "\t\t\t\t<s:datatype " + std::string(c.datatype) +
                          "/>\r\n\t\t\t</s:AttributeType>\r\n"),
              std::string::npos)
        << packet;
  }
}

}  // namespace
}  // namespace appsrv::db
