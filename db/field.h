// Dataset fields: column definitions, the field class hierarchy (callers test what a field
// "is" with dynamic_cast) and the readings of a value as text, float and integer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace appsrv::db {

// A field value: null, integer, real, or text (binary values are byte strings).
using Variant = std::variant<std::monostate, int64_t, double, std::string>;

enum class FieldType {
  kWideString,
  kGuid,
  kInteger,
  kSmallint,
  kByte,
  kLargeint,
  kAutoInc,
  kFloat,
  kBCD,
  kBoolean,
  kDateTime,
  kDate,
  kTime,
  kWideMemo,
  kBlob,
  kBytes,
  kVarBytes,
};

// Strings without a declared length hold up to this many characters.
constexpr int64_t kDefaultStringSize = 255;

struct TFieldDef {
  std::string name;
  FieldType data_type = FieldType::kWideString;
  int64_t size = 0;   // characters for strings, bytes for binary; 0 for fixed-size types
  int precision = 0;  // decimal columns
  int scale = 0;
  bool required = false;  // NOT NULL
  bool currency = false;  // a decimal column declared MONEY or CURRENCY
};

// The column definitions of a dataset, in column order.
class TFieldDefs {
 public:
  void Assign(const TFieldDefs& other) { defs_ = other.defs_; }
  void Clear() { defs_.clear(); }
  void Add(TFieldDef def) { defs_.push_back(std::move(def)); }
  size_t Count() const { return defs_.size(); }
  const TFieldDef& operator[](size_t i) const { return defs_.at(i); }
  auto begin() const { return defs_.begin(); }
  auto end() const { return defs_.end(); }

 private:
  std::vector<TFieldDef> defs_;
};

// The definition of a column from its declared SQL type, compared without case.
TFieldDef field_def_for_declared_type(std::string name, std::string_view declared,
                                      bool autoincrement);
// The type of a column with no declared type (an expression), from a value's SQLite type.
FieldType field_type_for_value(int sqlite_type);

// One column of the current row. The dataset owns its fields; a field's value is the current
// row's until the dataset moves.
class TField {
 public:
  explicit TField(TFieldDef def) : def_(std::move(def)) {}
  virtual ~TField() = default;
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  virtual std::string_view ClassName() const = 0;
  const std::string& FieldName() const { return def_.name; }
  FieldType DataType() const { return def_.data_type; }
  int64_t Size() const { return def_.size; }
  const TFieldDef& def() const { return def_; }

  bool IsNull() const { return std::holds_alternative<std::monostate>(value_); }
  const Variant& Value() const { return value_; }
  void SetValue(Variant value) { value_ = std::move(value); }
  void Clear() { value_ = std::monostate{}; }

  // Null reads as "", 0 and 0. Text that is no number of the asked kind throws DatabaseError.
  virtual std::string AsString() const;
  virtual double AsFloat() const;
  virtual int64_t AsInteger() const;
  // The text of a non-null value in a recordset packet. REQUIRES: value_is_readable().
  virtual std::string packet_text() const { return AsString(); }
  // False when the stored value is text that the field's kind cannot read (a date column
  // holding "soon"); packets then carry the stored text as it is.
  bool value_is_readable() const;

 protected:
  Variant value_;

 private:
  TFieldDef def_;
};

class TStringField : public TField {
 public:
  using TField::TField;
  std::string_view ClassName() const override { return "TStringField"; }
};

class TWideStringField : public TStringField {
 public:
  using TStringField::TStringField;
  std::string_view ClassName() const override { return "TWideStringField"; }
};

// Packets write GUIDs in braces with upper-case digits.
class TGuidField : public TStringField {
 public:
  using TStringField::TStringField;
  std::string_view ClassName() const override { return "TGuidField"; }
  std::string packet_text() const override;
};

class TNumericField : public TField {
 public:
  using TField::TField;
  std::string_view ClassName() const override { return "TNumericField"; }
};

// Packets declare the column's size (32, 16 or 8 bits); a value beyond it fails the packet.
class TIntegerField : public TNumericField {
 public:
  using TNumericField::TNumericField;
  std::string_view ClassName() const override { return "TIntegerField"; }
  std::string AsString() const override;
  // Throws DatabaseError naming the field when the value does not fit the declared size.
  std::string packet_text() const override;
};

class TSmallintField : public TIntegerField {
 public:
  using TIntegerField::TIntegerField;
  std::string_view ClassName() const override { return "TSmallintField"; }
};

class TByteField : public TIntegerField {
 public:
  using TIntegerField::TIntegerField;
  std::string_view ClassName() const override { return "TByteField"; }
};

class TAutoIncField : public TIntegerField {
 public:
  using TIntegerField::TIntegerField;
  std::string_view ClassName() const override { return "TAutoIncField"; }
};

class TLargeintField : public TNumericField {
 public:
  using TNumericField::TNumericField;
  std::string_view ClassName() const override { return "TLargeintField"; }
  std::string AsString() const override;
};

// Packets write floats with every digit needed to read the same double back.
class TFloatField : public TNumericField {
 public:
  using TNumericField::TNumericField;
  std::string_view ClassName() const override { return "TFloatField"; }
  std::string AsString() const override;
  std::string packet_text() const override;
};

class TBCDField : public TNumericField {
 public:
  using TNumericField::TNumericField;
  std::string_view ClassName() const override { return "TBCDField"; }
  std::string AsString() const override;
  std::string packet_text() const override;
};

// Stored as 0/1; reads as "True"/"False".
class TBooleanField : public TField {
 public:
  using TField::TField;
  std::string_view ClassName() const override { return "TBooleanField"; }
  bool AsBoolean() const;
  std::string AsString() const override;
  double AsFloat() const override { return AsBoolean() ? 1 : 0; }
  int64_t AsInteger() const override { return AsBoolean() ? 1 : 0; }
  std::string packet_text() const override { return AsString(); }
};

// Stored as ISO text; AsFloat gives days since 1899-12-30. AsString shows "yyyy-mm-dd
// hh:nn:ss", leaving out the time at midnight.
class TDateTimeField : public TField {
 public:
  using TField::TField;
  std::string_view ClassName() const override { return "TDateTimeField"; }
  std::string AsString() const override;
  double AsFloat() const override;
  int64_t AsInteger() const override;
  std::string packet_text() const override;
};

class TDateField : public TDateTimeField {
 public:
  using TDateTimeField::TDateTimeField;
  std::string_view ClassName() const override { return "TDateField"; }
  std::string AsString() const override;
  std::string packet_text() const override { return AsString(); }
};

class TTimeField : public TDateTimeField {
 public:
  using TDateTimeField::TDateTimeField;
  std::string_view ClassName() const override { return "TTimeField"; }
  std::string AsString() const override;
  std::string packet_text() const override { return AsString(); }
};

// Packets write binary values as lower-case hexadecimal.
class TBlobField : public TField {
 public:
  using TField::TField;
  std::string_view ClassName() const override { return "TBlobField"; }
  std::string packet_text() const override;
};

class TWideMemoField : public TBlobField {
 public:
  using TBlobField::TBlobField;
  std::string_view ClassName() const override { return "TWideMemoField"; }
  std::string packet_text() const override { return AsString(); }
};

class TBytesField : public TField {
 public:
  using TField::TField;
  std::string_view ClassName() const override { return "TBytesField"; }
  std::string packet_text() const override;
};

class TVarBytesField : public TBytesField {
 public:
  using TBytesField::TBytesField;
  std::string_view ClassName() const override { return "TVarBytesField"; }
};

// The field of the class its definition's type calls for.
std::unique_ptr<TField> make_field(const TFieldDef& def);

// Shortest text that reads back as the same double, exponent as "E+308".
std::string round_trip_float_text(double value);

}  // namespace appsrv::db
