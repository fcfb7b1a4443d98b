// Failures of the HTTP layer; each ends the connection without a reply.
#pragma once

#include "base/exception.h"

namespace appsrv::transport {

class EInHTTPErrorParsingCommand : public base::Exception {
 public:
  EInHTTPErrorParsingCommand() : base::Exception("Error in parsing command.") {}
};

class EInHTTPUnsupportedAuthorisationScheme : public base::Exception {
 public:
  EInHTTPUnsupportedAuthorisationScheme() : base::Exception("Unsupported authorization scheme.") {}
};

class EInHTTPHeaderAlreadyWritten : public base::Exception {
 public:
  EInHTTPHeaderAlreadyWritten() : base::Exception("Header has already been written.") {}
};

}  // namespace appsrv::transport
