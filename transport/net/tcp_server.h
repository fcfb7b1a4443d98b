// TInCustomTCPServer: listens on its bindings, accepts on one listener thread per binding and
// serves every connection on a new thread of its own until the connection's work ends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/log_throttle.h"
#include "transport/net/client_slots.h"
#include "transport/net/descriptor_reserve.h"
#include "transport/net/io_settings.h"
#include "transport/net/server_io_handler.h"
#include "transport/net/socket_handle.h"
#include "transport/net/tcp_connection.h"

namespace appsrv::transport {

class TInCustomTCPServer;

// Accepts on one listening binding, waiting in 250 ms slices so that a stop is noticed quickly.
// Owned and joined by its server.
class TInListenerThread {
 public:
  TInListenerThread(TInCustomTCPServer& server, TInSocketHandle& binding, std::string name);
  TInListenerThread(const TInListenerThread&) = delete;
  TInListenerThread& operator=(const TInListenerThread&) = delete;
  ~TInListenerThread();

  TInCustomTCPServer& Server() const { return server_; }
  TInSocketHandle& Binding() const { return binding_; }
  const std::string& Name() const { return name_; }

  void Start();
  // Tells the thread to stop; it notices within one wait slice.
  void Terminate() { stop_.store(true); }
  bool Terminated() const { return stop_.load(); }
  void WaitFor();

 private:
  void run();

  TInCustomTCPServer& server_;
  TInSocketHandle& binding_;
  std::string name_;
  std::atomic<bool> stop_{false};
  DescriptorReserve reserve_;  // used by the listener thread only
  std::thread thread_;
};

// The base of the HTTP server. Settings and events may change only while the server is inactive;
// the steps run on connection threads and must be safe to run for many connections at once.
// Destroying an active server stops it; a subclass that overrides steps must stop it in its own
// destructor (SetActive(false)), while its overrides still exist.
class TInCustomTCPServer {
 public:
  // How long a listener waits for a connection before it looks whether it should stop.
  static constexpr int kListenSliceMs = 250;
  // Stack of every connection thread. Connection code keeps its buffers on the heap.
  static constexpr size_t kDefaultConnectionStackSize = 256 * 1024;
  // Stacks of ended connection threads kept for the next ones: up to kKeptStacksBusy while
  // connections come in, so that as many connections at once start on touched memory; down to
  // kKeptStacksIdle once no connection has come for a whole listen slice.
  static constexpr size_t kKeptStacksBusy = 128;
  static constexpr size_t kKeptStacksIdle = 32;

  TInCustomTCPServer();
  TInCustomTCPServer(const TInCustomTCPServer&) = delete;
  TInCustomTCPServer& operator=(const TInCustomTCPServer&) = delete;
  virtual ~TInCustomTCPServer();

  bool Active() const { return active_; }
  // true: binds and listens (no bindings: one on DefaultPort for IPv4, one for IPv6 when the
  // platform has it); a failure leaves the server inactive and propagates ("Could not bind
  // socket. Address and port are already in use."). false: stops listening, closes every open
  // connection and returns once every connection thread has ended.
  void SetActive(bool active);

  TInSocketHandles& Bindings() { return bindings_; }
  uint16_t DefaultPort() const { return bindings_.FDefaultPort; }
  void SetDefaultPort(uint16_t port) { bindings_.FDefaultPort = port; }
  int32_t ListenQueue() const { return listen_queue_; }
  void SetListenQueue(int32_t n) { listen_queue_ = n; }
  // Simultaneous connections; 0 = no limit. One more is accepted and closed at once, unless
  // slot recovery closes a waiting connection in its place.
  int32_t MaxConnections() const { return max_connections_; }
  void SetMaxConnections(int32_t n) { max_connections_ = n; }
  // Simultaneous connections from one peer address (IPv4-mapped IPv6 counts as IPv4), counted
  // from accept; one more from it is closed at once. 0 or less: no limit. The `exempt`
  // addresses (proxies that bring many clients) have no such limit.
  int32_t MaxConnectionsPerClient() const { return max_connections_per_client_; }
  void SetMaxConnectionsPerClient(int32_t n, std::vector<std::string> exempt = {}) {
    max_connections_per_client_ = n;
    per_client_exempt_ = std::move(exempt);
  }
  // Connections from `peer_ip` counted against MaxConnectionsPerClient now.
  int32_t ClientConnectionCount(std::string_view peer_ip) const {
    return client_slots_.Count(peer_ip);
  }
  // With MaxConnections taken, a new connection takes the slot of a connection that waits for
  // a request (see SlotClaim): the one furthest behind, where its wait counts from when it
  // began and every `min_rate_bytes_per_sec` bytes it received since move it one second later
  // (0 or less: bytes count nothing). A connection that never says it waits is never closed.
  // Without slot recovery (the default) the newcomer is closed.
  void SetSlotRecovery(bool on, int32_t min_rate_bytes_per_sec = 0) {
    slot_recovery_ = on;
    slot_recovery_rate_ = min_rate_bytes_per_sec;
  }
  TInReuseSocket ReuseSocket() const { return reuse_socket_; }
  void SetReuseSocket(TInReuseSocket r) { reuse_socket_ = r; }
  bool UseNagle() const { return use_nagle_; }
  void SetUseNagle(bool v) { use_nagle_ = v; }
  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  // Limits and sizes given to every accepted connection's I/O handler.
  IOHandlerSettings& ConnectionSettings() { return connection_settings_; }
  size_t ConnectionStackSize() const { return connection_stack_size_; }
  void SetConnectionStackSize(size_t bytes) { connection_stack_size_ = bytes; }
  // Replaces the server I/O handler (nullptr: a plain one is made on start).
  void SetIOHandler(std::unique_ptr<TInServerIOHandler> handler);
  TInServerIOHandler* IOHandler() const { return io_handler_.get(); }
  // Connections being served right now.
  size_t ContextCount() const;
  // Stacks kept for connection threads to come (for tests).
  size_t KeptStackCount() const;
  // Where the server reports what it cannot hand to anyone (a thread that could not be made);
  // default: standard error.
  std::function<void(std::string_view)> log_line;

  // Binds and listens on every binding not yet listening.
  void StartListening();
  // Stops the listener threads and closes the listening sockets.
  void StopListening();
  // Serves one connection on the calling thread exactly as a connection thread would (connect,
  // execute steps, disconnect, exception step), without a listener: for tests and fuzz targets
  // that drive the server's steps over an in-memory channel. Needs no start.
  void ServeConnection(std::unique_ptr<TInIOHandler> io_handler, ConnectionEndpoints endpoints = {});

  std::function<void(TInContext&)> OnContextCreated;
  std::function<void(TInContext&)> OnConnect;
  std::function<void(TInContext&)> OnDisconnect;
  std::function<void(TInContext&, const std::exception&)> OnException;
  std::function<void(TInContext&)> OnExecute;
  std::function<void(TInListenerThread&, const std::exception&)> OnListenException;
  std::function<void(TInSocketHandle&)> OnBeforeBind;
  std::function<void()> OnAfterBind;
  std::function<void(TInListenerThread&)> OnBeforeListenerRun;
  // Runs on a listener thread that is out of descriptors, before it refuses the waiting
  // connection; returns true when it freed some, and the listener tries to accept again.
  std::function<bool()> OnDescriptorShortage;

 protected:
  // The start and stop steps; overrides call the base.
  virtual void Startup();
  virtual void Shutdown();
  // Makes the context of a new connection; subclasses may return their own context type.
  virtual std::unique_ptr<TInContext> CreateContext(std::unique_ptr<TInTCPConnection> connection,
                                                    ConnectionEndpoints endpoints);
  // Runs once before the first execute step (fires OnConnect).
  virtual void DoConnect(TInContext& context);
  // Serves the connection; runs again while it returns true. The base fires OnExecute and
  // returns whether the connection is still up.
  virtual bool DoExecute(TInContext& context);
  // Runs once after the last execute step (fires OnDisconnect).
  virtual void DoDisconnect(TInContext& context);
  // The connection's work raised (fires OnException). Nothing is written to the peer.
  virtual void DoException(TInContext& context, const std::exception& error);
  // A connection over MaxConnections() is about to be closed.
  virtual void DoMaxConnectionsExceeded(TInIOHandler& io_handler);
  // Accepting failed (fires OnListenException).
  virtual void DoListenException(TInListenerThread& listener, const std::exception& error);

 private:
  friend class TInListenerThread;
  struct ConnectionThreads;

  // One accepted connection: makes its context and hands it to a new thread.
  void accepted(std::unique_ptr<TInSocketHandle> socket);
  // Starts a thread that serves the context; on failure closes the connection and logs.
  void start_connection_thread(std::unique_ptr<TInContext> context, ClientSlots::Slot slot);
  static void* connection_thread_main(void* launch);
  // The connection thread's steps: connect, execute while asked, disconnect, exception.
  void run_connection(TInContext& context);
  // Joins the connection threads that have ended; without `wait`, only those that have left
  // already (the rest stay for a later call).
  void join_finished_threads(bool wait = true);
  // A listener waited a whole slice for a connection: joins what has ended and, when no
  // connection has come for a slice, lets go of the stacks kept beyond kKeptStacksIdle.
  void listener_idle();
  void log(std::string_view line) const;
  // A listener ran out of descriptors; logs it at most once a minute.
  void note_out_of_descriptors(bool refused);
  // Every slot is taken: closes the waiting connection furthest behind; false when none waits.
  bool reclaim_slot();

  bool active_ = false;  // changed only by the thread that starts and stops the server
  TInSocketHandles bindings_;
  int32_t listen_queue_ = 15;
  int32_t max_connections_ = 0;
  int32_t max_connections_per_client_ = 0;
  std::vector<std::string> per_client_exempt_;
  bool slot_recovery_ = false;
  int32_t slot_recovery_rate_ = 0;
  TInReuseSocket reuse_socket_ = TInReuseSocket::rsOSDependent;
  bool use_nagle_ = true;
  std::string name_ = "TCPServer";
  IOHandlerSettings connection_settings_;
  size_t connection_stack_size_ = kDefaultConnectionStackSize;
  std::unique_ptr<TInServerIOHandler> io_handler_;
  bool implicit_io_handler_ = false;

  std::mutex listeners_mu_;
  std::vector<std::unique_ptr<TInListenerThread>> listener_threads_;  // guarded by listeners_mu_

  // The contexts being served and the threads serving them.
  std::unique_ptr<ConnectionThreads> threads_;
  base::LogThrottle out_of_descriptors_notes_;  // thread-safe
  ClientSlots client_slots_;                    // thread-safe; configured on start
  base::LogThrottle client_cap_notes_;          // thread-safe
  base::LogThrottle reclaim_notes_;             // thread-safe
};

}  // namespace appsrv::transport
