// The IP version of a socket: the address family it uses.
#pragma once

namespace appsrv::transport {

enum class TInIPVersion { Id_IPv4 = 0, Id_IPv6 = 1 };

}  // namespace appsrv::transport
