// What a catch-all at a boundary (a thread's loop, a destructor, a handler the caller cannot
// fail) does with what it caught: one throttled line on standard error per boundary and a count
// in metrics().boundary_failures, so that a failure that keeps coming back is seen.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "base/log_throttle.h"

namespace appsrv::base {

// The class name of an exception object without namespaces, as "ESvException".
std::string exception_class_name(const std::exception& e);

// "<where>: <class>: <message>"; "<where>: unknown exception" for what is not a std::exception.
std::string describe_caught(std::string_view where, const std::exception_ptr& caught);

// Counts `caught` and, when `throttle` lets a line through, writes describe_caught on standard
// error with how many failures the line stands for. One throttle per boundary, kept as long as
// the boundary. Thread-safe; never throws.
void note_caught(std::string_view where, LogThrottle& throttle,
                 const std::exception_ptr& caught = std::current_exception()) noexcept;

}  // namespace appsrv::base
