// The session data module: each session's database connection, its shared dataset and its
// cache of table schemas, and the accessors that find the module and the controller.
#pragma once

#include <chrono>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "app/ReadOnlyQuery.h"
#include "db/ado_connection.h"
#include "db/ado_dataset.h"
#include "server/session/server_controller.h"
#include "server/session/user_session_base.h"

namespace appsrv::app {

// "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=<parent of the content folder>TEST.mdb;".
// The parent is taken from the text of the path, so the content folder need not exist.
std::string DatabaseConnectionText(std::string_view content_path);

// The environment setting that points every session at another database without touching
// code: a whole connection text ("Provider=PostgreSQL;Data Source=postgresql://...;") or
// just a PostgreSQL URI ("postgresql://user@host/db").
constexpr const char* kDatabaseEnvironmentSetting = "APPSERVER_DATABASE";
// The connection text `setting` stands for, or "" when it is empty.
std::string ConnectionTextFromSetting(std::string_view setting);
// The database the sessions of `controller` open: kDatabaseEnvironmentSetting when set, else
// the one beside its content folder.
std::string ControllerConnectionText(const server::TSvServerControllerBase& controller);

// One per session, in its FData slot; used by one request of that session at a time (the
// session lock), so it has no locks of its own. The connection opens on first use, gives back
// its cache at the end of every request, keeps its file mapping only while the session is
// among the few most recently used (the controller's DatabaseMappedSessions and
// DatabaseMappingIdleMs), and closes once the session has been idle for the controller's
// DatabaseIdleTimeoutMs; the next request opens and maps it again.
class TSvUserSession : public server::TSvUserSessionBase {
 public:
  // The database is the one beside the content folder of the session's controller (of the
  // process-wide controller without a session). Throws "No server controller is defined."
  // when there is none.
  explicit TSvUserSession(server::TSvApplication* ASession);
  // The database named by `connection_text` (the form DatabaseConnectionText gives).
  TSvUserSession(server::TSvApplication* ASession, std::string connection_text);
  ~TSvUserSession() override;

  // The cached schema packet of a table, loaded (read-only) on first use and cached under the
  // exact name. Throws the database's error; nothing is cached then.
  std::string GetSchema(const std::string& ATableName);
  void SetSchema(const std::string& ATableName, std::string Value);

  // Counts the request being served among its client's database requests, until it ends;
  // throws server::EClientLimitReached when the client has Limits.MaxDatabaseRequestsPerClient
  // already. Every way into dbServer calls it first. Without a session there is no client.
  void EnterDatabase();

  // Turns a change packet into statements and runs them in one transaction: when one fails,
  // none stays applied and the error reads "执行:" + statement + "报错：" CR LF + the
  // database's message. Returns the statements, each followed by CR LF.
  std::string ApplyChanges(std::string_view AXML, const std::string& ATableName,
                           std::string_view AKeyFlds);

  // A query over dbServer with ASQL as its text, not opened; the caller owns it.
  std::unique_ptr<db::TADOQuery> NewQuery(std::string ASQL);
  // Frees the query (closing it) and clears the caller's reference.
  static void FreeQuery(std::unique_ptr<db::TADOQuery>& AQry);

  // While the returned scope lives, statements on dbServer may only read, within the query
  // limits. Counts the request among its client's database requests (EnterDatabase), then
  // opens the connection.
  [[nodiscard]] ReadOnlyScope read_only_scope() {
    EnterDatabase();
    return ReadOnlyScope(dbServer, std::chrono::milliseconds(limits_.ReadTimeoutMs),
                         limits_.MaxValueBytes, limits_.MaxTempBytes);
  }
  // Runs `read` inside read_only_scope(). A read stopped at the deadline, at the temporary-disk
  // cap or at SQLite's heap limit fails with the message that says so, whatever error the
  // stopped statement raised.
  template <class Read>
  decltype(auto) read_only(Read&& read) {
    const ReadOnlyScope scope = read_only_scope();
    try {
      return read();
    } catch (const std::exception& error) {
      scope.throw_if_stopped(error);
      throw;
    }
  }
  // The controller's query limits, as they were when the module was made.
  const server::TSvQueryLimits& query_limits() const { return limits_; }

  // Session hooks: the connection's cache goes back after every request, its file mapping
  // when the session list says so, and an idle session's connection is closed (the schema
  // cache and everything else stay).
  void RequestEnded() noexcept override;
  bool HoldsIdleResources() const noexcept override;
  void CloseIdleResources() noexcept override;
  bool HoldsWarmResources() const noexcept override;
  void ReleaseWarmResources() noexcept override;

  // Guarded by the session's FLock, like the whole module: a request holds it from attach to
  // release, and the idle pass closes the connection only after taking it (TryLock).
  db::TADOConnection dbServer;
  // Used by FetchData and for loading schemas. Guarded by the session's FLock.
  db::TADODataSet ADODataset{&dbServer};

 private:
  void SvUserSessionBaseCreate();
  void SvUserSessionBaseDestroy();

  std::unique_ptr<std::map<std::string, std::string>> FSchemaCache;
  server::TSvQueryLimits limits_;
};

// The data module of the session the calling thread serves, or nullptr.
TSvUserSession* CurrentUserSession();
// The process-wide server controller, or nullptr before start-up.
server::TSvServerControllerBase* ServerControllerInstance();

}  // namespace appsrv::app
