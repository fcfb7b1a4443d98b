// The change-packet reader: the input's first line names the key columns, the rest is the data
// element a client posts. Every statement produced must be one INSERT, UPDATE or DELETE on the
// schema's table and nothing else, whatever the values hold.
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "app/ADOToXML.h"

namespace {

constexpr std::string_view kTable = "Customers";

const char kSchema[] =
    "<xml xmlns:s=\"uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882\" "
    "xmlns:dt=\"uuid:C2F41010-65B3-11d1-A29F-00AA00C14882\" "
    "xmlns:rs=\"urn:schemas-microsoft-com:rowset\" xmlns:z=\"#RowsetSchema\">\r\n"
    "\t<s:Schema id=\"RowsetSchema\">\r\n"
    "\t\t<s:ElementType name=\"row\" content=\"eltOnly\" rs:updatable=\"true\">\r\n"
    "\t\t\t<s:AttributeType name=\"ID\" rs:number=\"1\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"int\" dt:maxLength=\"4\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"c1\" rs:name=\"Name\" rs:number=\"2\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"string\" dt:maxLength=\"40\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"Price\" rs:number=\"3\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"number\" rs:dbtype=\"currency\" dt:maxLength=\"8\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"Score\" rs:number=\"4\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"float\" dt:maxLength=\"8\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"Born\" rs:number=\"5\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"dateTime\" rs:dbtype=\"variantdate\" dt:maxLength=\"16\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"Day\" rs:number=\"6\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"date\" dt:maxLength=\"6\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"At\" rs:number=\"7\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"time\" dt:maxLength=\"6\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"Active\" rs:number=\"8\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"boolean\" dt:maxLength=\"2\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"Photo\" rs:number=\"9\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"bin.hex\" dt:maxLength=\"100\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"Code\" rs:number=\"10\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"uuid\" dt:maxLength=\"16\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"Big\" rs:number=\"11\" rs:write=\"true\">\r\n"
    "\t\t\t\t<s:datatype dt:type=\"i8\" dt:maxLength=\"8\"/>\r\n"
    "\t\t\t</s:AttributeType>\r\n"
    "\t\t\t<s:AttributeType name=\"NoType\" rs:number=\"12\" rs:write=\"true\"/>\r\n"
    "\t\t\t<s:extends type=\"rs:rowbase\"/>\r\n"
    "\t\t</s:ElementType>\r\n"
    "\t</s:Schema>\r\n"
    "</xml>";

// The table the schema describes, for SQLite to compile the statements against.
class Database {
 public:
  Database() {
    if (sqlite3_open(":memory:", &db_) != SQLITE_OK ||
        sqlite3_exec(db_,
                     "CREATE TABLE Customers(ID INTEGER, Name TEXT, Price MONEY, Score FLOAT, "
                     "Born DATETIME, Day DATE, At TIME, Active BOOLEAN, Photo BLOB, Code GUID, "
                     "Big BIGINT, NoType)",
                     nullptr, nullptr, nullptr) != SQLITE_OK) {
      std::abort();
    }
    sqlite3_set_authorizer(db_, &Database::authorize, this);
  }
  ~Database() { sqlite3_close(db_); }

  // Compiles one statement; any action beyond writing the table (another table, a query, a
  // second statement) is a failure.
  void check(const std::string& statement) {
    const char* tail = nullptr;
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v2(db_, statement.c_str(), static_cast<int>(statement.size()),
                                      &stmt, &tail);
    if (denied_) {
      std::abort();
    }
    if (rc == SQLITE_OK && stmt != nullptr) {
      if (tail != statement.c_str() + statement.size() || sqlite3_stmt_readonly(stmt)) {
        std::abort();
      }
    }
    sqlite3_finalize(stmt);
  }

 private:
  // For a function call the name comes second.
  static int authorize(void* self, int action, const char* a1, const char* a2, const char*,
                       const char*) {
    const auto on_table = [&] { return a1 != nullptr && kTable == a1; };
    bool allowed = false;
    switch (action) {
      case SQLITE_INSERT:
      case SQLITE_UPDATE:
      case SQLITE_DELETE:
      case SQLITE_READ:
        allowed = on_table();
        break;
      case SQLITE_FUNCTION:
        allowed = a2 != nullptr && (std::strcmp(a2, "char") == 0 || std::strcmp(a2, "upper") == 0 ||
                                    std::strcmp(a2, "trim") == 0);
        break;
      default:
        break;
    }
    if (!allowed) {
      static_cast<Database*>(self)->denied_ = true;
      return SQLITE_DENY;
    }
    return SQLITE_OK;
  }

  sqlite3* db_ = nullptr;
  bool denied_ = false;
};

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Outside string literals a statement holds no statement end, no comment and no line break,
// and every literal is closed.
bool lexically_one_statement(std::string_view s) {
  const std::string table(kTable);
  if (!starts_with(s, "INSERT INTO " + table + "(") && !starts_with(s, "UPDATE " + table + " ") &&
      !starts_with(s, "DELETE FROM " + table + " WHERE ")) {
    return false;
  }
  bool quoted = false;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '\r' || c == '\n' || c == '\0') {
      return false;
    }
    if (quoted) {
      if (c == '\'') {
        quoted = false;  // a doubled apostrophe reopens at once
      }
      continue;
    }
    if (c == '\'') {
      quoted = true;
    } else if (c == ';' || c == '"' || c == '`' || c == '[' ||
               (c == '-' && i + 1 < s.size() && s[i + 1] == '-') ||
               (c == '/' && i + 1 < s.size() && s[i + 1] == '*')) {
      return false;
    }
  }
  return !quoted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Database database;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t line_end = input.find('\n');
  const std::string_view keys = input.substr(0, line_end);
  const std::string_view packet =
      line_end == std::string_view::npos ? std::string_view() : input.substr(line_end + 1);
  std::string statements;
  try {
    statements = appsrv::app::ChangesToSql(packet, kTable, keys, kSchema);
  } catch (const appsrv::app::PacketError&) {
    return 0;
  }
  size_t at = 0;
  while (at < statements.size()) {
    const size_t end = statements.find("\r\n", at);
    if (end == std::string::npos) {
      std::abort();  // every statement ends with CR LF
    }
    const std::string statement = statements.substr(at, end - at);
    if (!lexically_one_statement(statement)) {
      std::abort();
    }
    database.check(statement);
    at = end + 2;
  }
  return 0;
}
