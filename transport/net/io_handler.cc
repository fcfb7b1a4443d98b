#include "transport/net/io_handler.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>

#include "base/boundary_note.h"
#include "transport/net/socket_errors.h"
#include "transport/net/socket_handle.h"
#include "transport/net/transport_exceptions.h"

namespace appsrv::transport {
namespace {

// Without a send time-out of its own, a paced send is cut to the time left within this long of
// its deadline.
constexpr int64_t kNearSendDeadlineMs = 60000;

}  // namespace

TInIOHandler::TInIOHandler(std::unique_ptr<ByteChannel> channel, const IOHandlerSettings& settings)
    : channel_(std::move(channel)), settings_(settings) {}

TInIOHandler::~TInIOHandler() {
  try {
    Close();
  } catch (...) {  // boundary: an intercept failing as the connection goes away has no caller
    static base::LogThrottle notes;
    base::note_caught("closing a connection", notes);
  }
}

const IInTextEncoding* TInIOHandler::DefStringEncoding() const {
  return settings_.default_encoding != nullptr ? settings_.default_encoding : ascii_encoding();
}

void TInIOHandler::Open() {
  opened_ = true;
  closed_gracefully_ = false;
  input_buffer_.Clear();
  WriteBufferCancel();
}

bool TInIOHandler::Connected() const {
  return (opened_ && !closed_gracefully_ && channel_->IsOpen()) || !InputBufferIsEmpty();
}

void TInIOHandler::Close() {
  const bool was_open = opened_;
  opened_ = false;
  WriteBufferCancel();
  channel_->Close();
  if (was_open && intercept_) {
    intercept_->Disconnect();
  }
}

void TInIOHandler::Interrupt() { channel_->Close(); }

void TInIOHandler::CheckForDisconnect(bool raise_if_disconnected, bool ignore_buffer) {
  if (closed_gracefully_ && channel_->IsOpen()) {
    channel_->Close();
  }
  const bool gone = closed_gracefully_ || !opened_ || !channel_->IsOpen();
  if (gone && raise_if_disconnected && (ignore_buffer || InputBufferIsEmpty())) {
    throw EInConnClosedGracefully();
  }
}

int TInIOHandler::resolve_timeout(int timeout_ms) const {
  if (timeout_ms == kTimeoutDefault) {
    return settings_.read_timeout_ms > 0 ? settings_.read_timeout_ms : -1;
  }
  return timeout_ms < 0 ? -1 : timeout_ms;
}

void TInIOHandler::LendReceiveBlock(char* block, size_t size) {
  lent_block_ = block;
  lent_block_size_ = size;
  recv_block_ = nullptr;
  recv_block_size_ = 0;  // the next receive picks its block again
  owned_recv_block_.reset();
}

int64_t TInIOHandler::ReadFromSource(bool raise_if_disconnected, int timeout_ms,
                                     bool raise_on_timeout) {
  if (!opened_ || !channel_->IsOpen()) {
    if (raise_if_disconnected) {
      if (opened_) {
        throw EInClosedSocket();  // closed under the handler, by a stopping server
      }
      throw EInNotConnected();
    }
    return 0;
  }
  const size_t block_size = static_cast<size_t>(std::max(settings_.recv_buffer_size, 1));
  if (recv_block_size_ != block_size) {
    if (lent_block_ != nullptr && block_size <= lent_block_size_) {
      owned_recv_block_.reset();
      recv_block_ = lent_block_;
    } else {
      owned_recv_block_.reset(new char[block_size]);
      recv_block_ = owned_recv_block_.get();
    }
    recv_block_size_ = block_size;
  }
  // Without a time limit the receive itself waits, which saves a poll per read.
  const IoResult r =
      channel_->ReceiveWithin(recv_block_, recv_block_size_, resolve_timeout(timeout_ms));
  if (r.timed_out) {
    if (raise_on_timeout) {
      throw EInReadTimeout();
    }
    return -1;
  }
  if (r.error != 0) {
    const bool empty_before = InputBufferIsEmpty();
    Close();
    if (!is_connection_lost(r.error)) {
      RaiseSocketError(r.error);
    }
    closed_gracefully_ = true;
    if (raise_if_disconnected && empty_before) {
      RaiseSocketError(r.error);
    }
    return 0;
  }
  if (r.bytes <= 0) {
    closed_gracefully_ = true;
    return 0;
  }
  // One writer: a plain store, no locked add on every receive.
  bytes_received_.store(bytes_received_.load(std::memory_order_relaxed) + r.bytes,
                        std::memory_order_relaxed);
  if (intercept_) {
    std::string block(recv_block_, static_cast<size_t>(r.bytes));
    intercept_->Receive(block);
    input_buffer_.Write(block);
  } else {
    input_buffer_.Write(std::string_view(recv_block_, static_cast<size_t>(r.bytes)));
  }
  return r.bytes;
}

std::string TInIOHandler::ReadLn(std::string_view terminator, int timeout_ms, int32_t max_length,
                                 const IInTextEncoding* encoding) {
  const std::string line = ReadLnBytes(terminator, timeout_ms, max_length);
  return (encoding != nullptr ? encoding : DefStringEncoding())->GetString(line);
}

std::string TInIOHandler::ReadLnBytes(std::string_view terminator, int timeout_ms,
                                      int32_t max_length) {
  read_ln_timed_out_ = false;
  read_ln_split_ = false;
  if (terminator.empty()) {
    terminator = "\n";
  }
  const int64_t max = max_length < 0 ? settings_.max_line_length : max_length;
  const int64_t term_len = static_cast<int64_t>(terminator.size());
  const int timeout = resolve_timeout(timeout_ms);
  const DeadlineClock::time_point deadline =
      clock().now() + std::chrono::milliseconds(std::max(timeout, 0));

  auto over_long = [&] {
    if (settings_.max_line_action == TInMaxLineAction::maException) {
      throw EInReadLnMaxLineLengthExceeded();
    }
    read_ln_split_ = true;
    std::string line;
    input_buffer_.ExtractToBytes(line, max);
    return line;
  };

  int64_t search_from = 0;
  bool waited = false;
  for (;;) {
    const int64_t at = input_buffer_.IndexOf(terminator, search_from);
    if (at >= 0) {
      if (max > 0 && at > max) {
        return over_long();
      }
      std::string line;
      input_buffer_.ExtractToBytes(line, at);
      input_buffer_.Remove(term_len);
      if (terminator == "\n" && !line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      return line;
    }
    // Whatever arrives next, the terminator could only start past the limit: the line is too
    // long already, and waiting for its end would let a peer fill memory without bound.
    if (max > 0 && input_buffer_.Size() - (term_len - 1) > max) {
      return over_long();
    }
    search_from = std::max<int64_t>(0, input_buffer_.Size() - term_len + 1);
    CheckForDisconnect(true, true);
    // The time-out bounds the whole line, so a peer that trickles bytes cannot stretch it.
    if (waited && timeout >= 0 && clock().now() >= deadline) {
      read_ln_timed_out_ = true;
      return "";
    }
    waited = true;
    if (ReadFromSource(true, timeout < 0 ? kTimeoutInfinite : ms_until(deadline, clock().now()),
                       false) < 0) {
      read_ln_timed_out_ = true;
      return "";
    }
  }
}

void TInIOHandler::Capture(std::vector<std::string>& lines, std::string_view delimiter,
                           const IInTextEncoding* encoding, bool dot_transparency) {
  int64_t stored = 0;
  for (;;) {
    std::string line = ReadLn("\n", kTimeoutDefault, -1, encoding);
    // A timed-out read returns "" as well, which must not pass for the closing empty line.
    if (read_ln_timed_out_) {
      throw EInReadTimeout();
    }
    if (line == delimiter) {
      return;
    }
    if (settings_.max_captured_lines > 0 && stored > settings_.max_captured_lines) {
      throw EInMaxCaptureLineExceeded();
    }
    if (dot_transparency && line.size() >= 2 && line[0] == '.' && line[1] == '.') {
      line.erase(0, 1);
    }
    lines.push_back(std::move(line));
    ++stored;
  }
}

void TInIOHandler::Capture(server::Stream& stream, std::string_view delimiter,
                           const IInTextEncoding* encoding, bool dot_transparency) {
  std::vector<std::string> lines;
  Capture(lines, delimiter, encoding, dot_transparency);
  const IInTextEncoding* enc = encoding != nullptr ? encoding : DefStringEncoding();
  for (const std::string& line : lines) {
    const std::string bytes = enc->GetBytes(line) + "\r\n";
    stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  }
}

void TInIOHandler::ReadStream(server::Stream& stream, int64_t byte_count,
                              bool read_until_disconnect) {
  if (byte_count < 0 || read_until_disconnect) {
    for (;;) {
      input_buffer_.ExtractToStream(stream);
      if (ReadFromSource(false, kTimeoutDefault, true) <= 0) {
        input_buffer_.ExtractToStream(stream);
        return;
      }
    }
  }
  if (byte_count > std::numeric_limits<int64_t>::max() - stream.Position()) {
    throw EInIOHandlerStreamDataTooLarge();
  }
  int64_t left = byte_count;
  while (left > 0) {
    if (InputBufferIsEmpty()) {
      CheckForDisconnect(true, true);
      ReadFromSource(true, kTimeoutDefault, true);
      continue;
    }
    const int64_t n = std::min(left, input_buffer_.Size());
    input_buffer_.ExtractToStream(stream, n);
    left -= n;
  }
}

void TInIOHandler::ReadBytes(std::string& bytes, int64_t count, bool append) {
  while (input_buffer_.Size() < count) {
    CheckForDisconnect(true, true);
    ReadFromSource(true, kTimeoutDefault, true);
  }
  input_buffer_.ExtractToBytes(bytes, count, append);
}

std::string TInIOHandler::ReadString(int64_t count, const IInTextEncoding* encoding) {
  std::string bytes;
  ReadBytes(bytes, count, false);
  return (encoding != nullptr ? encoding : DefStringEncoding())->GetString(bytes);
}

bool TInIOHandler::CheckForDataOnSource(int timeout_ms) {
  if (!opened_ || closed_gracefully_ || !channel_->IsOpen()) {
    return false;
  }
  return ReadFromSource(false, timeout_ms < 0 ? kTimeoutInfinite : timeout_ms, false) > 0;
}

bool TInIOHandler::AwaitInput(int timeout_ms) {
  if (!InputBufferIsEmpty()) {
    return true;
  }
  if (!channel_->ReceivesInRecords()) {
    return CheckForDataOnSource(timeout_ms);
  }
  if (!opened_ || closed_gracefully_ || !channel_->IsOpen() ||
      !channel_->WaitReadable(timeout_ms < 0 ? -1 : timeout_ms)) {
    return false;
  }
  // -1: part of a record is here, the rest still to come.
  return ReadFromSource(false, 0, false) != 0;
}

void TInIOHandler::WriteBytes(std::string_view bytes) {
  if (!write_buffering_) {
    WriteDirect(bytes);
    return;
  }
  write_buffer_.Write(bytes);
  if (write_buffer_threshold_ > 0) {
    while (write_buffering_ && write_buffer_.Size() >= write_buffer_threshold_) {
      WriteBufferFlush(write_buffer_threshold_);
    }
  }
}

void TInIOHandler::Write(std::string_view text, const IInTextEncoding* encoding) {
  WriteBytes((encoding != nullptr ? encoding : DefStringEncoding())->GetBytes(text));
}

void TInIOHandler::WriteLn(std::string_view text, const IInTextEncoding* encoding) {
  std::string line(text);
  line += "\r\n";
  Write(line, encoding);
}

void TInIOHandler::Write(const std::vector<std::string>& lines, const IInTextEncoding* encoding) {
  const bool opened_here = !WriteBufferingActive();
  if (opened_here) {
    WriteBufferOpen(-1);
  }
  try {
    for (const std::string& line : lines) {
      WriteLn(line, encoding);
    }
    if (opened_here) {
      WriteBufferClose();
    }
  } catch (...) {
    if (opened_here) {
      WriteBufferCancel();
    }
    throw;
  }
}

void TInIOHandler::Write(server::Stream& stream, int64_t size, bool write_byte_count) {
  if (size == 0) {
    stream.SetPosition(0);
    size = stream.GetSize();
  } else if (size < 0) {
    size = std::max<int64_t>(0, stream.GetSize() - stream.Position());
  }
  if (write_byte_count) {
    int width = 8;
    if (!settings_.large_stream) {
      if (size > std::numeric_limits<int32_t>::max()) {
        throw EInIOHandlerRequiresLargeStream();
      }
      width = 4;
    }
    std::string count_bytes;
    for (int i = width - 1; i >= 0; --i) {
      count_bytes += static_cast<char>((static_cast<uint64_t>(size) >> (8 * i)) & 0xFF);
    }
    WriteBytes(count_bytes);
  }
  const int64_t block_size = std::max(settings_.send_buffer_size, 1);
  std::string block(static_cast<size_t>(std::min(size, block_size)), '\0');
  int64_t left = size;
  while (left > 0) {
    const int64_t want = std::min(left, block_size);
    const int64_t got = stream.Read(block.data(), want);
    if (got <= 0) {
      throw EInNoDataToRead();
    }
    WriteBytes(std::string_view(block.data(), static_cast<size_t>(got)));
    left -= got;
  }
}

void TInIOHandler::WriteDirect(std::string_view bytes) {
  // The end of the peer's input is no end of its reading: a client that half-closed after its
  // request still waits for the reply. Only a closed channel stops writing.
  if (!opened_ || !channel_->IsOpen()) {
    CheckForDisconnect(true, true);
  }
  std::string intercepted;
  if (intercept_) {
    intercepted.assign(bytes);
    intercept_->Send(intercepted);
    bytes = intercepted;
  }
  while (!bytes.empty()) {
    if (send_pace_) {
      hold_send_to_deadline();
    }
    const IoResult r = channel_->Send(bytes.data(), bytes.size());
    if (r.error != 0) {
      Close();
      if (is_connection_lost(r.error)) {
        closed_gracefully_ = true;
      }
      RaiseSocketError(r.error);
    }
    if (r.bytes <= 0) {
      closed_gracefully_ = true;
      CheckForDisconnect(true, true);
    }
    bytes_sent_ += r.bytes;
    bytes.remove_prefix(static_cast<size_t>(r.bytes));
  }
}

void TInIOHandler::PaceSends(const PaceRule& rule) {
  if (cut_send_timeout_ms_ >= 0) {
    if (TInSocketHandle* socket = channel_->Binding()) {
      socket->SetSendTimeout(std::max(settings_.send_timeout_ms, 0));
    }
    cut_send_timeout_ms_ = -1;
  }
  send_pace_.reset();
  if (rule.first_ms > 0) {
    send_pace_.emplace(rule, clock().now());
    send_pace_base_ = bytes_sent_;
  }
}

void TInIOHandler::hold_send_to_deadline() {
  send_pace_->SetReceived(bytes_sent_ - send_pace_base_);
  const std::optional<int64_t> left = send_pace_->MsLeft(clock().now());
  if (!left) {
    return;
  }
  if (*left == 0) {
    Close();
    RaiseSocketError(kWSAEWOULDBLOCK);
  }
  TInSocketHandle* socket = channel_->Binding();
  if (socket == nullptr) {
    return;
  }
  // A blocked send waits for progress until the socket's send time-out: near the deadline only
  // for the time left, so that a client taking a byte now and then cannot stretch the reply.
  // Far from it the time-out stays as set, and sends cost no extra system call.
  const int32_t stall = settings_.send_timeout_ms;
  const int64_t window = stall > 0 ? stall : kNearSendDeadlineMs;
  if (*left >= window) {
    if (cut_send_timeout_ms_ >= 0) {
      socket->SetSendTimeout(std::max(stall, 0));
      cut_send_timeout_ms_ = -1;
    }
    return;
  }
  const int32_t wait = static_cast<int32_t>(*left);
  if (wait != cut_send_timeout_ms_) {
    socket->SetSendTimeout(wait);
    cut_send_timeout_ms_ = wait;
  }
}

bool TInIOHandler::EndSending() {
  if (write_buffering_) {
    WriteBufferFlush(-1);
  }
  return opened_ && channel_->EndSending();
}

void TInIOHandler::WriteBufferOpen(int32_t threshold) {
  write_buffer_.Clear();
  write_buffering_ = true;
  write_buffer_threshold_ = threshold;
}

void TInIOHandler::WriteBufferClose() {
  if (!write_buffering_) {
    return;
  }
  try {
    WriteBufferFlush(-1);
  } catch (...) {
    WriteBufferCancel();
    throw;
  }
  WriteBufferCancel();
}

void TInIOHandler::WriteBufferFlush(int64_t count) {
  if (!write_buffering_ || write_buffer_.Size() == 0) {
    return;
  }
  if (count < 0 || count > write_buffer_.Size()) {
    count = write_buffer_.Size();
  }
  WriteDirect(write_buffer_.View().substr(0, static_cast<size_t>(count)));
  // A failed send closes the handler, which drops what the write buffer held.
  if (write_buffering_) {
    write_buffer_.Remove(count);
  }
}

void TInIOHandler::WriteBufferCancel() {
  write_buffer_.Clear();
  write_buffering_ = false;
}

void TInIOHandler::WriteBufferClear() {
  if (write_buffering_) {
    write_buffer_.Clear();
  }
}

void TInIOHandler::SetIntercept(std::unique_ptr<TInConnectionIntercept> intercept) {
  intercept_ = std::move(intercept);
}

}  // namespace appsrv::transport
