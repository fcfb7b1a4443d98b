// TInCustomHTTPServer: serves HTTP/1.x on every connection of the TCP server, parsing each
// request, handing it to the command step and writing the response.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/async_line_log.h"
#include "base/request_refusal.h"
#include "transport/http/http_limits.h"
#include "transport/http/http_request_info.h"
#include "transport/http/http_response_info.h"
#include "transport/net/tcp_server.h"

namespace appsrv::transport {

// Settings and events change only while the server is inactive; the steps run on connection
// threads, many at once, each with its own request and response.
class TInCustomHTTPServer : public TInCustomTCPServer {
 public:
  TInCustomHTTPServer();
  ~TInCustomHTTPServer() override;

  bool KeepAlive() const { return keep_alive_; }
  void SetKeepAlive(bool v) { keep_alive_ = v; }
  bool ParseParams() const { return parse_params_; }
  void SetParseParams(bool v) { parse_params_ = v; }
  // The Server header; empty: none.
  const std::string& ServerSoftware() const { return server_software_; }
  void SetServerSoftware(std::string v) { server_software_ = std::move(v); }
  int32_t MaximumHeaderLineCount() const { return limits_.max_header_lines; }
  void SetMaximumHeaderLineCount(int32_t v) { limits_.max_header_lines = v; }
  HttpLimits& Limits() { return limits_; }
  const HttpLimits& Limits() const { return limits_; }
  // Where every request's access-log line goes (null: nowhere; not owned, outlives the
  // server's activity) and the proxies whose X-Forwarded-For names the client in it.
  void SetAccessLog(base::AsyncLineLog* log, std::vector<std::string> trusted_proxies) {
    access_log_ = log;
    access_log_trusted_ = std::move(trusted_proxies);
  }

  // Hooks; each has the default described at its step.
  std::function<void(TInContext&, TInHTTPRequestInfo&, TInHTTPResponseInfo&)> OnCommandGet;
  std::function<void(TInContext&, TInHTTPRequestInfo&, TInHTTPResponseInfo&)> OnCommandOther;
  std::function<void(TInContext&, TInHTTPRequestInfo&, TInHTTPResponseInfo&, const std::exception&)>
      OnCommandError;
  // May refuse a request after its headers (default: accept).
  std::function<bool(TInContext&, const std::string& uri, const TInHeaderList& headers)>
      OnHeadersAvailable;
  // Status, reason phrase and body text of a refused request (default 403).
  std::function<void(TInContext&, const TInHeaderList& headers, int& status, std::string& text,
                     std::string& content)>
      OnHeadersBlocked;
  // Whether an Expect value is accepted (default: exactly "100-continue").
  std::function<bool(TInContext&, const std::string& expect)> OnHeaderExpectations;
  // May accept an authorization scheme and supply user and password (default: Basic only).
  std::function<bool(TInContext&, const std::string& scheme, const std::string& data,
                     std::string& user, std::string& password)>
      OnParseAuthentication;
  // Supplies the body stream (default: a memory stream).
  std::function<std::unique_ptr<server::Stream>(TInContext&, const TInHeaderList& headers)>
      OnCreatePostStream;
  // Whether a connection accepted on `port` by a TLS listener speaks TLS (default: yes).
  std::function<bool(TInContext&, uint16_t port)> OnQuerySSLPort;

 protected:
  // Gives the listening sockets the send stall time-out, which accepted sockets inherit.
  void Startup() override;
  // On a TLS listener: handshakes unless the query-SSL-port step says the port is plain;
  // then the TCP server's connect step.
  void DoConnect(TInContext& context) override;
  virtual bool DoQuerySSLPort(TInContext& context, uint16_t port);
  // Serves the whole connection and returns false.
  bool DoExecute(TInContext& context) override;

  // The command steps: HEAD, GET and POST go to DoCommandGet, other methods to DoCommandOther.
  virtual void DoCommandGet(TInContext& context, TInHTTPRequestInfo& request,
                            TInHTTPResponseInfo& response);
  virtual void DoCommandOther(TInContext& context, TInHTTPRequestInfo& request,
                              TInHTTPResponseInfo& response);
  virtual void DoCommandError(TInContext& context, TInHTTPRequestInfo& request,
                              TInHTTPResponseInfo& response, const std::exception& error);
  virtual std::unique_ptr<server::Stream> DoCreatePostStream(TInContext& context,
                                                             const TInHeaderList& headers);
  // After a form body has been read as text; by default frees the body.
  virtual void DoneWithPostStream(TInContext& context, TInHTTPRequestInfo& request);

 private:
  // kClose ends the connection; kLastReplySent ends it after the reply the request got, and
  // kLastReplySentLook as well, looking for bytes the client sent meanwhile (see
  // end_after_last_reply in http_server.cc).
  enum class Outcome { kServed, kClose, kLastReplySent, kLastReplySentLook };
  // One request: what comes after it.
  Outcome serve_request(TInContext& context);
  // Reads the request line, the headers and the body: a refusal, or nullopt.
  // Throws EInReadTimeout when the peer runs out of time.
  std::optional<base::RequestRefusal> read_request(TInContext& context, TInHTTPRequestInfo& request,
                                                   TInHTTPResponseInfo& response);
  // The checks between the header and the body: a refusal, or nullopt. A refusal by the
  // headers hook leaves its status and text in `response`. `send_continue` tells whether the
  // client waits for a 100 Continue before its body.
  std::optional<base::RequestRefusal> check_headers(TInContext& context,
                                                    TInHTTPRequestInfo& request,
                                                    TInHTTPResponseInfo& response, bool form,
                                                    bool& send_continue);
  // Reads the body into the post stream, first sending the 100 Continue when `send_continue`:
  // a refusal, or nullopt.
  std::optional<base::RequestRefusal> read_body(TInContext& context, TInHTTPRequestInfo& request,
                                                bool form, bool send_continue);
  // The most body bytes a request may send, a form or another.
  int64_t max_body_bytes(bool form) const;
  // FAuthUsername and FAuthPassword from the Authorization header.
  void read_credentials(TInContext& context, TInHTTPRequestInfo& request);

  bool keep_alive_ = false;
  bool parse_params_ = true;
  std::string server_software_;
  HttpLimits limits_;
  base::AsyncLineLog* access_log_ = nullptr;
  std::vector<std::string> access_log_trusted_;
};

// The status line and headers of a response, sent in one piece; fails with
// EInHTTPHeaderAlreadyWritten the second time.
void WriteHeader(TInIOHandler& io, TInHTTPResponseInfo& response);
// The body (text in the response's charset, else the stream from its start); writes the
// header first when that has not happened.
void WriteContent(TInIOHandler& io, TInHTTPResponseInfo& response);

}  // namespace appsrv::transport
