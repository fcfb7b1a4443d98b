#include "app/AppWebAgent.h"

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <vector>

#include "app/ADOToXML.h"
#include "base/exception.h"
#include "base/text.h"
#include "db/temp_file_budget.h"
#include "server/session/server_controller.h"
#include "server/session/session_list.h"

namespace appsrv::app {
namespace {

constexpr std::string_view kStatementEnd = "\r\n";

// The statements of a ChangesToSql text. Each statement ends with CR LF and keeps CR and LF
// of its values inside the quotes, so only a CR LF ends one; a lone CR or LF stays part of
// its statement.
std::vector<std::string_view> split_statements(std::string_view text) {
  std::vector<std::string_view> statements;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(kStatementEnd, start);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    if (end > start) {
      statements.push_back(text.substr(start, end - start));
    }
    start = end + kStatementEnd.size();
  }
  return statements;
}

// Rolls back the transaction it began unless told that it was committed.
class Transaction {
 public:
  explicit Transaction(db::TADOConnection& connection) : connection_(connection) {
    connection_.BeginTrans();
  }
  ~Transaction() {
    if (!done_) {
      try {
        connection_.RollbackTrans();
      } catch (const std::exception&) {
        // A failed rollback leaves nothing to undo: the database has already ended it.
      }
    }
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  void Commit() {
    connection_.CommitTrans();
    done_ = true;
  }

 private:
  db::TADOConnection& connection_;
  bool done_ = false;
};

// The database of the session's controller (the process-wide one for a module made without a
// session).
std::string controller_connection_text(server::TSvApplication* session) {
  const server::TSvServerControllerBase* controller =
      session != nullptr ? &session->controller() : ServerControllerInstance();
  if (controller == nullptr) {
    throw base::Exception("No server controller is defined.");
  }
  return ControllerConnectionText(*controller);
}

}  // namespace

std::string DatabaseConnectionText(std::string_view content_path) {
  // The content folder + "../", resolved on the text: "." and ".." inside the folder count,
  // and the parent of "/" is "/".
  std::string parent =
      (std::filesystem::path(content_path) / "..").lexically_normal().generic_string();
  if (parent == ".") {
    parent.clear();
  } else if (!parent.ends_with('/')) {
    parent += '/';
  }
  return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + parent + "TEST.mdb;";
}

std::string ControllerConnectionText(const server::TSvServerControllerBase& controller) {
  const char* setting = std::getenv(kDatabaseEnvironmentSetting);
  if (std::string text = ConnectionTextFromSetting(setting != nullptr ? setting : "");
      !text.empty()) {
    return text;
  }
  return DatabaseConnectionText(controller.ContentPath());
}

std::string ConnectionTextFromSetting(std::string_view setting) {
  setting = base::trim(setting);
  if (setting.empty()) {
    return {};
  }
  if (base::istarts_with(setting, "postgresql://") || base::istarts_with(setting, "postgres://")) {
    return "Provider=PostgreSQL;Data Source=" + std::string(setting) + ";";
  }
  return std::string(setting);
}

TSvUserSession::TSvUserSession(server::TSvApplication* ASession)
    : TSvUserSession(ASession, controller_connection_text(ASession)) {}

TSvUserSession::TSvUserSession(server::TSvApplication* ASession, std::string connection_text)
    : TSvUserSessionBase(ASession) {
  const server::TSvServerControllerBase* controller =
      ASession != nullptr ? &ASession->controller() : ServerControllerInstance();
  if (controller != nullptr) {
    limits_ = controller->QueryLimits;
  }
  // Start-up set it already; a setting changed since takes effect from the next session.
  db::apply_sqlite_heap_limit(limits_.MaxSqliteHeapBytes);
  dbServer.Close();
  dbServer.SetConnectionString(std::move(connection_text));
  // Out of descriptors, the connections other sessions keep open between their requests are
  // what can be given back at once; this session's own is the one being opened.
  dbServer.on_descriptor_shortage = [this] {
    if (mWebApplication == nullptr) {
      return false;
    }
    const size_t closed = mWebApplication->sessions().CloseIdleResources(
        std::chrono::milliseconds(0), mWebApplication);
    mWebApplication->controller().NoteShortage(
        "Out of file descriptors opening a database connection: closed those of " +
        std::to_string(closed) + " idle session(s)");
    return closed > 0;
  };
  SvUserSessionBaseCreate();
}

TSvUserSession::~TSvUserSession() {
  try {
    SvUserSessionBaseDestroy();
  } catch (const std::exception&) {
    // A module being freed has nobody left to tell.
  }
}

void TSvUserSession::SvUserSessionBaseCreate() {
  FSchemaCache = std::make_unique<std::map<std::string, std::string>>();
}

void TSvUserSession::SvUserSessionBaseDestroy() { FSchemaCache.reset(); }

void TSvUserSession::RequestEnded() noexcept { dbServer.ReleaseCache(); }

bool TSvUserSession::HoldsIdleResources() const noexcept { return dbServer.Connected(); }

void TSvUserSession::CloseIdleResources() noexcept {
  // A dataset left open would keep the closed connection's files open.
  ADODataset.Close();
  dbServer.Close();
}

bool TSvUserSession::HoldsWarmResources() const noexcept { return dbServer.MayHoldMapping(); }

void TSvUserSession::ReleaseWarmResources() noexcept { dbServer.ReleaseMapping(); }

std::string TSvUserSession::GetSchema(const std::string& ATableName) {
  if (const auto it = FSchemaCache->find(ATableName); it != FSchemaCache->end()) {
    return it->second;
  }
  std::string schema;
  read_only([&] {
    ADODataset.Close();
    const db::TDataSetCloser closer(ADODataset);
    ADODataset.SetCommandText("select * from " + ATableName);
    ADODataset.Open();
    // The schema depends on the columns only: an empty copy of the dataset writes the same
    // packet as the table would, without reading its rows.
    db::TADODataSet columns;
    columns.FieldDefs().Assign(ADODataset.FieldDefs());
    columns.CreateDataSet();
    schema = StripPacketData(RecordsetToXml(columns));
  });
  (*FSchemaCache)[ATableName] = schema;
  return schema;
}

void TSvUserSession::SetSchema(const std::string& ATableName, std::string Value) {
  (*FSchemaCache)[ATableName] = std::move(Value);
}

void TSvUserSession::EnterDatabase() {
  if (server::TSvApplication* session = WebApplication()) {
    session->sessions().EnterDatabase(*session);
  }
}

std::string TSvUserSession::ApplyChanges(std::string_view AXML, const std::string& ATableName,
                                         std::string_view AKeyFlds) {
  EnterDatabase();
  const std::string schema = GetSchema(ATableName);
  const std::string text = ChangesToSql(AXML, ATableName, AKeyFlds, schema);
  const std::vector<std::string_view> statements = split_statements(text);
  if (statements.empty()) {
    return text;
  }
  // All or nothing: a client that sends its packet again must not find half of it applied.
  Transaction transaction(dbServer);
  for (std::string_view statement : statements) {
    try {
      dbServer.Execute(statement);
    } catch (const std::exception& e) {
      throw base::Exception("执行:" + std::string(statement) + "报错：\r\n" + e.what());
    }
  }
  try {
    transaction.Commit();
  } catch (const std::exception& e) {
    throw base::Exception("执行:COMMIT报错：\r\n" + std::string(e.what()));
  }
  return text;
}

std::unique_ptr<db::TADOQuery> TSvUserSession::NewQuery(std::string ASQL) {
  EnterDatabase();
  auto query = std::make_unique<db::TADOQuery>(&dbServer);
  query->SetSQL(std::move(ASQL));
  return query;
}

void TSvUserSession::FreeQuery(std::unique_ptr<db::TADOQuery>& AQry) { AQry.reset(); }

TSvUserSession* CurrentUserSession() {
  server::TSvApplication* session = server::CurrentSession();
  if (session == nullptr) {
    return nullptr;
  }
  return dynamic_cast<TSvUserSession*>(session->FData.get());
}

server::TSvServerControllerBase* ServerControllerInstance() { return server::ServerController(); }

}  // namespace appsrv::app
