#include "server/pipeline/server_session.h"

#include <algorithm>

#include "base/date_time.h"
#include "base/files.h"
#include "base/parse_int.h"
#include "base/request_note.h"
#include "base/text.h"
#include "server/http/mime_types.h"
#include "server/pipeline/handlers.h"
#include "server/pipeline/path_normalization.h"
#include "server/pipeline/pipeline_pages.h"
#include "server/pipeline/server_exceptions.h"
#include "server/pipeline/session_forms.h"
#include "server/pipeline/url_file_mapping.h"
#include "server/session/auther.h"
#include "server/session/browser.h"
#include "server/session/clock.h"
#include "server/session/server_controller.h"
#include "server/session/session_carrier.h"
#include "server/session/session_list.h"

namespace appsrv::server {

namespace {

// "/app/" + "/appservice/" must not become "//appservice/", which a browser reads as a host.
std::string join_url(const std::string& base, std::string_view path) {
  if (!base.empty() && base.back() == '/' && !path.empty() && path.front() == '/') {
    path.remove_prefix(1);
  }
  return base + std::string(path);
}

// The window size in the parameter `name`, or -1 for none.
int window_size_param(const base::NameValueList& params, std::string_view name) {
  return WindowSize(params.value(name)).value_or(-1);
}

// An http or https URL whose authority is exactly one of `allowed` (without case): letters,
// digits, "." and "-", and a port when the entry names one. Userinfo ("@"), percent-escapes
// and anything else a browser could read as a different host make it no match.
bool allowed_host_url(std::string_view url, const std::vector<std::string>& allowed) {
  size_t scheme_end = 0;
  if (base::istarts_with(url, "https://")) {
    scheme_end = 8;
  } else if (base::istarts_with(url, "http://")) {
    scheme_end = 7;
  } else {
    return false;
  }
  std::string_view authority = url.substr(scheme_end);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  const bool plain =
      !authority.empty() && std::all_of(authority.begin(), authority.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-' || c == ':';
      });
  return plain && std::any_of(allowed.begin(), allowed.end(), [&](const std::string& host) {
           return base::iequals(host, authority);
         });
}

}  // namespace

std::string StopRedirectTarget(std::string_view url, const std::string& root,
                               const std::vector<std::string>& allowed_hosts) {
  // Browsers drop tabs and line breaks from a URL and read "\\" as "/", so either could turn
  // a path into "//host".
  const bool has_unsafe = std::any_of(url.begin(), url.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F || c == '\\';
  });
  if (url.empty() || has_unsafe) {
    return root;
  }
  if (url[0] == '/') {
    return url.size() > 1 && url[1] == '/' ? root : std::string(url);
  }
  return allowed_host_url(url, allowed_hosts) ? std::string(url) : root;
}

TSvServerSession::~TSvServerSession() { ReleaseSession(); }

const std::string* TSvServerSession::SessionRunParams() {
  if (mSession == nullptr) {
    return nullptr;
  }
  run_params_ = mSession->FRunParams.Raw();
  return &run_params_;
}

std::string TSvServerSession::RequestSessionID(const std::string& path) {
  ReadSessionID(path);
  return app_id_;
}

void TSvServerSession::ReadSessionID(const std::string& path) {
  mTrackID = -1;
  std::string carrier;
  bool from_path = false;
  if (base::iequals(path, "/$/call")) {
    carrier = mRequest->mQuery;
  } else if (controller_.CookieOptions().UseCookies()) {
    carrier = mRequest->GetCookieValue(mCookieName);
  } else {
    carrier = mParams->value("SV_SessionID_");
    if (carrier.empty()) {
      carrier = session_segment_of_path(path);
      from_path = true;
    }
  }
  const SessionCarrier parsed = parse_session_carrier(carrier);
  app_id_ = parsed.app_id;
  base::this_thread_request_note().set_session_id(app_id_);
  mTrackID = parsed.track_id;
  if (from_path && mParams->contains("SV_TrackID_")) {
    mTrackID = TrackIDFromText(mParams->value("SV_TrackID_"));
  }
}

void TSvServerSession::SetSessionBaseURL(const std::string& app_id) {
  std::string base = controller_.URLBase();
  if (!mRequest->mScriptName.empty()) {
    base = join_url(base::include_trailing_slash(base), mRequest->mScriptName);
  }
  base = base::include_trailing_slash(base) + app_id + "/";
  if (base.front() != '/') {
    base.insert(base.begin(), '/');
  }
  SetBaseURL(base);
}

void TSvServerSession::ProcessSessionRequest(const std::string& path) {
  mAuthenticated = false;
  mRequestAuth = true;
  mContentHandler = nullptr;
  ReadSessionID(path);

  if (app_id_.empty()) {
    if (base::iends_with(path, "/$/callback")) {
      throw ESvNoSessionId("Session was terminated.");
    }
    if (base::iends_with(path, "/$/StartCheck")) {
      throw ESvNoSessionId("/$/StartCheck requires a session Id.");
    }
  }

  TSvSessions& sessions = controller_.Sessions();
  if (base::iequals(path, "/$/Start") || base::iequals(path, "/$/Start/")) {
    if (!app_id_.empty()) {
      mReply->mCookies.RemoveCookie(mCookieName, mCookiePath);
      // Waits for a request still running in that session, then destroys it.
      if (TSvApplication* old = sessions.LookupAndLock(app_id_, 0)) {
        old->Unlock();
        sessions.Terminate(app_id_);
      }
      SetCurrentSession(nullptr);
    }
    WriteStartPage(mBaseURL + StartParams(true));
    return;
  }

  mFullUrlPath = path;
  if (!app_id_.empty() && path == "/" + app_id_) {
    mFullUrlPath += '/';
  }
  mFullUrlPath = strip_url_base(mFullUrlPath, controller_.URLBase());
  mUrlPath = mFullUrlPath;
  if (!app_id_.empty()) {
    if (const size_t pos = mFullUrlPath.find(app_id_); pos != std::string::npos) {
      mUrlPath = mFullUrlPath.substr(pos + app_id_.size());
    }
    if (controller_.AllowMultipleSessionsPerUser()) {
      SetSessionBaseURL(app_id_);
    }
  }

  if (base::iends_with(mUrlPath, "/$/QueryStatus")) {
    const int status = app_id_.empty() ? -1 : sessions.QueryStatus(app_id_);
    mReply->WriteString(status_xml(status));
    return;
  }
  if (base::iends_with(mUrlPath, "/$/KeepAlive")) {
    if (!app_id_.empty()) {
      sessions.MarkAccess(app_id_);
    }
    mReply->WriteString(kKeepAliveXml);
    return;
  }

  mContentHandler = THandlers::FindMatch(mUrlPath);
  if (app_id_.empty() && mContentHandler == nullptr && MimeTypes::IsStaticFile(mUrlPath)) {
    SendNotFound();
    return;
  }

  request_info_.request = &*mRequest;
  request_info_.reply = &*mReply;
  request_info_.client_ip = mClientIP;
  request_info_.user_agent = mRequest->mUserAgent;
  request_info_.script_name = mRequest->mScriptName;
  request_info_.referer = mRequest->mReferer;
  request_info_.path = mRequest->mPathInfo;
  request_info_.params = mParams;
  request_info_.content_fields = &mRequest->mContentFields;

  SessionAttachRequest attach;
  attach.app_id = app_id_;
  attach.handler_can_start = mContentHandler != nullptr && mContentHandler->mCanStartSession;
  attach.request = &request_info_;
  attach.authenticated = mAuthenticated;
  attach.user = mUsername;
  attach.password = mPassword;
  // Runs only with AuthBeforeNewSession: a stranger without credentials gets the challenge
  // before any session is made for him.
  attach.authenticate_new_session = [this] { CheckAuthentication(); };
  const SessionAttachResult attached = sessions.Attach(attach);
  mSession = attached.session;
  base::this_thread_request_note().set_session_id(mSession->FAppID);
  mTrackID = attached.track_id;
  if (mAuthenticated) {
    mSession->FAuthUser = mUsername;
    mSession->FAuthPassword = mPassword;
  }
  // A failure leaves the session attached: Execute handles it first, then releases it.
  if (attached.is_new) {
    StartNewSession();
  } else {
    ServeExistingSession();
  }
  ReleaseSession();
}

void TSvServerSession::WriteStartPage(const std::string& url) {
  std::optional<StartPageSession> session;
  if (mSession != nullptr) {
    session = StartPageSession{mSession->FAppID, mSession->FTrackID};
  }
  mReply->WriteString(start_page(url, session));
}

void TSvServerSession::StartNewSession() {
  app_id_ = mSession->FAppID;
  if (controller_.AllowMultipleSessionsPerUser()) {
    SetSessionBaseURL(app_id_);
    mSession->mCookiePath = mCookiePath;
  }
  TContentBase* handler = mContentHandler;
  if (handler == nullptr || !handler->mCanStartSession) {
    handler = THandlers::GetStartHandler(mSession);
    const TSvSearchEngineOptions& robots = controller_.SearchEngineOptions();
    if (handler == nullptr && robots.RedirectToContentHandler && mSession->mBrowser &&
        dynamic_cast<const TSearchEngine*>(mSession->mBrowser.get()) != nullptr) {
      handler = THandlers::FindMatch(robots.ContentHandlerPath);
    }
  }
  mContentHandler = handler;
  if (handler != nullptr && handler->mCanStartSession && !handler->mRequiresSessionStart) {
    ContentStep(mUrlPath);
    return;
  }
  if (mSession->mTerminated && mSession->mRenderOverride) {
    mReply->WriteString(*mSession->mRenderOverride);
    return;
  }
  const std::string url = handler != nullptr && handler->mCanStartSession
                              ? join_url(mSession->mSessionUrlBase, handler->mPath)
                              : mSession->mSessionInternalUrlBase + "StartCheck";
  // A restarted "/$/callback" would get this URL as a rewrite instruction from the session
  // forms; without them the start page serves as well.
  WriteStartPage(url + StartParams(false));
}

void TSvServerSession::ServeExistingSession() {
  if (controller_.LogSessionEvents()) {
    mSession->LogSessionEvent(TSessionEvent::seRequest);
  }
  if (base::iequals(mUrlPath, "/$/Stop/")) {
    mSession->TerminateAndRedirect(StopRedirectTarget(
        mParams->value("url"), mBaseURL, controller_.SecurityOptions().StopRedirectHosts));
  } else if (base::iequals(mUrlPath, "/$/StartCheck")) {
    StartCheck();
    return;
  }
  if (mSession->mTerminated && mSession->mRenderOverride) {
    mReply->WriteString(*mSession->mRenderOverride);
    return;
  }

  SessionForms* forms = RegisteredSessionForms();
  FormRequest form_request{*mSession, *mRequest, *mReply, *mParams};
  const std::string lower = base::ascii_lowercase(mUrlPath);
  const auto no_forms = [&] { mReply->WriteString(RedirectPageHtml(mBaseURL)); };
  if (lower == "/$/callback") {
    forms != nullptr ? forms->Callback(form_request) : no_forms();
  } else if (lower == "/$/") {
    forms != nullptr ? forms->Render(form_request) : no_forms();
  } else if (lower == "/$/resize") {
    if (forms != nullptr) {
      forms->Resize(form_request, window_size_param(*mParams, "SV_width"),
                    window_size_param(*mParams, "SV_height"));
    } else {
      no_forms();
    }
  } else if (base::starts_with(lower, "/$/upload")) {
    CheckAuthentication();
    if (forms == nullptr) {
      no_forms();
    } else if (const std::optional<std::string> error = forms->Upload(form_request)) {
      mReply->WriteString(upload_error_json(*error));
    } else {
      mReply->WriteString(kUploadSuccessJson);
    }
  } else if (base::starts_with(lower, "/$/call")) {
    CheckAuthentication();
    forms != nullptr ? forms->Render(form_request) : no_forms();
  } else if (base::starts_with(lower, "/$/")) {
    CheckAuthentication();
    ContentStep(mUrlPath.substr(3));
  } else {
    ContentStep(mUrlPath);
  }
}

void TSvServerSession::StartCheck() {
  const int width = window_size_param(*mParams, "SV_width");
  const int height = window_size_param(*mParams, "SV_height");
  if (width >= 0 && height >= 0) {
    if (SessionForms* forms = RegisteredSessionForms()) {
      forms->SetFormSize(*mSession, width, height);
    }
  }
  mReply->WriteString(
      start_check_page(mBaseURL + StartParams(false), mSession->FAppID, mSession->FTrackID));
}

void TSvServerSession::ContentStep(const std::string& url_path) {
  const bool flag = !(mSession != nullptr && url_path == "/" + mSession->FAppID + "/");
  std::string path = url_path;
  if (path.empty() || path.back() == '/') {
    path += "index.svp";
  }
  std::string file = map_url_to_file(controller_.ContentPath(), path);
  if (mContentHandler != nullptr) {
    CheckAuthentication();
    // Set first: a handler that fails still counts as what it is.
    route_kind_ = mContentHandler->route_kind;
    if (mContentHandler->DoExecute(*mRequest, *mReply, file, mSession, *mParams)) {
      return;
    }
    route_kind_ = base::RouteKind::kFramework;
  }
  if (base::iends_with(file, "/index.svp")) {
    file = file.substr(0, file.size() - 4) + ".html";
  }
  if (FileRule(file, false, MimeTypes::GetAsString(base::extract_file_ext(file)),
               FileMode::kNormal)) {
    route_kind_ = base::RouteKind::kFiles;
    return;
  }
  if (flag) {
    mReply->WriteString(RedirectPageHtml(mBaseURL + "$/" + StartParams(false)));
  } else {
    SendNotFound();
  }
}

void TSvServerSession::CheckAuthentication() {
  if (!AuthActive(controller_) || mAuthenticated) {
    return;
  }
  TSvAutherBase& auther = *controller_.Auther();
  if (!mUsername.empty()) {
    mAuthenticated = auther.Check(mUsername, mPassword);
    if (mSession != nullptr) {
      mSession->FAuthUser = mUsername;
      mSession->FAuthPassword = mPassword;
    }
    if (auther.OnAuthenticate) {
      auther.OnAuthenticate(mUsername, mAuthenticated);
    }
  }
  if (mAuthenticated) {
    return;
  }
  if (mSession != nullptr) {
    std::string group;
    std::optional<bool> by_form;
    if (SessionForms* forms = RegisteredSessionForms()) {
      by_form = forms->RequestAuth(*mSession, *mRequest, group);
    }
    if (by_form) {
      mRequestAuth = *by_form;
    } else if (mContentHandler != nullptr) {
      mRequestAuth = mContentHandler->RequestAuth(*mRequest, group);
    }
  }
  if (mRequestAuth) {
    mReply->Clear();
    mReply->SetCode(401);
    mReply->mAuthRealm = controller_.AppName();
    mReply->WriteString(kAuthFailedBody);
    throw SilentAbort();
  }
}

void TSvServerSession::SetSessionCookie() {
  const TSvSessionCookieOptions& options = controller_.CookieOptions();
  const uint16_t code = mReply->mCode;
  if (!options.UseCookies() || mSession == nullptr || code == 404 || code == 302) {
    return;
  }
  if (mSession->mTerminated) {
    mReply->mCookies.RemoveCookie(mCookieName, mCookiePath);
    return;
  }
  const int32_t timeout = mSession->FSessionTimeOut;
  const base::DateTime expires =
      options.SessionCookies || timeout == 0 ? 0 : controller_.clock().now() + timeout / 1440.0 + 1;
  mReply->mCookies.AddCookie(mCookieName,
                             mSession->FAppID + "_" + TrackIDToText(mSession->FTrackID),
                             mCookiePath, expires, options.HttpOnly, options.Secure);
}

void TSvServerSession::ReleaseSession() noexcept {
  if (mSession == nullptr) {
    return;
  }
  TSvApplication* session = mSession;
  try {
    SetSessionCookie();
  } catch (const std::exception& e) {
    controller_.DoLogException(e);
  }
  mSession = nullptr;
  try {
    controller_.Sessions().Release(*session);
  } catch (const std::exception& e) {
    controller_.DoLogException(e);
  }
  SetCurrentSession(nullptr);
}

void TSvServerSession::HandleException(const std::exception& e) {
  if (!controller_.DoException(mSession, e)) {
    RenderError(e);
  }
}

}  // namespace appsrv::server
