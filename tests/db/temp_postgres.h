// A PostgreSQL server for the tests of one test program: a cluster created in a temporary
// folder, started on a free loopback port on first use and stopped when the program ends.
// Under root the server runs as the "postgres" user (it refuses to run as root).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "db/ado_connection.h"
#include "tests/support/free_port.h"

namespace appsrv::db::testing {

class TempPostgres {
 public:
  // The running server; nullptr when it cannot run here, with the reason in `why_not`.
  static TempPostgres* Instance(std::string* why_not) {
    static std::string failure;
    static std::unique_ptr<TempPostgres> server = [] {
      auto s = std::unique_ptr<TempPostgres>(new TempPostgres());
      failure = s->start();
      return failure.empty() ? std::move(s) : nullptr;
    }();
    *why_not = failure;
    return server.get();
  }

  ~TempPostgres() {
    if (started_) {
      run(pg_ctl() + " -D " + data() + " -m immediate -w stop >/dev/null 2>&1");
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  int port() const { return port_; }
  // libpq URI of the server's "postgres" database for `user` (the cluster's owner by default)
  // whose search path is `schema`.
  std::string uri(const std::string& schema = "public", const std::string& user = "appsrv") const {
    return "postgresql://" + user + "@127.0.0.1:" + std::to_string(port_) +
           "/postgres?options=-csearch_path%3D" + schema;
  }
  std::string connection_text(const std::string& schema = "public",
                              const std::string& user = "appsrv") const {
    return "Provider=PostgreSQL;Data Source=" + uri(schema, user) + ";";
  }
  // The connection text of a new, empty schema (one per call), for the cluster's owner.
  std::string fresh_connection_text() {
    const std::string schema = "t" + std::to_string(++schemas_);
    TADOConnection admin;
    admin.SetConnectionString(connection_text());
    admin.Execute("CREATE SCHEMA " + schema);
    return connection_text(schema);
  }

  // What the owner sets for an application role: the most one of its queries may spill to
  // disk, and the memory of each sort or hash before it spills.
  struct RoleLimits {
    std::string temp_file_limit = "256MB";
    std::string work_mem = "16MB";
  };
  struct ApplicationDatabase {
    std::string owner;  // connection texts, both with the new schema on the search path
    std::string role;
  };
  // A new schema whose tables `tables` creates (run as the owner), and a new role that uses it
  // as the application's role is set up for a real deployment (README, PostgreSQL section): it
  // logs in, is no superuser and holds no predefined role, may read and write those tables and
  // nothing else, runs under `limits`, and cannot change settings or signal other sessions.
  ApplicationDatabase application_database(const std::vector<std::string>& tables,
                                           const RoleLimits& limits) {
    const std::string owner = fresh_connection_text();
    const std::string schema = "t" + std::to_string(schemas_);
    const std::string role = "app" + std::to_string(schemas_);
    TADOConnection admin;
    admin.SetConnectionString(owner);
    for (const std::string& sql : tables) {
      admin.Execute(sql);
    }
    for (const std::string& sql : {
             "CREATE ROLE " + role + " LOGIN PASSWORD 'unused under trust'",
             "GRANT USAGE ON SCHEMA " + schema + " TO " + role,
             "GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA " + schema + " TO " +
                 role,
             "ALTER ROLE " + role + " SET temp_file_limit = '" + limits.temp_file_limit + "'",
             "ALTER ROLE " + role + " SET work_mem = '" + limits.work_mem + "'",
             std::string("REVOKE EXECUTE ON FUNCTION pg_catalog.set_config, "
                         "pg_catalog.pg_cancel_backend, pg_catalog.pg_terminate_backend "
                         "FROM PUBLIC"),
         }) {
      admin.Execute(sql);
    }
    return {owner, connection_text(schema, role)};
  }

 private:
  TempPostgres() = default;

  std::string data() const { return folder_ + "/data"; }
  std::string pg_ctl() const { return as_server_user_ + bin_ + "/pg_ctl"; }
  static int run(const std::string& command) { return std::system(command.c_str()); }

  static std::string find_bin() {
    if (FILE* out = popen("pg_config --bindir 2>/dev/null", "r")) {
      char line[512] = {};
      const bool got = std::fgets(line, sizeof line, out) != nullptr;
      pclose(out);
      std::string dir = got ? line : "";
      while (!dir.empty() && (dir.back() == '\n' || dir.back() == ' '))
        dir.pop_back();
      if (!dir.empty() && std::filesystem::exists(dir + "/initdb"))
        return dir;
    }
    std::string best;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
      const std::string dir = entry.path().string() + "/bin";
      if (std::filesystem::exists(dir + "/initdb") && dir > best)
        best = dir;
    }
    return best;
  }


  // "" when the server runs, else why not.
  std::string start() {
    bin_ = find_bin();
    if (bin_.empty()) {
      return "the PostgreSQL server programs (initdb, pg_ctl) are not installed; "
             "scripts/install-deps test installs them";
    }
    std::string tmpl = "/tmp/appsrv-pg-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr)
      return "cannot create a temporary folder";
    folder_ = tmpl;
    if (geteuid() == 0) {
      const passwd* user = getpwnam("postgres");
      if (user == nullptr || chown(folder_.c_str(), user->pw_uid, user->pw_gid) != 0) {
        return "running as root without a \"postgres\" user to run the server as";
      }
      as_server_user_ = "runuser -u postgres -- ";
    }
    if (run(as_server_user_ + bin_ + "/initdb -D " + data() +
            " -U appsrv -A trust -E UTF8 --locale=C --no-sync >" + folder_ + "/initdb.log 2>&1") !=
        0) {
      return "initdb failed; see " + folder_ + "/initdb.log";
    }
    port_ = ::appsrv::testing::free_port();
    const std::string options = "-p " + std::to_string(port_) + " -k " + folder_ +
                                " -c listen_addresses=127.0.0.1 -c fsync=off"
                                " -c synchronous_commit=off -c full_page_writes=off";
    if (run(pg_ctl() + " -D " + data() + " -l " + folder_ + "/server.log -w -t 60 -o '" + options +
            "' start >/dev/null 2>&1") != 0) {
      return "pg_ctl start failed; see " + folder_ + "/server.log";
    }
    started_ = true;
    return {};
  }

  std::string bin_;
  std::string folder_;
  std::string as_server_user_;
  int port_ = 0;
  int schemas_ = 0;
  bool started_ = false;
};

}  // namespace appsrv::db::testing
