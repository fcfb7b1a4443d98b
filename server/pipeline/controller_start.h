// The initialize hook: builds the process-wide controller and hands its settings to the
// pipeline's process-wide parts (internal files store, compressor).
#pragma once

#include "server/session/server_controller.h"

namespace appsrv::server {

// Builds the process-wide controller from the registered class (CreateServerController), passes
// its script and pre-compression options to the internal files store and its compression
// options to the compressor (TSvCompressor::Init). Throws ESvException "No server controller
// is defined." without a registration. A controller that exists already is freed first.
TSvServerControllerBase& InitServerController(ControllerEnvironment env);
// Shuts the process-wide controller down (its sessions are destroyed while it is whole), frees
// it and the compressor. Does nothing when there is none.
void FreeServerController();

}  // namespace appsrv::server
