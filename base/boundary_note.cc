#include "base/boundary_note.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "base/metrics.h"

namespace appsrv::base {

std::string exception_class_name(const std::exception& e) {
  const char* mangled = typeid(e).name();
  int status = 0;
  const std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
  std::string name = status == 0 && demangled ? demangled.get() : mangled;
  if (const size_t colons = name.rfind("::"); colons != std::string::npos) {
    name.erase(0, colons + 2);
  }
  return name;
}

std::string describe_caught(std::string_view where, const std::exception_ptr& caught) {
  std::string text(where);
  try {
    std::rethrow_exception(caught);
  } catch (const std::exception& e) {
    text += ": " + exception_class_name(e) + ": " + e.what();
  } catch (...) {  // what is described here was caught at the boundary already
    text += ": unknown exception";
  }
  return text;
}

void note_caught(std::string_view where, LogThrottle& throttle,
                 const std::exception_ptr& caught) noexcept {
  // Counted last, so that whoever sees the count also finds the line.
  try {
    if (const std::optional<uint64_t> failures = throttle.due()) {
      const std::string line = describe_caught(where, caught);
      std::fprintf(stderr, "%s (%llu time(s) since the last note)\n", line.c_str(),
                   static_cast<unsigned long long>(*failures));
      std::fflush(stderr);
    }
  } catch (...) {  // out of memory for the line: the count below still tells
  }
  metrics().boundary_failures.add();
}

}  // namespace appsrv::base
