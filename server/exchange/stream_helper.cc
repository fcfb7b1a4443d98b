#include "server/exchange/stream_helper.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/exception.h"
#include "base/text.h"
#include "server/exchange/file_stream.h"
#include "server/exchange/hsm_stream.h"

namespace appsrv::server {

namespace {

static_assert(std::endian::native == std::endian::little, "packets are little-endian");

constexpr size_t kMaxLineLength = 32768;
constexpr int64_t kFindBlock = 4096;

const char* const kNotLargeEnough = "aBytes is not large enough to hold stream.";

// Keeps a stream's position across a whole-stream operation.
class PositionKeeper {
 public:
  explicit PositionKeeper(Stream& s) : stream_(s), position_(s.Position()) {}
  ~PositionKeeper() {
    try {
      stream_.SetPosition(position_);
    } catch (const base::Exception&) {
      // The stream already failed; the operation's own exception is the one reported.
    }
  }
  PositionKeeper(const PositionKeeper&) = delete;
  PositionKeeper& operator=(const PositionKeeper&) = delete;

 private:
  Stream& stream_;
  int64_t position_;
};

enum class TextEncoding { kUtf8, kUtf16Le, kUtf16Be };

std::string encode_needle(std::string_view s, TextEncoding encoding) {
  if (encoding == TextEncoding::kUtf8) {
    return std::string(s);
  }
  const std::u16string wide = base::utf8_to_utf16(s);
  std::string out;
  out.reserve(wide.size() * 2);
  for (const char16_t c : wide) {
    const char lo = static_cast<char>(c & 0xFF);
    const char hi = static_cast<char>(c >> 8);
    if (encoding == TextEncoding::kUtf16Le) {
      out += lo;
      out += hi;
    } else {
      out += hi;
      out += lo;
    }
  }
  return out;
}

}  // namespace

TStreamHelper::TStreamHelper(std::unique_ptr<Stream> aStream)
    : owned_(std::move(aStream)), mStream(owned_.get()) {}

TStreamHelper::TStreamHelper(Stream& aStream) : mStream(&aStream) {}

TStreamHelper::TStreamHelper(TPointerStream& aStream) : mStream(&aStream), view_(&aStream) {}

TStreamHelper::TStreamHelper(TBlockWriteStream& aStream) : mStream(&aStream), block_(&aStream) {}

TStreamHelper::~TStreamHelper() = default;

bool TStreamHelper::ReadBoolean() { return ReadByte() == 1; }

// Values lie in the stream as their bytes (little-endian, as packets are).
uint8_t TStreamHelper::ReadByte() { return read_raw<uint8_t>(); }
uint16_t TStreamHelper::ReadWord() { return read_raw<uint16_t>(); }
int32_t TStreamHelper::ReadInteger() { return read_raw<int32_t>(); }
int64_t TStreamHelper::ReadInt64() { return read_raw<int64_t>(); }
double TStreamHelper::ReadDouble() { return read_raw<double>(); }

std::string TStreamHelper::ReadText() {
  const int32_t count = ReadInteger();
  if (count <= 0) {
    return {};
  }
  if (view_ != nullptr) {
    if (count > view_->Remaining()) {
      throw base::Exception("Stream read error");
    }
    std::string text(view_->Current(), static_cast<size_t>(count));
    view_->Skip(count);
    return text;
  }
  // A count from a damaged packet must not make us reserve memory the stream cannot fill.
  if (count > mStream->GetSize() - mStream->Position()) {
    throw base::Exception("Stream read error");
  }
  std::string text(static_cast<size_t>(count), '\0');
  mStream->ReadBuffer(text.data(), count);
  return text;
}

std::string TStreamHelper::ReadAnsiText() {
  const std::u16string wide = base::utf8_to_utf16(ReadText());
  std::string out;
  out.reserve(wide.size());
  for (const char16_t c : wide) {
    out += c <= 0xFF ? static_cast<char>(c) : '?';
  }
  return out;
}

int32_t TStreamHelper::ReadStrings(std::vector<std::string>& Lines) {
  const int32_t count = ReadInteger();
  if (count > 0) {
    // Every line takes its four-byte count at least: a damaged count reserves no more.
    const int64_t at_most = view_ != nullptr ? view_->Remaining() / 4
                                             : (mStream->GetSize() - mStream->Position()) / 4;
    Lines.reserve(Lines.size() + static_cast<size_t>(std::min<int64_t>(count, at_most)));
  }
  for (int32_t i = 0; i < count; ++i) {
    Lines.push_back(ReadText());
  }
  return std::max(count, 0);
}

void TStreamHelper::WriteBoolean(bool aValue) { WriteByte(aValue ? 1 : 0); }
void TStreamHelper::WriteByte(uint8_t aValue) { write_bytes(&aValue, 1); }
void TStreamHelper::WriteWord(uint16_t aValue) { write_bytes(&aValue, sizeof aValue); }
void TStreamHelper::WriteInteger(int32_t aValue) { write_bytes(&aValue, sizeof aValue); }
void TStreamHelper::WriteInt64(int64_t aValue) { write_bytes(&aValue, sizeof aValue); }
void TStreamHelper::WriteDouble(double aValue) { write_bytes(&aValue, sizeof aValue); }

void TStreamHelper::WriteText(std::string_view aValue) {
  if (aValue.size() > static_cast<size_t>(INT32_MAX)) {
    throw base::Exception("Text too long for a stream.");
  }
  WriteInteger(static_cast<int32_t>(aValue.size()));
  Write(aValue);
}

void TStreamHelper::WriteAnsiText(std::string_view aValue) {
  std::u16string wide;
  wide.reserve(aValue.size());
  for (const char c : aValue) {
    wide += static_cast<char16_t>(static_cast<unsigned char>(c));
  }
  WriteText(base::utf16_to_utf8(wide));
}

void TStreamHelper::WriteStrings(const std::vector<std::string>& Lines) {
  WriteInteger(static_cast<int32_t>(Lines.size()));
  for (const std::string& line : Lines) {
    WriteText(line);
  }
}

void TStreamHelper::Write(std::string_view aValue) {
  if (!aValue.empty()) {
    write_bytes(aValue.data(), static_cast<int64_t>(aValue.size()));
  }
}

void TStreamHelper::WriteLine(std::string_view aValue) {
  Write(aValue);
  Write("\r\n");
}

std::string TStreamHelper::ReadLine() {
  std::string line;
  char c = 0;
  while (true) {
    if (mStream->Read(&c, 1) != 1) {
      throw base::Exception("Max ReadLine length exceeded.");
    }
    if (c == '\n' && !line.empty() && line.back() == '\r') {
      line.pop_back();
      return line;
    }
    if (line.size() > kMaxLineLength) {
      throw base::Exception("Max ReadLine length exceeded.");
    }
    line += c;
  }
}

int64_t TStreamHelper::CopyFrom(Stream* s, int64_t Count) {
  if (s == nullptr) {
    throw base::Exception("Source stream is not defined.");
  }
  if (Count == 0) {
    s->SetPosition(0);
    Count = s->GetSize();
  }
  copy_stream(*s, *mStream, Count);
  return Count;
}

void TStreamHelper::CopyTo(char* aBytes, int64_t aSize) {
  if (mStream->GetSize() > aSize) {
    throw base::Exception(kNotLargeEnough);
  }
  CopyToBuffer(aBytes);
}

void TStreamHelper::CopyTo(std::vector<char>& aBytes) {
  CopyTo(aBytes.data(), static_cast<int64_t>(aBytes.size()));
}

void TStreamHelper::CopyToBuffer(char* aBuffer) {
  PositionKeeper keep(*mStream);
  mStream->SetPosition(0);
  mStream->ReadBuffer(aBuffer, mStream->GetSize());
}

void TStreamHelper::CopyToFile(const std::string& aPathname) {
  PositionKeeper keep(*mStream);
  WriteFileStream target(aPathname);
  mStream->SetPosition(0);
  copy_stream(*mStream, target, mStream->GetSize());
}

std::string TStreamHelper::GetAsString() {
  PositionKeeper keep(*mStream);
  std::string text(static_cast<size_t>(mStream->GetSize()), '\0');
  mStream->SetPosition(0);
  mStream->ReadBuffer(text.data(), static_cast<int64_t>(text.size()));
  return text;
}

int64_t TStreamHelper::FindString(std::string_view s, int64_t EndPos, int64_t StartPos) {
  PositionKeeper keep(*mStream);
  if (s.empty()) {
    return -1;
  }
  unsigned char bom[3] = {0, 0, 0};
  mStream->SetPosition(0);
  const int64_t bom_length = mStream->Read(bom, 3);
  TextEncoding encoding = TextEncoding::kUtf8;
  int64_t text_start = 0;
  if (bom_length >= 2 && bom[0] == 0xFF && bom[1] == 0xFE) {
    encoding = TextEncoding::kUtf16Le;
    text_start = 2;
  } else if (bom_length >= 2 && bom[0] == 0xFE && bom[1] == 0xFF) {
    encoding = TextEncoding::kUtf16Be;
    text_start = 2;
  }
  const std::string needle = encode_needle(s, encoding);
  const auto length = static_cast<int64_t>(needle.size());
  const int64_t unit = encoding == TextEncoding::kUtf8 ? 1 : 2;

  const int64_t limit = EndPos > 0 ? std::min(EndPos, mStream->GetSize()) : mStream->GetSize();
  int64_t position = std::max<int64_t>(StartPos, 0);
  std::string block(static_cast<size_t>(std::max(kFindBlock, length)), '\0');
  while (position + length <= limit) {
    const int64_t want = std::min<int64_t>(static_cast<int64_t>(block.size()), limit - position);
    mStream->SetPosition(position);
    mStream->ReadBuffer(block.data(), want);
    const std::string_view view(block.data(), static_cast<size_t>(want));
    for (size_t at = view.find(needle); at != std::string_view::npos;
         at = view.find(needle, at + 1)) {
      const int64_t found = position + static_cast<int64_t>(at);
      if ((found - text_start) % unit == 0) {
        return found;
      }
    }
    if (position + want >= limit) {
      break;
    }
    // Step back so that a match across the block border is found in the next block.
    position += want - length + 1;
  }
  return -1;
}

}  // namespace appsrv::server
