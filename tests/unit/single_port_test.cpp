#include "tftp/admission/single_port.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>

#include "tftp/intake/intake.h"
#include "tftp/protocol/packets.h"

namespace quoril {
namespace {

platform::SocketAddress Client(std::uint16_t port) {
  return platform::SocketAddress::FromIPv4(0x0200000A, port);  // 10.0.0.2
}

constexpr std::array<std::uint8_t, 4> kAck1{0, 4, 0, 1};

constexpr std::array<std::uint8_t, 10> kRequest{0, 1, 'a', 0, 'o', 'c', 't', 'e', 't', 0};
constexpr std::array<std::uint8_t, 10> kOtherRequest{0, 1, 'b', 0, 'o', 'c', 't', 'e', 't', 0};

TEST(EndpointTable, AClaimSupersedesTheOwnerAndItsLeaveKeepsTheNewOne) {
  using Claimed = EndpointTable::Claimed;
  EndpointTable table;
  WaitCancel cancel;
  ThreadWaker waker(cancel);
  Mailbox first(waker, true);
  Mailbox second(waker, true);
  std::uint64_t previous = 0;
  EXPECT_EQ(table.Claim(0, Client(1000), kRequest, {&first, 7}, previous), Claimed::kClaimed);
  EXPECT_EQ(table.Claim(0, Client(1000), kRequest, {&second, 8}, previous), Claimed::kClaimed);
  Parcel parcel;
  ASSERT_TRUE(table.Take(first, parcel));
  EXPECT_EQ(parcel.kind, Parcel::Kind::kSuperseded);
  EXPECT_EQ(parcel.key, 7u);

  // The superseded transfer ends after the claim: the endpoint stays with the new one.
  table.Leave(0, Client(1000), {&first, 7});
  std::uint64_t key = 0;
  EXPECT_EQ(table.Route(0, Client(1000), kAck1, &second, key), EndpointTable::Routed::kOwn);
  EXPECT_EQ(key, 8u);
  // Another port of the same address, or another local address, is nobody's.
  EXPECT_EQ(table.Route(0, Client(1001), kAck1, nullptr, key), EndpointTable::Routed::kNobody);
  EXPECT_EQ(table.Route(1, Client(1000), kAck1, nullptr, key), EndpointTable::Routed::kNobody);

  // A claim again by the same mailbox answers the key it replaces instead of posting.
  EXPECT_EQ(table.Claim(0, Client(1000), kRequest, {&second, 9}, previous),
            Claimed::kSupersedesOwn);
  EXPECT_EQ(previous, 8u);
  EXPECT_FALSE(table.Take(second, parcel));

  // Once its client is heard, a copy of its request leaves the transfer alone; another
  // request still supersedes it.
  table.Heard(0, Client(1000), {&second, 9});
  EXPECT_TRUE(table.IsLateCopy(0, Client(1000), kRequest));
  EXPECT_FALSE(table.IsLateCopy(0, Client(1000), kOtherRequest));
  EXPECT_EQ(table.Claim(0, Client(1000), kRequest, {&first, 10}, previous),
            Claimed::kRepeatedRequest);
  EXPECT_FALSE(table.Take(second, parcel));
  EXPECT_EQ(table.Claim(0, Client(1000), kOtherRequest, {&first, 11}, previous), Claimed::kClaimed);
  ASSERT_TRUE(table.Take(second, parcel));
  EXPECT_EQ(parcel.key, 9u);
}

TEST(EndpointTable, AClosedMailboxDropsDatagramsAndAWaitEndsAtItsDeadline) {
  EndpointTable table;
  WaitCancel cancel;
  ThreadWaker waker(cancel);
  Mailbox mailbox(waker, false);
  std::uint64_t previous = 0;
  table.Claim(0, Client(2000), kRequest, {&mailbox, 0}, previous);
  std::uint64_t key = 0;
  EXPECT_EQ(table.Route(0, Client(2000), kAck1, nullptr, key), EndpointTable::Routed::kPosted);
  Parcel parcel;
  const auto soon = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
  EXPECT_EQ(table.Wait(mailbox, waker, parcel, soon), MailboxWait::kDeadline);

  table.Open(mailbox);
  table.Route(0, Client(2000), kAck1, nullptr, key);
  ASSERT_EQ(table.Wait(mailbox, waker, parcel, soon), MailboxWait::kParcel);
  EXPECT_EQ(parcel.bytes, std::vector<std::uint8_t>(kAck1.begin(), kAck1.end()));
  cancel.Cancel();
  EXPECT_EQ(table.Wait(mailbox, waker, parcel, std::chrono::steady_clock::time_point::max()),
            MailboxWait::kCancelled);
}

TEST(DeferredRequests, AClientThatAsksAgainKeepsItsPlaceWithItsNewRequest) {
  std::atomic<std::int64_t> count{0};
  DeferredRequests held(&count);
  const std::array<std::uint8_t, 3> one{0, 1, 'a'};
  const std::array<std::uint8_t, 3> two{0, 1, 'b'};
  const std::array<std::uint8_t, 3> again{0, 1, 'c'};
  held.Add(0, {}, Client(3000), one);
  held.Add(0, {}, Client(3001), two);
  held.Add(0, Client(69), Client(3000), again);
  EXPECT_EQ(count, 2);
  RequestRecord record{};
  held.TakeOldest(record);
  EXPECT_EQ(record.datagram[2], 'c');
  EXPECT_EQ(record.length, 3);
  EXPECT_EQ(record.datagram[3], 0);
  EXPECT_EQ(record.localAddress, Client(69)) << "the address that received the latest";
  held.TakeOldest(record);
  EXPECT_EQ(record.datagram[2], 'b');
  EXPECT_TRUE(held.Empty());
  EXPECT_EQ(count, 0);
}

}  // namespace
}  // namespace quoril
