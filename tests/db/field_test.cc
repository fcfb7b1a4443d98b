#include "db/field.h"

#include <gtest/gtest.h>

#include <cmath>

#include "db/sqlite_handle.h"
#include "tests/db/temp_database.h"

namespace appsrv::db {
namespace {

TEST(FieldTest, ClassFollowsTheDeclaredType) {
  struct Case {
    std::string_view declared;
    bool autoincrement;
    std::string_view class_name;
    int64_t size;
  };
  // clang-format off
  const Case cases[] = {
      {"INTEGER",          true,  "TAutoIncField",    0},
      {"counter",          false, "TAutoIncField",    0},
      {"AUTOINCREMENT",    false, "TAutoIncField",    0},
      {"BIGINT",           false, "TLargeintField",   0},
      {"int64",            false, "TLargeintField",   0},
      {"SMALLINT",         false, "TSmallintField",   0},
      {"TINYINT",          false, "TByteField",       0},
      {"Byte",             false, "TByteField",       0},
      {"INTEGER",          false, "TIntegerField",    0},
      {"INT",              false, "TIntegerField",    0},
      {"MEDIUMINT",        false, "TIntegerField",    0},
      {"LONG",             false, "TIntegerField",    0},
      {"BOOL",             false, "TBooleanField",    0},
      {"boolean",          false, "TBooleanField",    0},
      {"BIT",              false, "TBooleanField",    0},
      {"YESNO",            false, "TBooleanField",    0},
      {"LOGICAL",          false, "TBooleanField",    0},
      {"DECIMAL(10,2)",    false, "TBCDField",        0},
      {"NUMERIC",          false, "TBCDField",        0},
      {"MONEY",            false, "TBCDField",        0},
      {"CURRENCY",         false, "TBCDField",        0},
      {"REAL",             false, "TFloatField",      0},
      {"FLOAT",            false, "TFloatField",      0},
      {"DOUBLE",           false, "TFloatField",      0},
      {"DATETIME",         false, "TDateTimeField",   0},
      {"TIMESTAMP",        false, "TDateTimeField",   0},
      {"DATE",             false, "TDateField",       0},
      {"TIME",             false, "TTimeField",       0},
      {"MEMO",             false, "TWideMemoField",   0},
      {"LONGTEXT",         false, "TWideMemoField",   0},
      {"NTEXT",            false, "TWideMemoField",   0},
      {"CLOB",             false, "TWideMemoField",   0},
      {"GUID",             false, "TGuidField",       0},
      {"UNIQUEIDENTIFIER", false, "TGuidField",       0},
      {"BINARY(16)",       false, "TBytesField",      16},
      {"VARBINARY(8)",     false, "TVarBytesField",   8},
      {"BLOB",             false, "TBlobField",       0},
      {"IMAGE",            false, "TBlobField",       0},
      {"LONGBINARY",       false, "TBlobField",       0},
      {"OLEOBJECT",        false, "TBlobField",       0},
      {"CHAR(10)",         false, "TWideStringField", 10},
      {"VARCHAR(40)",      false, "TWideStringField", 40},
      {"NVARCHAR( 12 )",   false, "TWideStringField", 12},
      {"TEXT",             false, "TWideStringField", 255},
      {"SOMETHING ELSE",   false, "TWideStringField", 255},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.declared);
    const TFieldDef def = field_def_for_declared_type("F", c.declared, c.autoincrement);
    EXPECT_EQ(make_field(def)->ClassName(), c.class_name);
    EXPECT_EQ(def.size, c.size);
  }
  const TFieldDef money = field_def_for_declared_type("M", "money", false);
  EXPECT_TRUE(money.currency);
  const TFieldDef decimal = field_def_for_declared_type("D", "decimal(10,2)", false);
  EXPECT_FALSE(decimal.currency);
  EXPECT_EQ(decimal.precision, 10);
  EXPECT_EQ(decimal.scale, 2);
}

template <typename Class>
bool is_a(const TField& field) {
  return dynamic_cast<const Class*>(&field) != nullptr;
}

TEST(FieldTest, HierarchyAnswersIsATests) {
  struct Case {
    FieldType type;
    bool string, integer, numeric, float_kind, date_time, blob, bytes;
  };
  // clang-format off
  const Case cases[] = {
      // type                  string integer numeric float  dt     blob   bytes
      {FieldType::kWideString, true,  false, false, false, false, false, false},
      {FieldType::kGuid,       true,  false, false, false, false, false, false},
      {FieldType::kAutoInc,    false, true,  true,  false, false, false, false},
      {FieldType::kSmallint,   false, true,  true,  false, false, false, false},
      {FieldType::kByte,       false, true,  true,  false, false, false, false},
      {FieldType::kInteger,    false, true,  true,  false, false, false, false},
      {FieldType::kLargeint,   false, false, true,  false, false, false, false},
      {FieldType::kFloat,      false, false, true,  true,  false, false, false},
      {FieldType::kBCD,        false, false, true,  false, false, false, false},
      {FieldType::kBoolean,    false, false, false, false, false, false, false},
      {FieldType::kDateTime,   false, false, false, false, true,  false, false},
      {FieldType::kDate,       false, false, false, false, true,  false, false},
      {FieldType::kTime,       false, false, false, false, true,  false, false},
      {FieldType::kWideMemo,   false, false, false, false, false, true,  false},
      {FieldType::kBlob,       false, false, false, false, false, true,  false},
      {FieldType::kBytes,      false, false, false, false, false, false, true},
      {FieldType::kVarBytes,   false, false, false, false, false, false, true},
  };
  // clang-format on
  for (const Case& c : cases) {
    TFieldDef def;
    def.data_type = c.type;
    const std::unique_ptr<TField> f = make_field(def);
    SCOPED_TRACE(f->ClassName());
    EXPECT_EQ(is_a<TStringField>(*f), c.string);
    EXPECT_EQ(is_a<TIntegerField>(*f), c.integer);
    EXPECT_EQ(is_a<TNumericField>(*f), c.numeric);
    EXPECT_EQ(is_a<TFloatField>(*f), c.float_kind);
    EXPECT_EQ(is_a<TDateTimeField>(*f), c.date_time);
    EXPECT_EQ(is_a<TBlobField>(*f), c.blob);
    EXPECT_EQ(is_a<TBytesField>(*f), c.bytes);
  }
}

TEST(FieldTest, ValueTextsPerClass) {
  struct Case {
    FieldType type;
    Variant value;
    std::string_view text;
    double as_float;
    int64_t as_integer;
    std::string_view packet;
  };
  const Case cases[] = {
      {FieldType::kInteger, int64_t{-42}, "-42", -42, -42, "-42"},
      {FieldType::kInteger, 2.6, "3", 2.6, 3, "3"},
      {FieldType::kInteger, std::string("17"), "17", 17, 17, "17"},
      {FieldType::kLargeint, int64_t{9007199254740993}, "9007199254740993", 9007199254740992.0,
       9007199254740993, "9007199254740993"},
      {FieldType::kFloat, 0.1, "0.1", 0.1, 0, "0.1"},
      {FieldType::kFloat, 3.14159, "3.14159", 3.14159, 3, "3.14159"},
      {FieldType::kFloat, 1.0 / 3, "0.333333333333333", 1.0 / 3, 0, "0.3333333333333333"},
      {FieldType::kFloat, 1e300, "1E300", 1e300, INT64_MAX, "1E+300"},
      {FieldType::kBCD, 1234.5, "1234.5", 1234.5, 1235, "1234.5"},
      {FieldType::kBoolean, int64_t{1}, "True", 1, 1, "True"},
      {FieldType::kBoolean, int64_t{0}, "False", 0, 0, "False"},
      {FieldType::kBoolean, std::string("true"), "True", 1, 1, "True"},
      {FieldType::kDateTime, std::string("2001-02-03 04:05:06"), "2001-02-03 04:05:06",
       36925.170208333333, 36925, "2001-02-03T04:05:06"},
      {FieldType::kDateTime, std::string("2001-02-03 00:00:00"), "2001-02-03", 36925, 36925,
       "2001-02-03T00:00:00"},
      {FieldType::kDate, std::string("1999-12-31"), "1999-12-31", 36525, 36525, "1999-12-31"},
      {FieldType::kTime, std::string("12:00:00"), "12:00:00", 0.5, 0, "12:00:00"},
      {FieldType::kWideString, std::string("a\tb"), "a\tb", 0, 0, "a\tb"},
      {FieldType::kGuid, std::string("0123abcd-89ab-cdef-0123-456789abcdef"),
       "0123abcd-89ab-cdef-0123-456789abcdef", 0, 0, "{0123ABCD-89AB-CDEF-0123-456789ABCDEF}"},
      {FieldType::kWideMemo, std::string("line1\r\nline2"), "line1\r\nline2", 0, 0,
       "line1\r\nline2"},
      {FieldType::kBlob, std::string("\x00\x01\xff", 3), std::string_view("\x00\x01\xff", 3), 0, 0,
       "0001ff"},
      {FieldType::kVarBytes, std::string("\xde\xad"), "\xde\xad", 0, 0, "dead"},
  };
  for (const Case& c : cases) {
    TFieldDef def;
    def.data_type = c.type;
    const std::unique_ptr<TField> f = make_field(def);
    f->SetValue(c.value);
    SCOPED_TRACE(std::string(f->ClassName()) + " " + std::string(c.text));
    EXPECT_EQ(f->AsString(), c.text);
    if (c.type != FieldType::kWideString && c.type != FieldType::kGuid &&
        c.type < FieldType::kWideMemo) {
      EXPECT_NEAR(f->AsFloat(), c.as_float, 1e-9);
      EXPECT_EQ(f->AsInteger(), c.as_integer);
    }
    EXPECT_TRUE(f->value_is_readable());
    EXPECT_EQ(f->packet_text(), c.packet);
  }
}

TEST(FieldTest, DecimalPacketTextIsAPlainDecimal) {
  struct Case {
    Variant value;
    std::string_view packet;
  };
  // clang-format off
  const Case cases[] = {
      {1234.56,                       "1234.56"},
      {1e6,                           "1000000"},
      {0.0001,                        "0.0001"},
      {-922337203685477.5,            "-922337203685477.5"},
      {1e20,                          "100000000000000000000"},
      {int64_t{9007199254740993},     "9007199254740993"},
      {int64_t{-5},                   "-5"},
      {std::string("1E-4"),           "0.0001"},
  };
  // clang-format on
  for (const bool currency : {true, false}) {
    for (const Case& c : cases) {
      TFieldDef def;
      def.data_type = FieldType::kBCD;
      def.currency = currency;
      const std::unique_ptr<TField> f = make_field(def);
      f->SetValue(c.value);
      SCOPED_TRACE(std::string(c.packet) + (currency ? " currency" : " numeric"));
      EXPECT_EQ(f->packet_text(), c.packet);
    }
  }
}

TEST(FieldTest, NullReadsAsEmptyAndZero) {
  for (int t = 0; t <= static_cast<int>(FieldType::kVarBytes); ++t) {
    TFieldDef def;
    def.data_type = static_cast<FieldType>(t);
    const std::unique_ptr<TField> f = make_field(def);
    SCOPED_TRACE(f->ClassName());
    EXPECT_TRUE(f->IsNull());
    EXPECT_EQ(f->AsString(), "");
    EXPECT_EQ(f->AsFloat(), 0);
    EXPECT_EQ(f->AsInteger(), 0);
  }
}

TEST(FieldTest, UnreadableTextFailsWithAClearMessage) {
  struct Case {
    FieldType type;
    std::string_view stored;
    std::string_view message;
  };
  // clang-format off
  const Case cases[] = {
      {FieldType::kInteger,  "1 OR 1=1", "'1 OR 1=1' is not a valid integer value"},
      {FieldType::kFloat,    "abc",      "'abc' is not a valid floating point value"},
      {FieldType::kDateTime, "soon",     "'soon' is not a valid date and time"},
      {FieldType::kBoolean,  "maybe",    "'maybe' is not a valid boolean value"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    TFieldDef def;
    def.data_type = c.type;
    const std::unique_ptr<TField> f = make_field(def);
    f->SetValue(std::string(c.stored));
    EXPECT_FALSE(f->value_is_readable());
    EXPECT_EQ(database_error([&] {
                (void)f->AsString();
                (void)f->AsInteger();
              }),
              c.message);
  }
}

}  // namespace
}  // namespace appsrv::db
