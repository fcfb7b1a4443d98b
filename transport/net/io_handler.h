// TInIOHandler: buffered reading and writing of one connection through a byte channel.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/exchange/stream.h"
#include "transport/net/buffer.h"
#include "transport/net/byte_channel.h"
#include "transport/net/connection_intercept.h"
#include "transport/net/io_settings.h"
#include "transport/net/paced_deadline.h"
#include "transport/net/text_encoding.h"

namespace appsrv::transport {

// Reads lines, byte counts and streams from what the channel delivers, and writes text, bytes
// and streams, optionally collected in a write buffer. Owns its channel and intercept.
// Every operation belongs to the one thread that serves the connection, except Interrupt.
// Failures: EInConnClosedGracefully when the peer has gone and nothing is left to read,
// EInReadTimeout, EInSocketError (10053/10054/10058 close the handler first),
// EInReadLnMaxLineLengthExceeded, EInMaxCaptureLineExceeded, EInNotConnected.
class TInIOHandler {
 public:
  explicit TInIOHandler(std::unique_ptr<ByteChannel> channel,
                        const IOHandlerSettings& settings = {});
  TInIOHandler(const TInIOHandler&) = delete;
  TInIOHandler& operator=(const TInIOHandler&) = delete;
  virtual ~TInIOHandler();

  // Settings, read where they apply; may change between reads.
  const IOHandlerSettings& Settings() const { return settings_; }
  IOHandlerSettings& Settings() { return settings_; }
  int32_t MaxLineLength() const { return settings_.max_line_length; }
  void SetMaxLineLength(int32_t v) { settings_.max_line_length = v; }
  int32_t MaxCapturedLines() const { return settings_.max_captured_lines; }
  void SetMaxCapturedLines(int32_t v) { settings_.max_captured_lines = v; }
  int32_t ReadTimeout() const { return settings_.read_timeout_ms; }
  // The longest a read waits for data, as this handler enforces it; 0 or less: no limit.
  virtual int32_t ReadLimitMs() const { return settings_.read_timeout_ms; }
  void SetReadTimeout(int32_t ms) { settings_.read_timeout_ms = ms; }
  const IInTextEncoding* DefStringEncoding() const;
  // What this connection's deadlines are counted in (the settings' clock).
  const DeadlineClock& clock() const { return *settings_.clock; }

  // Opens the handler (clears the buffers and the closed-gracefully mark). New handlers are open.
  virtual void Open();
  // For a TLS handler: the handshake after accepting. Nothing for a plain handler.
  virtual void AfterAccept() {}
  // True while the channel is open and the handler is opened, or unread input remains.
  bool Connected() const;
  // Closes the channel (once), tells the intercept, discards any write buffer.
  virtual void Close();
  // Thread-safe: closes the channel only, so that a thread blocked in a read on this handler
  // wakes up and fails. Used by a server that stops while connections are open.
  void Interrupt();
  // When the peer has gone: closes the channel; raises EInConnClosedGracefully when
  // `raise_if_disconnected` and the input buffer is empty (or `ignore_buffer`).
  void CheckForDisconnect(bool raise_if_disconnected = true, bool ignore_buffer = false);
  bool ClosedGracefully() const { return closed_gracefully_; }

  // Reads up to the terminator (default LF; an LF preceded by CR drops both) and decodes the line.
  // `timeout_ms`: kTimeoutDefault = ReadTimeout(), kTimeoutInfinite, or milliseconds; on a timeout
  // ReadLnTimedOut() is set and "" returned. `max_length` -1 = MaxLineLength().
  std::string ReadLn(std::string_view terminator = "\n", int timeout_ms = kTimeoutDefault,
                     int32_t max_length = -1, const IInTextEncoding* encoding = nullptr);
  // ReadLn without decoding: the line's raw bytes.
  std::string ReadLnBytes(std::string_view terminator = "\n", int timeout_ms = kTimeoutDefault,
                          int32_t max_length = -1);
  bool ReadLnTimedOut() const { return read_ln_timed_out_; }
  bool ReadLnSplit() const { return read_ln_split_; }
  // Reads lines into `lines` until one equals `delimiter` ("" ends at the first empty line);
  // fails once more than MaxCapturedLines() lines are stored. With `dot_transparency` a leading
  // ".." loses one dot.
  void Capture(std::vector<std::string>& lines, std::string_view delimiter,
               const IInTextEncoding* encoding = nullptr, bool dot_transparency = false);
  // The same, each line followed by CR LF into the stream.
  void Capture(server::Stream& stream, std::string_view delimiter,
               const IInTextEncoding* encoding = nullptr, bool dot_transparency = false);
  // `byte_count` bytes into the stream at its position; with -1 and `read_until_disconnect`,
  // everything until the peer closes.
  void ReadStream(server::Stream& stream, int64_t byte_count = -1,
                  bool read_until_disconnect = false);
  // Exactly `count` bytes, appended to `bytes` or replacing them.
  void ReadBytes(std::string& bytes, int64_t count, bool append = true);
  // `count` bytes decoded (nullptr: DefStringEncoding()).
  std::string ReadString(int64_t count, const IInTextEncoding* encoding = nullptr);
  // True when the connection is up and new bytes arrived within the timeout.
  bool CheckForDataOnSource(int timeout_ms = 0);
  // True when input is buffered or the peer starts sending within `timeout_ms`; false when
  // nothing came or the peer closed. What can be had at once is read into the input buffer.
  // On a channel that receives in records, the first bytes of an incomplete record count as
  // a start: the reads that follow bound the rest with their own deadlines, so that a peer
  // cannot stretch a record over the wait for its first byte.
  bool AwaitInput(int timeout_ms);
  bool InputBufferIsEmpty() const { return input_buffer_.Size() == 0; }
  TInBuffer& InputBuffer() { return input_buffer_; }

  // Raw bytes, through the write buffer when it is active.
  void WriteBytes(std::string_view bytes);
  // Text encoded with `encoding` (nullptr: DefStringEncoding()).
  void Write(std::string_view text, const IInTextEncoding* encoding = nullptr);
  void WriteLn(std::string_view text = "", const IInTextEncoding* encoding = nullptr);
  // Every line followed by CR LF, sent together.
  void Write(const std::vector<std::string>& lines, const IInTextEncoding* encoding = nullptr);
  // `size` 0: the whole stream from its start; -1: the rest from its position; else that many
  // bytes from its position (EInNoDataToRead when the stream ends early). With
  // `write_byte_count` the size goes first as a 64-bit (large stream) or 32-bit big-endian number.
  void Write(server::Stream& stream, int64_t size = 0, bool write_byte_count = false);
  // Sends at once, bypassing the write buffer.
  void WriteDirect(std::string_view bytes);
  // Bytes handed to the channel since the handler was made.
  int64_t BytesSent() const { return bytes_sent_; }
  // Bytes received from the channel since the handler was made (read or not). Any thread may
  // ask (the accept thread ranks waiting connections by it).
  int64_t BytesReceived() const { return bytes_received_.load(std::memory_order_relaxed); }
  // What is written from now on is the connection's last: its final partial packet may wait
  // for EndSending and leave together with the end of the stream. EndSending must follow.
  void LastWritesFollow() { channel_->LastSendsFollow(); }
  // Sends what the write buffer holds, then ends this side's stream (a half close): the peer
  // reads everything sent and then the end, while reading here goes on. False when the channel
  // has no half close (or is closed): nothing but the flush happened then.
  bool EndSending();

  // Holds the sends from now on to `rule`, counted from now and from the bytes sent from now:
  // a send past its deadline fails with 10035, as one that made no progress within the send
  // time-out does, and near the deadline each send waits only for the time left. A rule
  // without a first bound ends the pacing.
  void PaceSends(const PaceRule& rule);

  // Collects writes until closed or flushed; a `threshold` above 0 flushes whenever that many
  // bytes are waiting.
  void WriteBufferOpen(int32_t threshold = -1);
  // Sends everything and ends buffering (also when sending fails).
  void WriteBufferClose();
  // Sends `count` buffered bytes (-1: all).
  void WriteBufferFlush(int64_t count = -1);
  void WriteBufferCancel();
  void WriteBufferClear();
  bool WriteBufferingActive() const { return write_buffering_; }

  void SetIntercept(std::unique_ptr<TInConnectionIntercept> intercept);
  TInConnectionIntercept* Intercept() const { return intercept_.get(); }
  ByteChannel& Channel() { return *channel_; }
  // The socket underneath, or nullptr.
  TInSocketHandle* Binding() { return channel_->Binding(); }
  // Receives go into `block` (`size` bytes, owned by the caller, outliving the handler) while
  // the receive buffer size fits in it: the connection thread's kept memory instead of a heap
  // block made and freed per connection.
  void LendReceiveBlock(char* block, size_t size);

 protected:
  // The receive primitive behind every read: waits up to `timeout_ms` (as ReadLn), appends what
  // arrived to the input buffer, returns the count, 0 when the peer closed, -1 on a timeout.
  int64_t ReadFromSource(bool raise_if_disconnected, int timeout_ms, bool raise_on_timeout);

 private:
  int resolve_timeout(int timeout_ms) const;
  // Before a send while sends are paced: fails past the deadline, and cuts the socket's send
  // time-out to the time left when that is shorter.
  void hold_send_to_deadline();

  std::unique_ptr<ByteChannel> channel_;
  std::unique_ptr<TInConnectionIntercept> intercept_;
  IOHandlerSettings settings_;
  TInBuffer input_buffer_;
  // Kept between replies with its room, used while write_buffering_.
  TInBuffer write_buffer_;
  bool write_buffering_ = false;
  int32_t write_buffer_threshold_ = 0;
  // The block of recv_block_size_ bytes that every receive reuses, left uninitialised: the lent
  // block when it is large enough, else owned_recv_block_.
  char* recv_block_ = nullptr;
  size_t recv_block_size_ = 0;
  std::unique_ptr<char[]> owned_recv_block_;
  char* lent_block_ = nullptr;
  size_t lent_block_size_ = 0;
  int64_t bytes_sent_ = 0;
  // Written by the connection's thread only.
  std::atomic<int64_t> bytes_received_{0};
  std::optional<PacedDeadline> send_pace_;
  int64_t send_pace_base_ = 0;  // bytes_sent_ when the pacing started
  // The socket's send time-out as hold_send_to_deadline last set it; -1: as the settings have it.
  int32_t cut_send_timeout_ms_ = -1;
  bool opened_ = true;
  bool closed_gracefully_ = false;
  bool read_ln_timed_out_ = false;
  bool read_ln_split_ = false;
};

}  // namespace appsrv::transport
