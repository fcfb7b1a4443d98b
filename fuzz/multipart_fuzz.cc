// The multipart extraction: the input's first byte picks the size at which the body moves to a
// file, its first line is the Content-Type, the rest the body. The file handed over holds one
// unbroken run of the body's bytes, and the size it reports is that file's size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/exception.h"
#include "base/files.h"
#include "fuzz/scratch_guard.h"
#include "server/exchange/hsm_stream.h"
#include "transport/bridge/upload_extraction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& scratch = appsrv::fuzz::scratch_folder();
  if (size == 0) {
    return 0;
  }
  const int32_t flush_size = 16 + 64 * data[0];
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t line_end = input.find('\n');
  const std::string_view content_type = input.substr(0, line_end);
  const std::string_view body_bytes =
      line_end == std::string_view::npos ? std::string_view() : input.substr(line_end + 1);

  appsrv::server::THsmStream body(flush_size, true);
  body.Write(body_bytes.data(), static_cast<int64_t>(body_bytes.size()));
  appsrv::server::RequestPacketFile file;
  try {
    file = appsrv::transport::ExtractMultipartFile(content_type, body);
  } catch (const appsrv::base::Exception&) {
    return 0;
  }
  if (file.temp_path.compare(0, scratch.size(), scratch) != 0) {
    std::abort();
  }
  const std::string extracted = appsrv::base::read_file(file.temp_path);
  if (file.size != std::to_string(extracted.size()) ||
      body_bytes.find(extracted) == std::string_view::npos) {
    std::abort();
  }
  return 0;
}
