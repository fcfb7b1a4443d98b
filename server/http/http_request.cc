#include "server/http/http_request.h"

#include "base/parse_int.h"
#include "base/text.h"
#include "server/exchange/http_packet.h"

namespace appsrv::server {

THttpMethod http_method_from_text(std::string_view method) {
  const std::string upper = base::ascii_uppercase(method);
  if (upper == "GET") {
    return hmGet;
  }
  if (upper == "PUT") {
    return hmPut;
  }
  if (upper == "POST") {
    return hmPost;
  }
  if (upper == "HEAD") {
    return hmHead;
  }
  return hmNone;
}

THttpRequest::THttpRequest(const char* aBytes, int32_t aSize) {
  TPacketReader reader(aBytes, aSize);
  TStreamHelper& in = reader.in();
  THttpPacket::CheckSig(in);
  mUserAgent = in.ReadText();
  mReferer = in.ReadText();
  mScriptName = in.ReadText();
  mHost = in.ReadText();
  mAuthorization = in.ReadText();
  mURL = in.ReadText();
  mPathInfo = in.ReadText();
  mRemoteAddr = in.ReadText();
  mServerPort = in.ReadInteger();
  mQuery = in.ReadText();
  mHttpMethod = http_method_from_text(in.ReadText());
  mIfModifiedSince = in.ReadText();
  mForwardedFor = in.ReadText();
  mHttpClientIP = in.ReadText();
  mAuthorizationHeader = in.ReadText();
  mAuthUser = in.ReadText();
  mAuthPass = in.ReadText();
  mAcceptLanguage = in.ReadText();
  mHttpsHeader = in.ReadText();
  in.ReadStrings(mRawHeaders.lines());
  in.ReadStrings(mContentFields.lines());
  in.ReadStrings(mCookieFields.lines());
  in.ReadStrings(mQueryFields.lines());
  in.ReadStrings(mServerVariables.lines());
  const uint16_t file_count = in.ReadWord();
  for (uint16_t i = 0; i < file_count; ++i) {
    auto file = std::make_unique<THttpFile>();
    file->mFileName = in.ReadText();
    file->mTempPathName = in.ReadText();
    file->mContentType = in.ReadText();
    file->mFieldName = in.ReadText();
    const std::string size = in.ReadText();
    file->mFileSize = base::parse_int<int64_t>(size).value_or(-1);
    mFiles.Add(std::move(file));
  }
  mHasContent = in.ReadByte() != 0;
}

std::string find_header_value(const std::vector<std::string>& lines, std::string_view name) {
  if (name.empty()) {
    return {};
  }
  for (size_t i = lines.size(); i-- > 0;) {
    const std::string& line = lines[i];
    if (line.size() > name.size() && line[name.size()] == ':' && base::istarts_with(line, name)) {
      size_t start = name.size() + 1;
      while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) {
        ++start;
      }
      return line.substr(start);
    }
  }
  return {};
}

std::string THttpRequest::GetRawHeaderValue(std::string_view aName) const {
  return find_header_value(mRawHeaders.lines(), aName);
}

std::string THttpRequest::GetServerVariableValue(std::string_view aVariableName) const {
  return find_header_value(mServerVariables.lines(), aVariableName);
}

base::NameValueList& THttpRequest::GetParams() {
  if (mHttpMethod != hmPost) {
    return mQueryFields;
  }
  for (const std::string& line : mQueryFields.lines()) {
    mContentFields.add(line);
  }
  return mContentFields;
}

bool THttpRequest::AcceptsGZip() const {
  return base::ifind(GetRawHeaderValue("accept-encoding"), "GZIP") != std::string::npos;
}

}  // namespace appsrv::server
