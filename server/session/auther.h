// HTTP Basic authentication: the authenticator the controller may hold, and whether it is on.
#pragma once

#include <functional>
#include <string>

namespace appsrv::server {

class TSvServerControllerBase;

enum class TAuthPolicy { apRestrictAll, apRestrictNone };

// Checks user names and passwords for the pipeline. Shared by every worker thread: Check and
// OnAuthenticate must be thread-safe. The application owns it; the controller only points to it.
class TSvAutherBase {
 public:
  TSvAutherBase() = default;
  TSvAutherBase(const TSvAutherBase&) = delete;
  TSvAutherBase& operator=(const TSvAutherBase&) = delete;
  virtual ~TSvAutherBase() = default;

  // True when the pair is accepted.
  virtual bool Check(const std::string& aUser, const std::string& aPassword) = 0;

  TAuthPolicy AuthPolicy = TAuthPolicy::apRestrictAll;
  // Told the outcome of every check.
  std::function<void(const std::string& aUser, bool aSuccess)> OnAuthenticate;
};

// An authenticator is assigned and its policy restricts something.
bool AuthActive(const TSvServerControllerBase& controller);

}  // namespace appsrv::server
