// One request through a content handler in process, from request packet to reply packet, for
// the programs that measure endpoints without the network.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/exchange/http_packet.h"
#include "server/exchange/reply_packet_reader.h"
#include "server/exchange/request_packet_writer.h"
#include "server/http/http_reply.h"
#include "server/http/http_request.h"
#include "server/pipeline/handlers.h"
#include "server/session/session.h"

namespace appsrv::bench {

// Runs `handler` on `session` for a request of `method` at `path` with the fields given;
// returns the reply body.
inline std::string call_handler(server::TContentBase& handler, server::TSvApplication* session,
                                const server::SessionRequestInfo& client, const std::string& method,
                                const std::string& path, const std::vector<std::string>& fields) {
  static std::vector<char> buffer(server::kExchangeBufferSize);
  server::RequestPacketFields packet;
  packet.method = method;
  packet.path_info = path;
  packet.url = path;
  packet.remote_addr = client.client_ip;
  packet.user_agent = client.user_agent;
  packet.query_fields = fields;
  server::write_request_packet(packet, buffer.data(), static_cast<int32_t>(buffer.size()));
  server::THttpRequest request(buffer.data(), static_cast<int32_t>(buffer.size()));
  server::THttpReply reply(buffer.data(), static_cast<int32_t>(buffer.size()));
  base::NameValueList& params = request.GetParams();
  handler.Execute(request, reply, "", session, params);
  reply.Commit();
  const server::ReplyPacket answer =
      server::read_reply_packet(buffer.data(), static_cast<int32_t>(buffer.size()));
  return std::string(answer.body_text());
}

}  // namespace appsrv::bench
