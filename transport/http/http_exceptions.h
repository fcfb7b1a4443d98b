// Failures of the HTTP layer; each ends the connection without a reply.
#pragma once

#include "transport/net/transport_exceptions.h"

namespace appsrv::transport {

class EInHTTPErrorParsingCommand : public EInException {
 public:
  EInHTTPErrorParsingCommand() : EInException("Error in parsing command.") {}
};

class EInHTTPUnsupportedAuthorisationScheme : public EInException {
 public:
  EInHTTPUnsupportedAuthorisationScheme() : EInException("Unsupported authorization scheme.") {}
};

class EInHTTPHeaderAlreadyWritten : public EInException {
 public:
  EInHTTPHeaderAlreadyWritten() : EInException("Header has already been written.") {}
};

}  // namespace appsrv::transport
