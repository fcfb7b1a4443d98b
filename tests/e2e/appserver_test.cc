// The program as a newcomer runs it: started in an application folder of its own with
// port.ini asking for a free port, driven over loopback HTTP and through its console.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/app_calls.h"
#include "tests/e2e/app_folder.h"
#include "tests/render/chromium_run.h"
#include "tests/support/child_process.h"
#include "tests/support/http_client.h"

namespace appsrv::testing {
namespace {

TEST(AppServer, AnswersTheAppServiceOnceTheClientHasItsCookie) {
  AppFolder folder;
  Server server(folder);
  ASSERT_NE(server.port(), 0);
  Client client(server.port());
  const std::string params = R"({"A":2,"B":3,"Info":"x"})";

  const ParsedResponse first = client.Call("Add", params);
  EXPECT_FALSE(client.cookie().empty()) << first.status_line << "\n" << first.body;
  EXPECT_EQ(first.body.find("Result="), std::string::npos);

  const ParsedResponse answer = client.Call("Add", params);
  EXPECT_EQ(answer.status(), 200);
  EXPECT_EQ(answer.header("Content-Type"), "text/html; charset=UTF-8");
  EXPECT_EQ(answer.body, envelope("Add", params, R"({"Result":5,"Info":"x"})"));

  EXPECT_EQ(server.Stop(), 0);
}

class WithDatabase : public ::testing::Test {
 protected:
  void SetUp() override {
    exec_sql(folder_.database(),
             "CREATE TABLE items (ID INTEGER PRIMARY KEY, Name VARCHAR(20), Price MONEY,"
             " Added DATETIME, Done BOOLEAN, Notes MEMO);"
             "INSERT INTO items VALUES (1, 'one', 1.5, '2024-05-06 07:08:09', 1, NULL),"
             " (2, 'two', 2.25, NULL, 0, 'memo text'), (3, 'three', NULL, NULL, NULL, NULL);");
    server_ = std::make_unique<Server>(folder_);
    ASSERT_NE(server_->port(), 0);
    client_ = std::make_unique<Client>(server_->port());
    client_->Call("Time", "");  // earns the session cookie
    ASSERT_FALSE(client_->cookie().empty());
  }
  void TearDown() override {
    if (server_) {
      EXPECT_EQ(server_->Stop(), 0);
    }
  }

  AppFolder folder_;
  std::unique_ptr<Server> server_;
  std::unique_ptr<Client> client_;
};

TEST_F(WithDatabase, FetchDataAndSaveDataRoundTrip) {
  const std::string fetch = R"({"PageNo":1,"PageSize":2,"TableName":"items"})";
  const ParsedResponse page = client_->Call("FetchData", fetch);
  ASSERT_EQ(page.status(), 200) << page.body;
  const std::string result = page.body.substr(page.body.find("\r\nResult=") + 9);
  EXPECT_NE(result.find("\"RecordCount\":3"), std::string::npos) << result;
  EXPECT_NE(result.find("\"PageNo\":1"), std::string::npos) << result;
  EXPECT_NE(result.find(R"(Name=\"one\")"), std::string::npos) << result;
  EXPECT_NE(result.find(R"(Name=\"two\")"), std::string::npos) << result;
  EXPECT_EQ(result.find(R"(Name=\"three\")"), std::string::npos) << result;

  const std::string changes =
      "<rs:data><rs:insert><z:row ID='4' Name='four' Price='4.75'/></rs:insert>"
      "<rs:update><rs:original><z:row ID='2' Name='two'/></rs:original>"
      "<z:row ID='2' Name='TWO'/></rs:update></rs:data>";
  const ParsedResponse saved = client_->Call(
      "SaveData", R"({"TableName":"items","KeyFields":"ID","Changes":")" + changes + "\"}");
  ASSERT_EQ(saved.status(), 200) << saved.body;
  EXPECT_NE(saved.body.find("Result={\"Info\":\"INSERT INTO items"), std::string::npos)
      << saved.body;
  EXPECT_EQ(query_text(folder_.database(), "SELECT ID, Name, Price FROM items ORDER BY ID"),
            "1|one|1.5\n2|TWO|2.25\n3|three|NULL\n4|four|4.75\n");

  const ParsedResponse again =
      client_->Call("FetchData", R"({"PageNo":2,"PageSize":2,"TableName":"items"})");
  EXPECT_NE(again.body.find("\"RecordCount\":4"), std::string::npos) << again.body;
  EXPECT_NE(again.body.find(R"(Name=\"four\")"), std::string::npos) << again.body;

  // A failing change answers with an "Error" member and changes nothing.
  const ParsedResponse failed = client_->Call(
      "SaveData",
      R"({"TableName":"items","KeyFields":"ID","Changes":"<rs:data><rs:insert><z:row ID='1'/></rs:insert></rs:data>"})");
  EXPECT_NE(failed.body.find("Result={\"Error\":"), std::string::npos) << failed.body;
  EXPECT_EQ(query_text(folder_.database(), "SELECT count(*) FROM items"), "4\n");
}

TEST_F(WithDatabase, SqlSelectServesAGridPage) {
  const ParsedResponse r =
      client_->Get("/rest/sqlselect?tblNames=items&fldNames=ID,Name&rp=2&page=2&orderBy=ID");
  ASSERT_EQ(r.status(), 200) << r.body;
  EXPECT_EQ(r.header("Content-Type"), "text/json; charset=utf-8");
  EXPECT_NE(r.body.find("\"title\":\"items\""), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("\"total\":3"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("\"page\":2"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("three"), std::string::npos) << r.body;
  EXPECT_EQ(r.body.find("\"one\""), std::string::npos) << r.body;
}

TEST_F(WithDatabase, AFailingCallIsAnsweredWithAnErrorPage) {
  const ParsedResponse r =
      client_->Call("FetchData", R"({"PageNo":1,"PageSize":2,"TableName":"missing"})");
  EXPECT_GE(r.status(), 400) << r.body;
  EXPECT_EQ(r.body.find("Result="), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("missing"), std::string::npos) << r.body;
  // The server goes on serving the same session.
  EXPECT_EQ(client_->Call("Add", R"({"A":1,"B":1})").body,
            envelope("Add", R"({"A":1,"B":1})", R"({"Result":2,"Info":""})"));
}

// Whoever started the program learns that it does not serve: status 1 (78, EX_CONFIG, in
// service mode, which its unit does not restart on) and the application log's line, the same
// text, on standard error (standard output is dropped here). Nothing is left answering
// commands: the console never opens, so "url" and "status" cannot look healthy.
TEST(AppServer, AStartUpFailureEndsWithAFailureStatusAndTheErrorOnStandardError) {
  struct Case {
    const char* what;
    bool service;  // appserver-service, in the console with -GUI when `gui`
    bool gui;
    bool busy_port;
    bool temp_is_a_file;
  };
  const Case cases[] = {
      {"appserver, TMPDIR names a file", false, false, false, true},
      {"appserver-service, TMPDIR names a file", true, false, false, true},
      {"appserver, port in use", false, false, true, false},
      {"appserver-service -GUI, port in use", true, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AppFolder folder;
    BusyPort busy;
    if (c.busy_port) {
      folder.SetPort(busy.port());
    }
    const fs::path not_a_folder = folder.root() / "not-a-folder";
    write_file(not_a_folder, "");
    std::vector<std::string> env;
    if (c.temp_is_a_file) {
      env.push_back("TMPDIR=" + not_a_folder.string());
    }
    const auto process =
        folder.LaunchForErrors(c.service ? folder.service_program() : folder.program(),
                               c.gui ? std::vector<std::string>{"-GUI"} : std::vector<std::string>{},
                               env);
    process->WriteInput("url\nstatus\n");
    while (process->ReadLine(seconds(60))) {
    }
    EXPECT_EQ(process->Wait(seconds(60)), c.service && !c.gui ? 78 : 1);
    std::string error;
    for (const std::string& line : process->Output()) {
      // A message of several lines keeps its CR LF breaks, as in the log file.
      error += (error.empty() ? "" : "\r\n") + line;
    }
    if (c.busy_port) {
      EXPECT_EQ(error, "Error: Could not bind socket to 0.0.0.0:" + std::to_string(busy.port()) +
                           ": Address already in use.");
    } else {
      EXPECT_TRUE(error.starts_with("Error: ")) << error;
      EXPECT_NE(error.find(not_a_folder.string()), std::string::npos) << error;
      EXPECT_TRUE(error.ends_with("Not a directory")) << error;
    }
    const std::string log = ascii_from_utf16le(
        read_file(folder.root() / (c.service ? "appserver-service.log" : "appserver.log")));
    // "yyyy-mm-dd hh:nn:ss " + the same line + CR LF, the only one.
    ASSERT_GE(log.size(), 20U);
    EXPECT_EQ(log.substr(20), error + "\r\n");
    EXPECT_EQ(log[4], '-');
    EXPECT_EQ(log[13], ':');
    EXPECT_EQ(log[19], ' ');
  }
}

TEST(AppServer, SettingsChangedByCommandsSurviveARestart) {
  AppFolder folder;
  {
    Server server(folder);
    ASSERT_NE(server.port(), 0);
    EXPECT_EQ(server.Command("debug on"), "Debug Log: on");
    EXPECT_EQ(server.Command("ssl on"), "Use SSL: on");
    EXPECT_EQ(server.Command("speed 64 kbps"), "Speed Simulation: 64 kbps");
    EXPECT_EQ(server.Command("params lang=en&x=1"), "Runtime parameters: lang=en&x=1");
    EXPECT_EQ(server.Command("browser firefox"), "Browser: firefox");
    EXPECT_EQ(server.Command("nonsense"), "unknown command \"nonsense\"; type help");
    EXPECT_EQ(server.Command("save"),
              "Settings saved to " + (folder.root() / "appserver.svb").string());
    server.process().WriteInput("quit\n");
    EXPECT_EQ(server.process().Wait(seconds(60)), 0);
  }
  EXPECT_EQ(read_file(folder.root() / "appserver.svb"),
            "[Main]\nParameters=lang=en&x=1\nDebugInfo=1\nSSL=1\nBrowser=3\nRunInTray=1\n"
            "RunMinimized=0\n[HTTP]\nSpeedLimit=64000\n");

  Server again(folder);
  ASSERT_NE(again.port(), 0);
  again.process().WriteInput("status\n");
  std::vector<std::string> status;
  for (int i = 0; i < 8; ++i) {
    status.push_back(again.process().ReadLine(seconds(20)).value_or("(none)"));
  }
  EXPECT_EQ(status, (std::vector<std::string>{
                        "Active Sessions: 0",
                        "Sent: 0 bytes",
                        "Start URL: https://127.0.0.1:0/$/start?lang=en&x=1",
                        "Speed Simulation: 64 kbps",
                        "Debug Log: on",
                        "Use SSL: on",
                        "Browser: firefox",
                        "Runtime parameters: lang=en&x=1",
                    }));
  EXPECT_EQ(again.Stop(), 0);
}

std::vector<std::string> folder_entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    names.push_back(entry.path().string());
  }
  return names;
}

TEST(AppServer, SigtermEndsCleanlyAndLeavesNoTemporaryFiles) {
  AppFolder folder;
  Server server(folder);
  ASSERT_NE(server.port(), 0);
  // Sessions and a reply large enough to pass through a temporary file.
  Client client(server.port());
  client.Call("Add", "{}");
  const std::string big(100000, 'x');
  const ParsedResponse r = client.Call("Add", R"({"Info":")" + big + "\"}");
  EXPECT_TRUE(r.body.ends_with(big + "\"}")) << r.body.substr(0, 200);
  EXPECT_GT(r.body.size(), 2 * big.size());
  server.process().WriteInput("status\n");
  EXPECT_EQ(server.process().ReadLine(seconds(20)), "Active Sessions: 1");
  EXPECT_FALSE(folder_entries(folder.temp()).empty());

  EXPECT_EQ(server.Stop(), 0);
  EXPECT_EQ(folder_entries(folder.temp()), std::vector<std::string>{});
}

TEST(AppServer, KeepsServingWhenStandardInputEnds) {
  AppFolder folder;
  Server server(folder);
  ASSERT_NE(server.port(), 0);
  server.process().CloseInput();
  Client client(server.port());
  client.Call("Add", R"({"A":1,"B":2})");
  EXPECT_EQ(client.Call("Add", R"({"A":1,"B":2})").body,
            envelope("Add", R"({"A":1,"B":2})", R"({"Result":3,"Info":""})"));
  EXPECT_TRUE(server.process().Running());
  EXPECT_EQ(server.Stop(), 0);
}

// A browser at the program's root: the start page, StartCheck, the post and the redirect, then
// the status page, its scripts running without a console message. The screenshot stays in the
// build folder for people to look at.
TEST(AppServer, ABrowserAtTheRootEndsOnTheStatusPage) {
  if (!render::testing::ChromiumInstalled()) {
    GTEST_SKIP() << "chromium is not installed (Debian package chromium); the browser test "
                    "needs it";
  }
  AppFolder folder;
  Server server(folder);
  ASSERT_NE(server.port(), 0);
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
  const std::string dir = (folder.root() / "browser").string();
  fs::create_directories(dir);

  const render::testing::BrowserRun run = render::testing::RunChromium(url, "--dump-dom", dir);
  ASSERT_EQ(run.status, 0) << run.log;
  EXPECT_NE(run.output.find("<span class=\"SVLABEL1CSS\" id=\"SVLABEL1\">AppService Server Is "
                            "Running...</span>"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("<input type=\"hidden\" name=\"SV_FormClass\" value=\"TSvForm2\">"),
            std::string::npos);
  // The locker was released by the page's start-up procedure.
  EXPECT_NE(run.output.find("<div id=\"SVLocker\" aria-busy=\"true\" class=\"\">"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(render::testing::ConsoleProblems(run.log, url), std::vector<std::string>{}) << run.log;

  const std::string shot = std::string(APPSRV_BUILD_DIR) + "/appserver_status_page.png";
  fs::remove(shot);
  const render::testing::BrowserRun pictured =
      render::testing::RunChromium(url, "--screenshot=" + shot, dir);
  EXPECT_EQ(pictured.status, 0) << pictured.log;
  EXPECT_TRUE(fs::exists(shot)) << pictured.log;
  EXPECT_EQ(render::testing::ConsoleProblems(pictured.log, url), std::vector<std::string>{})
      << pictured.log;
  EXPECT_EQ(server.Stop(), 0) << server.output();
}

}  // namespace
}  // namespace appsrv::testing
