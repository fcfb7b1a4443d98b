#include "db/pg_cursor.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>

#include "base/parse_int.h"
#include "base/text.h"

namespace appsrv::db {
namespace {

// Type OIDs fixed by PostgreSQL's catalogue.
enum PgType : unsigned {
  kBool = 16,
  kBytea = 17,
  kInt8 = 20,
  kInt2 = 21,
  kInt4 = 23,
  kText = 25,
  kOid = 26,
  kFloat4 = 700,
  kFloat8 = 701,
  kBpchar = 1042,
  kVarchar = 1043,
  kDate = 1082,
  kTime = 1083,
  kTimestamp = 1114,
  kTimestamptz = 1184,
  kNumeric = 1700,
  kUuid = 2950,
};

// Rows asked of the server at a time: a page of a grid or a packet is rarely larger.
constexpr int kBatchRows = 100;

// A numeric's text: whole values become integers (12.00 reads as 12), others doubles.
Variant numeric_value(std::string_view text) {
  std::string_view whole = text;
  const size_t dot = text.find('.');
  if (dot != std::string_view::npos &&
      text.find_first_not_of('0', dot + 1) == std::string_view::npos) {
    whole = text.substr(0, dot);
  }
  if (whole == "-0") {
    whole = "0";
  }
  if (const std::optional<int64_t> n = base::parse_int<int64_t>(whole)) {
    return *n;
  }
  return std::strtod(std::string(text).c_str(), nullptr);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// "\x0a0b" (hex output) to the bytes it names.
std::string bytea_value(std::string_view text) {
  if (!text.starts_with("\\x")) {
    return std::string(text);
  }
  std::string bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 2; i + 1 < text.size(); i += 2) {
    const int high = hex_digit(text[i]);
    const int low = hex_digit(text[i + 1]);
    if (high < 0 || low < 0) {
      throw DatabaseError("Malformed bytea value from the server");
    }
    bytes += static_cast<char>(high * 16 + low);
  }
  return bytes;
}

// The first word of a statement after blanks, comments and opening parentheses.
std::string first_word(std::string_view sql) {
  size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    if (std::isspace(static_cast<unsigned char>(c)) != 0 || c == '(') {
      ++i;
    } else if (sql.substr(i, 2) == "--") {
      const size_t end = sql.find('\n', i);
      i = end == std::string_view::npos ? sql.size() : end + 1;
    } else if (sql.substr(i, 2) == "/*") {
      const size_t end = sql.find("*/", i + 2);
      i = end == std::string_view::npos ? sql.size() : end + 2;
    } else {
      break;
    }
  }
  size_t end = i;
  while (end < sql.size() && std::isalpha(static_cast<unsigned char>(sql[end])) != 0) {
    ++end;
  }
  return base::ascii_lowercase(sql.substr(i, end - i));
}

// The statement without trailing blanks and ";", to be wrapped as a subquery; the line breaks
// keep a trailing "--" comment from swallowing the closing parenthesis.
std::string as_subquery(std::string_view sql) {
  while (!sql.empty() && (static_cast<unsigned char>(sql.back()) <= ' ' || sql.back() == ';')) {
    sql.remove_suffix(1);
  }
  return "(\n" + std::string(sql) + "\n)";
}

}  // namespace

TFieldDef field_def_for_pg_type(std::string name, unsigned type_oid, int type_modifier,
                                const PgColumnFacts& facts) {
  TFieldDef def;
  def.name = std::move(name);
  def.required = facts.not_null;
  const auto integer = [&](FieldType type) { return facts.serial ? FieldType::kAutoInc : type; };
  switch (type_oid) {
    case kBool:
      def.data_type = FieldType::kBoolean;
      break;
    case kInt2:
      def.data_type = integer(FieldType::kSmallint);
      break;
    case kInt4:
      def.data_type = integer(FieldType::kInteger);
      break;
    case kInt8:
    case kOid:
      def.data_type = integer(FieldType::kLargeint);
      break;
    case kFloat4:
    case kFloat8:
      def.data_type = FieldType::kFloat;
      break;
    case kNumeric:
      def.data_type = FieldType::kBCD;
      // The modifier packs (precision << 16 | scale) + 4; none means an unconstrained numeric.
      if (type_modifier >= 4) {
        def.precision = std::min(((type_modifier - 4) >> 16) & 0xffff, 38);
        def.scale = std::min((type_modifier - 4) & 0xffff, def.precision);
      } else {
        def.precision = 18;
      }
      break;
    case kDate:
      def.data_type = FieldType::kDate;
      break;
    case kTime:
      def.data_type = FieldType::kTime;
      break;
    case kTimestamp:
    case kTimestamptz:
      def.data_type = FieldType::kDateTime;
      break;
    case kBytea:
      def.data_type = FieldType::kBlob;
      break;
    case kUuid:
      def.data_type = FieldType::kGuid;
      break;
    case kBpchar:
    case kVarchar:
      def.data_type = FieldType::kWideString;
      def.size = type_modifier >= 4 ? type_modifier - 4 : kDefaultStringSize;
      break;
    default:  // text and every other type travel as their text
      def.data_type = FieldType::kWideString;
      def.size = kDefaultStringSize;
      break;
  }
  return def;
}

Variant pg_text_to_variant(unsigned type_oid, const char* text, int length) {
  const std::string_view value(text, static_cast<size_t>(length));
  switch (type_oid) {
    case kBool:
      return int64_t{value == "t" ? 1 : 0};
    case kInt2:
    case kInt4:
    case kInt8:
    case kOid:
      if (const std::optional<int64_t> n = base::parse_int<int64_t>(value)) {
        return *n;
      }
      return std::string(value);
    case kFloat4:
    case kFloat8:
      return std::strtod(std::string(value).c_str(), nullptr);
    case kNumeric:
      return numeric_value(value);
    case kBytea:
      return bytea_value(value);
    default:
      return std::string(value);
  }
}

PgCursor::PgCursor(PgConnection& connection, const std::string& sql)
    : connection_(connection), sql_(sql) {
  const std::string word = first_word(sql);
  const bool reads = word == "select" || word == "values" || word == "table" || word == "with";
  if (!reads) {
    // Described before it runs: a statement that returns no rows is refused unrun. One that
    // writes ("... RETURNING") runs exactly once; its rows are kept.
    const PgResultPtr shape = connection_.describe(sql);
    if (PQnfields(shape.get()) == 0) {
      throw DatabaseError("The command text returns no rows: " + sql);
    }
    kept_ = connection_.exec_prepared();
    describe_columns(kept_.get());
    return;
  }
  if (!connection_.in_transaction()) {
    // A cursor lives in a transaction; one of its own reads a single snapshot and can
    // change nothing that a later statement on the connection could lose.
    connection_.exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    own_transaction_ = true;
  }
  const std::string name = connection_.next_cursor_name();
  try {
    // A cursor takes only a query: anything that writes is refused here, unrun.
    connection_.exec_client("DECLARE " + name + " SCROLL CURSOR FOR " + sql);
    cursor_name_ = name;
    // The first rows come with the column descriptions.
    fetch_batch();
    describe_columns(batch_.get());
  } catch (const DatabaseError&) {
    if (own_transaction_) {
      try {
        connection_.exec("ROLLBACK");
      } catch (const DatabaseError&) {
        // The link is gone, and the transaction with it.
      }
    }
    throw;
  }
}

void PgCursor::describe_columns(const pg_result* described) {
  const int fields = PQnfields(described);
  for (int i = 0; i < fields; ++i) {
    const PgColumnFacts facts =
        connection_.column_facts(PQftable(described, i), PQftablecol(described, i));
    columns_.push_back(field_def_for_pg_type(PQfname(described, i), PQftype(described, i),
                                             PQfmod(described, i), facts));
    column_types_.push_back(PQftype(described, i));
  }
}

PgCursor::~PgCursor() {
  try {
    if (streams() && connection_.in_transaction() && !connection_.transaction_failed()) {
      connection_.exec("CLOSE " + cursor_name_);
    }
  } catch (const DatabaseError&) {
    // A failed transaction has dropped its cursors already.
  }
  if (own_transaction_) {
    try {
      connection_.exec("ROLLBACK");
    } catch (const DatabaseError&) {
    }
  }
}

std::vector<std::vector<Variant>> PgCursor::take_rows() {
  std::vector<std::vector<Variant>> rows;
  if (kept_ == nullptr) {
    return rows;
  }
  batch_ = std::move(kept_);
  const int count = PQntuples(batch_.get());
  rows.reserve(static_cast<size_t>(count));
  for (batch_row_ = 0; batch_row_ < count; ++batch_row_) {
    std::vector<Variant> row;
    row.reserve(columns_.size());
    for (size_t i = 0; i < columns_.size(); ++i) {
      row.push_back(value(i));
    }
    rows.push_back(std::move(row));
  }
  batch_.reset();
  return rows;
}

void PgCursor::fetch_batch() {
  batch_ = connection_.exec_client("FETCH FORWARD " + std::to_string(kBatchRows) + " FROM " +
                                   cursor_name_);
  batch_row_ = -1;
  batch_was_last_ = PQntuples(batch_.get()) < kBatchRows;
}

bool PgCursor::next() {
  if (batch_ != nullptr && batch_row_ + 1 < PQntuples(batch_.get())) {
    ++batch_row_;
    return true;
  }
  if (batch_ != nullptr && batch_was_last_) {
    batch_row_ = PQntuples(batch_.get());
    return false;
  }
  fetch_batch();
  if (PQntuples(batch_.get()) == 0) {
    return false;
  }
  batch_row_ = 0;
  return true;
}

Variant PgCursor::value(size_t i) const {
  const int column = static_cast<int>(i);
  if (batch_ == nullptr || batch_row_ < 0 || batch_row_ >= PQntuples(batch_.get()) ||
      PQgetisnull(batch_.get(), batch_row_, column) != 0) {
    return std::monostate{};
  }
  const int length = PQgetlength(batch_.get(), batch_row_, column);
  if (connection_.max_value_bytes > 0 && length > connection_.max_value_bytes) {
    throw DatabaseError("string or blob too big");
  }
  return pg_text_to_variant(column_types_[i], PQgetvalue(batch_.get(), batch_row_, column), length);
}

void PgCursor::seek(int64_t index) {
  connection_.exec_client("MOVE ABSOLUTE " + std::to_string(index) + " IN " + cursor_name_);
  batch_.reset();
  batch_row_ = -1;
  batch_was_last_ = false;
}

int64_t PgCursor::count() {
  if (!count_) {
    const PgResultPtr result =
        connection_.exec_client("SELECT COUNT(*) FROM " + as_subquery(sql_) + " AS appsrv_rows");
    const char* text = PQgetvalue(result.get(), 0, 0);
    const std::optional<int64_t> count = base::parse_int<int64_t>(text);
    if (!count) {
      throw DatabaseError(std::string("Malformed row count from the server: ") + text);
    }
    count_ = *count;
  }
  return *count_;
}

}  // namespace appsrv::db
