#include "server/pipeline/content_base.h"

#include "base/files.h"
#include "base/text.h"
#include "server/http/http_reply.h"

namespace appsrv::server {

bool TContentBase::RequestAuth(THttpRequest&, std::string& rGroup) {
  rGroup.clear();
  return true;
}

bool TContentBase::DoExecute(THttpRequest& aRequest, THttpReply& aReply,
                             const std::string& aPathname, TSvApplication* aSession,
                             base::NameValueList& aParams) {
  if (!mFileMustExist || base::file_exists(aPathname)) {
    return Execute(aRequest, aReply, aPathname, aSession, aParams);
  }
  if (base::iends_with(aPathname, "/index.svp")) {
    return false;
  }
  aReply.SetCode(404);
  aReply.mContentType = "text/html";
  return true;
}

}  // namespace appsrv::server
