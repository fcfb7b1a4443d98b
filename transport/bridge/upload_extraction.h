// Uploaded files of a request: the single file of a multipart body, or the raw body itself,
// handed to the pipeline as a temporary file that the body stream owns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/exchange/hsm_stream.h"
#include "server/exchange/request_packet_writer.h"
#include "transport/http/http_header_list.h"

namespace appsrv::transport {

// A part's header block: beyond either bound the upload is refused with
// "Multipart part header too large."; 0 or less: no bound.
struct MultipartLimits {
  int64_t max_header_bytes = 32 * 1024;
  int32_t max_header_lines = 100;
};

// Replaces the body's contents by the bytes of its first file part, now in a temporary file
// that goes with the body. `content_type` is the request's Content-Type without its charset;
// its boundary may be quoted. When the closing delimiter is missing the whole body becomes the
// file. Throws "Max ReadLine length exceeded." for a part header line past 32768 bytes.
server::RequestPacketFile ExtractMultipartFile(std::string_view content_type,
                                               server::THsmStream& body,
                                               const MultipartLimits& limits = {});

// The body as the file named by the "X-File-Name" header (URL-encoded UTF-8), moved to its
// temporary file when still in memory; nullopt without a name or a body.
std::optional<server::RequestPacketFile> TakeRawBodyAsFile(const TInHeaderList& headers,
                                                           server::THsmStream* body);

}  // namespace appsrv::transport
