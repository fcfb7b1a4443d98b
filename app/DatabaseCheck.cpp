#include "app/DatabaseCheck.h"

#include <exception>

#include "db/ado_connection.h"

namespace appsrv::app {

server::ReadinessReport CheckDatabase(const std::string& connection_text) {
  db::TADOConnection connection;
  connection.SetConnectionString(connection_text);
  server::ReadinessReport report{"Database: " + connection.Describe(), std::nullopt};
  try {
    // Opening alone proves little on PostgreSQL (a server that accepts but cannot answer) and
    // on SQLite (a file that is no database opens); a statement proves both.
    connection.Execute("SELECT 1");
  } catch (const std::exception& e) {
    report.failure = e.what();
  }
  return report;
}

}  // namespace appsrv::app
