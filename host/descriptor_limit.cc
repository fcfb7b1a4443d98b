#include "host/descriptor_limit.h"

#include <sys/resource.h>

#include <cerrno>

#include "base/exception.h"

namespace appsrv::host {
namespace {

std::string limit_text(uint64_t value) {
  return value == static_cast<uint64_t>(RLIM_INFINITY) ? "unlimited" : std::to_string(value);
}

}  // namespace

DescriptorLimit raise_descriptor_limit() {
  DescriptorLimit out;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    out.error = errno;
    return out;
  }
  out.soft_before = out.soft = limit.rlim_cur;
  out.hard = limit.rlim_max;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) {
      out.soft = limit.rlim_cur;
    } else {
      out.error = errno;
    }
  }
  return out;
}

const DescriptorLimit& RaiseDescriptorLimit() {
  static const DescriptorLimit raised = raise_descriptor_limit();
  return raised;
}

std::string DescriptorLimitLine(const DescriptorLimit& limit) {
  std::string line =
      "Open file limit: " + limit_text(limit.soft) + " (hard limit " + limit_text(limit.hard);
  if (limit.error != 0) {
    line += ", not raised: " + base::errno_text(limit.error);
  } else if (limit.soft != limit.soft_before) {
    line += ", raised from " + limit_text(limit.soft_before);
  }
  return line + ")";
}

}  // namespace appsrv::host
