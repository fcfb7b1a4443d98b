#include "server/http/http_reply.h"

#include <cassert>
#include <charconv>
#include <cstring>

#include "base/encoding.h"
#include "base/exception.h"
#include "base/files.h"
#include "base/text.h"
#include "server/exchange/hsm_stream.h"
#include "server/exchange/http_packet.h"
#include "server/exchange/render_stream.h"

namespace appsrv::server {

namespace {

std::atomic<int32_t> default_ttl{120};

constexpr double kMinutesPerDay = 1440.0;
const char* const kDefaultContentType = "text/html; charset=UTF-8";

// The shortest decimal text that reads back as exactly this expiry.
std::string expiry_text(double value) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, res.ptr);
}

// Header text with every CR and LF turned into a blank: header lines travel joined by CR LF, so
// a line break taken from a request (a redirect URL) must not start a header of its own.
std::string single_line(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\r' || c == '\n') {
      c = ' ';
    }
  }
  return out;
}

// Appends `text` as single_line gives it.
void append_single_line(std::string& out, std::string_view text) {
  const size_t start = out.size();
  out.append(text);
  for (size_t i = start; i < out.size(); ++i) {
    if (out[i] == '\r' || out[i] == '\n') {
      out[i] = ' ';
    }
  }
}

// The header lines as one text, each line followed by CR LF, written without making that text.
void write_header_text(TStreamHelper& out, const base::NameValueList& headers) {
  constexpr std::string_view kLineEnd = "\r\n";
  size_t size = 0;
  for (const std::string& line : headers.lines()) {
    size += line.size() + kLineEnd.size();
  }
  if (size > static_cast<size_t>(INT32_MAX)) {
    throw base::Exception("Text too long for a stream.");
  }
  out.WriteInteger(static_cast<int32_t>(size));
  for (const std::string& line : headers.lines()) {
    out.Write(line);
    out.Write(kLineEnd);
  }
}

// The spilled THsmStream a helper wraps, or nullptr.
THsmStream* spilled_stream(const TStreamHelper* helper) {
  if (helper == nullptr) {
    return nullptr;
  }
  auto* hsm = dynamic_cast<THsmStream*>(&helper->stream());
  return hsm != nullptr && hsm->IsFlushed() ? hsm : nullptr;
}

}  // namespace

int32_t default_cache_ttl() { return default_ttl.load(); }
void set_default_cache_ttl(int32_t minutes) { default_ttl.store(minutes); }

THttpReply::THttpReply(char* aBuffer, int32_t aSize) : mBuffer(aBuffer), mBufferSize(aSize) {
  assert(aSize >= 5);
  std::memcpy(mBuffer, &aSize, sizeof aSize);
  mBuffer[4] = 0;
  Clear();
}

THttpReply::~THttpReply() { discard_owned_file(); }

void THttpReply::discard_owned_file() noexcept {
  if (mFileDelete && !file_handed_over_ && !mFilePathname.empty()) {
    base::delete_file(mFilePathname);
  }
  mFilePathname.clear();
  mFileDelete = false;
  file_handed_over_ = false;
}

void THttpReply::Clear() {
  discard_owned_file();
  mCookies.Clear();
  mHeaders.clear();
  mHeaders.set_separator(':');
  mContentStream.reset();
  text_body_.reset();
  mAllowCaching = false;
  mCacheTTL = default_cache_ttl();
  mCode = 200;
  mCodeText.clear();
  mAuthRealm.clear();
  mLastModified = 0;
  mExpires = 0;
  mDataType = rtNone;
  mSendingFile = false;
  mCacheControlEnabled = true;
  mContentType = kDefaultContentType;
}

void THttpReply::SetDataType(THttpReplyType aType) {
  if (mDataType != rtNone && mDataType != rtNoData) {
    throw base::Exception("Reply type already set.");
  }
  mDataType = aType;
}

void THttpReply::SetCode(uint16_t aCode) {
  mCode = aCode;
  // A status may follow a chosen body: the body kind stays.
  if (mDataType == rtNone || mDataType == rtNoData) {
    mDataType = rtNoData;
  }
}

void THttpReply::SetCacheTTL(int32_t aMinutes) {
  mCacheTTL = aMinutes;
  mExpires = 0;
}

void THttpReply::SetExpires(base::DateTime aExpires) {
  mExpires = aExpires;
  mCacheTTL = -1;
}

void THttpReply::SetHeaders(const std::vector<std::string>& aLines) {
  mHeaders.clear();
  for (const std::string& line : aLines) {
    mHeaders.add(single_line(line));
  }
}

void THttpReply::WriteString(std::string_view aValue) {
  if (!HasBody()) {
    SetDataType(rtInline);
    text_body_.emplace();
  }
  if (text_body_) {
    if (text_body_->size() + aValue.size() <= static_cast<size_t>(kPacketFlushSize)) {
      text_body_->append(aValue);
      return;
    }
    // Too long for the buffer: the text goes on in a stream that spills into a temporary file,
    // transient until Commit hands that file to the transport.
    mContentStream =
        std::make_unique<TStreamHelper>(std::make_unique<THsmStream>(kPacketFlushSize, true));
    mContentStream->Write(*text_body_);
    text_body_.reset();
  }
  mContentStream->Write(aValue);
}

void THttpReply::AddHeader(std::string_view aName, std::string_view aValue) {
  if (aName.empty()) {
    return;
  }
  std::string line;
  line.reserve(aName.size() + 2 + aValue.size());
  append_single_line(line, aName);
  line += ": ";
  append_single_line(line, aValue);
  mHeaders.add(std::move(line));
}

void THttpReply::SetHeader(std::string_view aName, std::string_view aValue) {
  // The line made once, in a text of its size: every reply sets its cache headers.
  std::string line;
  line.reserve(aName.size() + 1 + aValue.size());
  append_single_line(line, aName);
  line += mHeaders.separator();
  append_single_line(line, aValue);
  if (const std::optional<size_t> at =
          mHeaders.index_of_name(std::string_view(line).substr(0, aName.size()))) {
    mHeaders.lines()[*at] = std::move(line);
  } else {
    mHeaders.add(std::move(line));
  }
}

void THttpReply::SendRedirect(std::string_view aURL) {
  SetCode(302);
  AddHeader("Location", aURL);
  mCookies.Clear();
}

void THttpReply::SendFile(std::string_view aPathname, bool aDisableCacheControl, bool aDelete) {
  SetDataType(rtFile);
  if (aPathname != mFilePathname) {
    discard_owned_file();
  }
  mSendingFile = true;
  mCacheControlEnabled = !aDisableCacheControl;
  mFilePathname = aPathname;
  mFileDelete = aDelete;
}

void THttpReply::SendCacheFile(std::string_view aPathname) {
  SetDataType(rtCacheFile);
  discard_owned_file();
  mFilePathname = aPathname;
  mFileDelete = false;
}

void THttpReply::SendStream(std::unique_ptr<Stream> aStream, bool aDisableCacheControl) {
  if (!aStream) {
    throw base::Exception("Source stream is not defined.");
  }
  if (HasBody()) {
    throw base::Exception("ContentStream already exists.");
  }
  SetDataType(rtInline);
  mSendingFile = true;
  mCacheControlEnabled = !aDisableCacheControl;
  mContentStream = std::make_unique<TStreamHelper>(std::move(aStream));
}

void THttpReply::SendHsmStream(std::unique_ptr<THsmStream> aStream) {
  if (aStream->IsFlushed()) {
    SendFile(aStream->Pathname(), false, true);
    // The transport deletes the file now; the stream must not take it along.
    aStream->SetTransient(false);
    return;
  }
  aStream->SetPosition(0);
  SendStream(std::move(aStream), false);
}

void THttpReply::SendRenderStream(std::unique_ptr<TSvRenderStream> aStream) {
  THsmStream& hsm = aStream->HsmStream();
  if (hsm.IsFlushed()) {
    SendFile(hsm.Pathname(), false, true);
    hsm.SetTransient(false);
    return;
  }
  if (HasBody()) {
    throw base::Exception("ContentStream already exists.");
  }
  hsm.SetPosition(0);
  SetDataType(rtInline);
  mContentStream = std::move(aStream);
}

void THttpReply::apply_cache_headers() {
  // Room for the lines below beside a few of the handler's, so that the list does not grow
  // line by line.
  mHeaders.lines().reserve(mHeaders.size() + 4);
  if (mAllowCaching) {
    if (mLastModified > 0) {
      SetHeader("Last-Modified", base::http_date(mLastModified));
    }
    if (mCacheTTL >= 0) {
      mExpires = base::now() + mCacheTTL / kMinutesPerDay;
    }
    SetHeader("Cache-Control", "private");
  } else if (mCode == 304) {
    SetHeader("Date", base::http_date(base::now()));
    if (mCacheTTL >= 0) {
      mExpires = base::now() + mCacheTTL / kMinutesPerDay;
    }
  } else {
    SetHeader("Cache-Control", "no-cache");
    SetHeader("Pragma", "no-cache");
  }
  if (mExpires > 0) {
    SetHeader("Expires", base::http_date(mExpires));
  }
}

void THttpReply::write_payload() {
  THttpPacket::WritePayload([this](TStreamHelper& out) { write_fields(out); }, mBuffer,
                            mBufferSize);
}

void THttpReply::write_fields(TStreamHelper& out) {
  THttpPacket::WriteSig(out);
  out.WriteByte(mDataType);
  out.WriteWord(mCode);
  out.WriteText(mCodeText);
  out.WriteText(mContentType);
  out.WriteText(mAuthRealm);
  write_header_text(out, mHeaders);
  out.WriteInteger(static_cast<int32_t>(mCookies.Count()));
  for (size_t i = 0; i < mCookies.Count(); ++i) {
    const THTTPCookie& cookie = mCookies[i];
    out.WriteText(cookie.mName);
    out.WriteText(cookie.mValue);
    out.WriteText(cookie.mPath);
    out.WriteText(expiry_text(cookie.mExpires));
    out.WriteText(cookie.mDomain);
    out.WriteBoolean(cookie.mHttpOnly);
    out.WriteBoolean(cookie.mSecure);
  }
  if (mDataType == rtFile || mDataType == rtCacheFile) {
    out.WriteText(mFilePathname);
    out.WriteBoolean(mFileDelete);
  } else if (mDataType == rtInline && text_body_) {
    out.WriteText(*text_body_);
  } else if (mDataType == rtInline) {
    Stream* body = mContentStream ? &mContentStream->stream() : nullptr;
    const int64_t size = body != nullptr ? body->GetSize() : 0;
    if (size > INT32_MAX) {
      throw base::Exception("Reply body too large for an inline packet.");
    }
    out.WriteInteger(static_cast<int32_t>(size));
    if (size > 0) {
      body->SetPosition(0);
      copy_stream(*body, out.stream(), size);
    }
  }
}

void THttpReply::Commit() {
  struct BodyRelease {
    THttpReply& reply;
    ~BodyRelease() {
      reply.mContentStream.reset();
      reply.text_body_.reset();
      reply.mSendingFile = false;
    }
  } release{*this};

  THsmStream* spilled = spilled_stream(mContentStream.get());
  if (spilled != nullptr) {
    // A body that moved to a file travels as that file, and the transport removes it after
    // sending so that large replies do not pile up on disk.
    ResetReplyType();
    SendFile(spilled->Pathname(), false, true);
  }
  if (mCacheControlEnabled) {
    apply_cache_headers();
  }
  if (mCode == 200 && !mIECompatibilityMode.empty() &&
      base::iequals(mContentType, kDefaultContentType)) {
    SetHeader("X-UA-Compatible", mIECompatibilityMode);
  }
  try {
    write_payload();
  } catch (...) {
    if (spilled != nullptr) {
      mFileDelete = false;  // the stream, freed below, deletes its own file
    }
    throw;
  }
  // Handed over only once the packet names it; a failed commit takes the file along.
  if (spilled != nullptr) {
    spilled->SetTransient(false);
  }
  file_handed_over_ = mDataType == rtFile && mFileDelete;
}

void forbid_active_content(THttpReply& reply, std::string_view policy) {
  reply.SetHeader("X-Content-Type-Options", "nosniff");
  reply.SetHeader("Content-Security-Policy", policy);
}

}  // namespace appsrv::server
