#include "db/pg_connection.h"

#include <libpq-fe.h>

#include <climits>
#include <cstdlib>
#include <string_view>

#include "base/metrics.h"
#include "base/parse_int.h"

namespace appsrv::db {
namespace {

// Session settings every connection starts with, so that values read back as the SQLite
// backend stores them: ISO dates, UTF-8 text, floats in their shortest exact form.
constexpr std::string_view kSessionSettings[] = {
    "SET client_encoding TO 'UTF8'",
    "SET DateStyle TO ISO, YMD",
    "SET extra_float_digits TO 1",
    "SET bytea_output TO 'hex'",
};

std::string message_of(const pg_result* result, pg_conn* conn) {
  const char* text = result != nullptr ? PQresultErrorMessage(result) : PQerrorMessage(conn);
  std::string message = text == nullptr ? "" : text;
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
    message.pop_back();
  }
  return message;
}

}  // namespace

void PgConnCloser::operator()(pg_conn* conn) const noexcept { PQfinish(conn); }
void PgResultClearer::operator()(pg_result* result) const noexcept { PQclear(result); }

std::string describe_pg_conninfo(const std::string& conninfo) {
  char* error = nullptr;
  PQconninfoOption* const options = PQconninfoParse(conninfo.c_str(), &error);
  if (options == nullptr) {
    PQfreemem(error);
    return "PostgreSQL (connection text libpq cannot read)";
  }
  std::string db;
  std::string host;
  std::string port;
  std::string user;
  for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
    // What the text leaves out, libpq takes from the environment or its built-in default.
    const char* value = o->val;
    if (value == nullptr && o->envvar != nullptr) {
      value = std::getenv(o->envvar);
    }
    if (value == nullptr) {
      value = o->compiled;
    }
    const std::string text = value != nullptr ? value : "";
    const std::string_view keyword = o->keyword;
    if (keyword == "dbname") {
      db = text;
    } else if (keyword == "host") {
      host = text;
    } else if (keyword == "port") {
      port = text;
    } else if (keyword == "user") {
      user = text;
    }
  }
  PQconninfoFree(options);
  if (host.empty()) {
    host = "local socket";
  }
  std::string out = "PostgreSQL database " + (db.empty() ? user : db) + " on " + host;
  if (!port.empty()) {
    out += ":" + port;
  }
  if (!user.empty()) {
    out += " as " + user;
  }
  return out;
}

PgConnection::PgConnection(const std::string& conninfo) : conn_(PQconnectdb(conninfo.c_str())) {
  if (conn_ == nullptr) {
    throw DatabaseError("PQconnectdb: out of memory");
  }
  if (PQstatus(conn_.get()) != CONNECTION_OK) {
    throw DatabaseError("PQconnectdb: " + message_of(nullptr, conn_.get()));
  }
  for (std::string_view setting : kSessionSettings) {
    exec(setting);
  }
}

PgResultPtr PgConnection::check(PgResultPtr result, std::string_view sql) {
  const ExecStatusType status =
      result == nullptr ? PGRES_FATAL_ERROR : PQresultStatus(result.get());
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
    sqlstate_.clear();
    return result;
  }
  const char* state =
      result == nullptr ? nullptr : PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
  sqlstate_ = state == nullptr ? "" : state;
  if (sqlstate_ == kPgQueryCanceled) {
    statement_timed_out = true;
  }
  std::string message = message_of(result.get(), conn_.get());
  if (message.empty()) {
    message = "PostgreSQL statement failed: " + std::string(sql);
  }
  throw DatabaseError(message);
}

void PgConnection::arm_deadline() {
  if (!deadline_) {
    return;
  }
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - std::chrono::steady_clock::now());
  if (left.count() <= 0) {
    sqlstate_ = kPgQueryCanceled;
    statement_timed_out = true;
    throw DatabaseError("canceling statement due to statement timeout");
  }
  const std::string set = "SET LOCAL statement_timeout = " + std::to_string(left.count());
  check(
      PgResultPtr(PQexecParams(conn_.get(), set.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0)),
      set);
}

PgResultPtr PgConnection::exec_client(std::string_view sql) {
  arm_deadline();
  return exec(sql);
}

PgResultPtr PgConnection::exec(std::string_view sql, const std::vector<std::string>& params) {
  const std::string text(sql);
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const std::string& p : params) {
    values.push_back(p.c_str());
  }
  const base::ScopedDuration timed(base::metrics().statement_duration);
  // The extended protocol: a text holding two statements is refused before either runs.
  return check(PgResultPtr(PQexecParams(conn_.get(), text.c_str(), static_cast<int>(values.size()),
                                        nullptr, values.data(), nullptr, nullptr, 0)),
               sql);
}

PgResultPtr PgConnection::describe(std::string_view sql) {
  arm_deadline();
  const std::string text(sql);
  check(PgResultPtr(PQprepare(conn_.get(), "", text.c_str(), 0, nullptr)), sql);
  return check(PgResultPtr(PQdescribePrepared(conn_.get(), "")), sql);
}

PgResultPtr PgConnection::exec_prepared() {
  arm_deadline();
  const base::ScopedDuration timed(base::metrics().statement_duration);
  return check(PgResultPtr(PQexecPrepared(conn_.get(), "", 0, nullptr, nullptr, nullptr, 0)),
               "(prepared statement)");
}

int64_t PgConnection::execute(std::string_view sql) {
  const PgResultPtr result = exec_client(sql);
  const char* tuples = PQcmdTuples(result.get());
  // libpq gives "" for a command that touches no rows (a CREATE); that counts as none.
  return tuples == nullptr ? 0 : base::parse_int<int64_t>(tuples).value_or(0);
}

bool PgConnection::in_transaction() const {
  return PQtransactionStatus(conn_.get()) != PQTRANS_IDLE;
}

bool PgConnection::transaction_failed() const {
  return PQtransactionStatus(conn_.get()) == PQTRANS_INERROR;
}

bool PgConnection::broken() const { return PQstatus(conn_.get()) == CONNECTION_BAD; }

PgColumnFacts PgConnection::column_facts(unsigned table_oid, int column) {
  if (table_oid == 0 || column <= 0) {
    return {};
  }
  if (!facts_loaded_[table_oid]) {
    const PgResultPtr rows = exec(
        "SELECT a.attnum, a.attnotnull, "
        "a.attidentity <> '' OR coalesce(pg_get_expr(d.adbin, d.adrelid) LIKE 'nextval(%', false) "
        "FROM pg_catalog.pg_attribute a LEFT JOIN pg_catalog.pg_attrdef d "
        "ON d.adrelid = a.attrelid AND d.adnum = a.attnum "
        "WHERE a.attrelid = $1::oid AND a.attnum > 0",
        {std::to_string(table_oid)});
    for (int r = 0; r < PQntuples(rows.get()); ++r) {
      const int number = base::parse_int<int>(PQgetvalue(rows.get(), r, 0)).value_or(0);
      facts_[{table_oid, number}] =
          PgColumnFacts{*PQgetvalue(rows.get(), r, 1) == 't', *PQgetvalue(rows.get(), r, 2) == 't'};
    }
    facts_loaded_[table_oid] = true;
  }
  const auto it = facts_.find({table_oid, column});
  return it == facts_.end() ? PgColumnFacts{} : it->second;
}

}  // namespace appsrv::db
