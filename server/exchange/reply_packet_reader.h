// The transport's side of the reply packet: the exchange buffer in, plain values out. Depends
// on the packet layer only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/exchange/hsm_stream.h"
#include "server/exchange/reply_type.h"

namespace appsrv::server {

struct ReplyPacketCookie {
  std::string name;
  std::string value;
  std::string path;
  double expires = 0;  // days since 1899-12-30, local; 0 session cookie, -1.0 removal
  std::string domain;
  bool http_only = false;
  bool secure = false;
};

struct ReplyPacket {
  THttpReplyType data_type = rtNone;
  uint16_t code = 0;  // 0 leaves the transport's default status
  std::string code_text;
  std::string content_type;
  std::string auth_realm;
  std::vector<std::string> headers;
  std::vector<ReplyPacketCookie> cookies;
  // rtFile and rtCacheFile: the body file and whether the transport deletes it after sending.
  std::string file_path;
  bool file_delete = false;
  // rtInline: the body, rewound; in memory up to 32759 bytes, past that in a temporary file
  // that goes with the stream.
  std::unique_ptr<Stream> body;

  // The inline body as text ("" without one).
  std::string body_text() const;
};

// Reads the reply packet in the buffer; a payload that travelled as a file is deleted once
// read. Throws the packet failures, "Uninitialized reply." for type 0 and "Unknown reply
// type." for a type past rtCacheFile.
ReplyPacket read_reply_packet(const char* aBytes, int32_t aSize);

}  // namespace appsrv::server
