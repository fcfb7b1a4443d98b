#include "server/exchange/request_packet_writer.h"

#include "base/exception.h"
#include "server/exchange/http_packet.h"

namespace appsrv::server {

namespace {

void write_fields(const RequestPacketFields& fields, TStreamHelper& out) {
  THttpPacket::WriteSig(out);
  out.WriteText(fields.user_agent);
  out.WriteText(fields.referer);
  out.WriteText(fields.script_name);
  out.WriteText(fields.host);
  out.WriteText(fields.authorization);
  out.WriteText(fields.url);
  out.WriteText(fields.path_info);
  out.WriteText(fields.remote_addr);
  out.WriteInteger(fields.server_port);
  out.WriteText(fields.query);
  out.WriteText(fields.method);
  out.WriteText(fields.if_modified_since);
  out.WriteText(fields.forwarded_for);
  out.WriteText(fields.http_client_ip);
  out.WriteText(fields.authorization_header);
  out.WriteText(fields.auth_user);
  out.WriteText(fields.auth_pass);
  out.WriteText(fields.accept_language);
  out.WriteText(fields.https_header);
  out.WriteStrings(fields.raw_headers);
  out.WriteStrings(fields.content_fields);
  out.WriteStrings(fields.cookie_fields);
  out.WriteStrings(fields.query_fields);
  out.WriteStrings(fields.server_variables);
  out.WriteWord(static_cast<uint16_t>(fields.files.size()));
  for (const RequestPacketFile& file : fields.files) {
    out.WriteText(file.file_name);
    out.WriteText(file.temp_path);
    out.WriteText(file.content_type);
    out.WriteText(file.field_name);
    out.WriteText(file.size);
  }
  out.WriteByte(fields.has_content ? 1 : 0);
}

}  // namespace

void write_request_packet(const RequestPacketFields& fields, char* aBytes, int32_t aSize) {
  if (fields.files.size() > kMaxPacketFiles) {
    throw base::Exception("Too many uploaded files.");
  }
  THttpPacket::WritePayload([&fields](TStreamHelper& out) { write_fields(fields, out); }, aBytes,
                            aSize);
}

}  // namespace appsrv::server
