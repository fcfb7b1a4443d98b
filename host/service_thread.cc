#include "host/service_thread.h"

#include <exception>

#include "base/exception.h"

namespace appsrv::host {

TSvServiceThread::TSvServiceThread(HttpHostClass aServiceComponentClass)
    : FServiceComponentClass(std::move(aServiceComponentClass)) {}

TSvServiceThread::~TSvServiceThread() {
  Terminate();
  WaitFor();
}

void TSvServiceThread::Start() { thread_ = std::thread([this] { Execute(); }); }

void TSvServiceThread::Terminate() {
  {
    std::scoped_lock lock(mu_);
    terminated_ = true;
  }
  terminate_cv_.notify_all();
}

void TSvServiceThread::WaitFor() {
  if (thread_.joinable()) {
    thread_.join();
  }
}

void TSvServiceThread::Execute() {
  try {
    FServiceComponent = FServiceComponentClass ? FServiceComponentClass() : nullptr;
    if (FServiceComponent == nullptr) {
      throw base::Exception("HttpClass is nil.");
    }
    // A stop that came while the listeners opened ends the service before it reports ready.
    bool terminated = false;
    {
      std::scoped_lock lock(mu_);
      terminated = terminated_;
    }
    if (OnRunning && !terminated) {
      OnRunning(*FServiceComponent);
    }
  } catch (const std::exception& e) {
    FServiceComponent.reset();
    if (OnFailed) {
      OnFailed(e.what());
    }
    return;
  }
  // A stop is seen at once, not at the end of a sleep period.
  {
    std::unique_lock lock(mu_);
    terminate_cv_.wait(lock, [this] { return terminated_; });
  }
  FServiceComponent.reset();
}

}  // namespace appsrv::host
