// Writes seed inputs for the packet decoders with the real writers: the payload part of a
// request packet and of reply packets of each body kind.
//   fuzz_make_packet_seeds <request_packet folder> <reply_packet folder>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/scratch_guard.h"
#include "server/exchange/http_packet.h"
#include "server/exchange/request_packet_writer.h"
#include "server/http/http_reply.h"

namespace {

using namespace appsrv::server;

// The payload `write` puts into the buffer, without the 9-byte envelope the targets add. The
// writer is run over two differently filled buffers: the payload ends where they last agree.
template <typename Write>
void save_payload(Write write, const std::string& path) {
  std::vector<char> zeros(kExchangeBufferSize, 0), ones(kExchangeBufferSize, '\xff');
  write(zeros);
  write(ones);
  size_t end = zeros.size();
  while (end > 9 && zeros[end - 1] != ones[end - 1]) {
    --end;
  }
  std::ofstream out(path, std::ios::binary);
  out.write(zeros.data() + 9, static_cast<std::streamsize>(end - 9));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <request folder> <reply folder>\n", argv[0]);
    return 2;
  }
  appsrv::fuzz::scratch_folder();
  const std::string request_dir = argv[1], reply_dir = argv[2];

  RequestPacketFields fields;
  fields.user_agent = "curl/8";
  fields.host = "h:8080";
  fields.url = "/app/page";
  fields.path_info = "/page";
  fields.remote_addr = "10.0.0.7";
  fields.server_port = 8080;
  fields.query = "a=1&b=%41";
  fields.method = "POST";
  fields.raw_headers = {"Host: h:8080", "Cookie: SvSessionId=abc"};
  fields.content_fields = {"name=Jü", "x="};
  fields.cookie_fields = {"SvSessionId=abc"};
  fields.query_fields = {"a=1", "b=A"};
  fields.server_variables = {"SERVER_SOFTWARE=appserver"};
  fields.files.push_back({"a.txt", "", "text/plain", "upload", "3"});
  fields.has_content = true;
  save_payload(
      [&](std::vector<char>& buffer) {
        write_request_packet(fields, buffer.data(), static_cast<int32_t>(buffer.size()));
      },
      request_dir + "/post_with_file");
  save_payload(
      [&](std::vector<char>& buffer) {
        write_request_packet({}, buffer.data(), static_cast<int32_t>(buffer.size()));
      },
      request_dir + "/empty");

  save_payload(
      [](std::vector<char>& buffer) {
        THttpReply reply(buffer.data(), static_cast<int32_t>(buffer.size()));
        reply.mContentType = "text/html";
        reply.AddHeader("X-A", "1");
        reply.AddHeader("X-B", "2");
        reply.mCookies.AddCookie("SvSessionId", "abc", "/", 0, true, false);
        reply.mCookies.RemoveCookie("old", "/");
        reply.WriteString("<p>body</p>");
        reply.Commit();
      },
      reply_dir + "/inline_cookies");
  save_payload(
      [](std::vector<char>& buffer) {
        THttpReply reply(buffer.data(), static_cast<int32_t>(buffer.size()));
        reply.SendFile("/srv/app/wwwroot/x.png", false, false);
        reply.Commit();
      },
      reply_dir + "/file");
  save_payload(
      [](std::vector<char>& buffer) {
        THttpReply reply(buffer.data(), static_cast<int32_t>(buffer.size()));
        reply.SetCode(304);
        reply.mCodeText = "Not Modified";
        reply.mAuthRealm = "realm";
        reply.Commit();
      },
      reply_dir + "/no_data");
  return 0;
}
