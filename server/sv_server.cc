#include "server/sv_server.h"

#include "base/date_time.h"
#include "base/files.h"
#include "base/text.h"
#include "server/basic_credentials.h"
#include "server/exception_logger.h"
#include "server/exception_renderer.h"
#include "server/http_date_parser.h"
#include "server/internal_files.h"
#include "server/memory_stream.h"
#include "server/mime_types.h"
#include "server/params_string.h"
#include "server/path_normalization.h"
#include "server/pipeline_pages.h"
#include "server/server_controller.h"
#include "server/server_exceptions.h"
#include "server/session.h"
#include "server/url_file_mapping.h"

namespace appsrv::server {

namespace {

TSvServerControllerBase& the_controller() {
  TSvServerControllerBase* controller = ServerController();
  if (controller == nullptr) {
    throw ESvException("No server controller is defined.");
  }
  return *controller;
}

// A read-only stream over an internal file's stored bytes; keeps them alive without a copy.
struct SharedBytes {
  std::shared_ptr<const std::string> bytes;
};

class SharedBytesStream : private SharedBytes, public TPointerStream {
 public:
  explicit SharedBytesStream(std::shared_ptr<const std::string> bytes)
      : SharedBytes{std::move(bytes)},
        TPointerStream(SharedBytes::bytes->data(),
                       static_cast<int64_t>(SharedBytes::bytes->size())) {}
};

std::string first_non_empty(const std::string& a, const std::string& b, const std::string& c) {
  return !a.empty() ? a : (!b.empty() ? b : c);
}

}  // namespace

TSvServer::TSvServer(char* aBytes, int32_t aSize)
    : controller_(the_controller()), mReplyBytes(aBytes), mReplyBytesSize(aSize) {
  // The request is read before the reply marks the buffer as its own.
  mRequest = std::make_unique<THttpRequest>(aBytes, aSize);
  mCookieName = "SV_" + controller_.AppName() + controller_.CookieOptions().CookieNameSuffix();
  mReply = std::make_unique<THttpReply>(aBytes, aSize);
}

TSvServer::~TSvServer() = default;

void TSvServer::SetBaseURL(std::string base) {
  if (base.empty() || base.back() != '/') {
    base += '/';
  }
  mBaseURL = std::move(base);
  std::string cookie_path = mBaseURL.substr(0, mBaseURL.size() - 1);
  if (cookie_path.empty() || cookie_path.front() != '/') {
    cookie_path.insert(cookie_path.begin(), '/');
  }
  if (cookie_path.back() != '/') {
    cookie_path += '/';
  }
  mCookiePath = std::move(cookie_path);
}

void TSvServer::Execute() {
  try {
    SetBaseURL(controller_.URLBase() + mRequest->mScriptName);
    mClientIP =
        first_non_empty(mRequest->mForwardedFor, mRequest->mHttpClientIP, mRequest->mRemoteAddr);
    Credentials credentials =
        request_credentials(mRequest->mAuthUser, mRequest->mAuthPass, mRequest->mAuthorization,
                            mRequest->mAuthorizationHeader);
    mUsername = std::move(credentials.user);
    mPassword = std::move(credentials.password);
    mParams = &mRequest->GetParams();

    const TSvSSLOptions& ssl = controller_.SSLOptions();
    if (ssl.NonSSLRequest == NonSslRequest::nsRedirect && mRequest->mServerPort != ssl.Port) {
      std::string url = "https://" + mRequest->mHost + ":" + std::to_string(ssl.Port);
      if (!mRequest->mQuery.empty()) {
        url += "/?" + mRequest->mQuery;
      }
      mReply->SendRedirect(url);
      throw SilentAbort();
    }
    // COM initialisation is a Windows facility; the setting is kept and has no effect here.

    if (controller_.OnBeforeDispatch) {
      controller_.OnBeforeDispatch(*mRequest, *mReply);
    }
    try {
      Route(normalize_path(mRequest->mPathInfo, controller_.URLBase()));
    } catch (...) {
      if (controller_.OnAfterDispatch) {
        controller_.OnAfterDispatch(*mRequest, *mReply);
      }
      throw;
    }
    if (controller_.OnAfterDispatch) {
      controller_.OnAfterDispatch(*mRequest, *mReply);
    }
  } catch (const SilentAbort&) {
    // The reply built so far stands.
  } catch (const std::exception& e) {
    try {
      HandleException(e);
    } catch (const std::exception& inner) {
      // Rendering the error failed as well: the plainest answer that still tells the client.
      mReply->Clear();
      mReply->SetCode(500);
      mReply->WriteString(
      RenderErrorPage(e, mRequest.get(), nullptr, IsLoopbackAddress(mRequest->mRemoteAddr)));
  if (dynamic_cast<const EInvalidSession*>(&e) != nullptr) {
    mReply->mCookies.RemoveCookie(mCookieName, mCookiePath);
  }
}

}  // namespace appsrv::server
