#include "app/AppWebAgent.h"

#include <gtest/gtest.h>

#include <fstream>
#include <latch>
#include <thread>

#include "app/ADOToXML.h"
#include "app_test_support.h"
#include "db/sqlite_handle.h"
#include "tests/support/descriptor_exhaustion.h"

namespace appsrv::app {
namespace {

using testing::AppFixture;
using testing::thrown_message;

// A change packet's data element holding `rows`, each a complete element line.
std::string data_element(const std::string& rows) {
  return "<rs:data>\r\n" + rows + "</rs:data>\r\n";
}

TEST(DatabaseConnectionTextTest, NamesTestMdbBesideTheContentFolder) {
  struct Case {
    std::string_view content_path;
    std::string_view want;
  };
  const Case cases[] = {
      {"/srv/app/wwwroot/", "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/srv/app/TEST.mdb;"},
      {"/srv/app/wwwroot", "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/srv/app/TEST.mdb;"},
      {"/www/", "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/TEST.mdb;"},
      {"/", "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/TEST.mdb;"},
      {"/srv/app/../", "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/TEST.mdb;"},
      {"/srv/app/wwwroot/./", "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/srv/app/TEST.mdb;"},
      {"wwwroot/", "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=TEST.mdb;"},
      {"./", "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=../TEST.mdb;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content_path);
    EXPECT_EQ(DatabaseConnectionText(c.content_path), c.want);
  }
}

class UserSessionTest : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    make_numbers(3);
  }
};

TEST_F(UserSessionTest, SchemaIsLoadedOnceAndKeyedByExactName) {
  const std::string schema = module().GetSchema("Numbers");
  EXPECT_NE(schema.find("s:Schema"), std::string::npos);
  EXPECT_EQ(schema.find("rs:data"), std::string::npos);
  EXPECT_TRUE(schema.ends_with("</xml>"));
  EXPECT_FALSE(module().ADODataset.Active());

  // The schema comes from the columns alone: the same as a packet of the rows, cut.
  module().ADODataset.SetCommandText("select * from Numbers");
  module().ADODataset.Open();
  EXPECT_EQ(schema, StripPacketData(RecordsetToXml(module().ADODataset)));
  module().ADODataset.Close();

  exec("DROP TABLE Numbers");
  EXPECT_EQ(module().GetSchema("Numbers"), schema);  // no query runs the second time
  EXPECT_NE(thrown_message([&] { module().GetSchema("numbers"); }), "");
}

TEST_F(UserSessionTest, FailedSchemaIsNotCached) {
  EXPECT_NE(thrown_message([&] { module().GetSchema("Later"); }), "");
  EXPECT_NE(thrown_message([&] { module().GetSchema("Numbers; DELETE FROM Numbers"); }), "");
  EXPECT_EQ(query("SELECT count(*) FROM Numbers"), 3);
  exec("CREATE TABLE Later(ID INTEGER PRIMARY KEY)");
  EXPECT_NE(module().GetSchema("Later").find("s:Schema"), std::string::npos);
}

TEST_F(UserSessionTest, SetSchemaAddsOrReplaces) {
  module().SetSchema("X", "one");
  EXPECT_EQ(module().GetSchema("X"), "one");
  module().SetSchema("X", "two");
  EXPECT_EQ(module().GetSchema("X"), "two");
}

TEST_F(UserSessionTest, ApplyChangesRunsTheStatements) {
  const std::string changes = data_element(
      "<rs:update>\r\n<rs:original>\r\n<z:row ID=\"2\" Name=\"n2\"/>\r\n</rs:original>\r\n"
      "<z:row Name=\"O'Brien\"/>\r\n</rs:update>\r\n"
      "<rs:delete>\r\n<z:row ID=\"3\" Name=\"n3\"/>\r\n</rs:delete>\r\n"
      "<rs:insert>\r\n<z:row ID=\"4\" Name=\"new\"/>\r\n</rs:insert>\r\n");
  EXPECT_EQ(module().ApplyChanges(changes, "Numbers", "ID"),
            "UPDATE Numbers SET Name='O''Brien' WHERE ID=2\r\n"
            "DELETE FROM Numbers WHERE ID=3\r\n"
            "INSERT INTO Numbers(ID,Name) VALUES(4,'new')\r\n");
  EXPECT_EQ(query("SELECT count(*) FROM Numbers WHERE ID=2 AND Name='O''Brien'"), 1);
  EXPECT_EQ(query("SELECT count(*) FROM Numbers WHERE ID=3"), 0);
  EXPECT_EQ(query("SELECT count(*) FROM Numbers WHERE ID=4 AND Name='new'"), 1);
}

TEST_F(UserSessionTest, ApplyChangesWithoutStatementsRunsNothing) {
  EXPECT_EQ(
      module().ApplyChanges(data_element("<z:row ID=\"1\" Name=\"n1\"/>\r\n"), "Numbers", "ID"),
      "");
  EXPECT_EQ(query("SELECT count(*) FROM Numbers"), 3);
}

TEST_F(UserSessionTest, FailingStatementLeavesNothingApplied) {
  // The second insert repeats the key of the first: the first must not stay behind.
  const std::string changes = data_element(
      "<rs:insert>\r\n<z:row ID=\"10\" Name=\"a\"/>\r\n<z:row ID=\"10\" Name=\"b\"/>\r\n"
      "<z:row ID=\"11\" Name=\"c\"/>\r\n</rs:insert>\r\n");
  const std::string message =
      thrown_message([&] { module().ApplyChanges(changes, "Numbers", "ID"); });
  const std::string head = "执行:INSERT INTO Numbers(ID,Name) VALUES(10,'b')报错：\r\n";
  EXPECT_EQ(message.substr(0, head.size()), head) << message;
  EXPECT_GT(message.size(), head.size());
  EXPECT_EQ(query("SELECT count(*) FROM Numbers WHERE ID >= 10"), 0);
  // The connection is usable again: the same packet without the repeat goes through.
  module().ApplyChanges(data_element("<rs:insert>\r\n<z:row ID=\"10\" Name=\"a\"/>\r\n"
                                     "<z:row ID=\"11\" Name=\"c\"/>\r\n</rs:insert>\r\n"),
                        "Numbers", "ID");
  EXPECT_EQ(query("SELECT count(*) FROM Numbers WHERE ID >= 10"), 2);
}

// Sessions saving at once, each over its own connection to the one database: every save goes
// through whole and none meets "database is locked".
TEST_F(UserSessionTest, FiftySessionsSavingAtOnceLoseNothing) {
  constexpr int kSessions = 50;
  constexpr int kRows = 5;
  const std::string connection_text =
      "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + db_path() + ";";
  std::vector<std::string> failures(kSessions);
  std::latch start(kSessions);
  std::vector<std::thread> threads;
  for (int i = 0; i < kSessions; ++i) {
    threads.emplace_back([&, i] {
      std::string rows;
      for (int k = 0; k < kRows; ++k) {
        const std::string id = std::to_string(100 + i * kRows + k);
        rows += "<z:row ID=\"" + id + "\" Name=\"s" + id + "\"/>\r\n";
      }
      start.arrive_and_wait();
      failures[static_cast<size_t>(i)] = thrown_message([&] {
        TSvUserSession own(nullptr, connection_text);
        own.ApplyChanges(data_element("<rs:insert>\r\n" + rows + "</rs:insert>\r\n"), "Numbers",
                         "ID");
      });
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  for (int i = 0; i < kSessions; ++i) {
    EXPECT_EQ(failures[static_cast<size_t>(i)], "") << "session " << i;
  }
  EXPECT_EQ(query("SELECT count(*) FROM Numbers WHERE ID >= 100"), kSessions * kRows);
}

TEST_F(UserSessionTest, TextWithLineBreaksIsSavedWhole) {
  const std::string info = module().ApplyChanges(
      data_element("<rs:insert>\r\n<z:row ID=\"20\" Name=\"one&#13;&#10;two&#10;three\"/>\r\n"
                   "<z:row ID=\"21\" Name=\"x\"/>\r\n</rs:insert>\r\n"),
      "Numbers", "ID");
  EXPECT_EQ(query("SELECT count(*) FROM Numbers WHERE ID=20 AND Name='one' || char(13, 10) || "
                  "'two' || char(10) || 'three'"),
            1);
  EXPECT_EQ(query("SELECT count(*) FROM Numbers WHERE ID=21"), 1);
  // Two statements, each followed by CR LF.
  ASSERT_TRUE(info.ends_with("\r\n"));
  EXPECT_EQ(info.find("\r\n"), info.find("INSERT INTO Numbers(ID,Name) VALUES(21") - 2);
}

// Packets serve GUIDs as {UPPER}; a change keyed on one finds its row however the database
// stores it.
TEST_F(UserSessionTest, GuidKeysFindTheirRowsWhicheverWayTheyAreStored) {
  exec(
      "CREATE TABLE Things(Code GUID PRIMARY KEY, Name VARCHAR(20));"
      "INSERT INTO Things VALUES('0123abcd-89ab-cdef-0123-456789abcdef', 'lower');"
      "INSERT INTO Things VALUES('{1123ABCD-89AB-CDEF-0123-456789ABCDEF}', 'braced');"
      "INSERT INTO Things VALUES('2123ABCD-89AB-CDEF-0123-456789ABCDEF', 'plain');");
  module().ApplyChanges(
      data_element("<rs:update>\r\n<rs:original>\r\n"
                   "<z:row Code=\"{0123ABCD-89AB-CDEF-0123-456789ABCDEF}\" Name=\"lower\"/>\r\n"
                   "</rs:original>\r\n<z:row Name=\"changed\"/>\r\n</rs:update>\r\n"
                   "<rs:update>\r\n<rs:original>\r\n"
                   "<z:row Code=\"1123abcd-89ab-cdef-0123-456789abcdef\" Name=\"braced\"/>\r\n"
                   "</rs:original>\r\n<z:row Name=\"changed\"/>\r\n</rs:update>\r\n"
                   "<rs:delete>\r\n"
                   "<z:row Code=\"{2123ABCD-89AB-CDEF-0123-456789ABCDEF}\" Name=\"plain\"/>\r\n"
                   "</rs:delete>\r\n"),
      "Things", "Code");
  EXPECT_EQ(query("SELECT count(*) FROM Things WHERE Name='changed'"), 2);
  EXPECT_EQ(query("SELECT count(*) FROM Things"), 2);
}

TEST_F(UserSessionTest, PacketErrorsPassUnchanged) {
  EXPECT_EQ(thrown_message([&] {
              module().ApplyChanges(
                  data_element("<rs:insert>\r\n<z:row Nope=\"1\"/>\r\n</rs:insert>\r\n"), "Numbers",
                  "ID");
            }),
            "FldID2Name Fail, Field Nope not in Schema");
}

TEST_F(UserSessionTest, QueriesBelongToTheCaller) {
  std::unique_ptr<db::TADOQuery> query = module().NewQuery("select count(*) as N from Numbers");
  EXPECT_FALSE(query->Active());
  EXPECT_EQ(query->Connection(), &module().dbServer);
  query->Open();
  EXPECT_EQ(query->FieldByName("N").AsInteger(), 3);
  TSvUserSession::FreeQuery(query);
  EXPECT_EQ(query, nullptr);
}

TEST_F(UserSessionTest, ReadOnlyScopeRefusesWrites) {
  {
    const ReadOnlyScope scope = module().read_only_scope();
    EXPECT_NE(thrown_message([&] { module().dbServer.Execute("DELETE FROM Numbers"); }), "");
    std::unique_ptr<db::TADOQuery> q = module().NewQuery("select * from Numbers");
    EXPECT_NO_THROW(q->Open());
  }
  EXPECT_EQ(query("SELECT count(*) FROM Numbers"), 3);
  module().dbServer.Execute("DELETE FROM Numbers WHERE ID=1");
  EXPECT_EQ(query("SELECT count(*) FROM Numbers"), 2);
}

// An idle session gives its connection back and gets it again on its next call; what the
// session learnt (its schema cache) stays.
TEST_F(UserSessionTest, ClosedIdleConnectionReopensOnTheNextCallAndTheSchemaCacheStays) {
  const std::string schema = module().GetSchema("Numbers");
  EXPECT_TRUE(module().HoldsIdleResources());
  module().RequestEnded();
  EXPECT_TRUE(module().HoldsIdleResources());  // the cache goes, the connection stays

  module().CloseIdleResources();
  EXPECT_FALSE(module().HoldsIdleResources());
  EXPECT_FALSE(module().dbServer.Connected());
  exec("ALTER TABLE Numbers ADD COLUMN Extra INTEGER");
  EXPECT_EQ(module().GetSchema("Numbers"), schema);  // cached: no query ran
  EXPECT_FALSE(module().dbServer.Connected());

  std::unique_ptr<db::TADOQuery> q = module().NewQuery("select count(*) from Numbers");
  q->Open();
  EXPECT_EQ(q->Fields(0).AsInteger(), 3);
  EXPECT_TRUE(module().HoldsIdleResources());
}

// Mappings of the database file itself (not its -wal or -shm file) in this process.
int mappings_of(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  int count = 0;
  for (std::string line; std::getline(maps, line);) {
    count += line.size() > path.size() && line.ends_with(" " + path) ? 1 : 0;
  }
  return count;
}

// A session's connection keeps its file mapping between requests while the session is among
// the most recently used (here: one); the one it replaces gives its mapping back, so does a
// session idle long enough, and reads go on through a new mapping.
TEST_F(UserSessionTest, OnlyTheMostRecentlyUsedConnectionsKeepTheirMappingBetweenRequests) {
  // Enough rows for a file of many pages.
  exec(
      "WITH RECURSIVE n(i) AS (SELECT 4 UNION ALL SELECT i + 1 FROM n WHERE i < 5000) "
      "INSERT INTO Numbers SELECT i, 'n' || i FROM n");
  controller_->Limits.DatabaseMappedSessions = 1;
  server::TSvSessions& sessions = controller_->Sessions();
  server::SessionRequestInfo infos[2];
  std::string ids[2];
  // A request of session `i` (a new one the first time) that counts the table's rows.
  const auto count_rows = [&](int i) {
    server::SessionAttachRequest attach;
    attach.handler_can_start = true;
    attach.request = &infos[i];
    attach.app_id = ids[i];
    server::TSvApplication* s = sessions.Attach(attach).session;
    ids[i] = s->AppID();
    auto& data = dynamic_cast<TSvUserSession&>(*s->FData);
    std::unique_ptr<db::TADOQuery> q = data.NewQuery("select count(*) from Numbers");
    q->Open();
    const int64_t rows = q->Fields(0).AsInteger();
    TSvUserSession::FreeQuery(q);
    sessions.Release(*s);
    server::SetCurrentSession(nullptr);
    return rows;
  };
  const auto mapped = [&](int i) {
    server::TSvApplication* s = sessions.LookupAndLock(ids[i]);
    const bool holds = s->FData->HoldsWarmResources();
    s->Unlock();
    return holds;
  };
  for (int i = 0; i < 2; ++i) {
    infos[i].client_ip = "127.0.0.1";
    infos[i].user_agent = "agent-" + std::to_string(i) + "/1.0";
    infos[i].path = "/appservice/";
  }

  EXPECT_EQ(count_rows(0), 5000);
  EXPECT_EQ(mappings_of(db_path()), 1);
  EXPECT_EQ(count_rows(0), 5000);
  EXPECT_EQ(mappings_of(db_path()), 1);
  EXPECT_EQ(count_rows(1), 5000);  // past the bound: the first session's mapping goes
  EXPECT_EQ(mappings_of(db_path()), 1);
  EXPECT_FALSE(mapped(0));
  EXPECT_TRUE(mapped(1));

  EXPECT_EQ(sessions.ReleaseIdleWarmResources(std::chrono::milliseconds(0)), 1u);
  EXPECT_EQ(mappings_of(db_path()), 0);
  EXPECT_FALSE(mapped(1));
  EXPECT_EQ(count_rows(1), 5000);
  EXPECT_EQ(mappings_of(db_path()), 1);
  EXPECT_TRUE(mapped(1));
}

// Out of descriptors, a session that must open its connection takes them from the connections
// other sessions keep open while idle.
TEST_F(UserSessionTest, OutOfDescriptorsOpeningClosesOtherSessionsIdleConnections) {
  server::SessionRequestInfo other_info;
  other_info.client_ip = "127.0.0.1";
  other_info.user_agent = "other-agent/1.0";
  server::SessionAttachRequest attach;
  attach.handler_can_start = true;
  attach.request = &other_info;
  server::TSvApplication* other = controller_->Sessions().Attach(attach).session;
  auto& other_module = dynamic_cast<TSvUserSession&>(*other->FData);
  const std::string other_schema = other_module.GetSchema("Numbers");
  server::SetCurrentSession(nullptr);
  controller_->Sessions().Release(*other);

  module().CloseIdleResources();
  try {
    throw db::DatabaseUnavailable("seen once with descriptors to spare");
  } catch (const db::DatabaseError&) {
  }
  std::exception_ptr failure;
  {
    ::appsrv::testing::DescriptorExhaustion exhausted;
    try {
      module().dbServer.Open();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  EXPECT_EQ(failure, nullptr);
  EXPECT_TRUE(module().dbServer.Connected());
  server::TSvApplication* again = controller_->Sessions().LookupAndLock(other->AppID());
  ASSERT_EQ(again, other);
  EXPECT_FALSE(other_module.dbServer.Connected());
  EXPECT_EQ(other_module.GetSchema("Numbers"), other_schema);
  other->Unlock();
}

}  // namespace
}  // namespace appsrv::app
