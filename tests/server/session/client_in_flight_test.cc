#include "server/session/client_in_flight.h"

#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

namespace appsrv::server {
namespace {

TEST(ClientInFlightTest, AClientHoldsAtMostTheCapAndGetsPlacesBackAsTicketsEnd) {
  ClientInFlight gate;
  std::vector<ClientInFlight::Ticket> held;
  for (int i = 0; i < 2; ++i) {
    std::optional<ClientInFlight::Ticket> t = gate.TryEnter("192.0.2.1", 2);
    ASSERT_TRUE(t);
    held.push_back(std::move(*t));
  }
  EXPECT_FALSE(gate.TryEnter("192.0.2.1", 2));
  EXPECT_EQ(gate.held("192.0.2.1"), 2);
  {
    std::optional<ClientInFlight::Ticket> other = gate.TryEnter("192.0.2.2", 2);
    EXPECT_TRUE(other);
    EXPECT_EQ(gate.clients(), 2u);
  }
  // A moved ticket gives its place back once, when its last owner ends.
  ClientInFlight::Ticket moved = std::move(held.back());
  held.pop_back();
  EXPECT_EQ(gate.held("192.0.2.1"), 2);
  moved = std::move(held.back());
  EXPECT_EQ(gate.held("192.0.2.1"), 1);
  EXPECT_TRUE(gate.TryEnter("192.0.2.1", 2));
  held.clear();
  EXPECT_EQ(gate.held("192.0.2.1"), 1);
  { const ClientInFlight::Ticket last = std::move(moved); }
  EXPECT_EQ(gate.clients(), 0u);
}

TEST(ClientInFlightTest, ACapOfZeroOrLessCountsWithoutRefusing) {
  for (const int cap : {0, -1}) {
    SCOPED_TRACE(cap);
    ClientInFlight gate;
    std::vector<ClientInFlight::Ticket> held;
    for (int i = 0; i < 50; ++i) {
      std::optional<ClientInFlight::Ticket> t = gate.TryEnter("192.0.2.1", cap);
      ASSERT_TRUE(t);
      held.push_back(std::move(*t));
    }
    EXPECT_EQ(gate.held("192.0.2.1"), 50);
  }
}

}  // namespace
}  // namespace appsrv::server
