#include "tftp/admission/client_turns.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

namespace quoril {
namespace {

class CountingWaker final : public Waker {
 public:
  void Wake() override { ++notified; }
  int notified = 0;
};

platform::SocketAddress Client(std::uint32_t address, std::uint32_t port) {
  return platform::SocketAddress::FromIPv4(address, static_cast<std::uint16_t>(port));
}

// The turns of each address in order: held up to the bound, then queued oldest first, each
// client port once; a held turn that is let go passes to the oldest waiter, a withdrawn
// waiter passes nothing on.
TEST(ClientTurnsTest, ATurnLetGoPassesToTheOldestWaiterOfItsAddress) {
  ClientTurns turns;
  turns.Prepare(16, 2);
  CountingWaker counter;
  GateWaiter waiter(counter);
  std::array<TurnTicket, 6> a;
  TurnTicket b;
  EXPECT_EQ(turns.Take(a[0], Client(1, 0), waiter, 0), TurnTaken::kHeld);
  EXPECT_EQ(turns.Take(a[1], Client(1, 1), waiter, 1), TurnTaken::kHeld);
  EXPECT_EQ(turns.Take(a[2], Client(1, 2), waiter, 2), TurnTaken::kWaiting);
  EXPECT_EQ(turns.Take(a[3], Client(1, 3), waiter, 3), TurnTaken::kWaiting);
  EXPECT_EQ(turns.Take(a[4], Client(1, 4), waiter, 4), TurnTaken::kWaiting);
  EXPECT_EQ(turns.Take(b, Client(2, 9), waiter, 9),
            TurnTaken::kHeld);  // another address has turns of its own

  // The same client port asks again while its request waits: queued once.
  TurnTicket repeated;
  EXPECT_EQ(turns.Take(repeated, Client(1, 3), waiter, 7), TurnTaken::kRepeated);
  EXPECT_EQ(repeated.state, TurnState::kNone);

  turns.Leave(a[3]);  // withdrawn while waiting
  EXPECT_EQ(turns.NextGranted(waiter), nullptr);
  turns.Leave(a[0]);  // heard from its client
  EXPECT_EQ(counter.notified, 1);
  turns.Leave(a[1]);
  EXPECT_EQ(turns.NextGranted(waiter), &a[2]);
  EXPECT_EQ(turns.NextGranted(waiter), &a[4]);
  EXPECT_EQ(turns.NextGranted(waiter), nullptr);
  EXPECT_EQ(a[4].state, TurnState::kHeld);

  // Both held again: the next request waits, and one granted but ended before it was taken
  // up hands its turn on.
  EXPECT_EQ(turns.Take(a[5], Client(1, 5), waiter, 5), TurnTaken::kWaiting);
  turns.Leave(a[2]);
  EXPECT_EQ(a[5].state, TurnState::kGranted);
  turns.Leave(a[5]);
  EXPECT_EQ(turns.NextGranted(waiter), nullptr);
  turns.Leave(a[4]);
  turns.Leave(b);
  EXPECT_EQ(turns.Take(a[0], Client(1, 0), waiter, 0), TurnTaken::kHeld);
  turns.Leave(a[0]);
}

// Many addresses in a small table, left in a random order: each keeps its own count however
// the entries around it move.
TEST(ClientTurnsTest, EveryAddressKeepsItsCountAsOthersComeAndGo) {
  constexpr std::uint32_t kAddresses = 64;
  ClientTurns turns;
  turns.Prepare(kAddresses * 2, 1);
  CountingWaker counter;
  GateWaiter waiter(counter);
  std::vector<TurnTicket> first(kAddresses), second(kAddresses);
  std::mt19937 random(7);
  std::vector<std::uint32_t> order(kAddresses);
  for (std::uint32_t k = 0; k < kAddresses; ++k) {
    order[k] = k;
    ASSERT_EQ(turns.Take(first[k], Client(k * 0x01000000u + 1, k), waiter, k), TurnTaken::kHeld);
    ASSERT_EQ(turns.Take(second[k], Client(k * 0x01000000u + 1, k), waiter, k),
              TurnTaken::kWaiting);
  }
  std::shuffle(order.begin(), order.end(), random);
  for (const std::uint32_t k : order) {
    turns.Leave(first[k]);
    const TurnTicket* granted = turns.NextGranted(waiter);
    ASSERT_EQ(granted, &second[k]) << k;
  }
  for (const std::uint32_t k : order) turns.Leave(second[k]);
  for (std::uint32_t k = 0; k < kAddresses; ++k) {
    ASSERT_EQ(turns.Take(first[k], Client(k * 0x01000000u + 1, k), waiter, k), TurnTaken::kHeld)
        << k;
  }
  for (std::uint32_t k = 0; k < kAddresses; ++k) turns.Leave(first[k]);
}

platform::SocketAddress Client6(std::uint64_t prefix, std::uint64_t interfaceId,
                                std::uint32_t scope, std::uint16_t port) {
  std::array<std::uint8_t, 16> bytes{};
  for (int k = 0; k < 8; ++k) {
    bytes[k] = static_cast<std::uint8_t>(prefix >> (56 - 8 * k));
    bytes[8 + k] = static_cast<std::uint8_t>(interfaceId >> (56 - 8 * k));
  }
  return platform::SocketAddress::FromIPv6(bytes, scope, port);
}

// One turn per host: a second client waits when it counts as the same host as the first.
// IPv6 hosts are counted by /64 (and scope), IPv4 hosts by address; two endpoints that share
// a host but not the whole address are two clients, not one that asked again.
TEST(ClientTurnsTest, AnIPv6ClientIsCountedByItsSlash64) {
  struct Case {
    const char* name;
    platform::SocketAddress first;
    platform::SocketAddress second;
    TurnTaken expected;
  };
  const Case cases[] = {
      {"same /64, other interface id", Client6(0x20010db800000001, 1, 0, 9),
       Client6(0x20010db800000001, 2, 0, 9), TurnTaken::kWaiting},
      {"same /64, same id, other port", Client6(0x20010db800000001, 1, 0, 9),
       Client6(0x20010db800000001, 1, 0, 10), TurnTaken::kWaiting},
      {"next /64", Client6(0x20010db800000001, 1, 0, 9), Client6(0x20010db800000002, 1, 0, 9),
       TurnTaken::kHeld},
      {"link-local, other link", Client6(0xfe80000000000000, 1, 2, 9),
       Client6(0xfe80000000000000, 2, 3, 9), TurnTaken::kHeld},
      {"link-local, same link", Client6(0xfe80000000000000, 1, 2, 9),
       Client6(0xfe80000000000000, 2, 2, 9), TurnTaken::kWaiting},
      {"IPv4, other address", Client(0x0100000a, 9), Client(0x0200000a, 9), TurnTaken::kHeld},
  };
  for (const Case& c : cases) {
    ClientTurns turns;
    turns.Prepare(4, 1);
    CountingWaker counter;
    GateWaiter waiter(counter);
    TurnTicket first, second;
    ASSERT_EQ(turns.Take(first, c.first, waiter, 0), TurnTaken::kHeld) << c.name;
    EXPECT_EQ(turns.Take(second, c.second, waiter, 1), c.expected) << c.name;
    turns.Leave(first);
    EXPECT_EQ(turns.NextGranted(waiter), c.expected == TurnTaken::kWaiting ? &second : nullptr)
        << c.name;
    turns.Leave(second);
  }

  // Behind a held turn, another host of the /64 on a waiter's port is a client of its own.
  ClientTurns turns;
  turns.Prepare(4, 1);
  CountingWaker counter;
  GateWaiter waiter(counter);
  std::array<TurnTicket, 4> tickets;
  ASSERT_EQ(turns.Take(tickets[0], Client6(0x20010db8, 1, 0, 9), waiter, 0), TurnTaken::kHeld);
  EXPECT_EQ(turns.Take(tickets[1], Client6(0x20010db8, 2, 0, 7), waiter, 1), TurnTaken::kWaiting);
  EXPECT_EQ(turns.Take(tickets[2], Client6(0x20010db8, 3, 0, 7), waiter, 2), TurnTaken::kWaiting);
  EXPECT_EQ(turns.Take(tickets[3], Client6(0x20010db8, 2, 0, 7), waiter, 3), TurnTaken::kRepeated);
  for (TurnTicket& ticket : tickets) turns.Leave(ticket);
}

TEST(ClientTurnsTest, AThreadWaitsUntilItsDeadlineOrTheCancellation) {
  ClientTurns turns;
  turns.Prepare(4, 1);
  WaitCancel cancel;
  ThreadWaker waker(cancel);
  GateWaiter waiter(waker);
  TurnTicket held, waiting;
  ASSERT_EQ(turns.Take(held, Client(1, 0), waiter, 0), TurnTaken::kHeld);
  ASSERT_EQ(turns.Take(waiting, Client(1, 1), waiter, 1), TurnTaken::kWaiting);
  const auto soon = ClientTurns::Clock::now() + std::chrono::milliseconds(20);
  EXPECT_EQ(turns.Await(waiting, waker, soon), TurnWait::kDeadline);
  cancel.Cancel();
  EXPECT_EQ(turns.Await(waiting, waker, soon + std::chrono::hours(1)), TurnWait::kCancelled);
  turns.Leave(held);
  EXPECT_EQ(turns.Await(waiting, waker, soon), TurnWait::kGranted);
  turns.Leave(waiting);
}

}  // namespace
}  // namespace quoril
