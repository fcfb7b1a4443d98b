// The worker thread of service mode: creates the transport host (which opens the listeners),
// holds it until it is asked to terminate, then frees it (which closes them).
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/standalone_server.h"

namespace appsrv::host {

// Owned by the service module on the main thread; Terminate may be called from any thread.
// The destructor asks the thread to end and joins it.
class TSvServiceThread {
 public:
  explicit TSvServiceThread(HttpHostClass aServiceComponentClass);
  ~TSvServiceThread();
  TSvServiceThread(const TSvServiceThread&) = delete;
  TSvServiceThread& operator=(const TSvServiceThread&) = delete;

  // Starts the thread; call once, after setting the events.
  void Start();
  // Asks the thread to free the transport host and end; returns at once.
  void Terminate();
  // Returns when the thread has ended.
  void WaitFor();

  // Events, on the worker thread. OnRunning: the host exists and its listeners are open.
  // OnFailed: the host could not be created (the error's message); the thread then ends.
  std::function<void(TransportHost&)> OnRunning;
  std::function<void(const std::string&)> OnFailed;

 private:
  void Execute();

  HttpHostClass FServiceComponentClass;
  std::unique_ptr<TransportHost> FServiceComponent;  // worker thread only
  std::mutex mu_;
  std::condition_variable terminate_cv_;
  bool terminated_ = false;  // guarded by mu_
  std::thread thread_;
};

}  // namespace appsrv::host
