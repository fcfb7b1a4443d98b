#include "host/startup_report.h"

namespace appsrv::host {

std::vector<StartupLine> StartupReport(const server::TSvServerControllerBase& controller) {
  std::vector<StartupLine> lines;
  for (const std::string& warning : controller.SettingsWarnings()) {
    lines.push_back({true, "Warning: " + warning});
  }
  if (!controller.HasReadinessProbe()) {
    return lines;
  }
  const server::ReadinessReport report = controller.CheckReadiness();
  if (!report.what.empty()) {
    lines.push_back({false, report.what});
  }
  // The server starts all the same: the database may come later, and "/$/ready" tells a
  // balancer when it has.
  if (report.failure) {
    lines.push_back({true, "Warning: not ready: " + *report.failure});
  }
  return lines;
}

}  // namespace appsrv::host
