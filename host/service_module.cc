#include "host/service_module.h"

#include <poll.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "base/exception.h"
#include "base/files.h"
#include "host/app_log.h"
#include "host/application_state.h"
#include "host/command_line.h"
#include "host/descriptor_limit.h"
#include "host/service_unit.h"
#include "host/startup_report.h"
#include "server/session/server_controller.h"

namespace appsrv::host {
namespace {

constexpr char kStopMessage = 'S';
constexpr char kFailedMessage = 'F';

// One line for the journal, which reads the "<N>" priority prefix (SD_INFO, SD_ERR, ...).
void journal_line(const char* priority, const std::string& text) {
  std::fprintf(stderr, "%s%s\n", priority, text.c_str());
  std::fflush(stderr);
}

void notify(const std::string& state) {
  if (const int rc = sd_notify(0, state.c_str()); rc < 0) {
    journal_line(SD_WARNING, "Cannot tell the service manager \"" + state +
                                 "\": " + base::errno_text(-rc));
  }
}

// The listeners' ports as the controller holds them once the host has opened them.
std::string serving_text(const TransportHost& host) {
  const server::TSvServerControllerBase* controller = server::ServerController();
  std::string text;
  if (host.HttpActive()) {
    text = "HTTP on port " + std::to_string(controller != nullptr ? controller->Port() : 0);
  }
  if (host.HttpsActive()) {
    text += (text.empty() ? "" : ", ") + std::string("HTTPS on port ") +
            std::to_string(controller != nullptr ? controller->SSLOptions().Port : 0);
  }
  return text;
}

}  // namespace

bool TSvServiceModule::ServiceInit(const std::string& ADisplayName,
                                   const std::string& AServiceName,
                                   const HttpHostClass& AServiceClass,
                                   const std::string& ADescription) {
  if (!AServiceClass) {
    return false;
  }
  const bool install = HasSwitch("INSTALL");
  const bool uninstall = HasSwitch("UNINSTALL");
  TSvServiceModule module(AServiceName, ADisplayName, ADescription, AServiceClass);
  if (install || uninstall) {
    module.RegisterServices(install, HasSwitch("SILENT"));
  } else {
    module.Run();
    TerminateApplication();
  }
  return install || uninstall || module.mStartTried;
}

TSvServiceModule::TSvServiceModule(std::string name, std::string display_name,
                                   std::string description, HttpHostClass service_class)
    : name_(std::move(name)),
      display_name_(std::move(display_name)),
      description_(std::move(description)),
      FServiceComponentClass(std::move(service_class)) {}

void TSvServiceModule::RegisterServices(bool install, bool silent) {
  InstallOutcome outcome;
  try {
    if (install) {
      outcome = install_service_unit(service_unit_folder(),
                                     {name_, description_,
                                      base::executable_folder() + base::executable_file_name(),
                                      base::executable_folder()});
    } else {
      uninstall_service_unit(service_unit_folder(), name_);
    }
  } catch (const std::exception& e) {
    std::printf("Service \"%s\" failed to %s with error: \"%s\"\n", display_name_.c_str(),
                install ? "install" : "uninstall", e.what());
    std::fflush(stdout);
    SetExitCode(1);
    return;
  }
  if (outcome.account_prepared && !silent) {
    std::printf("Service \"%s\" runs as user \"%s\", which owns %s and its data.\n",
                display_name_.c_str(), service_user_name(name_).c_str(),
                base::executable_folder().c_str());
  }
  // Without a running systemd (a container, an image being built) the unit is in place and
  // systemd reads it when it starts: the install did its part, and the status stays 0.
  if (outcome.account_prepared && !outcome.systemd_reloaded) {
    std::printf("Wrote %s, but could not reload systemd: it is not running here (no "
                "/run/systemd/system). It reads the unit when it starts.\n",
                outcome.path.c_str());
  }
  if (!silent) {
    std::puts(install ? "Service installed successfully" : "Service uninstalled successfully");
  }
  std::fflush(stdout);
}

void TSvServiceModule::Run() {
  const char* notify_socket = std::getenv("NOTIFY_SOCKET");
  if (notify_socket == nullptr || *notify_socket == '\0') {
    // What the system's event log gets when a service program is started by hand.
    const std::string why = "Service \"" + display_name_ +
                            "\" was not started by the service manager (NOTIFY_SOCKET is not "
                            "set), so it does not serve. Start it with \"systemctl start " +
                            name_ + "\", or run the program with -GUI to serve in the console.";
    ::syslog(LOG_ERR, "%s", why.c_str());
    std::fprintf(stderr, "%s\n", why.c_str());
    std::fflush(stderr);
    SetExitCode(1);
    return;
  }

  const CloseSignals signals(wake_.write_fd(), kStopMessage);
  ServiceStart();
  bool stop = false;
  bool failed = false;
  while (!stop && !failed) {
    pollfd fd{wake_.read_fd(), POLLIN, 0};
    if (::poll(&fd, 1, -1) < 0 && errno != EINTR) {
      base::throw_errno("poll");
    }
    char messages[16];
    ssize_t got = 0;
    while ((got = ::read(wake_.read_fd(), messages, sizeof messages)) > 0) {
      for (ssize_t i = 0; i < got; ++i) {
        failed = failed || messages[i] == kFailedMessage;
      }
    }
    // The signal's byte is only the wake-up; the request is the flag.
    stop = signals.Requested();
  }
  if (stop) {
    ServiceStop();
  }
  FRunThread->WaitFor();
  if (failed_.load()) {
    // Ending with a failure lets systemd report it, instead of a service that looks running
    // without listeners. Listeners that cannot open (a port in use, a certificate that cannot
    // be read) are the settings' fault: the unit does not restart on this status.
    SetExitCode(kConfigurationExitCode);
  } else {
    journal_line(SD_INFO, "Stopped.");
  }
}

void TSvServiceModule::ServiceStart() {
  mStartTried = true;
  journal_line(SD_INFO, "Starting " + display_name_ + ".");
  journal_line(SD_INFO, DescriptorLimitLine(RaiseDescriptorLimit()));
  if (const server::TSvServerControllerBase* controller = server::ServerController()) {
    for (const StartupLine& line : StartupReport(*controller)) {
      journal_line(line.warning ? SD_WARNING : SD_INFO, line.text);
    }
  }
  FRunThread = std::make_unique<TSvServiceThread>(FServiceComponentClass);
  FRunThread->OnRunning = [this](TransportHost& host) { ReportRunning(host); };
  FRunThread->OnFailed = [this](const std::string& message) { ReportFailed(message); };
  FRunThread->Start();
}

void TSvServiceModule::ServiceStop() {
  notify("STOPPING=1");
  journal_line(SD_INFO, "Stopping.");
  FRunThread->Terminate();
}

void TSvServiceModule::ReportRunning(TransportHost& host) {
  const std::string serving = serving_text(host);
  if (serving.empty()) {
    throw base::Exception("No listener is active.");
  }
  journal_line(SD_INFO, "Serving " + serving + ".");
  // Only now: systemd counts the service as started when it reads READY.
  notify("READY=1\nSTATUS=Serving " + serving);
}

void TSvServiceModule::ReportFailed(const std::string& message) {
  const std::string line = "Error: " + message;
  journal_line(SD_ERR, line);
  notify("STATUS=" + line);
  try {
    AppendApplicationLog(line, "log");
  } catch (const std::exception& e) {
    journal_line(SD_ERR, std::string("Cannot write the application log: ") + e.what());
  }
  failed_.store(true);
  wake_.Post(kFailedMessage);
}

}  // namespace appsrv::host
