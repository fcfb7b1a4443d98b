// The root of every failure the system raises: an exception that carries its message text.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace appsrv::base {

// Every exception class of the system derives from this one, so that boundaries can catch
// one type and report `what()` as the message.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  explicit Exception(const char* message) : std::runtime_error(message) {}
};

// Marks a failure caused by a passing shortage of what the process may hold (open file
// descriptors): the same request can succeed once some are free again, so it is answered with
// "503 Service Unavailable" and not reported as a fault. Mixed into an exception class beside
// its Exception base; found with dynamic_cast.
class ResourceShortage {
 public:
  virtual ~ResourceShortage() = default;
};

// Text of errno value `err`, thread-safe.
std::string errno_text(int err);

// Throws Exception("<call>: <strerror(errno)>").
[[noreturn]] void throw_errno(std::string_view call);

}  // namespace appsrv::base
