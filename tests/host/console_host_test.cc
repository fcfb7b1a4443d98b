#include "host/console_host.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/exception.h"
#include "base/files.h"
#include "base/metrics.h"
#include "base/text.h"
#include "host/command_line.h"
#include "host/status_figures.h"
#include "server/session/session.h"
#include "server/session/session_list.h"
#include "tests/host/host_test_support.h"

namespace appsrv::host {
namespace {

using testing::ProcessController;

// A transport host with an active HTTP listener and nothing behind it.
class IdleHost : public TransportHost {
 public:
  bool HttpActive() const override { return true; }
  bool HttpsActive() const override { return false; }
  void SetBitsPerSec(int32_t v) override { bits_per_sec = v; }
  void SetUseServerIntercept(bool) override {}
  static inline int32_t bits_per_sec = -1;
};

// The console host over a pipe for its input and a memory stream for its output.
class ConsoleHost : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::pipe(input_), 0);
    output_ = open_memstream(&output_text_, &output_size_);
    settings_path_ = controller_.folder().app() + "appserver.svb";
  }
  void TearDown() override {
    form_.reset();
    std::fclose(output_);
    std::free(output_text_);
    ::close(input_[0]);
    if (input_[1] >= 0) {
      ::close(input_[1]);
    }
  }

  TFormSvMain& form() {
    if (!form_) {
      form_ = std::make_unique<TFormSvMain>(ConsoleStreams{input_[0], output_, settings_path_});
      form_->Start([] { return std::make_unique<IdleHost>(); });
    }
    return *form_;
  }
  // Runs the message loop over `input`, which ends with the input closed.
  std::vector<std::string> run(const std::string& input) {
    TFormSvMain& f = form();
    EXPECT_EQ(::write(input_[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(input_[1]);
    input_[1] = -1;
    f.RunMessageLoop();
    std::fflush(output_);
    std::vector<std::string> lines = base::split(std::string(output_text_, output_size_), '\n');
    lines.pop_back();
    return lines;
  }
  void new_session() {
    base::NameValueList params;
    server::SessionRequestInfo info;
    info.client_ip = "127.0.0.1";
    info.user_agent = "Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0";
    info.params = &params;
    info.content_fields = &params;
    server::TSvApplication* s = controller_->Sessions().CreateSession(info, "", "");
    controller_->Sessions().Release(*s);
  }

  ProcessController controller_{"[PORTS]\nPort=8888\n"};
  int input_[2] = {-1, -1};
  char* output_text_ = nullptr;
  size_t output_size_ = 0;
  FILE* output_ = nullptr;
  std::string settings_path_;
  std::unique_ptr<TFormSvMain> form_;
};

TEST_F(ConsoleHost, CommandsChangeTheServerAndSaveTheSettings) {
  base::write_file(settings_path_, "[Main]\nStartBrowser=0\nRunInTray=0\n[Other]\nKeep=me\n");
  form();
  new_session();
  new_session();
  const std::vector<std::string> all =
      run("status\ndebug on\nssl on\nspeed 100000\nparams a=1&b=2\nbrowser chrome\n"
          "bogus\nreset-sessions\nurl\nsave\nquit\nstatus\n");
  // The server's figures close the status; they are the process's, which other tests move.
  const std::vector<std::string> figures = FiguresInWords(base::ServerMetrics{}, 0);
  std::vector<std::string> lines;
  std::vector<std::string> figure_lines;
  for (const std::string& line : all) {
    const bool figure = std::any_of(figures.begin(), figures.end(), [&](const std::string& f) {
      return line.starts_with(f.substr(0, f.find(':') + 1));
    });
    (figure ? figure_lines : lines).push_back(line);
  }
  ASSERT_EQ(figure_lines.size(), figures.size());
  EXPECT_TRUE(figure_lines[4].starts_with("Sessions: 2 live,")) << figure_lines[4];
  const std::vector<std::string> want = {
      "HTTP Server is active on port: 8888",
      "---------------------",
      "Active Sessions: 2",
      "Sent: 0 bytes",
      "Start URL: http://127.0.0.1:8888/$/start",
      "Speed Simulation: None",
      "Debug Log: off",
      "Use SSL: off",
      "Browser: default",
      "Runtime parameters: ",
      "Debug Log: on",
      "Use SSL: on",
      "Speed Simulation: Custom... (100 kbps)",
      "Runtime parameters: a=1&b=2",
      "Browser: chrome",
      "unknown command \"bogus\"; type help",
      "Active Sessions: 0",
      "https://127.0.0.1:0/$/start?a=1&b=2",
      "Settings saved to " + settings_path_,
  };
  EXPECT_EQ(lines, want);
  EXPECT_EQ(IdleHost::bits_per_sec, 100000);
  EXPECT_EQ(controller_->Sessions().GetCount(), 0);
  EXPECT_EQ(base::read_file(settings_path_),
            "[Main]\nStartBrowser=0\nRunInTray=0\nParameters=a=1&b=2\nDebugInfo=1\nSSL=1\n"
            "Browser=4\nRunMinimized=0\n[Other]\nKeep=me\n[HTTP]\nSpeedLimit=100000\n");
}

TEST_F(ConsoleHost, StoredSettingsApplyAtStart) {
  base::write_file(settings_path_,
                   "[Main]\nParameters=x=1\nSSL=1\nBrowser=9\n[HTTP]\nSpeedLimit=64000\n");
  TFormSvMain& f = form();
  EXPECT_EQ(f.server().Params(), "x=1");
  EXPECT_TRUE(f.server().RunSSL());
  EXPECT_EQ(f.server().RunIn(), TSvWebBrowser::wbDefault);
  // The stored limit reaches the connections once the listeners exist.
  EXPECT_EQ(IdleHost::bits_per_sec, 64000);
}

// A start that fails once the listeners exist (here the browser -LaunchBrowser asks for cannot
// be started) must leave them with the stored limit: the one "status" shows.
TEST_F(ConsoleHost, StoredSpeedHoldsWhenStartFailsAfterTheListenersOpened) {
  base::write_file(settings_path_, "[HTTP]\nSpeedLimit=64000\n");
  const char* argv[] = {"appserver", "-LaunchBrowser"};
  SetProgramArguments(2, argv);
  const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  ::setenv("PATH", "/nonexistent", 1);
  IdleHost::bits_per_sec = -1;
  form_ = std::make_unique<TFormSvMain>(ConsoleStreams{input_[0], output_, settings_path_});
  EXPECT_THROW(form_->Start([] { return std::make_unique<IdleHost>(); }), base::Exception);
  ::setenv("PATH", path.c_str(), 1);
  SetProgramArguments(0, nullptr);

  EXPECT_EQ(IdleHost::bits_per_sec, 64000);
  const std::vector<std::string> lines = run("status\nquit\n");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Speed Simulation: 64 kbps"), lines.end());
}

TEST_F(ConsoleHost, SigtermClosesItAndEndsTheSessions) {
  form();
  new_session();
  ::raise(SIGTERM);
  const std::vector<std::string> lines = run("");
  EXPECT_EQ(lines.size(), 2U);
  EXPECT_EQ(controller_->Sessions().GetCount(), 0);
  EXPECT_EQ(form().server().ActiveSessions(), 0);
}

// Ending many sessions at once ("reset-sessions") posts more events than the wake pipe holds
// before the loop reads any; a signal arriving then must still close the window.
TEST_F(ConsoleHost, SigtermClosesItWhenSessionEventsHaveFilledTheWakePipe) {
  TFormSvMain& f = form();
  // One byte each, more than the 65,536 a pipe holds by default.
  for (int i = 0; i < 70000; ++i) {
    f.server().OnNewSession();
  }
  ::raise(SIGTERM);
  // A lost signal would let the loop carry out "url" before "quit".
  const std::vector<std::string> lines = run("url\nquit\n");
  EXPECT_EQ(lines, (std::vector<std::string>{"HTTP Server is active on port: 8888",
                                             "---------------------"}));
}

}  // namespace
}  // namespace appsrv::host
