// TInConnectionIntercept: a hook that sees every block a connection sends and receives.
#pragma once

#include <memory>
#include <string>

namespace appsrv::transport {

// Attached to one connection's I/O handler, which owns it. Receive and Send may rewrite the
// bytes in place; the handler keeps or sends what the hook leaves. The base versions pass the
// bytes on to the chained intercept (SetIntercept), if any.
class TInConnectionIntercept {
 public:
  TInConnectionIntercept() = default;
  TInConnectionIntercept(const TInConnectionIntercept&) = delete;
  TInConnectionIntercept& operator=(const TInConnectionIntercept&) = delete;
  virtual ~TInConnectionIntercept() = default;

  virtual void Connect() {}
  virtual void Disconnect() {}
  virtual void Receive(std::string& bytes);
  virtual void Send(std::string& bytes);

  void SetIntercept(std::unique_ptr<TInConnectionIntercept> next) { FIntercept = std::move(next); }
  TInConnectionIntercept* Intercept() const { return FIntercept.get(); }

 private:
  std::unique_ptr<TInConnectionIntercept> FIntercept;
};

}  // namespace appsrv::transport
