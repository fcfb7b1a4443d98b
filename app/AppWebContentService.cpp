#include "app/AppWebContentService.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <exception>
#include <optional>
#include <vector>

#include "app/ADOToXML.h"
#include "app/AppWebAgent.h"
#include "app/DisplayText.h"
#include "base/date_time.h"
#include "base/encoding.h"
#include "base/exception.h"
#include "base/text.h"
#include "db/field.h"
#include "db/recordset_packet.h"
#include "json/dyn_object.h"
#include "json/integer_text.h"
#include "server/exchange/sv_exception.h"
#include "server/http/http_reply.h"
#include "server/http/http_request.h"
#include "server/pipeline/handlers.h"
#include "server/session/session.h"

namespace appsrv::app {
namespace {

using json::IDynObject;
using json::TDynObject;

constexpr std::string_view kBlobImage = "<img src=\"/images/blob.png\" />";

// The low 32 bits of a 64-bit integer, as the endpoint's page arithmetic reads them.
int32_t low32(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

// (page - 1) * size in 32-bit two's-complement arithmetic: a huge page number wraps around
// instead of overflowing.
int32_t page_offset(int32_t page, int32_t size) {
  return static_cast<int32_t>((static_cast<uint32_t>(page) - 1U) * static_cast<uint32_t>(size));
}

// Rows read from the dataset at a time, so that the page's size is checked while it grows.
constexpr int64_t kRowsPerBlock = 256;

// The bytes of a reply page as it is gathered, counted as they will be written (escapes
// included): fails as soon as they pass the limit (none when the limit is 0 or less), before
// the rest of the page is read or built. So a page never holds much more than the limit while
// it is built, and its reply text about as much again.
class PageBytes {
 public:
  explicit PageBytes(int64_t limit) : limit_(limit) {}
  void add(size_t bytes) {
    total_ += bytes;
    check(total_);
  }
  void check(size_t total) const {
    if (limit_ > 0 && total > static_cast<uint64_t>(limit_)) {
      throw base::Exception("The reply page would be larger than " + std::to_string(limit_) +
                            " bytes; ask for fewer rows.");
    }
  }
  // What may still be added before the limit is passed (everything without a limit).
  size_t left() const {
    return limit_ > 0 ? static_cast<size_t>(limit_) - std::min<size_t>(total_, limit_) : SIZE_MAX;
  }

 private:
  int64_t limit_;
  size_t total_ = 0;
};

// What each ASCII byte of a text value becomes in a FetchData reply: escaped for an XML
// attribute, then, with the whole packet, as a JSON string whose non-ASCII code units are
// written \uXXXX. Worked out once through the two writers themselves.
const std::array<uint8_t, 128>& packet_byte_sizes() {
  static const std::array<uint8_t, 128> sizes = [] {
    std::array<uint8_t, 128> out{};
    for (size_t c = 0; c < out.size(); ++c) {
      std::string attribute;
      db::append_attribute_text(attribute, std::string(1, static_cast<char>(c)));
      std::string escaped;
      json::append_escaped_string(escaped, attribute);
      out[c] = static_cast<uint8_t>(escaped.size() - 2);  // without the quotes
    }
    return out;
  }();
  return sizes;
}

// Bytes from 0x80 up count 6 each: the most any becomes (a byte of no valid sequence turns
// into U+FFFD, written \ufffd).
constexpr size_t kNonAsciiPacketBytes = 6;
// Numbers and booleans: the longest text a double's shortest form takes
// ("-1.2345678901234567e-308"). A decimal written in full may be longer; the whole reply is
// checked again once written, so such a rare one cannot pass the limit unseen.
constexpr size_t kScalarPacketBytes = 24;
// Around each value: a blank, the attribute's name (counted apart), "=" and two quotes.
constexpr size_t kAttributeBytes = 4;
// "\t\t<z:row" ... "/>\r\n", escaped as JSON.
constexpr size_t kRowMarkupBytes = 16;

// What the value of `field` adds to a FetchData reply.
size_t packet_value_bytes(const db::TField& field, const db::Variant& value) {
  if (std::holds_alternative<std::monostate>(value)) {
    return 0;  // a NULL is left out of its row
  }
  const size_t around = kAttributeBytes + field.FieldName().size();
  const auto* text = std::get_if<std::string>(&value);
  if (text == nullptr) {
    return around + kScalarPacketBytes;
  }
  if (dynamic_cast<const db::TBlobField*>(&field) != nullptr ||
      dynamic_cast<const db::TBytesField*>(&field) != nullptr) {
    return around + 2 * text->size();  // written as hexadecimal digits
  }
  const std::array<uint8_t, 128>& sizes = packet_byte_sizes();
  size_t bytes = around;
  for (const char c : *text) {
    const auto b = static_cast<unsigned char>(c);
    bytes += b < 0x80 ? sizes[b] : kNonAsciiPacketBytes;
  }
  return bytes;
}

TSvUserSession& session_module(server::TSvApplication* session) {
  auto* module = session == nullptr ? nullptr : dynamic_cast<TSvUserSession*>(session->FData.get());
  if (module == nullptr) {
    throw base::Exception("The session has no data module.");
  }
  return *module;
}

const json::TDynObject& parsed_params(const IDynObject& params) {
  if (params == nullptr) {
    throw base::Exception("The Params field is not valid JSON.");
  }
  return *params;
}

void Add(const TDynObject& p, TDynObject& r) {
  // Two's-complement addition: a sum past the 64-bit range wraps around.
  const auto sum = static_cast<uint64_t>(p.GetI("A")) + static_cast<uint64_t>(p.GetI("B"));
  r.PutI("Result", static_cast<int64_t>(sum));
  // As UTF-16: the text goes back exactly as sent, lone surrogate escapes included.
  r.PutS("Info", p.member_text("Info"));
}

void Time(TDynObject& r) {
  r.PutS("Result", clock_text(base::now()));
  r.PutS("Info", "服务器时间");
}

// Stores everything of the result but the packet itself, and returns the packet. "XML" holds
// an empty text in its place: the envelope writes the packet there (append_envelope), so that
// the packet is not copied again into the result as UTF-16.
std::string FetchData(const TDynObject& p, TDynObject& r, TSvUserSession& module) {
  int32_t page_no = low32(p.GetI("PageNo"));
  const int32_t page_size = low32(p.GetI("PageSize"));
  const std::string table_name = p.GetS("TableName");

  db::TADODataSet& data = module.ADODataset;
  PageBytes bytes(module.query_limits().MaxPageBytes);
  std::string xml;
  // The table text goes into the statement as sent: it may read, never write.
  module.read_only([&] {
    data.Close();
    const db::TDataSetCloser closer(data);
    data.SetCommandText("select * from " + table_name);
    data.Open();
    const int64_t count = data.RecordCount();

    int32_t offset = page_offset(page_no, page_size);
    if (offset >= count) {
      page_no = 1;
      offset = 0;
    }

    db::TADODataSet page;
    page.FieldDefs().Assign(data.FieldDefs());
    page.CreateDataSet();

    data.First();
    if (offset > 0) {
      data.MoveBy(offset);
    }
    int64_t wanted = page_size;
    if (static_cast<int64_t>(offset) + wanted > count) {
      wanted = count - offset;
    }
    // Serve the rows that exist: a page that starts before the first row (page 0 or below)
    // may hold fewer rows than asked for.
    while (wanted > 0 && !data.Eof()) {
      db::RowBlock block = data.GetRows(std::min(wanted, kRowsPerBlock), bytes.left());
      const size_t rows = block.empty() ? 0 : block.front().size();
      if (rows == 0) {
        break;
      }
      for (size_t row = 0; row < rows; ++row) {
        page.Append();
        bytes.add(kRowMarkupBytes);
        for (size_t field = 0; field < block.size(); ++field) {
          bytes.add(packet_value_bytes(page.Fields(field), block[field][row]));
          // Moved: the block and the page never hold the same values twice.
          page.Fields(field).SetValue(std::move(block[field][row]));
        }
        page.Post();
      }
      wanted -= static_cast<int64_t>(rows);
    }
    page.UpdateBatch();

    r.PutI("RecordCount", count);
    r.PutI("PageNo", page_no);
    xml = RecordsetToXml(page);
    bytes.check(xml.size());
  });
  module.SetSchema(table_name, StripPacketData(xml));
  r.PutS("XML", std::string_view());
  return xml;
}

// Appends the result's JSON text with `packet` written as the text of its "XML" member.
void append_result(std::string& body, const TDynObject& result, std::string_view packet) {
  const std::string text = result.AsJSon(false, true);
  // Member names are unique and the other members are numbers: the empty text is the slot.
  constexpr std::string_view kSlot = "\"XML\":\"\"";
  const size_t at = text.find(kSlot);
  if (at == std::string::npos) {
    throw base::Exception("The result has no XML member.");
  }
  const size_t value_at = at + kSlot.size() - 2;
  body.append(text, 0, value_at);
  json::append_escaped_string(body, packet);
  body.append(text, value_at + 2);
}

void SaveData(const TDynObject& p, TDynObject& r, TSvUserSession& module) {
  const std::string table_name = p.GetS("TableName");
  const std::string changes = p.GetS("Changes");
  const std::string key_fields = p.GetS("KeyFields");
  try {
    r.PutS("Info", module.ApplyChanges(changes, table_name, key_fields));
  } catch (const server::EClientLimitReached&) {
    throw;  // not a failed save: the client is to come back later (503, Retry-After)
  } catch (const std::exception& e) {
    r.PutS("Error", e.what());
  }
}

// The integer text rule within the signed 32-bit range, or `fallback`.
int32_t int32_param(const base::NameValueList& fields, std::string_view name, int32_t fallback) {
  const std::optional<int64_t> value = json::parse_integer_text(fields.value(name));
  if (!value || *value < INT32_MIN || *value > INT32_MAX) {
    return fallback;
  }
  return static_cast<int32_t>(*value);
}

// True when `text` holds `word` (ASCII letters, any case) as a whole word.
bool holds_word(std::string_view text, std::string_view word) {
  for (size_t at = base::ifind(text, word); at != std::string_view::npos;
       at = base::ifind(text, word, at + 1)) {
    const auto is_word_char = [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
    };
    const bool starts = at == 0 || !is_word_char(text[at - 1]);
    const size_t end = at + word.size();
    const bool ends = end == text.size() || !is_word_char(text[end]);
    if (starts && ends) {
      return true;
    }
  }
  return false;
}

// Whether the rows of `select_sql` + an ORDER BY clause may be counted without the clause.
// Ordering never changes how many rows there are, and without it SQLite counts a plain
// select without reading every row. A LIMIT would change the count, and a comment or a
// statement end could swallow the parenthesis the count puts around the text; either
// keeps the dataset's own count.
bool count_without_order(std::string_view page_sql) {
  return page_sql.find("--") == std::string_view::npos &&
         page_sql.find("/*") == std::string_view::npos &&
         page_sql.find(';') == std::string_view::npos && !holds_word(page_sql, "limit");
}

// The length of the column reference at the start of `text` (a bare name, or a name quoted
// with "", [] or ``), or 0 when none starts there.
size_t column_name_length(std::string_view text) {
  if (text.empty()) {
    return 0;
  }
  const char open = text.front();
  const char close = open == '[' ? ']' : open;
  if (open == '"' || open == '[' || open == '`') {
    for (size_t i = 1; i < text.size(); ++i) {
      if (text[i] != close) {
        continue;
      }
      if (close != ']' && i + 1 < text.size() && text[i + 1] == close) {
        ++i;  // a doubled quote stands for itself
        continue;
      }
      return i + 1;
    }
    return 0;
  }
  const auto is_name_char = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '$';
  };
  if (std::isdigit(static_cast<unsigned char>(open)) != 0 || !is_name_char(open)) {
    return 0;
  }
  size_t i = 1;
  while (i < text.size() && is_name_char(text[i])) {
    ++i;
  }
  return i;
}

// Whether `fields` is a plain list of columns: "*", or names, each maybe qualified by its table
// ("t.name", "t.*"), separated by commas. Such a list names no alias and holds no expression
// that could call an aggregate, so it never changes which or how many rows a query has.
bool is_plain_column_list(std::string_view fields) {
  const auto skip_blanks = [&](size_t at) {
    while (at < fields.size() && std::isspace(static_cast<unsigned char>(fields[at])) != 0) {
      ++at;
    }
    return at;
  };
  size_t at = 0;
  while (true) {
    at = skip_blanks(at);
    // One reference: names joined by dots, maybe ending in "*".
    while (true) {
      if (at < fields.size() && fields[at] == '*') {
        ++at;
        break;
      }
      const size_t name = column_name_length(fields.substr(at));
      if (name == 0) {
        return false;
      }
      at += name;
      if (at < fields.size() && fields[at] == '.') {
        ++at;
        continue;
      }
      break;
    }
    at = skip_blanks(at);
    if (at == fields.size()) {
      return true;
    }
    if (fields[at] != ',') {
      return false;  // an alias, an operator or anything else after the reference
    }
    ++at;
  }
}

// Whether the page query "SELECT <fields> FROM <tables> WHERE <where> ORDER BY <order>" has as
// many rows as the count statement over the same tables and filter counts, so that the count
// can stand for both. True only when the select list is a plain list of columns (no alias the
// filter could name, which the count statement would read otherwise: a double-quoted alias
// there is a string, a bare one another column; no call, so no aggregate) and no text holds a
// word that could group, combine, limit or deduplicate rows, a comment or a statement end; any
// other query is counted on its own.
bool count_covers_select(std::string_view fields, std::string_view tables, std::string_view where,
                         std::string_view order) {
  constexpr std::string_view kRowShapingWords[] = {
      "select", "group", "having", "union", "intersect", "except",
      "limit",  "offset", "window", "distinct", "values"};
  if (!is_plain_column_list(fields)) {
    return false;
  }
  for (std::string_view text : {tables, where, order}) {
    if (text.find("--") != std::string_view::npos || text.find("/*") != std::string_view::npos ||
        text.find(';') != std::string_view::npos) {
      return false;
    }
    for (std::string_view word : kRowShapingWords) {
      if (holds_word(text, word)) {
        return false;
      }
    }
  }
  // "from" belongs in the table text; in the others it starts another select.
  return !holds_word(where, "from") && !holds_word(order, "from");
}

// Runs `query` to its end with FreeQuery on every path.
class QueryHolder {
 public:
  QueryHolder(TSvUserSession& module, std::string sql) : query_(module.NewQuery(std::move(sql))) {}
  ~QueryHolder() { TSvUserSession::FreeQuery(query_); }
  QueryHolder(const QueryHolder&) = delete;
  QueryHolder& operator=(const QueryHolder&) = delete;
  db::TADOQuery& operator*() { return *query_; }
  db::TADOQuery* operator->() { return query_.get(); }

 private:
  std::unique_ptr<db::TADOQuery> query_;
};

}  // namespace

std::string grid_field_kind(const db::TField& field) {
  if (dynamic_cast<const db::TStringField*>(&field) != nullptr) {
    return "string";
  }
  if (dynamic_cast<const db::TIntegerField*>(&field) != nullptr) {
    return "integer";
  }
  if (dynamic_cast<const db::TBCDField*>(&field) != nullptr) {
    return "money";
  }
  if (dynamic_cast<const db::TNumericField*>(&field) != nullptr) {
    return "numeric";
  }
  const std::string_view name = field.ClassName();
  if (name.size() <= 6) {
    return base::ascii_lowercase(name);
  }
  return base::ascii_lowercase(name.substr(1, name.size() - 6));
}

namespace {

// How a column's cells are written; the same for every row, so found once per page.
enum class CellKind { kMoney, kBlob, kBytes, kText };

CellKind cell_kind(const db::TField& field) {
  if (dynamic_cast<const db::TBCDField*>(&field) != nullptr) {
    return CellKind::kMoney;
  }
  if (dynamic_cast<const db::TBlobField*>(&field) != nullptr) {
    return CellKind::kBlob;
  }
  if (dynamic_cast<const db::TBytesField*>(&field) != nullptr) {
    return CellKind::kBytes;
  }
  return CellKind::kText;
}

std::string cell_text(const db::TField& field, CellKind kind) {
  // A value the column's kind cannot read (a date column holding "soon") shows as stored.
  const bool readable = field.value_is_readable();
  if (kind == CellKind::kMoney && readable) {
    return money_text(field.IsNull() ? 0.0 : field.AsFloat());
  }
  if (kind == CellKind::kBlob) {
    return std::string(kBlobImage);
  }
  if (field.IsNull()) {
    return {};
  }
  if (kind == CellKind::kBytes) {
    return base::hex_lower(field.AsString());
  }
  if (!readable) {
    const auto* stored = std::get_if<std::string>(&field.Value());
    return without_line_breaks(stored != nullptr ? *stored : std::string());
  }
  return without_line_breaks(field.AsString());
}

}  // namespace

std::string grid_cell_text(const db::TField& field) { return cell_text(field, cell_kind(field)); }

std::unique_ptr<json::TJSONObject> DataSetToGridJson(db::TADODataSet& dataset, int32_t offset,
                                                     int32_t page_size,
                                                     std::optional<int64_t> row_count,
                                                     int64_t max_page_bytes) {
  PageBytes bytes(max_page_bytes);
  auto document = std::make_unique<json::TJSONObject>();
  const size_t field_count = dataset.FieldCount();
  document->AddPair("fldCount",
                    std::make_unique<json::TJSONNumber>(static_cast<int64_t>(field_count)));
  auto names = std::make_unique<json::TJSONArray>();
  auto labels = std::make_unique<json::TJSONArray>();
  auto kinds = std::make_unique<json::TJSONArray>();
  std::vector<CellKind> cell_kinds;
  for (size_t i = 0; i < field_count; ++i) {
    const db::TField& field = dataset.Fields(i);
    names->Add(field.FieldName());
    labels->Add(field.FieldName());
    kinds->Add(grid_field_kind(field));
    cell_kinds.push_back(cell_kind(field));
  }
  document->AddPair("fldNames", std::move(names));
  document->AddPair("fldLabels", std::move(labels));
  document->AddPair("fldClasses", std::move(kinds));
  document->AddPair("rowCount", std::make_unique<json::TJSONNumber>(
                                    row_count ? *row_count : dataset.RecordCount()));

  auto rows = std::make_unique<json::TJSONArray>();
  if (offset > 0) {
    dataset.MoveBy(offset);
  }
  for (int32_t emitted = 0; !dataset.Eof() && emitted < page_size; ++emitted) {
    auto row = std::make_unique<json::TJSONArray>();
    bytes.add(2);  // brackets and a comma
    for (size_t i = 0; i < field_count; ++i) {
      auto cell = std::make_unique<json::TJSONString>(cell_text(dataset.Fields(i), cell_kinds[i]));
      bytes.add(cell->written_size() + 1);
      row->Add(std::unique_ptr<json::JsonValue>(std::move(cell)));
    }
    rows->Add(std::move(row));
    dataset.Next();
  }
  document->AddPair("rows", std::move(rows));
  return document;
}

bool TContentAppService::Execute(server::THttpRequest& aRequest, server::THttpReply& aReply,
                                 const std::string&, server::TSvApplication* aSession,
                                 base::NameValueList&) {
  if (base::iequals(aRequest.mPathInfo, "/appservice/CloseSession")) {
    if (aSession != nullptr) {
      aSession->FSessionTimeOut = 1;
    }
    aReply.WriteString("CloseSession");
    return true;
  }

  const std::string function = aRequest.mContentFields.value("Function");
  const IDynObject params = TDynObject::ParseString(aRequest.mContentFields.value("Params"));
  const IDynObject result = TDynObject::ParseString(std::string_view("{}"));
  int64_t page_limit = 0;  // pages of rows only
  std::optional<std::string> packet;  // FetchData's

  if (base::iequals(function, "Add")) {
    Add(parsed_params(params), *result);
  } else if (base::iequals(function, "Time")) {
    Time(*result);
  } else if (base::iequals(function, "FetchData")) {
    const TDynObject& p = parsed_params(params);
    TSvUserSession& module = session_module(aSession);
    page_limit = module.query_limits().MaxPageBytes;
    packet = FetchData(p, *result, module);
  } else if (base::iequals(function, "SaveData")) {
    const TDynObject& p = parsed_params(params);
    SaveData(p, *result, session_module(aSession));
  }

  std::string body = "Function=" + aRequest.mContentFields.value("Function") + "\r\n" +
                     "Params=" + aRequest.mContentFields.value("Params") + "\r\n" + "Result=";
  if (packet) {
    append_result(body, *result, *packet);
    packet.reset();
  } else {
    body += result->AsJSon(false, true);
  }
  PageBytes(page_limit).check(body.size());
  // The envelope repeats Function and Params as the caller sent them, under the type the
  // protocol has always used (text/html): a browser must neither sniff nor run it.
  server::forbid_active_content(aReply);
  aReply.WriteString(body);
  return true;
}

bool TContentSQLSelect::Execute(server::THttpRequest& aRequest, server::THttpReply& aReply,
                                const std::string&, server::TSvApplication*, base::NameValueList&) {
  const base::NameValueList& fields = aRequest.mQueryFields;
  const int32_t page = int32_param(fields, "page", 1);
  const int32_t rows_per_page = int32_param(fields, "rp", 20);
  const std::string listed_fields = fields.value("fldNames");
  const std::string field_names = listed_fields.empty() ? std::string("*") : listed_fields;
  const std::string table_names = fields.value("tblNames");
  const std::string where = fields.value("where");
  const std::string order_by = fields.value("orderBy");

  TSvUserSession* module = CurrentUserSession();
  if (module == nullptr) {
    throw base::Exception("The session has no data module.");
  }
  // Every text above goes into the statements as sent: they may read, never write.
  const int64_t page_limit = module->query_limits().MaxPageBytes;
  int64_t total = 0;
  std::unique_ptr<json::TJSONObject> document;
  module->read_only([&] {
    std::string count_sql = "SELECT COUNT(*) AS TotalCount FROM " + table_names;
    if (!where.empty()) {
      count_sql += " WHERE " + where;
    }
    int64_t counted = 0;
    {
      QueryHolder count(*module, std::move(count_sql));
      count->Open();
      counted = count->FieldByName("TotalCount").AsInteger();
      count->Close();
    }
    total = low32(counted);

    const int32_t offset = page_offset(page, rows_per_page);
    if (offset > total) {
      document = std::make_unique<json::TJSONObject>();
      document->AddPair("rowCount", std::make_unique<json::TJSONNumber>(int32_t{0}));
      document->AddPair("rows", std::make_unique<json::TJSONArray>());
      return;
    }
    std::string select_sql = "SELECT " + field_names + " FROM " + table_names;
    if (!where.empty()) {
      select_sql += " WHERE " + where;
    }
    const std::string page_sql =
        select_sql + (order_by.empty() ? " ORDER BY 1" : " ORDER BY " + order_by);
    QueryHolder query(*module, page_sql);
    query->Open();
    std::optional<int64_t> row_count;
    if (count_covers_select(field_names, table_names, where, order_by)) {
      row_count = counted;
    } else if (count_without_order(page_sql)) {
      QueryHolder count(*module, "SELECT COUNT(*) FROM (" + select_sql + ") AS TotalRows");
      count->Open();
      row_count = count->Fields(0).AsInteger();
      count->Close();
    }
    document = DataSetToGridJson(*query, offset, rows_per_page, row_count, page_limit);
    query->Close();
  });
  document->AddPair("title", std::make_unique<json::TJSONString>(table_names));
  document->AddPair("total", std::make_unique<json::TJSONNumber>(total));
  document->AddPair("page", std::make_unique<json::TJSONNumber>(page));

  std::string body = document->ToString();
  document.reset();  // the text alone goes on: a page is never held twice as text
  PageBytes(page_limit).check(body.size());
  aReply.mContentType = "text/json; charset=utf-8";
  aReply.WriteString(body);
  return true;
}

void RegisterContentHandlers() {
  server::THandlers::Add("/appservice/", "", std::make_unique<TContentAppService>())->route_kind =
      base::RouteKind::kAppService;
  server::THandlers::Add("/rest/", "sqlselect", std::make_unique<TContentSQLSelect>())->route_kind =
      base::RouteKind::kSqlSelect;
}

}  // namespace appsrv::app
