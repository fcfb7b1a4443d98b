#include "server/session/session.h"

#include <cmath>

#include "base/boundary_note.h"
#include "base/encoding.h"
#include "base/exception.h"
#include "base/files.h"
#include "base/random.h"
#include "base/text.h"
#include "server/exchange/render_stream.h"
#include "server/exchange/sv_exception.h"
#include "server/http/http_reply.h"
#include "server/http/http_request.h"
#include "server/http/mime_types.h"
#include "server/session/clock.h"
#include "server/session/server_controller.h"
#include "server/session/session_list.h"
#include "server/session/session_log.h"

namespace appsrv::server {

namespace {

constexpr char kSessionIdAlphabet[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789~-";
static_assert(sizeof(kSessionIdAlphabet) == 65);

constexpr char kTrackDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";

thread_local TSvApplication* t_current_session = nullptr;

}  // namespace

TSvApplication::TSvApplication(TSvSessions& owner, std::unique_ptr<TBrowser> aBrowser,
                               const SessionRequestInfo& aRequest, std::string_view AIP,
                               std::string_view AAuthUser, std::string_view AAuthPassword,
                               std::string_view AUrlBase)
    : owner_(&owner) {
  TSvServerControllerBase& ctl = controller();
  mCreationTime = ctl.clock().now();
  FRunParams.set_separator('=');

  mAppUrlBase = base::include_trailing_slash(ctl.URLBase().empty() ? AUrlBase : ctl.URLBase());
  mInternalUrlBase = mAppUrlBase + "$/";
  mBrowser = std::move(aBrowser);
  Initialize(&aRequest);
  ctl.DoBrowserCheck(*this, mBrowser);
  // A replacement built by the application carries no agent text; keep the creating one so
  // that the same-browser check compares against what the client sent.
  if (mBrowser && mBrowser->mUserAgent.empty()) {
    mBrowser->mUserAgent = aRequest.user_agent;
  }
  if (!mBrowser || !mBrowser->IsSupported()) {
    throw EUnknownBrowserException("Unknown browser type. User Agent string: " +
                                   aRequest.user_agent);
  }

  MarkAccess();
  FAuthUser = AAuthUser;
  FAuthPassword = AAuthPassword;
  FIP = AIP;
  FReferringURL = aRequest.referer;
  if (aRequest.params != nullptr) {
    FRunParams.FillFrom(*aRequest.params, ctl);
  }

  FSessionTimeOut = ctl.SessionTimeout();
  FSessionTimeStamp = ctl.clock().now();
}

TSvApplication::~TSvApplication() {
  // First, so that nobody reaches the session through its place any more.
  owner_->ForgetWarm(this);
  if (registered_) {
    LogSessionEvent(TSessionEvent::seDestroy);
    controller().DoCloseSession(*this);
    if (owner_->FOnDestroySession) {
      try {
        owner_->FOnDestroySession(*this);
      } catch (...) {  // boundary: a session being destroyed cannot report to its caller
        base::note_caught("OnDestroySession", owner_->destroy_handler_notes_);
      }
    }
  }
  FData.reset();
  FFormsState.reset();
  for (const std::string& file : mCacheFiles) {
    base::delete_file(file);
  }
  if (!mUserCacheDir.empty()) {
    base::remove_tree(mUserCacheDir);
  }
}

TSvServerControllerBase& TSvApplication::controller() const { return owner_->controller(); }

void TSvApplication::MarkAccess() {
  const double seconds = (controller().clock().now() - mCreationTime) * 86400.0;
  mLastAccess.store(static_cast<int32_t>(std::floor(seconds + 1e-6)), std::memory_order_relaxed);
}

base::DateTime TSvApplication::GetLastAccess() const {
  return mCreationTime + mLastAccess.load(std::memory_order_relaxed) / 86400.0;
}

bool TSvApplication::Expired(base::DateTime now) const {
  const double idle_seconds =
      (now - mCreationTime) * 86400.0 - mLastAccess.load(std::memory_order_relaxed);
  // A microsecond of slack keeps the day-fraction arithmetic from missing an exact boundary.
  return idle_seconds + 1e-6 >= FSessionTimeOut.load(std::memory_order_relaxed) * 60.0;
}

void TSvApplication::Initialize(const SessionRequestInfo* ARequest) {
  database_turn_.reset();
  current_request_ = ARequest;
  FRequest = ARequest != nullptr ? ARequest->request : nullptr;
  FResponse = ARequest != nullptr ? ARequest->reply : nullptr;
}

void TSvApplication::Terminate(std::string_view AMsg) {
  mTerminated = true;
  const std::string_view message = AMsg.empty() ? "This session has been terminated" : AMsg;
  mRenderOverride = "<html>\r\n<head>\r\n<meta charset=\"utf-8\">\r\n</head><body>" +
                    std::string(message) + "</body></html>";
}

void TSvApplication::TerminateAndRedirect(std::string_view aURL) {
  mTerminated = true;
  std::string url(aURL);
  const bool absolute = url.find("://") != std::string::npos || base::starts_with(url, "/");
  if (!absolute) {
    // Static files live under the application's base, not under a session's own path.
    url = (MimeTypes::IsStaticFile(url) ? mAppUrlBase : mSessionUrlBase) + url;
  }
  mRenderOverride = RedirectPageHtml(url);
}

bool TSvApplication::SendRenderOverride(THttpReply& aReply) {
  if (!mRenderOverride) {
    return false;
  }
  auto page = std::make_unique<TSvRenderStream>(true);
  page->Write(*mRenderOverride);
  aReply.SendRenderStream(std::move(page));
  return true;
}

void TSvApplication::LogSessionEvent(TSessionEvent AEvent) noexcept {
  if (controller().LogSessionEvents()) {
    WriteSessionEvent(controller(), *this, AEvent);
  }
}

SessionRequestInfo MakeSessionRequestInfo(THttpRequest& request, THttpReply& reply,
                                          std::string client_ip) {
  SessionRequestInfo info;
  info.request = &request;
  info.reply = &reply;
  info.client_ip = std::move(client_ip);
  info.user_agent = request.UserAgent();
  info.script_name = request.ScriptName();
  info.referer = request.Referer();
  info.path = request.PathInfo();
  info.params = &request.GetParams();
  info.content_fields = &request.ContentFields();
  return info;
}

TSvApplication* SetCurrentSession(TSvApplication* session) {
  TSvApplication* previous = t_current_session;
  t_current_session = session;
  return previous;
}

TSvApplication* CurrentSession() { return t_current_session; }

std::string EncodeSessionID(const uint8_t (&bytes)[16]) {
  std::string out;
  out.reserve(22);
  uint32_t acc = 0;
  int bits = 0;
  for (uint8_t b : bytes) {
    acc = (acc << 8) | b;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out += kSessionIdAlphabet[(acc >> bits) & 0x3F];
    }
  }
  if (bits > 0) {
    out += kSessionIdAlphabet[(acc << (6 - bits)) & 0x3F];
  }
  return out;
}

std::string MakeSessionID() {
  uint8_t bytes[16];
  base::random_bytes(bytes, sizeof bytes);
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // GUID version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return EncodeSessionID(bytes);
}

std::string TrackIDToText(uint32_t track_id) {
  return base::ascii_lowercase(base::to_base36(track_id));
}

int64_t TrackIDFromText(std::string_view text) {
  // Unsigned arithmetic: a long hostile text wraps instead of overflowing.
  uint64_t value = 0;
  for (char c : base::ascii_lowercase(text)) {
    const char* digit = std::char_traits<char>::find(kTrackDigits, 36, c);
    const int64_t v = digit != nullptr ? digit - kTrackDigits : -1;
    value = value * 36 + static_cast<uint64_t>(v);
  }
  return static_cast<int64_t>(value);
}

std::string RedirectPageHtml(std::string_view url) {
  // The URL may come from a request parameter: keep it inside the script's string literal.
  std::string quoted;
  for (char c : url) {
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '<':
        quoted += "\\u003c";
        break;
      case '\r':
      case '\n':
        break;
      default:
        quoted += c;
    }
  }
  return "<html>\r\n<head>\r\n<meta charset=\"utf-8\">\r\n<script>window.location.replace(\"" +
         quoted + "\");</script>\r\n\r\n</head></html>";
}

}  // namespace appsrv::server
