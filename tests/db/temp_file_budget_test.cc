// The temporary disk a connection's sorts may hold: charged to the budget of the scope they run
// in, refused past its cap, and free again as soon as the statement has failed.
#include "db/temp_file_budget.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "db/ado_dataset.h"
#include "tests/db/temp_database.h"

namespace appsrv::db {
namespace {

constexpr int kRows = 4000;
constexpr size_t kFill = 1000;
constexpr int64_t kOneMiB = int64_t{1} << 20;

// About 4 MB of rows sorted by a text, twice the 2 MB a sorter keeps in memory before it spills
// to a temporary file. Built with || on a literal only, which a function allow-list keeps.
std::string sort_query() {
  return "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
         std::to_string(kRows) + ") SELECT i, i || '" + std::string(kFill, 'x') +
         "' AS b FROM n ORDER BY b";
}

// The order the sort must give: the numbers as text, each followed by the same fill.
std::vector<int64_t> expected_order() {
  std::vector<std::string> keys;
  for (int i = 1; i <= kRows; ++i) {
    keys.push_back(std::to_string(i) + std::string(kFill, 'x'));
  }
  std::sort(keys.begin(), keys.end());
  std::vector<int64_t> order;
  for (const std::string& key : keys) {
    order.push_back(std::stoll(key.substr(0, key.find('x'))));
  }
  return order;
}

// Descriptors of this process open on SQLite's temporary files (unlinked, named "etilqs_*").
int open_temp_files() {
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::read_symlink(entry.path(), ec);
    if (!ec && target.string().find("etilqs_") != std::string::npos) {
      ++n;
    }
  }
  return n;
}

class TempFileBudgetTest : public TempDatabaseTest {
 protected:
  // The first column of every row of `sql`.
  std::vector<int64_t> read_first_column(const std::string& sql) {
    TADODataSet ds(&connection_);
    ds.SetCommandText(sql);
    ds.Open();
    std::vector<int64_t> values;
    for (; !ds.Eof(); ds.Next()) {
      values.push_back(ds.Fields(0).AsInteger());
    }
    return values;
  }
};

TEST_F(TempFileBudgetTest, ASortPastTheCapFailsAndFreesItsFiles) {
  connection_.Open();
  const int64_t before = temp_file_bytes_in_use();
  TempFileBudgetScope scope(kOneMiB);
  TADODataSet ds(&connection_);
  ds.SetCommandText(sort_query());
  int code = 0;
  try {
    ds.Open();
    ADD_FAILURE() << "the sort ran past the cap";
  } catch (const DatabaseError& e) {
    code = e.result_code();
    EXPECT_STREQ(e.what(), "sqlite3_step: database or disk is full");
  }
  EXPECT_EQ(code & 0xff, SQLITE_FULL);
  EXPECT_TRUE(scope.budget().exceeded());
  EXPECT_LE(scope.budget().peak_bytes(), kOneMiB);
  // Free at once: the dataset still holds the failed statement, but SQLite closed its sorter's
  // files when the statement failed.
  EXPECT_EQ(scope.budget().bytes_in_use(), 0);
  EXPECT_EQ(temp_file_bytes_in_use(), before);
  EXPECT_EQ(open_temp_files(), 0);
  ds.Close();
  // The statement the connection kept runs again, and fails the same way.
  EXPECT_EQ(database_error([&] { read_first_column(sort_query()); }),
            "sqlite3_step: database or disk is full");
  EXPECT_EQ(open_temp_files(), 0);
}

TEST_F(TempFileBudgetTest, ASortUnderTheCapGivesTheSameRows) {
  const std::vector<int64_t> want = expected_order();
  // Without a scope the files are counted, not capped.
  EXPECT_EQ(read_first_column(sort_query()), want);
  {
    TempFileBudgetScope scope(64 * kOneMiB);
    EXPECT_EQ(read_first_column(sort_query()), want);
    // The sort did spill, and its files were charged while it ran and given back after.
    EXPECT_GT(scope.budget().peak_bytes(), kOneMiB);
    EXPECT_FALSE(scope.budget().exceeded());
    EXPECT_EQ(scope.budget().bytes_in_use(), 0);
    // While a spilled sort hands out its rows, its files are open, found and charged.
    TADODataSet ds(&connection_);
    ds.SetCommandText(sort_query());
    ds.Open();
    EXPECT_GT(open_temp_files(), 0);
    EXPECT_GT(scope.budget().bytes_in_use(), kOneMiB);
    EXPECT_EQ(temp_file_bytes_in_use(), scope.budget().bytes_in_use());
    ds.Close();
    EXPECT_EQ(open_temp_files(), 0);
    EXPECT_EQ(scope.budget().bytes_in_use(), 0);
  }
  // A sort small enough for memory takes no temporary disk at all.
  TempFileBudgetScope small(kOneMiB);
  EXPECT_EQ(read_first_column("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                              "WHERE i < 100) SELECT i FROM n ORDER BY -i")
                .front(),
            100);
  EXPECT_FALSE(small.budget().exceeded());
  EXPECT_EQ(temp_file_bytes_in_use(), 0);
}

TEST_F(TempFileBudgetTest, ScopesNestAndCountFromZero) {
  TempFileBudgetScope outer(kOneMiB);
  {
    TempFileBudgetScope inner(64 * kOneMiB);
    EXPECT_EQ(read_first_column(sort_query()).size(), static_cast<size_t>(kRows));
    EXPECT_GT(inner.budget().peak_bytes(), kOneMiB);
  }
  EXPECT_EQ(outer.budget().peak_bytes(), 0);
  EXPECT_NE(database_error([&] { read_first_column(sort_query()); }), "(no error)");
  EXPECT_TRUE(outer.budget().exceeded());
}

TEST(TempFileBudget, ChargesUpToTheCap) {
  TempFileBudget budget(100);
  EXPECT_TRUE(budget.charge(60));
  EXPECT_FALSE(budget.charge(41));
  EXPECT_TRUE(budget.exceeded());
  EXPECT_EQ(budget.bytes_in_use(), 60);
  EXPECT_TRUE(budget.charge(40));
  budget.release(100);
  EXPECT_EQ(budget.bytes_in_use(), 0);
  EXPECT_EQ(budget.peak_bytes(), 100);
  TempFileBudget uncapped(0);
  EXPECT_TRUE(uncapped.charge(int64_t{1} << 40));
  EXPECT_FALSE(uncapped.exceeded());
}

TEST(SqliteHeapLimit, AppliedAndReadBack) {
  const int64_t previous = apply_sqlite_heap_limit(int64_t{300} << 20);
  EXPECT_EQ(sqlite_heap_limit(), int64_t{300} << 20);
  EXPECT_EQ(apply_sqlite_heap_limit(0), int64_t{300} << 20);
  EXPECT_EQ(sqlite_heap_limit(), 0);
  apply_sqlite_heap_limit(previous);
}

}  // namespace
}  // namespace appsrv::db
