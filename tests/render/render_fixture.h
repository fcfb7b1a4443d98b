// The application's pipeline with page rendering installed, as start-up wires it, over a
// temporary application folder; requests go through the request hook like the transport's.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/AppWebContentService.h"
#include "app/ServerController.h"
#include "app/ServerUnit1.h"
#include "base/text.h"
#include "render/app_form.h"
#include "render/session_forms.h"
#include "server/exchange/http_packet.h"
#include "server/exchange/reply_packet_reader.h"
#include "server/exchange/request_packet_writer.h"
#include "server/pipeline/controller_start.h"
#include "server/pipeline/handlers.h"
#include "server/pipeline/request_hook.h"
#include "server/session/server_controller.h"
#include "server/session/session.h"
#include "server/session/session_list.h"
#include "tests/server/pipeline_fixture.h"
#include "tests/server/test_support.h"

namespace appsrv::render::testing {

constexpr const char* kChromeAgent =
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/120.0.0.0 Safari/537.36";

// The text between `from` and the next `to` in `text`, or "" when absent.
inline std::string Between(const std::string& text, std::string_view from, std::string_view to) {
  const size_t a = text.find(from);
  if (a == std::string::npos) {
    return {};
  }
  const size_t b = text.find(to, a + from.size());
  return b == std::string::npos ? std::string() : text.substr(a + from.size(), b - a - from.size());
}

class PageFixture : public server::testing::PipelineFixture {
 protected:
  void Register() override {
    app::RegisterContentHandlers();
    app::RegisterServerController();
    app::RegisterMainForm();
    InstallPageRendering();
  }
  void Unregister() override {
    UninstallPageRendering();
    SetMainFormClass(nullptr);
    FormEvents() = {};
  }

  static server::RequestPacketFields Request(std::string method, std::string path,
                                             std::vector<std::string> fields,
                                             const std::string& cookie) {
    server::RequestPacketFields f;
    f.method = std::move(method);
    f.url = path;
    f.path_info = std::move(path);
    f.remote_addr = "127.0.0.1";
    f.host = "127.0.0.1";
    f.server_port = 8888;
    f.user_agent = kChromeAgent;
    f.has_content = f.method == "POST";
    if (f.method == "GET") {
      f.query = base::join(fields, "&");
      f.query_fields = std::move(fields);
    } else {
      f.content_fields = std::move(fields);
    }
    if (!cookie.empty()) {
      f.cookie_fields.push_back("SV_MyApp=" + cookie);
    }
    return f;
  }

  static server::ReplyPacket Call(const server::RequestPacketFields& f) {
    std::vector<char> buffer(server::kExchangeBufferSize);
    server::write_request_packet(f, buffer.data(), server::kExchangeBufferSize);
    server::RequestHook()(buffer.data(), server::kExchangeBufferSize);
    return server::read_reply_packet(buffer.data(), server::kExchangeBufferSize);
  }

  static std::string Cookie(const server::ReplyPacket& r) {
    for (const server::ReplyPacketCookie& c : r.cookies) {
      if (c.name == "SV_MyApp") {
        return c.value;
      }
    }
    return {};
  }

  // What a browser does at the root: the start page, its StartCheck request with the window
  // size, the StartCheck page's post, and the redirect to "/$/". Returns the session cookie.
  std::string StartBrowserSession(int width = 1280, int height = 720) {
    const server::ReplyPacket start = Call(Request("GET", "/", {}, ""));
    const std::string cookie = Cookie(start);
    EXPECT_FALSE(cookie.empty()) << start.body_text();
    EXPECT_NE(start.body_text().find("/$/StartCheck"), std::string::npos) << start.body_text();
    const server::ReplyPacket check = Call(Request(
        "GET", "/$/StartCheck",
        {"SV_AjaxID=1", "SV_width=" + std::to_string(width), "SV_height=" + std::to_string(height)},
        cookie));
    EXPECT_EQ(check.code, 200) << check.body_text();
    EXPECT_NE(check.body_text().find("SV_width"), std::string::npos) << check.body_text();
    const server::ReplyPacket posted = Call(Request(
        "POST", "/", {"SV_width=" + std::to_string(width), "SV_height=" + std::to_string(height)},
        cookie));
    EXPECT_NE(posted.body_text().find("window.location.replace(\"/$/\")"), std::string::npos)
        << posted.body_text();
    return cookie;
  }

  // Runs `fn` on the live session that `cookie` names; false when there is none.
  bool WithSession(const std::string& cookie,
                   const std::function<void(server::TSvApplication&)>& fn) {
    const std::string id = cookie.substr(0, cookie.find('_'));
    bool found = false;
    controller_->Sessions().LockList([&](server::TSvApplication& s) {
      if (s.AppID() == id) {
        found = true;
        fn(s);
      }
    });
    return found;
  }

};

}  // namespace appsrv::render::testing
