// Helpers shared by the application tests: a controller of the application's class over a
// private temporary folder, its TEST.mdb, a live session, and handler calls through packets.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/AppWebAgent.h"
#include "app/ServerController.h"
#include "base/files.h"
#include "server/exchange/http_packet.h"
#include "server/exchange/reply_packet_reader.h"
#include "server/exchange/request_packet_writer.h"
#include "server/http/http_reply.h"
#include "server/http/http_request.h"
#include "server/pipeline/content_base.h"
#include "server/pipeline/controller_start.h"
#include "server/session/session.h"
#include "server/session/session_list.h"
#include "tests/server/test_support.h"

namespace appsrv::app::testing {

// The reply as the transport reads it from the exchange buffer.
struct Answer {
  std::string body;
  std::string content_type;
  std::vector<std::string> headers;  // "Name:value" lines beyond the type
};

// Runs statements on the database file through a connection of its own.
inline void exec_sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  const std::string message = error != nullptr ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  ASSERT_EQ(rc, SQLITE_OK) << message << "\n" << sql;
}

// One integer read with a connection of its own.
inline int64_t query_int(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* stmt = nullptr;
  int64_t value = -1;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    value = sqlite3_column_int64(stmt, 0);
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return value;
}

// A controller of the application's class, built the way start-up builds it, over a fresh
// folder: the application folder holds TEST.mdb. Sessions are attached on demand.
class AppFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterServerController();
    controller_ = &server::InitServerController(folder_.environment());
  }

  void TearDown() override {
    if (session_ != nullptr) {
      server::SetCurrentSession(nullptr);
      controller_->Sessions().Release(*session_);
    }
    server::FreeServerController();
    server::SetServerControllerClass(nullptr);
  }

  std::string db_path() const { return folder_.app() + "TEST.mdb"; }
  void exec(const std::string& sql) { exec_sql(db_path(), sql); }
  int64_t query(const std::string& sql) { return query_int(db_path(), sql); }

  // "Numbers": ID 1..count, Name "n<ID>".
  void make_numbers(int count) {
    std::string sql = "CREATE TABLE Numbers(ID INTEGER PRIMARY KEY, Name VARCHAR(20));";
    sql += "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
           std::to_string(count) + ") INSERT INTO Numbers SELECT i, 'n' || i FROM n;";
    exec(sql);
  }

  // A new session as a request from `user_agent` creates it: locked, current on this thread,
  // with the application's data module in its slot.
  server::TSvApplication& session(const std::string& user_agent = "test-agent/1.0") {
    if (session_ == nullptr) {
      info_.client_ip = "127.0.0.1";
      info_.user_agent = user_agent;
      info_.path = "/appservice/";
      server::SessionAttachRequest attach;
      attach.handler_can_start = true;
      attach.request = &info_;
      session_ = controller_->Sessions().Attach(attach).session;
    }
    return *session_;
  }

  TSvUserSession& module() { return dynamic_cast<TSvUserSession&>(*session().FData); }

  // Runs `handler` for a request built from a packet; `fields` travel as the transport sends
  // a POST body (in the query fields) or a GET query.
  Answer call(server::TContentBase& handler, const std::string& method, const std::string& path,
              const std::vector<std::string>& fields) {
    server::TSvApplication& s = session();
    std::vector<char> buffer(server::kExchangeBufferSize);
    server::RequestPacketFields packet;
    packet.method = method;
    packet.path_info = path;
    packet.url = path;
    packet.remote_addr = "127.0.0.1";
    packet.user_agent = info_.user_agent;
    packet.query_fields = fields;
    server::write_request_packet(packet, buffer.data(), static_cast<int32_t>(buffer.size()));
    server::THttpRequest request(buffer.data(), static_cast<int32_t>(buffer.size()));
    server::THttpReply reply(buffer.data(), static_cast<int32_t>(buffer.size()));
    base::NameValueList& params = request.GetParams();
    EXPECT_TRUE(handler.DoExecute(request, reply, "", &s, params));
    reply.Commit();
    server::ReplyPacket answer =
        server::read_reply_packet(buffer.data(), static_cast<int32_t>(buffer.size()));
    return Answer{answer.body_text(), answer.content_type, answer.headers};
  }

  server::testing::TempFolder folder_;
  server::TSvServerControllerBase* controller_ = nullptr;
  server::SessionRequestInfo info_;
  server::TSvApplication* session_ = nullptr;
};

// The message of the exception `fn` throws, or "" when it throws none.
template <class Fn>
std::string thrown_message(Fn&& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

}  // namespace appsrv::app::testing
