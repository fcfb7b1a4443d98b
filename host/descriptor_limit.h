// The process's limit on open file descriptors. Every session whose database connection is
// open holds two (the database and its WAL) and every connection being served one, so the soft
// limit (often 1 024) is raised at start to the hard one, which the service manager sets.
#pragma once

#include <cstdint>
#include <string>

namespace appsrv::host {

struct DescriptorLimit {
  uint64_t soft_before = 0;  // the soft limit the process started with
  uint64_t soft = 0;         // the soft limit now
  uint64_t hard = 0;
  int error = 0;  // errno of a raise that failed, else 0
};

// Raises the soft limit to the hard one and says what it found and set.
DescriptorLimit raise_descriptor_limit();
// The same, done once per process: later calls return the first result.
const DescriptorLimit& RaiseDescriptorLimit();

// The log line at start: "Open file limit: 20000 (hard limit 20000, raised from 1024)".
std::string DescriptorLimitLine(const DescriptorLimit& limit);

}  // namespace appsrv::host
