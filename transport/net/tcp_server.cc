#include "transport/net/tcp_server.h"

#include <limits.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "base/metrics.h"
#include "transport/net/socket_errors.h"
#include "transport/net/transport_exceptions.h"

namespace appsrv::transport {

namespace {

// Stacks for connection threads, kept between threads. The system's own reuse of thread stacks
// hands every finished stack's memory back and faults it in again for the next thread; a stack
// kept here stays as the last thread left it. Stacks past the bound are unmapped.
class ThreadStacks {
 public:
  ThreadStacks() = default;
  ThreadStacks(const ThreadStacks&) = delete;
  ThreadStacks& operator=(const ThreadStacks&) = delete;
  ~ThreadStacks() { keep_at_most(0); }

  // A stack of `size` bytes whose lowest page is a guard; nullptr when none can be mapped.
  void* take(size_t size) {
    if (size != size_) {
      keep_at_most(0);
      size_ = size;
    }
    if (!kept_.empty()) {
      void* stack = kept_.back();
      kept_.pop_back();
      return stack;
    }
    void* stack = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
    if (stack == MAP_FAILED) {
      return nullptr;
    }
    if (::mprotect(stack, page_size(), PROT_NONE) != 0) {
      ::munmap(stack, size);
      return nullptr;
    }
    return stack;
  }

  // REQUIRES: no thread runs on `stack` any more (it has been joined).
  void give_back(void* stack, size_t size) {
    if (size == size_ && kept_.size() < TInCustomTCPServer::kKeptStacksBusy) {
      kept_.push_back(stack);
      return;
    }
    ::munmap(stack, size);
  }

  void keep_at_most(size_t count) {
    while (kept_.size() > count) {
      ::munmap(kept_.back(), size_);
      kept_.pop_back();
    }
  }

  size_t count() const { return kept_.size(); }

  static size_t page_size() {
    static const size_t size = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return size;
  }

 private:
  size_t size_ = 0;
  std::vector<void*> kept_;
};

}  // namespace

// The connections being served and the threads serving them. Lock order: listeners_mu_ before mu.
struct TInCustomTCPServer::ConnectionThreads {
  struct Ended {
    pthread_t thread;
    void* stack;
    size_t stack_size;
  };
  std::mutex mu;
  std::condition_variable ended;       // signalled when a thread finishes
  std::vector<TInContext*> contexts;   // guarded by mu: FContexts, not owning
  size_t live = 0;                     // guarded by mu: threads started and not yet finished
  std::vector<Ended> finished;         // guarded by mu: ended threads not yet joined
  bool stopping = false;               // guarded by mu: new contexts are interrupted at once
  std::chrono::steady_clock::time_point last_start;  // guarded by mu: when the newest began
  ThreadStacks stacks;                 // guarded by mu
};

namespace {

// What a new connection thread receives; it owns the context from then on.
struct Launch {
  TInCustomTCPServer* server;
  // Given back after the context has closed the connection.
  ClientSlots::Slot slot;
  std::unique_ptr<TInContext> context;
  void* stack;                 // the kept mapping, or nullptr for a stack the system maps
  size_t stack_size;           // of the whole mapping
  size_t receive_block_size;   // the top of the mapping that is the connection's receive block
};

}  // namespace

TInListenerThread::TInListenerThread(TInCustomTCPServer& server, TInSocketHandle& binding,
                                     std::string name)
    : server_(server), binding_(binding), name_(std::move(name)) {}

TInListenerThread::~TInListenerThread() {
  Terminate();
  WaitFor();
}

void TInListenerThread::Start() { thread_ = std::thread([this] { run(); }); }

void TInListenerThread::WaitFor() {
  if (thread_.joinable()) {
    thread_.join();
  }
}

void TInListenerThread::run() {
  try {
    if (server_.OnBeforeListenerRun) {
      server_.OnBeforeListenerRun(*this);
    }
  } catch (const std::exception& e) {
    server_.DoListenException(*this, e);
  }
  bool wait = true;
  // The next connection's handle; one that found nothing to accept waits for the next try.
  std::unique_ptr<TInSocketHandle> socket;
  while (!Terminated()) {
    if (wait) {
      if (!binding_.Readable(TInCustomTCPServer::kListenSliceMs)) {
        server_.listener_idle();
        continue;
      }
      if (Terminated()) {
        continue;
      }
    }
    try {
      if (!socket) {
        socket = std::make_unique<TInSocketHandle>();
      }
      // Most connections never ask for their local address: on a binding to every address it
      // is looked up when asked (TInContext::LocalIP).
      if (!socket->Accept(binding_, /*look_up_local_ip=*/false)) {
        wait = true;
        // Out of descriptors or memory: the pending connection stays readable. Out of
        // descriptors it is refused with the spare one; otherwise the listener pauses a
        // little instead of spinning on it.
        const int code = TInStack::WSGetLastError();
        if (code == kWSAEMFILE && server_.OnDescriptorShortage && server_.OnDescriptorShortage()) {
          wait = false;
          continue;
        }
        if (code == kWSAEMFILE) {
          const bool refused = binding_.RefuseWaiting(reserve_);
          server_.note_out_of_descriptors(refused);
          if (refused) {
            continue;
          }
        }
        if (code == kWSAEMFILE || code == kWSAENOBUFS) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        continue;
      }
      wait = false;
      server_.accepted(std::move(socket));
    } catch (const std::exception& e) {
      socket.reset();
      wait = true;
      server_.DoListenException(*this, e);
    }
  }
}

TInCustomTCPServer::TInCustomTCPServer() : threads_(std::make_unique<ConnectionThreads>()) {}

TInCustomTCPServer::~TInCustomTCPServer() {
  try {
    SetActive(false);
  } catch (const std::exception& e) {
    log(std::string("Stopping the server failed: ") + e.what());
  }
  join_finished_threads();
}

void TInCustomTCPServer::SetActive(bool active) {
  if (active == active_) {
    return;
  }
  if (!active) {
    active_ = false;
    Shutdown();
    return;
  }
  try {
    Startup();
    active_ = true;
  } catch (...) {
    // The stop path closes whatever the start opened before the failure goes to the caller.
    active_ = true;
    try {
      SetActive(false);
    } catch (const std::exception& e) {
      log(std::string("Stopping after a failed start failed: ") + e.what());
    }
    throw;
  }
}

void TInCustomTCPServer::SetIOHandler(std::unique_ptr<TInServerIOHandler> handler) {
  if (active_) {
    throw EInServerActive();
  }
  io_handler_ = std::move(handler);
  implicit_io_handler_ = false;
}

size_t TInCustomTCPServer::ContextCount() const {
  std::scoped_lock lock(threads_->mu);
  return threads_->live;
}

void TInCustomTCPServer::log(std::string_view line) const {
  if (log_line) {
    log_line(line);
  } else {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  }
}

void TInCustomTCPServer::note_out_of_descriptors(bool refused) {
  if (const std::optional<uint64_t> times = out_of_descriptors_notes_.due()) {
    log(name_ + ": out of file descriptors; new connections are " +
        (refused ? "answered 503 and closed" : "left waiting") + " until some are free (" +
        std::to_string(*times) + " since the last note)");
  }
}

void TInCustomTCPServer::Startup() {
  if (bindings_.Count() == 0) {
    bindings_.Add();
    if (TInStack::SupportsIPv6()) {
      bindings_.Add().FIPVersion = TInIPVersion::Id_IPv6;
    }
  }
  if (!io_handler_) {
    io_handler_ = std::make_unique<TInServerIOHandler>();
    implicit_io_handler_ = true;
  }
  io_handler_->Init();
  client_slots_.Configure(max_connections_per_client_, per_client_exempt_);
  {
    std::scoped_lock lock(threads_->mu);
    threads_->stopping = false;
  }
  StartListening();
}

void TInCustomTCPServer::Shutdown() {
  StopListening();
  {
    // Closing every connection's socket wakes the threads blocked in reads; they end on their
    // own. A thread still starting up is interrupted when it registers (stopping).
    std::scoped_lock lock(threads_->mu);
    threads_->stopping = true;
    for (TInContext* context : threads_->contexts) {
      context->IOHandler().Interrupt();
    }
  }
  {
    std::unique_lock lock(threads_->mu);
    threads_->ended.wait(lock, [&] { return threads_->live == 0; });
  }
  join_finished_threads();
  if (io_handler_) {
    io_handler_->Shutdown();
    if (implicit_io_handler_) {
      io_handler_.reset();
      implicit_io_handler_ = false;
    }
  }
}

void TInCustomTCPServer::StartListening() {
  std::scoped_lock lock(listeners_mu_);
  std::vector<TInSocketHandle*> fresh;
  for (size_t i = 0; i < bindings_.Count(); ++i) {
    if (!bindings_[i].HandleAllocated()) {
      fresh.push_back(&bindings_[i]);
    }
  }
  for (size_t i = 0; i < fresh.size(); ++i) {
    TInSocketHandle& binding = *fresh[i];
    try {
      binding.AllocateSocket();
      if (reuse_socket_ != TInReuseSocket::rsOSDependent) {
        binding.FReuseSocket = reuse_socket_;
      }
      if (OnBeforeBind) {
        OnBeforeBind(binding);
      }
      binding.FUseNagle = use_nagle_;
      binding.Bind();
      if (connection_settings_.send_timeout_ms > 0) {
        binding.TightenSendTimeout(connection_settings_.send_timeout_ms);
      }
    } catch (...) {
      for (size_t k = 0; k <= i; ++k) {
        fresh[k]->CloseSocket();
      }
      throw;
    }
  }
  if (OnAfterBind) {
    OnAfterBind();
  }
  for (TInSocketHandle* binding : fresh) {
    try {
      binding->Listen(listen_queue_);
      // The listener does not block in accept: under load the next connection is usually
      // queued already, and taking it at once saves a wait per connection. (A blocking accept
      // would save the wait whenever the queue runs empty, but it reserves the descriptor of
      // the next connection while it waits, which lets one connection past a descriptor
      // shortage that should have been refused.)
      binding->SetNonBlocking(true);
      auto listener = std::make_unique<TInListenerThread>(
          *this, *binding, name_ + " Listener #" + std::to_string(listener_threads_.size() + 1));
      listener->Start();
      listener_threads_.push_back(std::move(listener));
    } catch (...) {
      binding->CloseSocket();
      throw;
    }
  }
}

void TInCustomTCPServer::StopListening() {
  std::scoped_lock lock(listeners_mu_);
  for (auto& listener : listener_threads_) {
    listener->Terminate();
    listener->Binding().CloseSocket();
    listener->WaitFor();
  }
  listener_threads_.clear();
}

void TInCustomTCPServer::accepted(std::unique_ptr<TInSocketHandle> socket) {
  base::metrics().connections_accepted.add();
  join_finished_threads(/*wait=*/false);
  ConnectionEndpoints endpoints{socket->FIP, socket->FPort, socket->FPeerIP, socket->FPeerPort,
                                socket->FIPVersion};
  // Counted before anything is read from the client: a client that sends nothing holds its
  // slots as surely as one that sends slowly.
  std::optional<ClientSlots::Slot> slot = client_slots_.Take(endpoints.peer_ip);
  if (!slot) {
    // Counted and noted before the close, which the client sees.
    base::metrics().connections_refused_per_client.add();
    if (const std::optional<uint64_t> times = client_cap_notes_.due()) {
      log(name_ + ": " + endpoints.peer_ip + " holds " +
          std::to_string(max_connections_per_client_) +
          " connections (MaxConnectionsPerClient): a client's connections over it are closed "
          "at once (" +
          std::to_string(*times) + " since the last note)");
    }
    socket.reset();
    return;
  }
  std::unique_ptr<TInIOHandler> io_handler =
      io_handler_->MakeClientIOHandler(std::move(socket), connection_settings_);
  io_handler->AfterAccept();
  if (max_connections_ > 0 && ContextCount() >= static_cast<size_t>(max_connections_) &&
      !(slot_recovery_ && reclaim_slot())) {
    DoMaxConnectionsExceeded(*io_handler);
    io_handler->Close();
    return;
  }
  std::unique_ptr<TInContext> context = CreateContext(
      std::make_unique<TInTCPConnection>(std::move(io_handler)), std::move(endpoints));
  if (slot_recovery_) {
    // The wait for the first request starts now, the handshake of a TLS connection included.
    context->Claim().Wait({base::monotonic_ns(), 0});
  }
  if (OnContextCreated) {
    OnContextCreated(*context);
  }
  start_connection_thread(std::move(context), std::move(*slot));
}

namespace {

// Where a waiting connection stands: when its wait began, moved later by what it has sent
// since at `rate` bytes a second. The lowest has sent the least for the time it has held its
// slot.
int64_t standing_of(const SlotClaim::Waiting& waiting, int64_t received, int32_t rate) {
  if (rate <= 0) {
    return waiting.since_ns;
  }
  // A request head is far below this; the bound keeps the product in range.
  constexpr int64_t kMaxCountedBytes = int64_t{1} << 30;
  const int64_t bytes = std::clamp<int64_t>(received - waiting.bytes_before, 0, kMaxCountedBytes);
  return waiting.since_ns + bytes * 1'000'000'000 / rate;
}

}  // namespace

bool TInCustomTCPServer::reclaim_slot() {
  std::string peer;
  {
    std::scoped_lock lock(threads_->mu);
    // A connection chosen may start being served before it is taken; then the next one is.
    constexpr int kTries = 4;
    for (int attempt = 0; attempt < kTries && peer.empty(); ++attempt) {
      TInContext* victim = nullptr;
      SlotClaim::Waiting seen{};
      int64_t lowest = 0;
      for (TInContext* context : threads_->contexts) {
        const std::optional<SlotClaim::Waiting> waiting = context->Claim().Waits();
        if (!waiting) {
          continue;
        }
        const int64_t standing =
            standing_of(*waiting, context->IOHandler().BytesReceived(), slot_recovery_rate_);
        if (victim == nullptr || standing < lowest) {
          victim = context;
          seen = *waiting;
          lowest = standing;
        }
      }
      if (victim == nullptr) {
        return false;
      }
      if (victim->Claim().Take(seen)) {
        // Wakes the victim's thread wherever it waits on the socket; it ends on its own and
        // gives its slot back then. Until it has, the server holds one connection more.
        victim->IOHandler().Interrupt();
        peer = victim->PeerIP().empty() ? std::string("?") : victim->PeerIP();
      }
    }
  }
  if (peer.empty()) {
    return false;
  }
  base::metrics().connections_reclaimed.add();
  if (const std::optional<uint64_t> times = reclaim_notes_.due()) {
    log(name_ + ": all " + std::to_string(max_connections_) +
        " connection slots taken: closed the connection from " + peer +
        ", which had sent the least while waiting for a request, to serve a new one (" +
        std::to_string(*times) + " since the last note)");
  }
  return true;
}

void TInCustomTCPServer::start_connection_thread(std::unique_ptr<TInContext> context,
                                                 ClientSlots::Slot slot) {
  auto launch =
      std::make_unique<Launch>(Launch{this, std::move(slot), std::move(context), nullptr, 0, 0});
  // In whole pages; the guard page and the thread's own data come out of the stack, as they
  // do out of a stack the system maps. The connection's receive block sits above the stack in
  // the same kept mapping: memory already touched, instead of a heap block per connection.
  const size_t page = ThreadStacks::page_size();
  const auto whole_pages = [page](size_t bytes) { return (bytes + page - 1) / page * page; };
  const size_t stack_size =
      whole_pages(std::max(connection_stack_size_, 2 * static_cast<size_t>(PTHREAD_STACK_MIN)));
  launch->receive_block_size =
      whole_pages(static_cast<size_t>(std::max(connection_settings_.recv_buffer_size, 1)));
  launch->stack_size = stack_size + launch->receive_block_size;
  const auto now = std::chrono::steady_clock::now();
  {
    std::scoped_lock lock(threads_->mu);
    ++threads_->live;
    threads_->last_start = now;
    launch->stack = threads_->stacks.take(launch->stack_size);
  }
  base::metrics().connection_threads.add();
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  int rc = launch->stack != nullptr
               ? pthread_attr_setstack(&attr, launch->stack, stack_size)
               : pthread_attr_setstacksize(&attr, connection_stack_size_);
  pthread_t thread;
  if (rc == 0) {
    rc = pthread_create(&thread, &attr, &TInCustomTCPServer::connection_thread_main, launch.get());
  }
  pthread_attr_destroy(&attr);
  if (rc == 0) {
    launch.release();  // the thread owns it now
    return;
  }
  log("Could not start a thread for the connection from " + launch->context->PeerIP() + ":" +
      std::to_string(launch->context->PeerPort()) + ": " + base::errno_text(rc));
  void* mapping = launch->stack;
  const size_t mapping_size = launch->stack_size;
  launch.reset();  // closes the connection
  base::metrics().connection_threads.sub();
  std::scoped_lock lock(threads_->mu);
  if (mapping != nullptr) {
    threads_->stacks.give_back(mapping, mapping_size);
  }
  --threads_->live;
  threads_->ended.notify_all();
}

void* TInCustomTCPServer::connection_thread_main(void* arg) {
  std::unique_ptr<Launch> launch(static_cast<Launch*>(arg));
  TInCustomTCPServer& server = *launch->server;
  if (launch->stack != nullptr) {
    // The handler goes with the context below, before the mapping is given back.
    char* const top = static_cast<char*>(launch->stack) + launch->stack_size;
    launch->context->IOHandler().LendReceiveBlock(top - launch->receive_block_size,
                                                  launch->receive_block_size);
  }
  server.run_connection(*launch->context);
  const ConnectionThreads::Ended ended{pthread_self(), launch->stack, launch->stack_size};
  // The socket is closed before the server learns that the thread is done, so a stop that
  // returns has no connection left open.
  launch.reset();
  base::metrics().connection_threads.sub();
  std::scoped_lock lock(server.threads_->mu);
  --server.threads_->live;
  server.threads_->finished.push_back(ended);
  server.threads_->ended.notify_all();
  return nullptr;
}

void TInCustomTCPServer::join_finished_threads(bool wait) {
  // Under the lock: a thread on this list never takes the lock again, so waiting for it here
  // cannot hold it up; and the list keeps its memory for the threads that end next.
  std::scoped_lock lock(threads_->mu);
  std::erase_if(threads_->finished, [&](const ConnectionThreads::Ended& ended) {
    if (wait) {
      pthread_join(ended.thread, nullptr);
    } else if (pthread_tryjoin_np(ended.thread, nullptr) == EBUSY) {
      // Still leaving: joined on a later round, so that the listener never waits for it before
      // taking the next connection.
      return false;
    }
    // Only a joined thread has left its stack for good.
    if (ended.stack != nullptr) {
      threads_->stacks.give_back(ended.stack, ended.stack_size);
    }
    return true;
  });
}

void TInCustomTCPServer::listener_idle() {
  join_finished_threads(/*wait=*/false);
  const auto now = std::chrono::steady_clock::now();
  std::scoped_lock lock(threads_->mu);
  // Another listener may be busy meanwhile: its connections keep the stacks.
  if (now - threads_->last_start >= std::chrono::milliseconds(kListenSliceMs)) {
    threads_->stacks.keep_at_most(kKeptStacksIdle);
  }
}

size_t TInCustomTCPServer::KeptStackCount() const {
  std::scoped_lock lock(threads_->mu);
  return threads_->stacks.count();
}

void TInCustomTCPServer::ServeConnection(std::unique_ptr<TInIOHandler> io_handler,
                                         ConnectionEndpoints endpoints) {
  std::unique_ptr<TInContext> context = CreateContext(
      std::make_unique<TInTCPConnection>(std::move(io_handler)), std::move(endpoints));
  if (OnContextCreated) {
    OnContextCreated(*context);
  }
  run_connection(*context);
}

void TInCustomTCPServer::run_connection(TInContext& context) {
  base::metrics().connections_open.add();
  {
    std::scoped_lock lock(threads_->mu);
    threads_->contexts.push_back(&context);
    if (threads_->stopping) {
      context.IOHandler().Interrupt();
    }
  }
  std::exception_ptr failure;
  try {
    DoConnect(context);
    while (DoExecute(context)) {
    }
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    DoDisconnect(context);
  } catch (...) {
    if (!failure) {
      failure = std::current_exception();
    }
  }
  if (TInConnectionIntercept* intercept = context.IOHandler().Intercept()) {
    try {
      intercept->Disconnect();
    } catch (const std::exception& e) {
      log(std::string("Connection intercept failed to disconnect: ") + e.what());
    }
    context.IOHandler().SetIntercept(nullptr);
  }
  {
    std::scoped_lock lock(threads_->mu);
    auto& list = threads_->contexts;
    list.erase(std::remove(list.begin(), list.end(), &context), list.end());
  }
  base::metrics().connections_open.sub();
  if (!failure) {
    return;
  }
  // The top of the connection thread: whatever the work raised ends here.
  try {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      DoException(context, e);
    } catch (...) {
      DoException(context, EInException("Unknown exception"));
    }
  } catch (const std::exception& e) {
    log(std::string("Connection exception handler failed: ") + e.what());
  } catch (...) {
    log("Connection exception handler failed");
  }
}

std::unique_ptr<TInContext> TInCustomTCPServer::CreateContext(
    std::unique_ptr<TInTCPConnection> connection, ConnectionEndpoints endpoints) {
  return std::make_unique<TInContext>(*this, std::move(connection), std::move(endpoints));
}

void TInCustomTCPServer::DoConnect(TInContext& context) {
  if (OnConnect) {
    OnConnect(context);
  }
}

bool TInCustomTCPServer::DoExecute(TInContext& context) {
  // Without work to do the connection ends, instead of spinning on it.
  if (!OnExecute) {
    return false;
  }
  OnExecute(context);
  return context.Connection().Connected();
}

void TInCustomTCPServer::DoDisconnect(TInContext& context) {
  if (OnDisconnect) {
    OnDisconnect(context);
  }
}

void TInCustomTCPServer::DoException(TInContext& context, const std::exception& error) {
  if (OnException) {
    OnException(context, error);
  }
}

void TInCustomTCPServer::DoMaxConnectionsExceeded(TInIOHandler& /*io_handler*/) {}

void TInCustomTCPServer::DoListenException(TInListenerThread& listener,
                                           const std::exception& error) {
  try {
    if (OnListenException) {
      OnListenException(listener, error);
      return;
    }
    log(listener.Name() + ": " + error.what());
  } catch (const std::exception& e) {
    log(listener.Name() + ": listen exception handler failed: " + e.what());
  }
}

}  // namespace appsrv::transport
