#include "server/pipeline/compressor.h"

#include <mutex>

#include "base/exception.h"
#include "base/text.h"
#include "server/exchange/memory_stream.h"
#include "server/http/http_request.h"
#include "server/pipeline/compress_stream.h"

namespace appsrv::server {

namespace {

std::mutex g_instance_mu;
std::unique_ptr<TSvCompressor> g_instance;  // guarded by g_instance_mu for Init and Finalize

}  // namespace

bool ContentTypeMatches(std::string_view pattern, std::string_view content_type) {
  if (pattern == "*/*") {
    return true;
  }
  const size_t ps = pattern.find('/');
  const size_t cs = content_type.find('/');
  const std::string_view pattern_type = pattern.substr(0, ps);
  const std::string_view pattern_sub = ps == std::string_view::npos ? "" : pattern.substr(ps + 1);
  const std::string_view type = content_type.substr(0, cs);
  const std::string_view sub = cs == std::string_view::npos ? "" : content_type.substr(cs + 1);
  if (pattern_sub == "*") {
    return pattern_type == type;
  }
  if (pattern_type == "*") {
    return pattern_sub == sub;
  }
  return pattern == content_type;
}

TSvCompressor::TSvCompressor(const TSvCompressionOptions& AOptions)
    : FOptions(AOptions), FCompressTypes{"text/*", "application/x-javascript"} {}

void TSvCompressor::Init(const TSvCompressionOptions& AOptions) {
  std::scoped_lock lock(g_instance_mu);
  g_instance = std::make_unique<TSvCompressor>(AOptions);
}

TSvCompressor* TSvCompressor::Instance() {
  std::scoped_lock lock(g_instance_mu);
  return g_instance.get();
}

void TSvCompressor::Finalize() {
  std::scoped_lock lock(g_instance_mu);
  g_instance.reset();
}

void TSvCompressor::Compress(std::string_view accept_encoding, CompressResponse& Response) const {
  if (Response.code != 200 || !Response.body) {
    return;
  }
  const bool gzip =
      FOptions.AllowGZip() && base::ifind(accept_encoding, "GZIP") != std::string_view::npos;
  const bool deflate =
      FOptions.AllowDeflate() && base::ifind(accept_encoding, "DEFLATE") != std::string_view::npos;
  if (!gzip && !deflate) {
    return;
  }
  const int64_t size = Response.body->GetSize();
  if (FOptions.MinSize != 0 && size < FOptions.MinSize) {
    return;
  }
  bool type_matches = false;
  for (const std::string& pattern : FCompressTypes) {
    type_matches = type_matches || ContentTypeMatches(pattern, Response.content_type);
  }
  if (!type_matches) {
    return;
  }
  if (Response.custom_headers != nullptr &&
      base::ifind(find_header_value(*Response.custom_headers, "Content-Encoding"), "gzip") !=
          std::string::npos) {
    return;
  }
  std::string encoding;
  if (gzip) {
    encoding = accept_encoding.find("x-gzip") != std::string_view::npos ? "x-gzip" : "gzip";
  } else {
    encoding =
        accept_encoding.find("x-deflate") != std::string_view::npos ? "x-deflate" : "deflate";
  }
  if (SvCompressStreamProc == nullptr) {
    throw base::Exception("SvCompressStreamProc is not set");
  }
  if (Response.custom_headers != nullptr) {
    Response.custom_headers->push_back("Vary: Accept-Encoding");
  }
  Response.body->SetPosition(0);
  auto packed = std::make_unique<TSvMemoryStream>();
  compress_stream(*Response.body, *packed, FOptions.Level, /*deflate_format=*/!gzip);
  packed->SetPosition(0);
  Response.content_length = packed->GetSize();
  Response.body = std::move(packed);
  Response.content_encoding = std::move(encoding);
}

}  // namespace appsrv::server
