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

// Text of errno value `err`, thread-safe.
std::string errno_text(int err);

// Throws Exception("<call>: <strerror(errno)>").
[[noreturn]] void throw_errno(std::string_view call);

}  // namespace appsrv::base
