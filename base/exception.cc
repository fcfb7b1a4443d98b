#include "base/exception.h"

#include <cerrno>
#include <cstring>

namespace appsrv::base {

std::string errno_text(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return text;
}

void throw_errno(std::string_view call) {
  const int err = errno;
  throw Exception(std::string(call) + ": " + errno_text(err));
}

}  // namespace appsrv::base
