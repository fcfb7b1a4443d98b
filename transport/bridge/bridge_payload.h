// The two halves of the bridge between HTTP and the pipeline's packets: a parsed request as
// a request packet, and a reply packet as the HTTP response.
#pragma once

#include <cstdint>
#include <vector>

#include "server/exchange/reply_packet_reader.h"
#include "server/exchange/request_packet_writer.h"
#include "transport/http/http_request_info.h"
#include "transport/http/http_response_info.h"

namespace appsrv::transport {

// Writes the request packet of a parsed request into the buffer, as write_request_packet does.
// `local_port` is the port of the socket that accepted the connection, used unless the Host
// header names one. `secure` says whether the listener serves TLS; it alone fills the packet's
// HTTPS field ("on" or "off"), whatever HTTPS header the client sent. The header lines and parameters go into the packet without a copy: the
// request lends them and has them back once the packet is written, also when that fails.
// Throws "'<text>' is not a valid integer value" when the Host header's port is not a number,
// and what write_request_packet throws.
void WriteRequestPacket(TInHTTPRequestInfo& request, int32_t local_port, bool secure,
                        std::vector<server::RequestPacketFile> files, char* aBytes, int32_t aSize);

// Applies a reply packet to the response: status, content type, realm, header lines, cookies
// and the body (the inline stream, or a file opened for reading). Throws the file's failure
// when a body file cannot be opened.
void ApplyReplyPayload(server::ReplyPacket reply, TInHTTPResponseInfo& response);

}  // namespace appsrv::transport
