#include "transport/net/connection_intercept.h"

namespace appsrv::transport {

void TInConnectionIntercept::Receive(std::string& bytes) {
  if (FIntercept) {
    FIntercept->Receive(bytes);
  }
}

void TInConnectionIntercept::Send(std::string& bytes) {
  if (FIntercept) {
    FIntercept->Send(bytes);
  }
}

}  // namespace appsrv::transport
