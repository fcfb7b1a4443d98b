#include "server/pipeline/compress_stream.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

#include "base/exception.h"

namespace appsrv::server {

namespace {

constexpr size_t kBlockSize = 32768;
constexpr int kGzipWindowBits = 31;  // 15 + 16: zlib writes the gzip header and trailer
constexpr int kZlibWindowBits = 15;
constexpr int kMemLevel = 8;

[[noreturn]] void throw_zlib_error(const z_stream& stream, int rc) {
  const char* text = stream.msg != nullptr ? stream.msg : zError(rc);
  throw base::Exception(std::string("zlib error: ") + text);
}

// Owns one deflate stream; ends it on destruction.
class Deflater {
 public:
  Deflater(int level, int window_bits) {
    const int rc =
        deflateInit2(&stream_, level, Z_DEFLATED, window_bits, kMemLevel, Z_DEFAULT_STRATEGY);
    if (rc != Z_OK) {
      throw_zlib_error(stream_, rc);
    }
  }
  ~Deflater() { deflateEnd(&stream_); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
};

// Owns one inflate stream; ends it on destruction.
class Inflater {
 public:
  explicit Inflater(int window_bits) {
    const int rc = inflateInit2(&stream_, window_bits);
    if (rc != Z_OK) {
      throw_zlib_error(stream_, rc);
    }
  }
  ~Inflater() { inflateEnd(&stream_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
};

int zlib_level(int level) {
  if (level == 1) {
    return Z_BEST_SPEED;
  }
  if (level == 9) {
    return Z_BEST_COMPRESSION;
  }
  return Z_DEFAULT_COMPRESSION;
}

}  // namespace

CompressStreamProc SvCompressStreamProc = &ZCompressStream;

void ZCompressStream(const ReadBlockFn& source, const WriteBlockFn& destination, int level,
                     bool deflate_format) {
  Deflater deflater(zlib_level(level), deflate_format ? kZlibWindowBits : kGzipWindowBits);
  z_stream& z = deflater.stream();
  std::vector<char> in(kBlockSize);
  std::vector<char> out(kBlockSize);
  int flush = Z_NO_FLUSH;
  while (flush != Z_FINISH) {
    const size_t got = source(in.data(), in.size());
    flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
    z.next_in = reinterpret_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(got);
    // Drain until zlib has taken the whole block (or, at the end, written its trailer).
    int rc = Z_OK;
    do {
      z.next_out = reinterpret_cast<Bytef*>(out.data());
      z.avail_out = static_cast<uInt>(out.size());
      rc = deflate(&z, flush);
      if (rc == Z_STREAM_ERROR) {
        throw_zlib_error(z, rc);
      }
      const size_t produced = out.size() - z.avail_out;
      if (produced > 0) {
        destination(out.data(), produced);
      }
    } while (z.avail_out == 0);
    if (flush == Z_FINISH && rc != Z_STREAM_END) {
      throw_zlib_error(z, rc);
    }
  }
}

void compress_stream(Stream& source, Stream& destination, int level, bool deflate_format) {
  if (SvCompressStreamProc == nullptr) {
    throw base::Exception("SvCompressStreamProc is not set");
  }
  SvCompressStreamProc(
      [&](char* buffer, size_t capacity) {
        return static_cast<size_t>(source.Read(buffer, static_cast<int64_t>(capacity)));
      },
      [&](const char* data, size_t size) {
        destination.WriteBuffer(data, static_cast<int64_t>(size));
      },
      level, deflate_format);
}

std::string compress_bytes(std::string_view bytes, int level, bool deflate_format) {
  if (SvCompressStreamProc == nullptr) {
    throw base::Exception("SvCompressStreamProc is not set");
  }
  size_t pos = 0;
  std::string result;
  SvCompressStreamProc(
      [&](char* buffer, size_t capacity) {
        const size_t n = std::min(capacity, bytes.size() - pos);
        std::copy_n(bytes.data() + pos, n, buffer);
        pos += n;
        return n;
      },
      [&](const char* data, size_t size) { result.append(data, size); }, level, deflate_format);
  return result;
}

std::string gunzip_bytes(std::string_view bytes) {
  Inflater inflater(kGzipWindowBits);
  z_stream& z = inflater.stream();
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  std::string result;
  std::vector<char> block(kBlockSize);
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    z.next_out = reinterpret_cast<Bytef*>(block.data());
    z.avail_out = static_cast<uInt>(block.size());
    rc = inflate(&z, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) {
      throw_zlib_error(z, rc == Z_BUF_ERROR ? Z_DATA_ERROR : rc);
    }
    result.append(block.data(), block.size() - z.avail_out);
  }
  return result;
}

}  // namespace appsrv::server
