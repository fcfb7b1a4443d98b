// A process-wide test controller ("MyApp") over a private folder, and request/reply packets in
// an exchange buffer driven through the request hook: the pipeline without sockets.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "base/files.h"
#include "base/text.h"
#include "server/exchange/http_packet.h"
#include "server/exchange/reply_packet_reader.h"
#include "server/exchange/request_packet_writer.h"
#include "server/pipeline/controller_start.h"
#include "server/pipeline/exception_renderer.h"
#include "server/pipeline/handlers.h"
#include "server/pipeline/request_hook.h"
#include "server/pipeline/session_forms.h"
#include "server/session/server_controller.h"
#include "tests/server/test_support.h"

namespace appsrv::server::testing {

inline constexpr const char* kChromeAgent =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/120.0.0.0 Safari/537.36";

class MyAppController : public TSvServerControllerBase {
 public:
  using TSvServerControllerBase::TSvServerControllerBase;

 protected:
  void LoadDesignValues() override {
    SetAppName("MyApp");
    SetSessionTimeout(10);
  }
};

// What a pipeline test registers process-wide, put back however the test ends: the request
// hook, the controller, the session forms, the controller's class, the handlers. Made before the test
// registers anything; it starts from no handlers.
class PipelineRegistrationsGuard {
 public:
  PipelineRegistrationsGuard() { THandlers::Clear(); }
  ~PipelineRegistrationsGuard() {
    SetRequestHook(nullptr);
    FreeServerController();
    RegisterSessionForms(nullptr);
    SetServerControllerClass(nullptr);
    THandlers::Clear();
  }
  PipelineRegistrationsGuard(const PipelineRegistrationsGuard&) = delete;
  PipelineRegistrationsGuard& operator=(const PipelineRegistrationsGuard&) = delete;
};

// The pipeline as start-up wires it, over a private folder and a fake clock: Register() makes
// the registrations that must come before the process-wide controller (handlers, its class),
// then the controller is built and the request hook set. TearDown puts everything back, then
// calls Unregister() for what a derived fixture registered beyond the guard's reach.
class PipelineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    registrations_.emplace();
    Register();
    controller_ = &InitServerController(folder_.environment(clock_));
    SetRequestHook(&ExecuteRequest);
  }
  void TearDown() override {
    registrations_.reset();
    Unregister();
  }
  virtual void Register() = 0;
  virtual void Unregister() {}

  FakeClock clock_;
  TempFolder folder_;
  TSvServerControllerBase* controller_ = nullptr;

 private:
  std::optional<PipelineRegistrationsGuard> registrations_;
};

// The framework's own pipeline for a test controller ("MyApp"); derived tests add handlers
// through RegisterHandlers.
class PipelineTest : public PipelineFixture {
 protected:
  void SetUp() override {
    PipelineFixture::SetUp();
    content_ = base::include_trailing_slash(controller_->ContentPath());
    base::force_directories(content_, 0700);
  }
  void Register() override {
    RegisterHandlers();
    SetServerControllerClass<MyAppController>();
  }
  virtual void RegisterHandlers() {}

  static RequestPacketFields Get(std::string path) {
    RequestPacketFields f;
    f.method = "GET";
    f.path_info = std::move(path);
    f.remote_addr = "10.1.2.3";
    f.host = "example.org";
    f.server_port = 8888;
    f.user_agent = kChromeAgent;
    return f;
  }
  static RequestPacketFields Post(std::string path, std::vector<std::string> fields) {
    RequestPacketFields f = Get(std::move(path));
    f.method = "POST";
    f.query_fields = std::move(fields);
    f.has_content = true;
    return f;
  }

  // One request through the hook: packet in, packet out.
  ReplyPacket Call(const RequestPacketFields& f) {
    std::vector<char> buffer(kExchangeBufferSize);
    write_request_packet(f, buffer.data(), kExchangeBufferSize);
    RequestHook()(buffer.data(), kExchangeBufferSize);
    return read_reply_packet(buffer.data(), kExchangeBufferSize);
  }

  static const ReplyPacketCookie* FindCookie(const ReplyPacket& r, std::string_view name) {
    for (const ReplyPacketCookie& c : r.cookies) {
      if (c.name == name) {
        return &c;
      }
    }
    return nullptr;
  }
  // The value of the header `name`, or "(none)".
  static std::string Header(const ReplyPacket& r, std::string_view name) {
    for (const std::string& line : r.headers) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos && base::iequals(line.substr(0, colon), name)) {
        return std::string(base::trim(std::string_view(line).substr(colon + 1)));
      }
    }
    return "(none)";
  }

  // The error page shows `text` (which it writes HTML-escaped).
  static bool PageShows(const ReplyPacket& r, std::string_view text) {
    return r.body_text().find(html_escape(text)) != std::string::npos;
  }

  void WriteContent(const std::string& relative, std::string_view bytes) {
    const std::string path = content_ + relative;
    base::force_directories(base::extract_file_path(path), 0700);
    base::write_file(path, bytes);
  }

  std::string content_;
};

}  // namespace appsrv::server::testing
