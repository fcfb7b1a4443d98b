#include "transport/net/client_slots.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace appsrv::transport {
namespace {

TEST(ClientKey, IPv4AndItsMappedIPv6FormAreOneClient) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  };
  constexpr Case kCases[] = {
      {"192.0.2.1", "::ffff:192.0.2.1", true},
      {"127.0.0.1", "::FFFF:7f00:1", true},
      {"::1", "0:0:0:0:0:0:0:1", true},
      {"192.0.2.1", "192.0.2.2", false},
      {"127.0.0.1", "::1", false},
      {"192.0.2.1", "::192.0.2.1", false},  // IPv4-compatible, not mapped
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    const std::optional<ClientKey> a = client_key(c.a);
    const std::optional<ClientKey> b = client_key(c.b);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*a == *b, c.same);
  }
  for (const char* not_an_address : {"", "localhost", "192.0.2.1 ", "1.2.3", "::1%lo",
                                     "0123456789abcdef0123456789abcdef0123456789abcdef"}) {
    EXPECT_FALSE(client_key(not_an_address)) << not_an_address;
  }
}

TEST(ClientSlots, AClientHoldsTheCapAtMostAndGetsSlotsBackAsConnectionsEnd) {
  ClientSlots slots;
  slots.Configure(2, {"10.0.0.9", "::ffff:10.0.0.8"});
  std::vector<ClientSlots::Slot> held;
  for (int i = 0; i < 2; ++i) {
    std::optional<ClientSlots::Slot> slot = slots.Take("192.0.2.1");
    ASSERT_TRUE(slot);
    held.push_back(std::move(*slot));
  }
  EXPECT_FALSE(slots.Take("192.0.2.1"));
  EXPECT_FALSE(slots.Take("::ffff:192.0.2.1")) << "the same client over IPv6";
  EXPECT_TRUE(slots.Take("192.0.2.2")) << "another client";
  EXPECT_EQ(slots.Count("192.0.2.1"), 2);
  // A slot moved on is counted once and given back once.
  ClientSlots::Slot moved = std::move(held.back());
  held.pop_back();
  EXPECT_EQ(slots.Count("192.0.2.1"), 2);
  moved = ClientSlots::Slot();
  EXPECT_EQ(slots.Count("192.0.2.1"), 1);
  EXPECT_TRUE(slots.Take("192.0.2.1"));  // taken and given back at once
  held.clear();
  EXPECT_EQ(slots.Count("192.0.2.1"), 0);

  // Exempt peers, in either form of their address, and peers without an address are not
  // counted.
  for (const char* peer : {"10.0.0.9", "::ffff:10.0.0.9", "10.0.0.8", ""}) {
    SCOPED_TRACE(peer);
    std::vector<ClientSlots::Slot> many;
    for (int i = 0; i < 5; ++i) {
      std::optional<ClientSlots::Slot> slot = slots.Take(peer);
      ASSERT_TRUE(slot);
      many.push_back(std::move(*slot));
    }
    EXPECT_EQ(slots.Count(peer), 0);
  }
}

TEST(ClientSlots, NoCapCountsNothing) {
  for (int cap : {0, -1}) {
    ClientSlots slots;
    slots.Configure(cap, {});
    std::vector<ClientSlots::Slot> many;
    for (int i = 0; i < 10; ++i) {
      std::optional<ClientSlots::Slot> slot = slots.Take("192.0.2.1");
      ASSERT_TRUE(slot) << cap;
      many.push_back(std::move(*slot));
    }
    EXPECT_EQ(slots.Count("192.0.2.1"), 0) << cap;
  }
}

// Threads that take and give back slots of one client at once never hold more than the cap
// together, and leave the count at zero.
TEST(ClientSlots, TheCountIsExactUnderConcurrency) {
  constexpr int kCap = 3;
  ClientSlots slots;
  slots.Configure(kCap, {});
  std::atomic<int> holding{0};
  std::atomic<int> most{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        std::optional<ClientSlots::Slot> slot = slots.Take("::ffff:192.0.2.7");
        if (!slot) {
          continue;
        }
        const int now = holding.fetch_add(1) + 1;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        holding.fetch_sub(1);
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  EXPECT_LE(most.load(), kCap);
  EXPECT_EQ(slots.Count("192.0.2.7"), 0);
}

}  // namespace
}  // namespace appsrv::transport
