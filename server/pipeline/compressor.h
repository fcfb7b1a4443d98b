// Reply compression: the process-wide compressor that gzips or deflates a response body when
// the client accepts it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/exchange/stream.h"
#include "server/session/server_controller.h"

namespace appsrv::server {

// The parts of a transport response the compressor reads and changes. The transport moves
// its body in and takes the result back.
struct CompressResponse {
  int32_t code = 0;
  std::string content_type;
  // "Name: value" lines; not owned. "Vary: Accept-Encoding" is appended on compression.
  std::vector<std::string>* custom_headers = nullptr;
  std::unique_ptr<Stream> body;  // replaced by the compressed body
  std::string content_encoding;  // set on compression
  int64_t content_length = -1;   // set on compression
};

// Created by Init when the controller is built; its options are a snapshot from then. Compress
// only reads shared state and runs on many transport threads at once.
class TSvCompressor {
 public:
  explicit TSvCompressor(const TSvCompressionOptions& AOptions);

  static void Init(const TSvCompressionOptions& AOptions);
  // Null before Init and after Finalize.
  static TSvCompressor* Instance();
  static void Finalize();

  // Compresses the body in place when the rules allow it. `accept_encoding` is the request's
  // Accept-Encoding value. Throws "SvCompressStreamProc is not set" or zlib's error; the body
  // is then left as it was.
  void Compress(std::string_view accept_encoding, CompressResponse& Response) const;

  const TSvCompressionOptions& options() const { return FOptions; }

 private:
  TSvCompressionOptions FOptions;
  std::vector<std::string> FCompressTypes;
};

// The pattern ("text/*", "*/*", "*/xml" or a whole type) matches the content type, both split
// at their first "/"; exact and case-sensitive.
bool ContentTypeMatches(std::string_view pattern, std::string_view content_type);

}  // namespace appsrv::server
