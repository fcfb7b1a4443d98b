// Deflate compression of a byte stream into gzip or zlib framing, block by block.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "server/exchange/stream.h"

namespace appsrv::server {

// Fills `buffer` with up to `capacity` bytes and returns how many it wrote; 0 ends the source.
using ReadBlockFn = std::function<size_t(char* buffer, size_t capacity)>;
// Takes `size` bytes of output.
using WriteBlockFn = std::function<void(const char* data, size_t size)>;

// Compresses everything `source` yields into `destination`. Level 1 is fastest, 9 best, any
// other value zlib's default (6). `deflate_format` selects zlib framing (header and Adler-32),
// otherwise gzip framing. Reads and writes blocks of at most 32768 bytes, so the whole input
// is never held twice. Throws base::Exception with zlib's error text.
void ZCompressStream(const ReadBlockFn& source, const WriteBlockFn& destination, int level,
                     bool deflate_format);

// The compress stream procedure the compressor and the internal files store call. Start-up
// installs ZCompressStream; a null slot makes callers fail with "SvCompressStreamProc is not
// set". Written only before requests are served.
using CompressStreamProc = void (*)(const ReadBlockFn& source, const WriteBlockFn& destination,
                                    int level, bool deflate_format);
extern CompressStreamProc SvCompressStreamProc;

// Runs SvCompressStreamProc over `bytes` and returns the compressed bytes. Throws
// "SvCompressStreamProc is not set" when the slot is empty.
std::string compress_bytes(std::string_view bytes, int level, bool deflate_format);
// Inflates gzip-framed `bytes` (as the internal files store keeps scripts) for a client that
// does not take gzip. Throws base::Exception with zlib's text on damaged input.
std::string gunzip_bytes(std::string_view bytes);
// The same from `source`'s position to its end, appended to `destination`.
void compress_stream(Stream& source, Stream& destination, int level, bool deflate_format);

}  // namespace appsrv::server
