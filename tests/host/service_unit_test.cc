#include "host/service_unit.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/files.h"
#include "tests/host/host_test_support.h"

namespace appsrv::host {
namespace {

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const base::Exception& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(ServiceUnit, TextForAnApplicationFolder) {
  const ServiceUnit unit{"MyApp", "My Corvane Application", "/opt/myapp/appserver-service",
                         "/opt/myapp/"};
  EXPECT_EQ(service_unit_text(unit),
            "[Unit]\n"
            "Description=My Corvane Application\n"
            "After=network.target\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "ExecStart=\"/opt/myapp/appserver-service\"\n"
            "WorkingDirectory=/opt/myapp\n"
            "User=myapp\n"
            "Restart=on-failure\n"
            "RestartSec=5\n"
            "RestartPreventExitStatus=78\n"
            "LimitNOFILE=65536\n"
            "NoNewPrivileges=yes\n"
            "ProtectSystem=strict\n"
            "ReadWritePaths=\"/opt/myapp\"\n"
            "PrivateTmp=yes\n"
            "StandardOutput=journal\n"
            "StandardError=journal\n"
            "SyslogIdentifier=MyApp\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");
}

// The unit kept in deploy/ is the one INSTALL writes for a program in /opt/appserver/.
TEST(ServiceUnit, TheDeployedUnitIsTheInstalledOne) {
  EXPECT_EQ(base::read_file(std::string(APPSRV_SOURCE_DIR) + "deploy/MyApp.service"),
            service_unit_text({"MyApp", "My Corvane Application",
                               "/opt/appserver/appserver-service", "/opt/appserver/"}));
}

// Blanks, quotes, backslashes, "%" specifiers and "$" variables must reach systemd as the
// characters they are.
TEST(ServiceUnit, EscapesWhatSystemdWouldReadOtherwise) {
  struct Case {
    const char* description;
    const char* folder;
    const char* want_description;
    const char* want_exec_start;
    const char* want_working_directory;
    const char* want_read_write;
  };
  const Case cases[] = {
      {"100% sure", "/srv/my app/", "100%% sure", R"("/srv/my app/prog")", "/srv/my app",
       R"("/srv/my app")"},
      {"two\nlines\\", "/srv/a\"b\\c", "two lines", R"("/srv/a\"b\\c/prog")", "/srv/a\"b\\c",
       R"("/srv/a\"b\\c")"},
      {"costs $5", "/srv/$HOME%i", "costs $5", R"("/srv/$$HOME%%i/prog")", "/srv/$HOME%%i",
       R"("/srv/$HOME%%i")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    const std::string folder = base::include_trailing_slash(c.folder);
    const std::string text = service_unit_text({"App", c.description, folder + "prog", folder});
    EXPECT_NE(text.find(std::string("\nDescription=") + c.want_description + "\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(std::string("\nExecStart=") + c.want_exec_start + "\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(std::string("\nWorkingDirectory=") + c.want_working_directory + "\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(std::string("\nReadWritePaths=") + c.want_read_write + "\n"),
              std::string::npos)
        << text;
  }
}

TEST(ServiceUnit, RefusesNamesAndPathsSystemdCannotTake) {
  const std::string bad_name_tail =
      " cannot name a systemd unit: use letters, digits, \":\", \"-\", \"_\" and \".\".";
  struct Case {
    ServiceUnit unit;
    std::string error;
  };
  const Case cases[] = {
      {{"", "d", "/a/p", "/a"}, "\"\"" + bad_name_tail},
      {{"My App", "d", "/a/p", "/a"}, "\"My App\"" + bad_name_tail},
      {{"a/b", "d", "/a/p", "/a"}, "\"a/b\"" + bad_name_tail},
      {{"x@y", "d", "/a/p", "/a"}, "\"x@y\"" + bad_name_tail},
      {{std::string(248, 'n'), "d", "/a/p", "/a"}, "\"" + std::string(248, 'n') + "\"" +
                                                       bad_name_tail},
      {{"App", "d", "prog", "/a"},
       "The program \"prog\" is not an absolute path without control characters."},
      {{"App", "d", "/a/p", "/a\nb"},
       "The folder \"/a\nb\" is not an absolute path without control characters."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.unit.name + " " + c.unit.folder);
    EXPECT_EQ(error_of([&] { service_unit_text(c.unit); }), c.error);
  }
  // Every character a name may hold, and the longest name systemd takes with ".service".
  EXPECT_EQ(error_of([] { check_unit_name("aZ:0-9_."); }), "(no error)");
  EXPECT_EQ(error_of([] { check_unit_name(std::string(247, 'n')); }), "(no error)");
}

TEST(ServiceUnit, UserNamesAreOnesUseraddTakes) {
  struct Case {
    const char* unit;
    const char* user;
  };
  const Case cases[] = {
      {"MyApp", "myapp"},
      {"my.app:x_1-2", "my-app-x_1-2"},
      {"9lives", "app-9lives"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghij", "abcdefghijklmnopqrstuvwxyzabcdef"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.unit);
    EXPECT_EQ(service_user_name(c.unit), c.user);
  }
}

// The service's account owns its folder and what it writes there, never its programs (a
// compromised service could otherwise replace the program root starts) nor the content.
TEST(ServiceUnit, AccountCommandsCreateTheUserOnceAndGiveItTheData) {
  testing::TempFolder temp;
  const std::string folder = temp.tmp();
  for (const char* file : {"TEST.mdb", "port.ini", "-odd"}) {
    base::write_file(folder + file, "");
  }
  for (const char* program : {"appserver", "appserver-service"}) {
    base::write_file(folder + program, "");
    ::chmod((folder + program).c_str(), 0755);
  }
  std::filesystem::create_directories(folder + "ErrorLog/x");
  std::filesystem::create_directories(folder + "wwwroot");
  std::filesystem::create_symlink("/etc", folder + "link");
  const std::vector<std::string> data = service_data_entries(folder);
  EXPECT_EQ(data, (std::vector<std::string>{"-odd", "ErrorLog", "TEST.mdb", "port.ini"}));

  const ServiceUnit unit{"MyApp", "My app", folder + "appserver-service", folder};
  const std::string dir = base::exclude_trailing_slash(folder);
  using Commands = std::vector<std::vector<std::string>>;
  const Commands chowns = {
      {"chown", "myapp:", "--", dir},
      {"chown", "-R", "myapp:", "--", dir + "/-odd"},
      {"chown", "-R", "myapp:", "--", dir + "/ErrorLog"},
      {"chown", "-R", "myapp:", "--", dir + "/TEST.mdb"},
      {"chown", "-R", "myapp:", "--", dir + "/port.ini"},
  };
  EXPECT_EQ(service_account_commands(unit, true, data), chowns);
  Commands with_user = {{"useradd", "--system", "--user-group", "--no-create-home", "--home-dir",
                         dir, "--shell", "/usr/sbin/nologin", "--comment", "My app", "myapp"}};
  with_user.insert(with_user.end(), chowns.begin(), chowns.end());
  EXPECT_EQ(service_account_commands(unit, false, data), with_user);
}

TEST(ServiceUnit, FolderComesFromTheEnvironmentWhenSet) {
  ::unsetenv("APPSRV_UNIT_FOLDER");
  EXPECT_EQ(service_unit_folder(), "/etc/systemd/system/");
  ::setenv("APPSRV_UNIT_FOLDER", "/tmp/units", 1);
  EXPECT_EQ(service_unit_folder(), "/tmp/units/");
  ::unsetenv("APPSRV_UNIT_FOLDER");
}

TEST(ServiceUnit, InstallWritesOnceAndUninstallRemovesOnce) {
  testing::TempFolder temp;
  const std::string folder = temp.tmp();
  const std::string path = folder + "App.service";
  const ServiceUnit unit{"App", "An app", "/a/p", "/a"};

  // Outside the system's unit folder only the file is written: no account, no reload.
  const InstallOutcome outcome = install_service_unit(folder, unit);
  EXPECT_EQ(outcome.path, path);
  EXPECT_FALSE(outcome.account_prepared);
  EXPECT_FALSE(outcome.systemd_reloaded);
  EXPECT_EQ(base::read_file(path), service_unit_text(unit));
  // An existing unit is the operator's: it is not overwritten.
  EXPECT_EQ(error_of([&] { install_service_unit(folder, {"App", "other", "/b/p", "/b"}); }),
            "The unit file " + path + " exists already.");
  EXPECT_EQ(base::read_file(path), service_unit_text(unit));

  uninstall_service_unit(folder, "App");
  EXPECT_FALSE(base::file_exists(path));
  EXPECT_EQ(error_of([&] { uninstall_service_unit(folder, "App"); }),
            "The unit file " + path + " does not exist.");

  EXPECT_EQ(error_of([&] { install_service_unit(folder + "missing/", unit); }),
            folder + "missing/App.service: No such file or directory");
  EXPECT_EQ(error_of([&] { install_service_unit(folder, {"My App", "", "/a/p", "/a"}); }),
            "\"My App\" cannot name a systemd unit: use letters, digits, \":\", \"-\", \"_\" "
            "and \".\".");
}

}  // namespace
}  // namespace appsrv::host
