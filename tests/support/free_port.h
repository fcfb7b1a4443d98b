// A TCP port for a test to hand to a program that needs a fixed number (the HTTPS listener, a
// database server), chosen so that it cannot meet the ports the system hands out.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "base/unique_fd.h"

namespace appsrv::testing {

// A port below the system's ephemeral range that nothing listens on right now. Ports the
// system assigns (a listener bound to port 0, every outgoing connection of the tests running
// beside this one) come from the ephemeral range, so a port picked there could be taken again
// before the program binds it; below the range only another test's fixed choice could collide.
inline int free_port() {
  int ephemeral_low = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> ephemeral_low;
  const int low = 10000;
  const int high = ephemeral_low > low + 1000 ? ephemeral_low - 1 : 30000;
  std::random_device seed;
  std::mt19937 pick(seed());
  std::uniform_int_distribution<int> port_in(low, high);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const int port = port_in(pick);
    const base::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool free = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (free) {
      return port;
    }
  }
  return 0;
}

}  // namespace appsrv::testing
