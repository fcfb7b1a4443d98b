#include "transport/http/http_server.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "base/boundary_note.h"
#include "base/client_address.h"
#include "base/metrics.h"
#include "base/request_note.h"
#include "base/text.h"
#include "server/exchange/memory_stream.h"
#include "transport/http/access_log_line.h"
#include "transport/http/http_body_framing.h"
#include "transport/http/http_exceptions.h"
#include "transport/http/http_request_target.h"
#include "transport/http/http_status.h"
#include "transport/net/paced_deadline.h"
#include "transport/net/securable_io_handler.h"
#include "transport/net/socket_errors.h"
#include "transport/net/transport_exceptions.h"

namespace appsrv::transport {
namespace {

// A body the server writes itself (a failed command's message, a blocked request's text) may
// quote what the client sent, and is text/html when nobody chose a type: no browser may sniff
// another type from it or run anything in it.
void forbid_active_content(TInHTTPResponseInfo& resp) {
  std::vector<std::string>& lines = resp.FCustomHeaders.lines();
  lines.emplace_back("X-Content-Type-Options: nosniff");
  lines.emplace_back("Content-Security-Policy: default-src 'none'");
}

// Bytes a request line or header line counts against the header limit beyond its text: its
// line end, counted as CR LF whatever the client sent.
constexpr int64_t kLineEndBytes = 2;
// Responses leave in pieces of this size; a smaller response leaves in one send.
constexpr int32_t kSendBlockSize = 32768;
// Empty lines before a request line are skipped, up to this many (RFC 9112 2.2: a client may
// follow a body with a CRLF of its own); more end the connection as an unreadable line does.
constexpr int kMaxEmptyLinesBeforeRequest = 4;
// After the last reply, request bytes the server did not read are read and dropped (up to this
// many) so that closing does not reset the connection before the client has read the reply.
constexpr int64_t kMaxDiscardedBytes = 1024 * 1024;
// A last reply up to this size leaves whole in its first packet, together with the end of the
// stream, so a reset that the close might send can only follow it. After a larger one the
// server looks whether the client sent more than it read: a reset would drop the part of the
// reply the system has not sent yet.
constexpr int64_t kOnePacketReplyBytes = 1024;

// Peers that went away, and a send that made no progress within its time-out (10035): the
// connection just ends.
bool is_quiet_socket_error(int code) { return is_connection_lost(code) || code == kWSAEWOULDBLOCK; }

// A header or trailer line the server refuses to interpret: answered with 400 and close.
class EMalformedHeaderLine : public std::exception {
 public:
  const char* what() const noexcept override { return "Malformed header line."; }
};


// Sets the handler's read time-out for one phase of the request and restores it after.
class ReadTimeoutScope {
 public:
  ReadTimeoutScope(TInIOHandler& io, int32_t timeout_ms) : io_(io), saved_(io.ReadTimeout()) {
    if (timeout_ms > 0) {
      io_.SetReadTimeout(timeout_ms);
    }
  }
  ~ReadTimeoutScope() { io_.SetReadTimeout(saved_); }
  ReadTimeoutScope(const ReadTimeoutScope&) = delete;
  ReadTimeoutScope& operator=(const ReadTimeoutScope&) = delete;

 private:
  TInIOHandler& io_;
  int32_t saved_;
};

// A line of a chunked body; a read that times out fails rather than passing as an empty line.
std::string read_body_line(TInIOHandler& io) {
  std::string line = io.ReadLn();
  if (io.ReadLnTimedOut()) {
    throw EInReadTimeout();
  }
  return line;
}

// A body's paced deadline: its grace, then its minimum rate; none when either is off.
PaceRule body_pace(const HttpLimits& limits) {
  if (limits.body_rate_grace_ms <= 0 || limits.body_min_rate_bytes_per_sec <= 0) {
    return {};
  }
  return {limits.body_rate_grace_ms, 0, limits.body_min_rate_bytes_per_sec};
}

// A reply's paced deadline: its time-out, extended at its minimum rate (without one, the
// time-out bounds the whole reply); none without a time-out.
PaceRule send_pace(const HttpLimits& limits) {
  if (limits.send_timeout_ms <= 0) {
    return {};
  }
  return {limits.send_timeout_ms, 0, std::max(limits.send_min_rate_bytes_per_sec, 0)};
}

// The bytes of one body, read against the body's paced deadline as well as the pause limit.
class BodyReader {
 public:
  BodyReader(TInIOHandler& io, const HttpLimits& limits)
      : io_(io), deadline_(body_pace(limits), io.clock().now()) {}

  // `count` bytes into the stream. Each wait ends at the pause limit (the handler's read
  // time-out) or at the deadline, whichever is sooner: EInReadTimeout then.
  void Read(server::Stream& stream, int64_t count) {
    while (count > 0) {
      int64_t n = std::min(count, io_.InputBuffer().Size());
      int32_t wait_ms = 0;  // 0: the pause limit
      if (n == 0) {
        deadline_.SetReceived(received_);
        const std::optional<int64_t> left = deadline_.MsLeft(io_.clock().now());
        if (left && *left == 0) {
          throw EInReadTimeout();
        }
        const int32_t pause = io_.ReadTimeout();
        if (left && (pause <= 0 || *left < pause)) {
          wait_ms = static_cast<int32_t>(
              std::min<int64_t>(*left, std::numeric_limits<int32_t>::max()));
        }
        // One receive, whatever it brings: a byte of it goes now, the rest in the next turn.
        n = 1;
      }
      const ReadTimeoutScope wait(io_, wait_ms);
      io_.ReadStream(stream, n);
      count -= n;
      received_ += n;
    }
  }

 private:
  TInIOHandler& io_;
  PacedDeadline deadline_;
  int64_t received_ = 0;
};

// Discards the write buffer when a write fails before it is closed.
class WriteBufferScope {
 public:
  explicit WriteBufferScope(TInIOHandler& io) : io_(io), owned_(!io.WriteBufferingActive()) {
    if (owned_) {
      io_.WriteBufferOpen(kSendBlockSize);
    }
  }
  ~WriteBufferScope() {
    if (owned_ && io_.WriteBufferingActive()) {
      io_.WriteBufferCancel();
    }
  }
  WriteBufferScope(const WriteBufferScope&) = delete;
  WriteBufferScope& operator=(const WriteBufferScope&) = delete;
  void Close() {
    if (owned_) {
      io_.WriteBufferClose();
    }
  }

 private:
  TInIOHandler& io_;
  bool owned_;
};

// Ends the connection's sending side after its last reply, so that the reply and the end of
// the stream leave at once, and drops the request bytes the server did not read: the unread
// input, what is waiting when `look_for_more`, and, where the channel could end its side, what
// the client still sends before it closes in turn (within `linger_ms`). The plain close that
// follows then finds nothing unread, and sends no reset that could overtake the reply.
void end_after_last_reply(TInIOHandler& io, bool look_for_more, int32_t linger_ms) {
  const bool ended = io.EndSending();
  int64_t discarded = io.InputBuffer().Size();
  io.InputBuffer().Clear();
  if (discarded == 0 && !(look_for_more && io.CheckForDataOnSource(0))) {
    return;
  }
  const DeadlineClock& clock = io.clock();
  const DeadlineClock::time_point deadline =
      clock.now() + std::chrono::milliseconds(ended ? std::max(linger_ms, 0) : 0);
  do {
    discarded += io.InputBuffer().Size();
    io.InputBuffer().Clear();
  } while (discarded < kMaxDiscardedBytes && io.CheckForDataOnSource(ms_until(deadline, clock.now())));
}

// Header lines are read one by one rather than captured in one go, so that their total size
// is checked while they arrive, and all of them within one paced deadline from construction.
class HeaderBlockReader {
 public:
  HeaderBlockReader(TInIOHandler& io, const HttpLimits& limits)
      : io_(io),
        limits_(limits),
        deadline_({limits.header_timeout_ms, limits.header_max_timeout_ms,
                   limits.header_min_rate_bytes_per_sec},
                  io.clock().now()),
        // What is buffered already came for this block (or for requests after it).
        received_before_(io.BytesReceived() - io.InputBuffer().Size()) {}

  // The next line without its line end, ASCII-decoded. nullopt when the header limit is
  // reached (the caller answers 431). When `raw` is given and the line held a byte from 0x80 up
  // (which decoding turns into U+FFFD), it receives the line's bytes as they came; otherwise it
  // is cleared. Throws what ReadLn throws for a line over the line limit,
  // EInReadTimeout past the deadline and EMalformedHeaderLine for a control character.
  std::optional<std::string> ReadLine(std::string* raw = nullptr) {
    if (raw != nullptr) {
      raw->clear();
    }
    const int64_t room = limits_.max_header_bytes - used_ - 1;
    if (room <= 0) {
      return std::nullopt;
    }
    const int32_t line_limit = io_.MaxLineLength();
    const bool header_limit_binds = line_limit <= 0 || room < line_limit;
    const int32_t max_length = header_limit_binds ? static_cast<int32_t>(room) : line_limit;
    std::string bytes;
    try {
      for (;;) {
        bool by_deadline = false;
        bytes = io_.ReadLnBytes("\n", time_left(by_deadline), max_length);
        // The bytes that came while the line waited may have moved the deadline; the part of
        // the line they brought stays buffered for the next try.
        if (!io_.ReadLnTimedOut() || !by_deadline || ms_left() == 0) {
          break;
        }
      }
    } catch (const EInReadLnMaxLineLengthExceeded&) {
      if (header_limit_binds) {
        return std::nullopt;
      }
      throw;
    }
    if (io_.ReadLnTimedOut()) {
      throw EInReadTimeout();
    }
    used_ += static_cast<int64_t>(bytes.size()) + kLineEndBytes;
    if (used_ > limits_.max_header_bytes) {
      return std::nullopt;
    }
    if (!IsCleanHeaderLine(bytes)) {
      throw EMalformedHeaderLine();
    }
    // Plain ASCII, nearly every line, decodes to itself.
    if (std::all_of(bytes.begin(), bytes.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
      return bytes;
    }
    std::string text = ascii_encoding()->GetString(bytes);
    if (raw != nullptr) {
      *raw = std::move(bytes);
    }
    return text;
  }

 private:
  // Milliseconds to the deadline as the bytes so far have set it; -1: none.
  int64_t ms_left() {
    deadline_.SetReceived(io_.BytesReceived() - received_before_);
    return deadline_.MsLeft(io_.clock().now()).value_or(-1);
  }

  // The wait for the next line; `by_deadline` tells whether the block's deadline set it.
  int time_left(bool& by_deadline) {
    const int64_t wait = ms_left();
    if (wait < 0) {
      return kTimeoutDefault;
    }
    // A shorter limit of the handler's own governs each wait, as it does everywhere else. An
    // equal one does not: the line's wait would then have no deadline of its own, and a TLS
    // peer could stretch the line over many records, each within the handler's limit.
    const int32_t handler_limit = io_.ReadLimitMs();
    if (handler_limit > 0 && handler_limit < wait) {
      return kTimeoutDefault;
    }
    by_deadline = true;
    return static_cast<int>(std::min<int64_t>(wait, std::numeric_limits<int32_t>::max()));
  }

  TInIOHandler& io_;
  const HttpLimits& limits_;
  PacedDeadline deadline_;
  const int64_t received_before_;
  int64_t used_ = 0;
};

// Reads header lines up to the empty line; false when the header limit is reached. More than
// max_header_lines + 1 lines fail as a capture over its line count does. When `raw_lines` is
// given and a line holds a byte from 0x80 up, it gets every line as it came, in step with
// `lines`; until then it stays empty (the lines are their own bytes).
bool read_header_lines(HeaderBlockReader& reader, const HttpLimits& limits,
                       std::vector<std::string>& lines,
                       std::vector<std::string>* raw_lines = nullptr) {
  const int32_t max_lines = limits.max_header_lines;
  std::string raw;
  while (true) {
    std::optional<std::string> line = reader.ReadLine(raw_lines != nullptr ? &raw : nullptr);
    if (!line) {
      return false;
    }
    if (line->empty()) {
      return true;
    }
    // A folded continuation line is read differently by different parsers on the way.
    const bool continuation = line->front() == ' ' || line->front() == '\t';
    if (limits.refuse_folded_lines && continuation) {
      throw EMalformedHeaderLine();
    }
    if (!continuation && !has_field_name(*line)) {
      throw EMalformedHeaderLine();
    }
    if (max_lines > 0 && static_cast<int64_t>(lines.size()) > max_lines) {
      throw EInMaxCaptureLineExceeded();
    }
    if (raw_lines != nullptr) {
      if (!raw.empty() && raw_lines->empty()) {
        *raw_lines = lines;
      }
      if (!raw_lines->empty()) {
        raw_lines->push_back(raw.empty() ? *line : std::move(raw));
      }
    }
    lines.push_back(std::move(*line));
  }
}

// One request from its first byte to the end of its reply, however it ends: counts it in the
// process's figures and writes its access-log line when it goes out of scope.
class RequestRecord {
 public:
  RequestRecord(TInContext& context, const TInHTTPRequestInfo& request,
                const TInHTTPResponseInfo& response, base::AsyncLineLog* log,
                const std::vector<std::string>& trusted)
      : context_(context),
        request_(request),
        response_(response),
        log_(log),
        trusted_(trusted),
        start_ns_(base::monotonic_ns()),
        arrival_(std::time(nullptr)),
        bytes_at_start_(context.IOHandler().BytesSent()) {
    base::this_thread_request_note().clear();
  }
  ~RequestRecord() {
    try {
      finish();
    } catch (...) {  // boundary: a request is never failed by its record
      static base::LogThrottle notes;
      base::note_caught("request record", notes);
    }
  }
  RequestRecord(const RequestRecord&) = delete;
  RequestRecord& operator=(const RequestRecord&) = delete;

  // The final reply starts now; what went out before it (100 Continue) is not its body.
  void reply_starts() { bytes_at_reply_ = context_.IOHandler().BytesSent(); }

 private:
  void finish() {
    const int64_t sent_now = context_.IOHandler().BytesSent();
    if (request_.FRawHTTPCommand.empty() && sent_now == bytes_at_start_) {
      return;  // the peer went away before asking anything
    }
    const int64_t duration_us = (base::monotonic_ns() - start_ns_) / 1000;
    base::ServerMetrics& figures = base::metrics();
    figures.responses_by_class[base::status_class_index(response_.FResponseNo)].add();
    figures.bytes_sent.add(static_cast<uint64_t>(sent_now - bytes_at_start_));
    figures.request_duration.observe_us(static_cast<uint64_t>(std::max<int64_t>(duration_us, 0)));
    if (log_ == nullptr) {
      return;
    }
    const int64_t body_bytes =
        bytes_at_reply_ < 0 ? 0 : sent_now - bytes_at_reply_ - response_.header_bytes;
    // The entry's views point into these.
    const std::string client =
        base::client_address(context_.PeerIP(), request_.FRawHeaders.lines(), trusted_).address;
    AccessLogEntry entry;
    entry.client = client;
    entry.when = arrival_;
    // The bytes as the client sent them, where decoding changed them: the log escapes them.
    const TInHTTPRequestInfo::ReceivedBytes& received = request_.received_bytes;
    entry.request_line =
        received.request_line.empty() ? request_.FRawHTTPCommand : received.request_line;
    entry.status = response_.FResponseNo;
    entry.body_bytes = std::max<int64_t>(body_bytes, 0);
    std::string raw_referer;
    std::string raw_user_agent;
    if (received.header_lines.lines().empty()) {
      entry.referer = request_.FReferer;
      entry.user_agent = request_.FUserAgent;
    } else {
      raw_referer = received.header_lines.Values("Referer");
      raw_user_agent = received.header_lines.Values("User-Agent");
      entry.referer = raw_referer;
      entry.user_agent = raw_user_agent;
    }
    entry.duration_us = duration_us;
    entry.session_id = base::this_thread_request_note().session_id();
    log_->Append(format_access_log_line(entry));
  }

  TInContext& context_;
  const TInHTTPRequestInfo& request_;
  const TInHTTPResponseInfo& response_;
  base::AsyncLineLog* log_;
  const std::vector<std::string>& trusted_;
  const int64_t start_ns_;
  const std::time_t arrival_;
  const int64_t bytes_at_start_;
  int64_t bytes_at_reply_ = -1;
};

}  // namespace

TInCustomHTTPServer::TInCustomHTTPServer() { SetDefaultPort(80); }

TInCustomHTTPServer::~TInCustomHTTPServer() {
  // Connection threads call our steps: stop them while this object is whole.
  SetActive(false);
}

void TInCustomHTTPServer::Startup() {
  ConnectionSettings().send_timeout_ms = limits_.send_stall_timeout_ms;
  // A waiting connection's bytes earn it time at the rate that earns a request head time.
  SetSlotRecovery(true, limits_.header_min_rate_bytes_per_sec);
  TInCustomTCPServer::Startup();
}

bool TInCustomHTTPServer::DoExecute(TInContext& context) {
  if (TInSocketHandle* socket = context.IOHandler().Binding();
      socket != nullptr && limits_.send_stall_timeout_ms > 0) {
    socket->TightenSendTimeout(limits_.send_stall_timeout_ms);
  }
  try {
    Outcome outcome = Outcome::kServed;
    while ((outcome = serve_request(context)) == Outcome::kServed) {
      // Idle now, and then inside the next request's head: the slot may go to a new
      // connection if every slot is taken. Bytes of that request already here count for it.
      TInIOHandler& io = context.IOHandler();
      context.Claim().Wait({base::monotonic_ns(), io.BytesReceived() - io.InputBuffer().Size()});
    }
    // Only now, with the request and what it held (its temporary files) gone, does the client
    // see the end of the stream.
    if (outcome != Outcome::kClose) {
      end_after_last_reply(context.IOHandler(), outcome == Outcome::kLastReplySentLook,
                           limits_.close_linger_ms);
    }
  } catch (const EInSocketError& e) {
    if (!is_quiet_socket_error(e.LastError())) {
      throw;
    }
  } catch (const EInClosedSocket&) {
  }
  return false;
}

TInCustomHTTPServer::Outcome TInCustomHTTPServer::serve_request(TInContext& context) {
  TInIOHandler& io = context.IOHandler();
  // About 2 KiB together: the connection's stack holds them.
  TInHTTPRequestInfo req;
  TInHTTPResponseInfo resp;
  resp.SetCloseConnection(!keep_alive_);
  resp.FServer = std::string(base::trim(server_software_));

  // Counts the request and writes its access-log line at the end, however it ends; made once
  // the request's first byte is there.
  std::optional<RequestRecord> record;

  // Writes the reply to a refused request and ends the connection.
  const auto reply_and_close = [&](base::RequestRefusal refusal) {
    if (!context.Claim().Hold()) {
      return Outcome::kClose;  // its slot went to a new connection meanwhile
    }
    base::metrics().requests_refused[static_cast<size_t>(refusal)].add();
    // The headers hook chose its own status and text; every other refusal has one status.
    const int code = refusal == base::RequestRefusal::kBlockedByHook
                         ? resp.FResponseNo
                         : base::refusal_facts(refusal).status;
    if (code != resp.FResponseNo) {
      resp.SetResponseNo(code);
    }
    resp.SetCloseConnection(true);
    record->reply_starts();
    io.PaceSends(send_pace(limits_));
    io.LastWritesFollow();
    WriteContent(io, resp);
    return Outcome::kLastReplySentLook;
  };

  // A connection that asks nothing in time is closed without a reply; a shorter limit of the
  // handler's own governs instead.
  const int32_t handler_limit = io.ReadLimitMs();
  if (limits_.idle_timeout_ms > 0 &&
      (handler_limit <= 0 || limits_.idle_timeout_ms < handler_limit) &&
      !io.AwaitInput(limits_.idle_timeout_ms)) {
    return Outcome::kClose;
  }
  record.emplace(context, req, resp, access_log_, access_log_trusted_);
  std::optional<base::RequestRefusal> refusal;
  try {
    refusal = read_request(context, req, resp);
  } catch (const EInReadTimeout&) {
    refusal = base::RequestRefusal::kTimedOut;
  } catch (const EMalformedHeaderLine&) {
    refusal = base::RequestRefusal::kMalformedHeaderLine;
  } catch (const EInException&) {
    throw;  // the connection itself failed or cannot be read on
  } catch (const std::exception&) {
    // The body could not be kept (a full disk, a failing hook): this request fails, the
    // server goes on. What was stored goes with the request; the reason, which may name
    // server paths, stays here.
    refusal = base::RequestRefusal::kBodyNotKept;
  }
  if (refusal) {
    return reply_and_close(*refusal);
  }

  // The command.
  try {
    if (req.FCommandType == hcHEAD || req.FCommandType == hcGET || req.FCommandType == hcPOST) {
      DoCommandGet(context, req, resp);
    } else {
      DoCommandOther(context, req, resp);
    }
  } catch (const EInSocketError&) {
    throw;
  } catch (const std::exception& e) {
    resp.SetResponseNo(500);
    resp.FContentText = e.what();
    forbid_active_content(resp);
    DoCommandError(context, req, resp, e);
  }

  const int64_t sent_before_reply = io.BytesSent();
  {
    record->reply_starts();
    io.PaceSends(send_pace(limits_));
    if (resp.FCloseConnection) {
      io.LastWritesFollow();
    }
    WriteBufferScope buffer(io);
    if (!resp.FHeaderHasBeenWritten) {
      WriteHeader(io, resp);
    }
    // A response to HEAD carries the headers of the GET response but never its body, which
    // would otherwise be read as the start of the next response.
    if (req.FCommandType != hcHEAD && resp.HasBody()) {
      WriteContent(io, resp);
    }
    buffer.Close();
    io.PaceSends({});
  }
  if (!resp.FCloseConnection) {
    return Outcome::kServed;
  }
  // The request was read whole: what the client sent beyond it (a pipelined request) is in
  // the input buffer when it came with the request. Looking for more costs a system call,
  // which a small reply spares.
  return io.BytesSent() - sent_before_reply > kOnePacketReplyBytes ? Outcome::kLastReplySentLook
                                                                   : Outcome::kLastReplySent;
}

std::optional<base::RequestRefusal> TInCustomHTTPServer::read_request(
    TInContext& context, TInHTTPRequestInfo& req, TInHTTPResponseInfo& resp) {
  TInIOHandler& io = context.IOHandler();
  HeaderBlockReader reader(io, limits_);
  std::string& raw_command = req.received_bytes.request_line;
  std::optional<std::string> line = reader.ReadLine(&raw_command);
  for (int skipped = 0; line && line->empty() && skipped < kMaxEmptyLinesBeforeRequest;
       ++skipped) {
    line = reader.ReadLine(&raw_command);
  }
  if (!line) {
    return base::RequestRefusal::kHeaderTooLarge;
  }
  // Kept at once, so that a request refused below still names itself in the access log.
  req.FRawHTTPCommand = std::move(*line);
  const std::optional<RequestLine> request_line = parse_request_line(req.FRawHTTPCommand);
  if (!request_line) {
    throw EInHTTPErrorParsingCommand();
  }
  req.FVersion = request_line->version;
  req.FVersionMajor = request_line->major;
  req.FVersionMinor = request_line->minor;

  // Room for what a browser sends, so that the list does not grow line by line.
  constexpr size_t kUsualHeaderLines = 16;
  req.FRawHeaders.lines().reserve(kUsualHeaderLines);
  if (!read_header_lines(reader, limits_, req.FRawHeaders.lines(),
                         &req.received_bytes.header_lines.lines())) {
    return base::RequestRefusal::kHeaderTooLarge;
  }
  // A whole head: from now on the request is served, and keeps its slot.
  if (!context.Claim().Hold()) {
    throw EInClosedSocket();
  }
  ProcessHeaders(req);

  resp.SetCloseConnection(
      !keep_connection_open(keep_alive_, req.FVersionMajor, req.FVersionMinor, req.FConnection));

  req.FCommand = request_line->method;
  if (!req.FMethodOverride.empty()) {
    req.FCommand = base::ascii_uppercase(req.FMethodOverride);
  }
  req.FRemoteIP = context.PeerIP();
  req.FCommandType = CommandType(req.FCommand);

  const RequestTarget target = parse_request_target(request_line->target);
  req.FURI = target.uri;
  req.FQueryParams = target.query;
  req.FDocument = target.document;
  if (req.FHost.empty() && !target.host.empty()) {
    req.FHost = target.host;
  }

  const bool form = base::iequals(MediaType(req.FContentType), "application/x-www-form-urlencoded");
  bool send_continue = false;
  if (const auto refusal = check_headers(context, req, resp, form, send_continue)) {
    return refusal;
  }
  if (const auto refusal = read_body(context, req, form, send_continue)) {
    return refusal;
  }

  if (form && req.FPostStream) {
    server::Stream& body = *req.FPostStream;
    req.FFormParams.resize(static_cast<size_t>(body.GetSize()));
    body.SetPosition(0);
    body.ReadBuffer(req.FFormParams.data(), static_cast<int64_t>(req.FFormParams.size()));
    DoneWithPostStream(context, req);
  }
  DecodeRequestParams(req, parse_params_);
  for (const std::string& value : req.FRawHeaders.Extract("Cookie")) {
    parse_cookie_header(value, req.FCookies);
  }
  read_credentials(context, req);

  return std::nullopt;
}

std::optional<base::RequestRefusal> TInCustomHTTPServer::check_headers(
    TInContext& context, TInHTTPRequestInfo& req, TInHTTPResponseInfo& resp, bool form,
    bool& send_continue) {
  TInIOHandler& io = context.IOHandler();
  if (OnHeadersAvailable && !OnHeadersAvailable(context, req.FURI, req.FRawHeaders)) {
    int status = base::refusal_facts(base::RequestRefusal::kBlockedByHook).status;
    std::string text(StatusPhrase(status));
    std::string content;
    if (OnHeadersBlocked) {
      OnHeadersBlocked(context, req.FRawHeaders, status, text, content);
    }
    resp.SetResponseNo(status);
    resp.FResponseText = text;
    resp.FContentText = content;
    if (!content.empty()) {
      forbid_active_content(resp);
    }
    return base::RequestRefusal::kBlockedByHook;
  }
  const bool http11 = req.IsVersionAtLeast(1, 1);
  if (http11 && req.FHost.empty()) {
    return base::RequestRefusal::kMissingHost;
  }
  // A body whose end is unknown leaves no safe way to find the next request.
  if (req.framing_fault != FramingFault::kNone) {
    return base::RequestRefusal::kUnknownBodyEnd;
  }
  if (req.FHasContentLength && req.FContentLength > max_body_bytes(form)) {
    return base::RequestRefusal::kBodyTooLarge;
  }
  if (http11 && !req.FExpect.empty() && io.InputBufferIsEmpty()) {
    const bool accepted = OnHeaderExpectations ? OnHeaderExpectations(context, req.FExpect)
                                               : base::iequals(req.FExpect, "100-continue");
    if (!accepted) {
      return base::RequestRefusal::kExpectationFailed;
    }
    // Sent by read_body once nothing but the body itself can refuse the request: a client
    // told to go on sends a body that a refusal then leaves unread.
    send_continue = base::ifind(req.FExpect, "100-continue") != std::string::npos;
  }
  return std::nullopt;
}

int64_t TInCustomHTTPServer::max_body_bytes(bool form) const {
  return form ? std::min(limits_.max_body_bytes, limits_.max_form_bytes) : limits_.max_body_bytes;
}

std::optional<base::RequestRefusal> TInCustomHTTPServer::read_body(TInContext& context,
                                                                   TInHTTPRequestInfo& req,
                                                                   bool form, bool send_continue) {
  TInIOHandler& io = context.IOHandler();
  const ReadTimeoutScope pause_limit(io, limits_.body_idle_timeout_ms);
  const int64_t max_body = max_body_bytes(form);
  // Every reply names the protocol the server speaks; the client's version text is not echoed,
  // so that it cannot put bytes of its choosing into the reply stream.
  const auto invite_body = [&] {
    if (send_continue) {
      io.WriteBytes("HTTP/1.1 100 Continue\r\n\r\n");
    }
  };
  if (body_framing(req.FTransferEncoding) == BodyFraming::kChunked) {
    req.FPostStream = DoCreatePostStream(context, req.FRawHeaders);
    invite_body();
    BodyReader body(io, limits_);
    int64_t total = 0;
    while (true) {
      const std::optional<int64_t> size = parse_chunk_size(read_body_line(io));
      if (!size) {
        return base::RequestRefusal::kBadChunk;
      }
      if (*size == 0) {
        break;
      }
      if (*size > max_body - total) {
        return base::RequestRefusal::kBodyTooLarge;
      }
      total += *size;
      body.Read(*req.FPostStream, *size);
      // The data must end where its size says; bytes before the line end mean that the size
      // and the data disagree, and the rest cannot be trusted to be chunks.
      if (!read_body_line(io).empty()) {
        return base::RequestRefusal::kBadChunk;
      }
    }
    // Trailers are read and dropped, within the same limits as the header.
    HeaderBlockReader trailer_reader(io, limits_);
    std::vector<std::string> trailers;
    if (!read_header_lines(trailer_reader, limits_, trailers)) {
      return base::RequestRefusal::kHeaderTooLarge;
    }
    req.FPostStream->SetPosition(0);
  } else if (req.FHasContentLength) {
    req.FPostStream = DoCreatePostStream(context, req.FRawHeaders);
    invite_body();
    if (req.FContentLength > 0) {
      BodyReader(io, limits_).Read(*req.FPostStream, req.FContentLength);
    }
    req.FPostStream->SetPosition(0);
  } else if (req.FCommandType != hcGET && req.FCommandType != hcHEAD) {
    // No 100 Continue: with neither length nor coding the request has no body to invite.
    // Body bytes without a length cannot be told from the next request. GET and HEAD skip the
    // look: what follows them on a kept connection is the next request.
    if (io.InputBufferIsEmpty()) {
      io.CheckForDataOnSource(1);
    }
    if (!io.InputBufferIsEmpty()) {
      return base::RequestRefusal::kLengthRequired;
    }
  }
  return std::nullopt;
}

void TInCustomHTTPServer::read_credentials(TInContext& context, TInHTTPRequestInfo& req) {
  const std::string authorization = req.FRawHeaders.Values("Authorization");
  if (authorization.empty()) {
    return;
  }
  const size_t blank = authorization.find(' ');
  std::string user, password;
  if (OnParseAuthentication &&
      OnParseAuthentication(context, authorization.substr(0, blank),
                            blank == std::string::npos ? "" : authorization.substr(blank + 1), user,
                            password)) {
    req.FAuthExists = true;
    req.FAuthUsername = user;
    req.FAuthPassword = password;
  } else {
    DecodeAuthorization(req);
  }
}

void TInCustomHTTPServer::DoCommandGet(TInContext& context, TInHTTPRequestInfo& request,
                                       TInHTTPResponseInfo& response) {
  if (OnCommandGet) {
    OnCommandGet(context, request, response);
  }
}

void TInCustomHTTPServer::DoCommandOther(TInContext& context, TInHTTPRequestInfo& request,
                                         TInHTTPResponseInfo& response) {
  if (OnCommandOther) {
    OnCommandOther(context, request, response);
  }
}

void TInCustomHTTPServer::DoCommandError(TInContext& context, TInHTTPRequestInfo& request,
                                         TInHTTPResponseInfo& response,
                                         const std::exception& error) {
  if (OnCommandError) {
    OnCommandError(context, request, response, error);
  }
}

std::unique_ptr<server::Stream> TInCustomHTTPServer::DoCreatePostStream(
    TInContext& context, const TInHeaderList& headers) {
  if (OnCreatePostStream) {
    if (std::unique_ptr<server::Stream> stream = OnCreatePostStream(context, headers)) {
      return stream;
    }
  }
  return std::make_unique<server::TSvMemoryStream>();
}

void TInCustomHTTPServer::DoneWithPostStream(TInContext&, TInHTTPRequestInfo& request) {
  request.FPostStream.reset();
}

void WriteHeader(TInIOHandler& io, TInHTTPResponseInfo& response) {
  if (response.FHeaderHasBeenWritten) {
    throw EInHTTPHeaderAlreadyWritten();
  }
  WriteBufferScope buffer(io);
  // The Date header of this moment is read from the system clock in UTC: the local time's way
  // back to UTC looks up the zone's offsets several times, on every reply.
  const base::HttpDateText date(base::utc_now());
  const base::DateTime now = base::now();
  response.complete(now);
  const std::string header = response.HeaderText(now, date.view());
  io.WriteBytes(header);
  buffer.Close();
  response.FHeaderHasBeenWritten = true;
  response.header_bytes = static_cast<int64_t>(header.size());
}

void WriteContent(TInIOHandler& io, TInHTTPResponseInfo& response) {
  WriteBufferScope buffer(io);
  if (!response.FHeaderHasBeenWritten) {
    WriteHeader(io, response);
  }
  // The client reads as many bytes as the header announced and takes the next ones for the
  // next response: a body that grew since (a file being written) is cut there, and one that
  // shrank ends the connection (EInNoDataToRead), the only way left to say it is short.
  const int64_t announced = response.announced_length;
  if (!response.FContentText.empty()) {
    std::string bytes = response.EncodedContentText();
    const bool short_body = announced > static_cast<int64_t>(bytes.size());
    if (announced >= 0 && !short_body) {
      bytes.resize(static_cast<size_t>(announced));
    }
    io.WriteBytes(bytes);
    if (short_body) {
      throw EInNoDataToRead();
    }
  } else if (response.FContentStream) {
    if (announced < 0) {
      io.Write(*response.FContentStream, 0);
    } else if (announced > 0) {
      response.FContentStream->SetPosition(0);
      io.Write(*response.FContentStream, announced);
    }
  }
  buffer.Close();
  response.FContentText.clear();
  response.FContentStream.reset();
}

void TInCustomHTTPServer::DoConnect(TInContext& context) {
  if (auto* tls = dynamic_cast<SecurableIOHandler*>(&context.IOHandler())) {
    tls->SetPassThrough(!DoQuerySSLPort(context, context.LocalPort()));
  }
  TInCustomTCPServer::DoConnect(context);
}

bool TInCustomHTTPServer::DoQuerySSLPort(TInContext& context, uint16_t port) {
  return OnQuerySSLPort ? OnQuerySSLPort(context, port) : true;
}

}  // namespace appsrv::transport
