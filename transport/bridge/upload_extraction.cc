#include "transport/bridge/upload_extraction.h"

#include "base/exception.h"
#include "base/text.h"
#include "server/exchange/stream_helper.h"
#include "transport/http/http_body_framing.h"
#include "transport/http/http_params.h"

namespace appsrv::transport {
namespace {

std::string_view unquote(std::string_view text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

// The Content-Disposition items of a part header line ("form-data; name=...; filename=...").
void read_disposition(std::string_view line, server::RequestPacketFile& file) {
  for (const std::string& part : base::split(line, ';')) {
    const std::string_view item = base::trim(part);
    const size_t eq = item.find('=');
    if (eq == std::string_view::npos) {
      continue;
    }
    const std::string_view name = base::trim(item.substr(0, eq));
    const std::string_view value = unquote(base::trim(item.substr(eq + 1)));
    if (base::iequals(name, "filename")) {
      // Browsers of old sent the client's full path; only the name travels.
      const size_t cut = value.find_last_of("\\:");
      file.file_name = std::string(cut == std::string_view::npos ? value : value.substr(cut + 1));
    } else if (base::iequals(name, "name")) {
      file.field_name = std::string(value);
    }
  }
}

}  // namespace

server::RequestPacketFile ExtractMultipartFile(std::string_view content_type,
                                               server::THsmStream& body,
                                               const MultipartLimits& limits) {
  const size_t eq = content_type.find('=');
  const std::string boundary =
      "--" + std::string(unquote(base::trim(
                 eq == std::string_view::npos ? std::string_view() : content_type.substr(eq + 1))));
  server::RequestPacketFile file;
  body.SetPosition(0);
  server::TStreamHelper reader(body);
  reader.ReadLine();  // the opening boundary
  int64_t header_bytes = 0;
  int32_t header_lines = 0;
  for (std::string line = reader.ReadLine(); !line.empty(); line = reader.ReadLine()) {
    header_bytes += static_cast<int64_t>(line.size()) + 2;
    ++header_lines;
    if ((limits.max_header_bytes > 0 && header_bytes > limits.max_header_bytes) ||
        (limits.max_header_lines > 0 && header_lines > limits.max_header_lines)) {
      throw base::Exception("Multipart part header too large.");
    }
    if (base::istarts_with(line, "Content-Disposition: ")) {
      read_disposition(line, file);
    } else if (base::istarts_with(line, "Content-Type:")) {
      file.content_type = std::string(base::trim(std::string_view(line).substr(13)));
    }
  }
  const int64_t start = body.Position();
  const int64_t size = body.GetSize();
  const std::string delimiter = "\r\n" + boundary + "--";
  // The closing delimiter sits at the end, after at most a line end and some padding; look only
  // there, so that the file's own bytes are never scanned.
  const int64_t search_from =
      std::max<int64_t>(start, size - 100 - static_cast<int64_t>(delimiter.size()));
  const int64_t end = reader.FindString(delimiter, 0, search_from);
  if (end >= 0) {
    body.Flush(end - start, start);
  } else {
    body.Flush(size, 0);
  }
  file.temp_path = body.Pathname();
  file.size = std::to_string(body.GetSize());
  return file;
}

std::optional<server::RequestPacketFile> TakeRawBodyAsFile(const TInHeaderList& headers,
                                                           server::THsmStream* body) {
  server::RequestPacketFile file;
  file.file_name = url_decode(headers.Values("X-File-Name"), *utf8_encoding());
  if (file.file_name.empty() || body == nullptr) {
    return std::nullopt;
  }
  if (!body->IsFlushed()) {
    body->Flush();
  }
  file.temp_path = body->Pathname();
  file.field_name = headers.Values("X-SvFieldName");
  file.content_type = headers.Values("Content-Type");
  file.size = std::to_string(decimal_int64_or_minus_one(headers.Values("Content-Length")));
  return file;
}

}  // namespace appsrv::transport
