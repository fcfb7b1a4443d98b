// The transport's side of the request packet: plain values in, a packet in the exchange buffer
// out. Depends on the packet layer only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace appsrv::server {

// One uploaded file as the transport hands it over; its bytes are already in `temp_path`.
struct RequestPacketFile {
  std::string file_name;
  std::string temp_path;
  std::string content_type;
  std::string field_name;
  std::string size;  // decimal text, "-1" when unknown
};

// What the transport knows about one request, in packet order.
struct RequestPacketFields {
  std::string user_agent;
  std::string referer;
  std::string script_name;
  std::string host;
  std::string authorization;
  std::string url;
  std::string path_info;
  std::string remote_addr;
  int32_t server_port = 0;
  std::string query;
  std::string method;
  std::string if_modified_since;
  std::string forwarded_for;
  std::string http_client_ip;
  std::string authorization_header;
  std::string auth_user;
  std::string auth_pass;
  std::string accept_language;
  std::string https_header;
  std::vector<std::string> raw_headers;
  std::vector<std::string> content_fields;
  std::vector<std::string> cookie_fields;
  std::vector<std::string> query_fields;
  std::vector<std::string> server_variables;
  std::vector<RequestPacketFile> files;
  bool has_content = false;
};

// At most this many uploaded files travel with one request (the count is a 16-bit word).
constexpr size_t kMaxPacketFiles = 65535;

// Writes the request packet into the buffer. A packet past 32759 bytes travels through a
// temporary file in temp_folder(). Throws "aBytes is not large enough to hold stream." for a
// buffer that is too small, and "Too many uploaded files." past kMaxPacketFiles.
void write_request_packet(const RequestPacketFields& fields, char* aBytes, int32_t aSize);

}  // namespace appsrv::server
