// Service mode under systemd: installs or removes the program's unit, or, when systemd started
// the process, runs the transport host on a worker thread until systemd stops it, reporting
// ready and stopping through sd_notify and its log lines on standard error (the journal).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "host/close_signals.h"
#include "host/service_thread.h"
#include "host/standalone_server.h"

namespace appsrv::host {

// Created and run on the main thread.
class TSvServiceModule {
 public:
  // "INSTALL" or "UNINSTALL" (with "SILENT") installs or removes the unit; otherwise serves
  // while systemd wants it, or, when systemd did not start the process, says why and tells
  // the application to end. True when the process installed, uninstalled or ran as a service
  // and no window may open. Sets a non-zero exit code for every failure.
  static bool ServiceInit(const std::string& ADisplayName, const std::string& AServiceName,
                          const HttpHostClass& AServiceClass, const std::string& ADescription);

  TSvServiceModule(std::string name, std::string display_name, std::string description,
                   HttpHostClass service_class);
  TSvServiceModule(const TSvServiceModule&) = delete;
  TSvServiceModule& operator=(const TSvServiceModule&) = delete;

  // Writes or removes the unit in service_unit_folder(); reports on standard output.
  void RegisterServices(bool install, bool silent);
  // Returns when systemd stopped the service (SIGTERM or SIGINT) or the transport host could
  // not be created, with the host freed.
  void Run();

  bool mStartTried = false;

 private:
  void ServiceStart();
  void ServiceStop();
  // On the worker thread.
  void ReportRunning(TransportHost& host);
  void ReportFailed(const std::string& message);

  std::string name_;
  std::string display_name_;
  std::string description_;
  HttpHostClass FServiceComponentClass;
  WakePipe wake_;
  std::atomic<bool> failed_{false};
  std::unique_ptr<TSvServiceThread> FRunThread;  // declared last: its thread uses the above
};

}  // namespace appsrv::host
