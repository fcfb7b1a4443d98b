#include "server/session/expired_session_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "server/session/session.h"

namespace appsrv::server {
namespace {

constexpr double kMinute = 1.0 / (24 * 60);

std::optional<std::string> params(TSvExpiredSessionList& list, const std::string& id) {
  return list.GetParams(id, /*remove=*/false);
}

TEST(ExpiredSessionListTest, ListsIdentifiersWithTheirRunParameters) {
  TSvExpiredSessionList list;
  EXPECT_FALSE(list.Contains("a"));
  EXPECT_EQ(params(list, "a"), std::nullopt);

  list.Add("a", "?x=1", 1.0);
  list.Add("b", "", 1.0);
  list.Add("a", "?x=2", 2.0);  // the first listing wins
  list.Add("", "?empty=id", 1.0);
  EXPECT_EQ(list.size(), 3u);
  EXPECT_TRUE(list.Contains("a"));
  EXPECT_FALSE(list.Contains("A"));  // identifiers are case-sensitive
  EXPECT_FALSE(list.Contains("ab"));
  EXPECT_EQ(params(list, "a"), "?x=1");
  EXPECT_EQ(params(list, "b"), "");
  EXPECT_EQ(params(list, ""), "?empty=id");

  EXPECT_EQ(list.GetParams("a", /*remove=*/true), "?x=1");
  EXPECT_FALSE(list.Contains("a"));
  EXPECT_EQ(list.GetParams("a", /*remove=*/true), std::nullopt);
  EXPECT_TRUE(list.Contains("b"));

  list.Clear();
  EXPECT_EQ(list.size(), 0u);
  EXPECT_FALSE(list.Contains("b"));
  EXPECT_EQ(list.allocated_bytes(), 0u);
}

// Removals in random order move entries around in the index and in the record array; every
// entry left must still be found with its own parameters, and no removed one.
TEST(ExpiredSessionListTest, RemovalsLeaveEveryOtherEntryFindable) {
  TSvExpiredSessionList list;
  std::map<std::string, std::string> model;
  for (int i = 0; i < 2000; ++i) {
    const std::string id = MakeSessionID();
    const std::string run_params = "?n=" + std::to_string(i);
    list.Add(id, run_params, 1.0);
    model.emplace(id, run_params);
  }
  std::vector<std::string> ids;
  for (const auto& [id, p] : model) {
    ids.push_back(id);
  }
  std::mt19937 random(7);
  std::shuffle(ids.begin(), ids.end(), random);

  for (size_t n = 0; n < ids.size(); ++n) {
    ASSERT_EQ(list.GetParams(ids[n], /*remove=*/true), model[ids[n]]) << n;
    model.erase(ids[n]);
    if (n % 97 == 0 || model.size() < 20) {
      ASSERT_EQ(list.size(), model.size());
      for (const auto& [id, p] : model) {
        ASSERT_EQ(params(list, id), p) << "after " << n + 1 << " removals";
      }
      for (size_t gone = 0; gone <= n; ++gone) {
        ASSERT_FALSE(list.Contains(ids[gone])) << "after " << n + 1 << " removals";
      }
    }
  }
  EXPECT_EQ(list.size(), 0u);
}

TEST(ExpiredSessionListTest, GivesBackWhatRemovedEntriesHeld) {
  TSvExpiredSessionList list;
  std::vector<std::string> ids;
  for (int i = 0; i < 1000; ++i) {
    ids.push_back(MakeSessionID());
    list.Add(ids.back(), "?Function=Add&Params=" + std::to_string(i), 1.0);
  }
  const size_t full = list.allocated_bytes();
  // Compact: a record and an index slot or two per entry besides its text.
  EXPECT_LT(full, 1000u * 160);
  for (int i = 0; i < 900; ++i) {
    list.GetParams(ids[i], /*remove=*/true);
  }
  EXPECT_LT(list.allocated_bytes(), full / 4);
  for (int i = 900; i < 1000; ++i) {
    EXPECT_EQ(params(list, ids[i]), "?Function=Add&Params=" + std::to_string(i));
  }
}

TEST(ExpiredSessionListTest, PruneDropsEntriesListedLongerAgo) {
  TSvExpiredSessionList list;
  const double now = 45000.0;
  list.Add("old", "?o", now - 241 * kMinute);
  list.Add("edge", "?e", now - 240 * kMinute);
  list.Add("new", "?n", now - 1 * kMinute);
  list.Prune(now, 240 * kMinute);
  EXPECT_FALSE(list.Contains("old"));
  EXPECT_EQ(params(list, "edge"), "?e");
  EXPECT_EQ(params(list, "new"), "?n");
  list.Prune(now + 1, 240 * kMinute);
  EXPECT_EQ(list.size(), 0u);
}

TEST(ExpiredSessionListTest, LimitsDropTheOldestEntriesToHalf) {
  struct Case {
    const char* name;
    ExpiredListLimits limits;
    size_t run_params_size;
    size_t entries_left;  // after the eleventh entry
  };
  // Identifiers are 4 bytes ("id00"); each case passes one limit with the eleventh entry.
  const Case cases[] = {
      {"entries", {.entries = 10, .run_params_bytes = 100, .text_bytes = 10000}, 6, 5},
      {"text bytes", {.entries = 100, .run_params_bytes = 100, .text_bytes = 100}, 6, 5},
      {"long parameters dropped",
       {.entries = 100, .run_params_bytes = 5, .text_bytes = 100},
       6,
       11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TSvExpiredSessionList list;
    list.SetLimits(c.limits);
    const std::string run_params(c.run_params_size, 'p');
    for (int i = 0; i < 11; ++i) {
      // Listed in reverse order of time: the lowest numbers are the newest.
      list.Add("id" + std::to_string(10 + i), run_params, 100.0 - i);
    }
    ASSERT_EQ(list.size(), c.entries_left);
    for (int i = 0; i < 11; ++i) {
      const std::optional<std::string> p = params(list, "id" + std::to_string(10 + i));
      if (static_cast<size_t>(i) < c.entries_left) {
        EXPECT_EQ(p, c.run_params_size <= c.limits.run_params_bytes ? run_params : "") << i;
      } else {
        EXPECT_EQ(p, std::nullopt) << i;
      }
    }
  }
}

TEST(ExpiredSessionListTest, OneLargeEntryDoesNotEmptyTheList) {
  TSvExpiredSessionList list;
  list.SetLimits({.entries = 100, .run_params_bytes = 100, .text_bytes = 100});
  for (int i = 0; i < 10; ++i) {
    list.Add("id" + std::to_string(10 + i), "", static_cast<double>(i));
  }
  list.Add("big", std::string(90, 'p'), 50.0);  // newest, but larger than half the room
  EXPECT_FALSE(list.Contains("big"));
  EXPECT_EQ(list.size(), 10u);
  EXPECT_EQ(params(list, "id19"), "");
}

TEST(ExpiredSessionListTest, LoweredLimitsApplyAtOnce) {
  TSvExpiredSessionList list;
  for (int i = 0; i < 50; ++i) {
    list.Add("id" + std::to_string(i), "", static_cast<double>(i));
  }
  list.SetLimits({.entries = 20});
  EXPECT_EQ(list.size(), 10u);
  EXPECT_TRUE(list.Contains("id49"));
  EXPECT_TRUE(list.Contains("id40"));
  EXPECT_FALSE(list.Contains("id39"));
}

}  // namespace
}  // namespace appsrv::server
