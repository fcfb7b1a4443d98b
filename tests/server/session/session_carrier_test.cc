#include "server/session/session_carrier.h"

#include <gtest/gtest.h>

namespace appsrv::server {
namespace {

TEST(SessionCarrierTest, SplitsIdentifierAndTrack) {
  struct Case {
    std::string_view carrier;
    std::string_view app_id;
    int64_t track_id;
  };
  // clang-format off
  constexpr Case kCases[] = {
      {"",                           "",                       -1},
      {"abcDEF0123~-abcdefghij",     "abcDEF0123~-abcdefghij", -1},
      {"abcDEF0123~-abcdefghij_1",   "abcDEF0123~-abcdefghij",  1},
      {"abc_z",                      "abc",                    35},
      {"abc_10",                     "abc",                    36},
      {"abc_Z",                      "abc",                    35},
      {"abc_",                       "abc",                     0},
      {"abc_!",                      "abc",                    -1},
      {"abc_2_3",                    "abc",                     2},
      {"_5",                         "",                        5},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.carrier);
    const SessionCarrier got = parse_session_carrier(c.carrier);
    EXPECT_EQ(got.app_id, c.app_id);
    EXPECT_EQ(got.track_id, c.track_id);
  }
}

TEST(SessionCarrierTest, SegmentBeforeTheFrameworkPath) {
  struct Case {
    std::string_view path;
    std::string_view want;
  };
  // clang-format off
  constexpr Case kCases[] = {
      {"/abc/$/callback",     "abc"},
      {"/app/abc/$/x/$/y",    "abc"},
      {"/$/ping",             ""},
      {"/abc/def",            ""},
      {"//$/x",               ""},
      {"abc/$/x",             ""},
  };
  // clang-format on
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(session_segment_of_path(c.path), c.want);
  }
}

}  // namespace
}  // namespace appsrv::server
