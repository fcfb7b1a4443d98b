// What an operator meets at start: port.ini values the program refuses or ignores, the database
// it names and whether it opens, and "/$/ready", which follows the database file.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/app_calls.h"
#include "tests/e2e/app_folder.h"
#include "tests/support/http_client.h"

namespace appsrv::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

bool has_line(const std::string& output, const std::string& line) {
  return output.find(line + "\n") != std::string::npos;
}

// A value the setting cannot take ends the start before any listener opens; wrapped into a
// 16-bit port, 99999 would have served on 34463.
TEST(Startup, APortValueThatIsNoPortEndsTheStartNamingIt) {
  for (const std::string value : {"abc", "99999"}) {
    SCOPED_TRACE(value);
    AppFolder folder;
    write_file(folder.root() / "port.ini", "[PORTS]\nPort=" + value + "\n");
    const auto process = folder.LaunchForErrors(folder.program(), {}, {});
    while (process->ReadLine(seconds(60))) {
    }
    EXPECT_EQ(process->Wait(seconds(60)), 1);
    EXPECT_EQ(process->Output(),
              std::vector<std::string>{"Error: port.ini: [PORTS] Port=" + value +
                                       " is not a whole number from 0 to 65535."});
  }
}

TEST(Startup, AKeyThatNamesNoSettingIsNamedAndTheStartGoesOn) {
  AppFolder folder;
  write_file(folder.root() / "port.ini", "[PORTS]\nPort=0\n[LIMITS]\nMaxSesions=5\n");
  Server server(folder);
  ASSERT_NE(server.port(), 0);
  EXPECT_TRUE(has_line(server.output(),
                       "Warning: port.ini: [LIMITS] has no setting MaxSesions; the line is ignored."))
      << server.output();
  EXPECT_EQ(server.Stop(), 0);
}

// The server starts without its database and says so; a call that needs it fails with the
// path, no empty database is left in its place, and "/$/ready" follows the file as it comes,
// turns out to be no database, and becomes one.
TEST(Startup, AMissingDatabaseIsNamedAtStartFailsCallsAndIsNotReady) {
  AppFolder folder;
  Server server(folder);
  ASSERT_NE(server.port(), 0);
  const std::string path = (fs::canonical(folder.root()) / "TEST.mdb").string();
  const std::string output = server.output();
  EXPECT_TRUE(has_line(output, "Database: " + path + " (SQLite " + sqlite3_libversion() + ")"))
      << output;
  EXPECT_TRUE(has_line(output, "Warning: not ready: database file not found: " + path))
      << output;

  Client client(server.port());
  client.Call("Time", "");  // earns the session cookie
  const ParsedResponse fetch =
      client.Call("FetchData", R"({"PageNo":1,"PageSize":2,"TableName":"T"})");
  EXPECT_EQ(fetch.status(), 500);
  EXPECT_EQ(failure_of(fetch.body), "database file not found: " + path);
  EXPECT_FALSE(fs::exists(path));

  struct Case {
    const char* state;
    std::string file;  // nothing written when empty
    int status;
    std::string body_start;
  };
  const Case cases[] = {
      {"missing", "", 503, "Not ready: database file not found: " + path},
      {"not a database", std::string(4096, 'x'), 503, "Not ready: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.state);
    if (!c.file.empty()) {
      write_file(path, c.file);
    }
    const ParsedResponse ready = Get(server.port(), "/$/ready");
    EXPECT_EQ(ready.status(), c.status);
    EXPECT_TRUE(ready.body.starts_with(c.body_start)) << ready.body;
  }
  fs::remove(path);
  create_named_rows(path, 3);
  const ParsedResponse ready = Get(server.port(), "/$/ready");
  EXPECT_EQ(ready.status(), 200);
  EXPECT_EQ(ready.body, "Ready\n");
  EXPECT_EQ(client.Call("FetchData", R"({"PageNo":1,"PageSize":2,"TableName":"T"})").status(),
            200);
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace appsrv::testing
