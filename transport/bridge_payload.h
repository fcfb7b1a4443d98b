// The two halves of the bridge between HTTP and the pipeline's packets: a parsed request as
// request packet fields, and a reply packet as the HTTP response.
#pragma once

#include <cstdint>
#include <vector>

#include "server/exchange/reply_packet_reader.h"
#include "server/exchange/request_packet_writer.h"
#include "transport/http_request_info.h"
#include "transport/http_response_info.h"

namespace appsrv::transport {

// The request packet of a parsed request. `local_port` is the port of the socket that accepted
// the connection, used unless the Host header names one. Throws "'<text>' is not a valid
// integer value" when the Host header's port is not a number.
server::RequestPacketFields RequestPayload(const TInHTTPRequestInfo& request, int32_t local_port,
                                           std::vector<server::RequestPacketFile> files);

// Applies a reply packet to the response: status, content type, realm, header lines, cookies
// and the body (the inline stream, or a file opened for reading). Throws the file's failure
// when a body file cannot be opened.
void ApplyReplyPayload(server::ReplyPacket reply, TInHTTPResponseInfo& response);

}  // namespace appsrv::transport
