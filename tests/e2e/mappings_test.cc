// The program's mappings of its database file: sessions keep their connection's mapping
// between requests only while they are among the few most recently used, and give it back once
// idle for a short while, so however many sessions read, the file is mapped a bounded number
// of times.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "tests/e2e/app_calls.h"
#include "tests/e2e/app_folder.h"

namespace appsrv::testing {
namespace {

constexpr int kMappedSessions = 3;
const std::string kParams = R"({"PageNo":3,"PageSize":5,"TableName":"T"})";

class DatabaseMappings : public ::testing::Test {
 protected:
  void Start(const std::string& limits) {
    create_named_rows(folder_.database(), 5000);
    write_file(folder_.root() / "port.ini", "[PORTS]\nPort=0\n[LIMITS]\nDatabaseMappedSessions=" +
                                                std::to_string(kMappedSessions) + "\n" + limits);
    server_ = std::make_unique<Server>(folder_);
    ASSERT_NE(server_->port(), 0) << server_->output();
  }
  void TearDown() override {
    if (server_ && server_->process().Running()) {
      EXPECT_EQ(server_->Stop(), 0) << server_->output();
    }
  }

  // Lines of the program's memory map naming the database file itself (not its -wal or -shm).
  int mappings() const {
    const std::string path = std::filesystem::canonical(folder_.database()).string();
    std::ifstream maps("/proc/" + std::to_string(server_->process().pid()) + "/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);) {
      count += line.size() > path.size() && line.ends_with(" " + path) ? 1 : 0;
    }
    return count;
  }
  // Waits (bounded) until the file is mapped `want` times; returns how often it is.
  int settle_mappings(int want) const {
    int now = mappings();
    for (int i = 0; i < 300 && now != want; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      now = mappings();
    }
    return now;
  }

  // A new session's first page of T (its first call earns the cookie).
  static void read_page(Client& client) {
    client.Call("FetchData", kParams);
    const ParsedResponse r = client.Call("FetchData", kParams);
    EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK");
    EXPECT_NE(r.body.find(R"("RecordCount":5000,"PageNo":3)"), std::string::npos) << r.body;
  }

  AppFolder folder_;
  std::unique_ptr<Server> server_;
};

TEST_F(DatabaseMappings, ManySessionsLeaveOnlyTheMostRecentlyUsedMapped) {
  // No idle release: only the bound takes mappings back.
  ASSERT_NO_FATAL_FAILURE(Start("DatabaseMappingIdleMs=0\n"));
  EXPECT_EQ(mappings(), 0);
  std::vector<Client> clients;
  for (int i = 0; i < 12; ++i) {
    SCOPED_TRACE(i);
    read_page(clients.emplace_back(server_->port()));
    EXPECT_EQ(settle_mappings(std::min(i + 1, kMappedSessions)), std::min(i + 1, kMappedSessions));
  }
  // A session paging on keeps its mapping; the others' stay as they were.
  for (int page = 1; page <= 5; ++page) {
    const ParsedResponse r = clients.back().Call(
        "FetchData", R"({"PageNo":)" + std::to_string(page) + R"(,"PageSize":5,"TableName":"T"})");
    EXPECT_NE(r.body.find(R"("PageNo":)" + std::to_string(page)), std::string::npos);
  }
  EXPECT_EQ(mappings(), kMappedSessions);
}

TEST_F(DatabaseMappings, IdleSessionsGiveTheirMappingsBackAndReadOnAfterwards) {
  ASSERT_NO_FATAL_FAILURE(Start("DatabaseMappingIdleMs=300\n"));
  std::vector<Client> clients;
  for (int i = 0; i < 6; ++i) {
    read_page(clients.emplace_back(server_->port()));
    EXPECT_LE(mappings(), kMappedSessions);
  }
  EXPECT_EQ(settle_mappings(0), 0);
  // The connection maps the file again for its next read, and gives it back again when idle.
  const ParsedResponse r = clients.front().Call("FetchData", kParams);
  EXPECT_NE(r.body.find(R"("RecordCount":5000,"PageNo":3)"), std::string::npos) << r.body;
  EXPECT_EQ(settle_mappings(0), 0);
}

}  // namespace
}  // namespace appsrv::testing
