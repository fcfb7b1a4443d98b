// The reply record content handlers write; Commit puts it into the exchange buffer as a reply
// packet for the transport.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/date_time.h"
#include "base/name_value_list.h"
#include "server/exchange/reply_type.h"
#include "server/exchange/stream_helper.h"
#include "server/http/http_cookie.h"

namespace appsrv::server {

class THsmStream;
class TSvRenderStream;

// The cache lifetime in minutes new replies start with (120); set once at start-up.
int32_t default_cache_ttl();
void set_default_cache_ttl(int32_t minutes);

// One reply, used by the single worker thread serving its request. It owns its headers, cookies
// and body stream, not the exchange buffer, which must outlive it.
//
// Body kinds: the type moves from rtNone or rtNoData (setting the code) to one of rtFile,
// rtInline, rtCacheFile; a second body kind fails with "Reply type already set." until
// ResetReplyType or Clear.
class THttpReply {
 public:
  // Marks the buffer as uncommitted (its size in the first four bytes, 0 in the fifth), so a
  // reply that is never committed fails the reader's signature check. REQUIRES: aSize >= 5.
  THttpReply(char* aBuffer, int32_t aSize);
  THttpReply(const THttpReply&) = delete;
  THttpReply& operator=(const THttpReply&) = delete;
  ~THttpReply();

  // Back to the initial state: no body, cookies or headers, code 200, type rtNone. A file the
  // reply was to delete after sending (a spilled body it took over) and has not yet handed to
  // the transport is deleted now.
  void Clear();

  uint16_t Code() const { return mCode; }
  // Also makes the type rtNoData (when no body kind was chosen).
  void SetCode(uint16_t aCode);
  int32_t CacheTTL() const { return mCacheTTL; }
  // Clears mExpires.
  void SetCacheTTL(int32_t aMinutes);
  base::DateTime Expires() const { return mExpires; }
  // Sets mCacheTTL to -1 so that Commit keeps this expiry.
  void SetExpires(base::DateTime aExpires);
  void SetHeaders(const std::vector<std::string>& aLines);
  THttpReplyType DataType() const { return mDataType; }
  // The body stream; a body that WriteString keeps as text has none.
  TStreamHelper* ContentStream() const { return mContentStream.get(); }
  // Whether a body has been started: a stream, or text from WriteString.
  bool HasBody() const { return mContentStream != nullptr || text_body_.has_value(); }

  // Appends UTF-8 text to the body, creating it (type rtInline) on first use. Past 32759 bytes
  // the body moves to a temporary file.
  void WriteString(std::string_view aValue);
  // Appends "aName: aValue"; nothing for an empty name.
  void AddHeader(std::string_view aName, std::string_view aValue);
  // Replaces the first header line of that name or appends "aName:aValue".
  void SetHeader(std::string_view aName, std::string_view aValue);
  // Code 302 with a Location header; drops every cookie of the reply.
  void SendRedirect(std::string_view aURL);
  // With aDelete the reply owns the file: it goes to the transport with Commit, or is deleted
  // when the reply is cleared, given another file, or freed first.
  void SendFile(std::string_view aPathname, bool aDisableCacheControl, bool aDelete);
  void SendCacheFile(std::string_view aPathname);
  // Takes the stream as inline body. Throws "ContentStream already exists." when a body
  // stream is attached.
  void SendStream(std::unique_ptr<Stream> aStream, bool aDisableCacheControl);
  // A spilled stream goes as its file (deleted after sending); otherwise it is rewound and sent
  // inline.
  void SendHsmStream(std::unique_ptr<THsmStream> aStream);
  void SendRenderStream(std::unique_ptr<TSvRenderStream> aStream);
  void ResetReplyType() { mDataType = rtNone; }

  // Writes the reply packet into the buffer; called once per request. Frees the body stream
  // also when it fails.
  void Commit();

  uint16_t mCode = 200;
  std::string mCodeText;
  bool mAllowCaching = false;
  std::string mAuthRealm;
  char* mBuffer;
  int32_t mBufferSize;
  std::string mContentType;
  base::NameValueList mHeaders{':'};
  base::DateTime mLastModified = 0;
  base::DateTime mExpires = 0;
  int32_t mCacheTTL = 0;
  TCookieList mCookies;
  std::string mFilePathname;
  bool mFileDelete = false;
  int32_t mServerPort = 0;
  bool mSendingFile = false;
  bool mCacheControlEnabled = true;
  std::string mIECompatibilityMode;

 private:
  void SetDataType(THttpReplyType aType);
  void apply_cache_headers();
  // Puts the reply packet into the buffer; write_fields writes its payload, the same bytes on
  // every call (the payload is written again when it does not fit in place).
  void write_payload();
  void write_fields(TStreamHelper& out);
  void discard_owned_file() noexcept;

  THttpReplyType mDataType = rtNone;
  bool file_handed_over_ = false;  // Commit gave the owned file to the transport
  std::unique_ptr<TStreamHelper> mContentStream;
  // The body WriteString started, while it is short enough to travel in the exchange buffer:
  // most replies are one short text, which needs no stream.
  std::optional<std::string> text_body_;
};

// For replies that show text a client chose (an echoed call, an error message): the browser
// takes the declared type as it is, and `policy` lets nothing in the page run or load.
inline constexpr std::string_view kNoActiveContentPolicy = "default-src 'none'";
// The same for the error pages, which keep their inline style sheet.
inline constexpr std::string_view kErrorPagePolicy =
    "default-src 'none'; style-src 'unsafe-inline'";
void forbid_active_content(THttpReply& reply, std::string_view policy = kNoActiveContentPolicy);

}  // namespace appsrv::server
