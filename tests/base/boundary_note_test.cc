#include "base/boundary_note.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "base/exception.h"
#include "base/metrics.h"

namespace appsrv::base {
namespace {

template <typename Thrown>
std::exception_ptr caught(Thrown thrown) {
  try {
    throw thrown;
  } catch (...) {
    return std::current_exception();
  }
}

TEST(BoundaryNote, NamesTheBoundaryTheClassAndTheMessage) {
  EXPECT_EQ(describe_caught("timeout pass", caught(std::runtime_error("disk full"))),
            "timeout pass: runtime_error: disk full");
  EXPECT_EQ(describe_caught("timeout pass", caught(Exception("no table"))),
            "timeout pass: Exception: no table");
  EXPECT_EQ(describe_caught("timeout pass", caught(42)), "timeout pass: unknown exception");
}

TEST(BoundaryNote, EveryFailureCountsAndOneLineStandsForThoseInItsInterval) {
  LogThrottle throttle(std::chrono::hours(1));
  const uint64_t before = metrics().boundary_failures.value();
  testing::internal::CaptureStderr();
  note_caught("idle pass", throttle, caught(std::runtime_error("first")));
  note_caught("idle pass", throttle, caught(std::runtime_error("second")));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "idle pass: runtime_error: first (1 time(s) since the last note)\n");
  EXPECT_EQ(metrics().boundary_failures.value() - before, 2u);
}

}  // namespace
}  // namespace appsrv::base
