#include "server/exchange/reply_packet_reader.h"

#include <cerrno>
#include <cstdlib>

#include "base/exception.h"
#include "base/text.h"
#include "server/exchange/http_packet.h"
#include "server/exchange/stream_helper.h"

namespace appsrv::server {

namespace {

double parse_expiry(const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE) {
    throw base::Exception("'" + text + "' is not a valid floating point value");
  }
  return value;
}

std::vector<std::string> split_header_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t line_ends = 0;
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) {
    ++line_ends;
  }
  // A last line without its line end counts as well.
  lines.reserve(line_ends + (text.empty() || text.ends_with("\r\n") ? 0 : 1));
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      end = text.size();
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

}  // namespace

std::string ReplyPacket::body_text() const {
  if (!body) {
    return {};
  }
  TStreamHelper reader(*body);
  return reader.GetAsString();
}

ReplyPacket read_reply_packet(const char* aBytes, int32_t aSize) {
  TPacketReader reader(aBytes, aSize);
  TStreamHelper& in = reader.in();
  THttpPacket::CheckSig(in);
  ReplyPacket reply;
  const uint8_t type = in.ReadByte();
  if (type == rtNone) {
    throw base::Exception("Uninitialized reply.");
  }
  if (type > rtCacheFile) {
    throw base::Exception("Unknown reply type.");
  }
  reply.data_type = static_cast<THttpReplyType>(type);
  reply.code = in.ReadWord();
  reply.code_text = in.ReadText();
  reply.content_type = in.ReadText();
  reply.auth_realm = in.ReadText();
  reply.headers = split_header_lines(in.ReadText());
  const int32_t cookie_count = in.ReadInteger();
  for (int32_t i = 0; i < cookie_count; ++i) {
    ReplyPacketCookie& cookie = reply.cookies.emplace_back();
    cookie.name = in.ReadText();
    cookie.value = in.ReadText();
    cookie.path = in.ReadText();
    cookie.expires = parse_expiry(in.ReadText());
    cookie.domain = in.ReadText();
    cookie.http_only = in.ReadBoolean();
    cookie.secure = in.ReadBoolean();
  }
  switch (reply.data_type) {
    case rtFile:
    case rtCacheFile:
      reply.file_path = in.ReadText();
      reply.file_delete = in.ReadBoolean();
      break;
    case rtInline: {
      const int32_t size = in.ReadInteger();
      if (size > 0) {
        if (size > in.stream().GetSize() - in.stream().Position()) {
          throw base::Exception("Stream read error");
        }
        if (size <= kPacketFlushSize) {
          // Read straight into a text of its size, which a short body keeps in the stream.
          std::string bytes(static_cast<size_t>(size), '\0');
          in.stream().ReadBuffer(bytes.data(), size);
          reply.body = std::make_unique<TBytesStream>(std::move(bytes));
        } else {
          reply.body = new_packet_stream();
          copy_stream(in.stream(), *reply.body, size);
          reply.body->SetPosition(0);
        }
      }
      break;
    }
    default:
      break;
  }
  return reply;
}

}  // namespace appsrv::server
