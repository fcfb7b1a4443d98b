#include "db/field.h"

#include <sqlite3.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "base/date_time.h"
#include "base/encoding.h"
#include "base/parse_int.h"
#include "base/text.h"
#include "db/sqlite_handle.h"

namespace appsrv::db {
namespace {

// Lenient on blanks around the number, as stored text and declared sizes may carry them.
std::optional<int64_t> parse_integer(std::string_view text) {
  return base::parse_int<int64_t>(base::trim(text));
}

std::optional<double> parse_float(std::string_view text) {
  text = base::trim(text);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
  }
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) {
    return std::nullopt;
  }
  return value;
}

int64_t round_to_integer(double value) {
  // Values beyond the 64-bit range saturate instead of overflowing.
  if (std::isnan(value)) {
    return 0;
  }
  if (value >= 9.2233720368547758e18) {
    return std::numeric_limits<int64_t>::max();
  }
  if (value <= -9.2233720368547758e18) {
    return std::numeric_limits<int64_t>::min();
  }
  return std::llround(value);
}

// The text inside "(...)" of a declared type, split at ",".
std::vector<int64_t> type_arguments(std::string_view declared) {
  std::vector<int64_t> args;
  const size_t open = declared.find('(');
  const size_t close = declared.find(')', open);
  if (open == std::string_view::npos || close == std::string_view::npos) {
    return args;
  }
  for (const std::string& part : base::split(declared.substr(open + 1, close - open - 1), ',')) {
    if (const std::optional<int64_t> n = parse_integer(part); n && *n >= 0) {
      args.push_back(*n);
    }
  }
  return args;
}

bool is_one_of(std::string_view name, std::initializer_list<std::string_view> names) {
  for (std::string_view n : names) {
    if (name == n) {
      return true;
    }
  }
  return false;
}

std::string digits_of_integer(const TField& field) {
  return field.IsNull() ? std::string() : std::to_string(field.AsInteger());
}

std::string digits_of_float(const TField& field) {
  return field.IsNull() ? std::string() : base::float_text(field.AsFloat());
}

}  // namespace

std::string round_trip_float_text(double value) {
  if (!std::isfinite(value)) {
    return base::float_text(value);
  }
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  std::string text(buf, ec == std::errc() ? end : buf);
  const size_t e = text.find('e');
  if (e != std::string::npos) {
    text[e] = 'E';
  }
  return text;
}

TFieldDef field_def_for_declared_type(std::string name, std::string_view declared,
                                      bool autoincrement) {
  TFieldDef def;
  def.name = std::move(name);
  const std::string upper = base::ascii_uppercase(declared);
  const std::string base_name(base::trim(std::string_view(upper).substr(0, upper.find('('))));
  const std::vector<int64_t> args = type_arguments(upper);
  const auto arg = [&](size_t i, int64_t fallback) { return i < args.size() ? args[i] : fallback; };

  // Exact names first: LONGTEXT and LONGBINARY must not fall to the "contains LONG" rule.
  if (autoincrement || upper.find("AUTOINCREMENT") != std::string::npos || base_name == "COUNTER") {
    def.data_type = FieldType::kAutoInc;
  } else if (is_one_of(base_name, {"BIGINT", "INT64"})) {
    def.data_type = FieldType::kLargeint;
  } else if (base_name == "SMALLINT") {
    def.data_type = FieldType::kSmallint;
  } else if (is_one_of(base_name, {"TINYINT", "BYTE"})) {
    def.data_type = FieldType::kByte;
  } else if (is_one_of(base_name, {"BOOL", "BOOLEAN", "BIT", "YESNO", "LOGICAL"})) {
    def.data_type = FieldType::kBoolean;
  } else if (is_one_of(base_name, {"DECIMAL", "NUMERIC", "MONEY", "CURRENCY"})) {
    def.data_type = FieldType::kBCD;
    def.currency = base_name == "MONEY" || base_name == "CURRENCY";
    def.precision = static_cast<int>(std::min<int64_t>(arg(0, def.currency ? 19 : 18), 38));
    def.scale = static_cast<int>(std::min<int64_t>(arg(1, def.currency ? 4 : 0), def.precision));
  } else if (is_one_of(base_name, {"REAL", "FLOAT", "DOUBLE", "DOUBLE PRECISION"})) {
    def.data_type = FieldType::kFloat;
  } else if (is_one_of(base_name, {"DATETIME", "TIMESTAMP"})) {
    def.data_type = FieldType::kDateTime;
  } else if (base_name == "DATE") {
    def.data_type = FieldType::kDate;
  } else if (base_name == "TIME") {
    def.data_type = FieldType::kTime;
  } else if (is_one_of(base_name, {"MEMO", "LONGTEXT", "NTEXT", "CLOB"})) {
    def.data_type = FieldType::kWideMemo;
  } else if (is_one_of(base_name, {"GUID", "UNIQUEIDENTIFIER"})) {
    def.data_type = FieldType::kGuid;
  } else if (base_name == "BINARY") {
    def.data_type = FieldType::kBytes;
    def.size = arg(0, kDefaultStringSize);
  } else if (base_name == "VARBINARY") {
    def.data_type = FieldType::kVarBytes;
    def.size = arg(0, kDefaultStringSize);
  } else if (is_one_of(base_name, {"BLOB", "IMAGE", "LONGBINARY", "OLEOBJECT"})) {
    def.data_type = FieldType::kBlob;
  } else if (base_name.find("INT") != std::string::npos ||
             base_name.find("LONG") != std::string::npos) {
    def.data_type = FieldType::kInteger;
  } else {
    def.data_type = FieldType::kWideString;
    def.size = arg(0, kDefaultStringSize);
  }
  return def;
}

FieldType field_type_for_value(int sqlite_type) {
  switch (sqlite_type) {
    case SQLITE_INTEGER:
      return FieldType::kLargeint;
    case SQLITE_FLOAT:
      return FieldType::kFloat;
    default:
      return FieldType::kWideString;
  }
}

std::string TField::AsString() const {
  if (const auto* i = std::get_if<int64_t>(&value_)) {
    return std::to_string(*i);
  }
  if (const auto* d = std::get_if<double>(&value_)) {
    return base::float_text(*d);
  }
  if (const auto* s = std::get_if<std::string>(&value_)) {
    return *s;
  }
  return {};
}

double TField::AsFloat() const {
  if (const auto* i = std::get_if<int64_t>(&value_)) {
    return static_cast<double>(*i);
  }
  if (const auto* d = std::get_if<double>(&value_)) {
    return *d;
  }
  if (const auto* s = std::get_if<std::string>(&value_)) {
    if (const std::optional<double> d = parse_float(*s)) {
      return *d;
    }
    throw DatabaseError("'" + *s + "' is not a valid floating point value");
  }
  return 0;
}

int64_t TField::AsInteger() const {
  if (const auto* i = std::get_if<int64_t>(&value_)) {
    return *i;
  }
  if (const auto* d = std::get_if<double>(&value_)) {
    return round_to_integer(*d);
  }
  if (const auto* s = std::get_if<std::string>(&value_)) {
    if (const std::optional<int64_t> i = parse_integer(*s)) {
      return *i;
    }
    if (const std::optional<double> d = parse_float(*s)) {
      return round_to_integer(*d);
    }
    throw DatabaseError("'" + *s + "' is not a valid integer value");
  }
  return 0;
}

bool TField::value_is_readable() const {
  const auto* s = std::get_if<std::string>(&value_);
  if (s == nullptr) {
    return true;
  }
  switch (def_.data_type) {
    case FieldType::kInteger:
    case FieldType::kSmallint:
    case FieldType::kByte:
    case FieldType::kLargeint:
    case FieldType::kAutoInc:
    case FieldType::kFloat:
    case FieldType::kBCD:
      return parse_float(*s).has_value();
    case FieldType::kBoolean: {
      const std::string_view t = base::trim(*s);
      return base::iequals(t, "true") || base::iequals(t, "false") || parse_float(t).has_value();
    }
    case FieldType::kDateTime:
    case FieldType::kDate:
    case FieldType::kTime:
      return base::parse_iso_date_time(base::trim(*s)).has_value();
    default:
      return true;
  }
}

std::string TGuidField::packet_text() const {
  std::string text = base::ascii_uppercase(AsString());
  if (text.size() == 36) {
    text = "{" + text + "}";
  }
  return text;
}

std::string TIntegerField::AsString() const { return digits_of_integer(*this); }

std::string TIntegerField::packet_text() const {
  struct Range {
    int64_t low;
    int64_t high;
    std::string_view name;
  };
  Range range{INT32_MIN, INT32_MAX, "32-bit integer"};
  if (DataType() == FieldType::kSmallint) {
    range = {INT16_MIN, INT16_MAX, "16-bit integer"};
  } else if (DataType() == FieldType::kByte) {
    range = {0, UINT8_MAX, "8-bit unsigned integer"};
  }
  const int64_t value = AsInteger();
  if (value < range.low || value > range.high) {
    throw DatabaseError("Value " + std::to_string(value) + " of field " + FieldName() +
                        " does not fit its declared " + std::string(range.name) + " type");
  }
  return std::to_string(value);
}
std::string TLargeintField::AsString() const { return digits_of_integer(*this); }
std::string TFloatField::AsString() const { return digits_of_float(*this); }
std::string TFloatField::packet_text() const { return round_trip_float_text(AsFloat()); }
std::string TBCDField::AsString() const { return digits_of_float(*this); }
// Decimal and currency values are plain decimals, never in exponent form; integers keep every
// digit.
std::string TBCDField::packet_text() const {
  if (const auto* i = std::get_if<int64_t>(&value_)) {
    return std::to_string(*i);
  }
  const double value = AsFloat();
  if (!std::isfinite(value)) {
    return base::float_text(value);
  }
  char buf[512];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  return ec == std::errc() ? std::string(buf, end) : round_trip_float_text(value);
}

bool TBooleanField::AsBoolean() const {
  if (const auto* s = std::get_if<std::string>(&value_)) {
    const std::string_view t = base::trim(*s);
    if (base::iequals(t, "true")) {
      return true;
    }
    if (base::iequals(t, "false")) {
      return false;
    }
  }
  if (const auto* s = std::get_if<std::string>(&value_)) {
    const std::optional<double> d = parse_float(*s);
    if (!d) {
      throw DatabaseError("'" + *s + "' is not a valid boolean value");
    }
    return *d != 0;
  }
  return TField::AsFloat() != 0;
}

std::string TBooleanField::AsString() const {
  if (IsNull()) {
    return {};
  }
  return AsBoolean() ? "True" : "False";
}

double TDateTimeField::AsFloat() const {
  if (const auto* s = std::get_if<std::string>(&value_)) {
    const std::optional<base::IsoDateTime> parsed = base::parse_iso_date_time(base::trim(*s));
    if (!parsed) {
      throw DatabaseError("'" + *s + "' is not a valid date and time");
    }
    return base::encode_date_time(parsed->parts);
  }
  return TField::AsFloat();
}

int64_t TDateTimeField::AsInteger() const { return static_cast<int64_t>(std::trunc(AsFloat())); }

std::string TDateTimeField::AsString() const {
  if (IsNull()) {
    return {};
  }
  const double value = AsFloat();
  const base::DateTimeParts p = base::decode_date_time(value);
  if (p.hour == 0 && p.minute == 0 && p.second == 0 && p.millisecond == 0) {
    return base::iso_date_text(value);
  }
  return base::iso_date_time_text(value);
}

std::string TDateTimeField::packet_text() const {
  const double value = AsFloat();
  return base::iso_date_text(value) + "T" + base::iso_time_text(value);
}

std::string TDateField::AsString() const {
  return IsNull() ? std::string() : base::iso_date_text(AsFloat());
}

std::string TTimeField::AsString() const {
  return IsNull() ? std::string() : base::iso_time_text(AsFloat());
}

std::string TBlobField::packet_text() const { return base::hex_lower(AsString()); }
std::string TBytesField::packet_text() const { return base::hex_lower(AsString()); }

std::unique_ptr<TField> make_field(const TFieldDef& def) {
  switch (def.data_type) {
    case FieldType::kWideString:
      return std::make_unique<TWideStringField>(def);
    case FieldType::kGuid:
      return std::make_unique<TGuidField>(def);
    case FieldType::kInteger:
      return std::make_unique<TIntegerField>(def);
    case FieldType::kSmallint:
      return std::make_unique<TSmallintField>(def);
    case FieldType::kByte:
      return std::make_unique<TByteField>(def);
    case FieldType::kLargeint:
      return std::make_unique<TLargeintField>(def);
    case FieldType::kAutoInc:
      return std::make_unique<TAutoIncField>(def);
    case FieldType::kFloat:
      return std::make_unique<TFloatField>(def);
    case FieldType::kBCD:
      return std::make_unique<TBCDField>(def);
    case FieldType::kBoolean:
      return std::make_unique<TBooleanField>(def);
    case FieldType::kDateTime:
      return std::make_unique<TDateTimeField>(def);
    case FieldType::kDate:
      return std::make_unique<TDateField>(def);
    case FieldType::kTime:
      return std::make_unique<TTimeField>(def);
    case FieldType::kWideMemo:
      return std::make_unique<TWideMemoField>(def);
    case FieldType::kBlob:
      return std::make_unique<TBlobField>(def);
    case FieldType::kBytes:
      return std::make_unique<TBytesField>(def);
    case FieldType::kVarBytes:
      return std::make_unique<TVarBytesField>(def);
  }
  return std::make_unique<TWideStringField>(def);
}

}  // namespace appsrv::db
