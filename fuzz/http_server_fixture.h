// The HTTP server the transport fuzz targets drive: kept-alive connections, small body limits,
// and a command step that reads everything a request carries and answers with a summary.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/scratch_guard.h"
#include "fuzz/scripted_channel.h"
#include "server/exchange/stream_helper.h"
#include "transport/http/http_server.h"
#include "transport/net/io_handler.h"

namespace appsrv::fuzz {

class FuzzHttpServer {
 public:
  FuzzHttpServer() {
    scratch_folder();
    server_.SetKeepAlive(true);
    server_.Limits().max_body_bytes = 256 * 1024;
    server_.Limits().max_form_bytes = 64 * 1024;
    const auto command = [this](transport::TInContext&, transport::TInHTTPRequestInfo& req,
                                transport::TInHTTPResponseInfo& resp) {
      ++commands_;
      std::string summary = req.FCommand + " " + req.FDocument + " " + req.FQueryParams;
      for (const std::string& p : req.FParams) {
        summary += "\n" + p;
      }
      for (const transport::RequestCookie& c : req.FCookies) {
        summary += "\n" + c.name + "=" + c.value;
      }
      last_body_.reset();
      if (req.FPostStream) {
        last_body_ = server::TStreamHelper(*req.FPostStream).GetAsString();
      }
      resp.SetContentType("text/plain; charset=UTF-8");
      resp.FContentText = summary;
    };
    server_.OnCommandGet = command;
    server_.OnCommandOther = command;
    server_.OnException = [](transport::TInContext&, const std::exception&) {};
  }

  // Serves one connection whose peer sends `input` in pieces of `piece` bytes; returns what
  // the server wrote.
  std::string Serve(std::string_view input, size_t piece) {
    commands_ = 0;
    last_body_.reset();
    std::string sent;
    server_.ServeConnection(std::make_unique<transport::TInIOHandler>(
        std::make_unique<ScriptedChannel>(input, piece, sent)));
    // Whatever the input, the server writes whole responses or nothing.
    if (!sent.empty() && sent.compare(0, 7, "HTTP/1.") != 0) {
      std::fprintf(stderr, "Reply does not start with a status line:\n%.300s\n", sent.c_str());
      std::abort();
    }
    return sent;
  }

  int commands() const { return commands_; }
  // The body the last command step read, if it had one.
  const std::optional<std::string>& last_body() const { return last_body_; }

 private:
  transport::TInCustomHTTPServer server_;
  int commands_ = 0;
  std::optional<std::string> last_body_;
};

}  // namespace appsrv::fuzz
