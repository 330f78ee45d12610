// UDP sockets, the port-69 socket set and the pollers that wait on them: the same cases for
// every backend, over the loopback address.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_poller.h"
#include "platform/sockets.h"

namespace quoril::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order

SocketAddress Loopback(std::uint16_t port = 0) {
  return SocketAddress::FromIPv4(kLoopback, port);
}

SocketAddress AddressOf(const UdpSocket& socket) {
  return Loopback(socket.LocalPort());
}

class SocketsTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(SocketsStartup(), ERROR_SUCCESS);
    ASSERT_EQ(receiver.Open(Loopback()), ERROR_SUCCESS);
    ASSERT_EQ(sender.Open(Loopback()), ERROR_SUCCESS);
  }
  void TearDown() override {
    receiver.Close();
    sender.Close();
    EXPECT_EQ(SocketsCleanup(), ERROR_SUCCESS);
  }
  void Send(std::size_t size = 4) {
    const std::array<std::uint8_t, 600> datagram{0, 4, 0, 1};
    ASSERT_EQ(sender.SendTo(std::span(datagram).first(size), AddressOf(receiver)), ERROR_SUCCESS);
  }
  UdpSocket receiver;
  UdpSocket sender;
  std::array<std::uint8_t, 516> buffer{};
  std::size_t received = 0;
  SocketAddress from;
};

TEST_F(SocketsTest, DatagramLargerThanTheBufferFailsWithItsRealSize) {
  EXPECT_NE(receiver.LocalPort(), 0);
  Send(600);
  EXPECT_EQ(receiver.ReceiveFrom(buffer, received, from), WSAEMSGSIZE);
  EXPECT_EQ(received, 600u);
  EXPECT_EQ(from.Port(), sender.LocalPort());
  // The next datagram is unaffected.
  std::array<std::uint8_t, 516> exact{};
  exact.fill(0x42);
  ASSERT_EQ(sender.SendTo(exact, AddressOf(receiver)), ERROR_SUCCESS);
  EXPECT_EQ(receiver.ReceiveFrom(buffer, received, from), ERROR_SUCCESS);
  EXPECT_EQ(received, 516u);
  EXPECT_EQ(buffer[515], 0x42);
}

TEST_F(SocketsTest, ReceiveWithinTimesOutAndTakesADatagram) {
  received = 99;
  WaitResult result = WaitResult::kReady;
  EXPECT_EQ(receiver.ReceiveWithin(10, buffer, received, from, result), ERROR_SUCCESS);
  EXPECT_EQ(result, WaitResult::kTimeout);
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(receiver.ReceiveWithin(0, buffer, received, from, result), ERROR_SUCCESS);
  EXPECT_EQ(result, WaitResult::kTimeout) << "no time left still looks once";

  Send();
  EXPECT_EQ(receiver.ReceiveWithin(5000, buffer, received, from, result), ERROR_SUCCESS);
  EXPECT_EQ(result, WaitResult::kReady);
  EXPECT_EQ(received, 4u);
  EXPECT_EQ(buffer[3], 1);
  EXPECT_EQ(from.family, kAddressFamilyInet);
  EXPECT_EQ(from.IPv4(), kLoopback);
  EXPECT_EQ(from.Port(), sender.LocalPort());

  // A datagram that has arrived is taken even when no time is left.
  Send();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(receiver.ReceiveWithin(0, buffer, received, from, result), ERROR_SUCCESS);
  EXPECT_EQ(result, WaitResult::kReady);

  Send(600);
  EXPECT_EQ(receiver.ReceiveWithin(5000, buffer, received, from, result), WSAEMSGSIZE);
  EXPECT_EQ(received, 600u);
}

// A wait lasts about as long as asked: not the time of an earlier, longer wait, nor that of an
// earlier, shorter one (the Linux socket keeps its timeout from wait to wait where that costs
// little precision).
TEST_F(SocketsTest, ReceiveWithinKeepsToEachWaitsTime) {
  WaitResult result = WaitResult::kReady;
  Send();
  ASSERT_EQ(receiver.ReceiveWithin(8000, buffer, received, from, result), ERROR_SUCCESS);
  ASSERT_EQ(result, WaitResult::kReady);
  auto start = Clock::now();
  EXPECT_EQ(receiver.ReceiveWithin(100, buffer, received, from, result), ERROR_SUCCESS);
  EXPECT_EQ(result, WaitResult::kTimeout);
  EXPECT_LT(Clock::now() - start, 4000ms) << "not the earlier 8 s";
  EXPECT_GE(Clock::now() - start, 80ms);

  std::thread late([&] {
    std::this_thread::sleep_for(300ms);
    Send();
  });
  start = Clock::now();
  EXPECT_EQ(receiver.ReceiveWithin(20000, buffer, received, from, result), ERROR_SUCCESS);
  late.join();
  EXPECT_EQ(result, WaitResult::kReady) << "not the earlier 100 ms";
  EXPECT_GE(Clock::now() - start, 250ms);
}

TEST_F(SocketsTest, ClosedSocketFailsAsNotASocket) {
  UdpSocket closed;
  WaitResult result = WaitResult::kReady;
  EXPECT_EQ(closed.ReceiveWithin(10, buffer, received, from, result), WSAENOTSOCK);
  EXPECT_EQ(closed.ReceiveFrom(buffer, received, from), WSAENOTSOCK);
  EXPECT_EQ(closed.SendTo(buffer, from), WSAENOTSOCK);
}

TEST_F(SocketsTest, BindingAnAddressInUseFails) {
  UdpSocket second;
  EXPECT_EQ(second.Open(Loopback(receiver.LocalPort())), WSAEADDRINUSE);
  EXPECT_FALSE(second.IsOpen());
}

TEST_F(SocketsTest, LocalAddressesIncludeTheLoopback) {
  std::array<char, 260> name{};
  ASSERT_EQ(GetHostName(name), ERROR_SUCCESS);
  EXPECT_NE(name[0], '\0');
  std::array<SocketAddress, 50> addresses{};
  std::uint32_t count = 0;
  ASSERT_EQ(LookupHostAddresses(addresses, count), ERROR_SUCCESS);
  ASSERT_GE(count, 1u);
  EXPECT_NE(std::find(addresses.begin(), addresses.begin() + count, Loopback()),
            addresses.begin() + count);
  // Beyond the room given: the first, and word that there are more.
  const Win32Error more = count > 1 ? ERROR_MORE_DATA : ERROR_SUCCESS;
  std::array<SocketAddress, 1> one{};
  ASSERT_EQ(LookupHostAddresses(one, count), more);
  EXPECT_EQ(count, 1u);
}

// Answers 0 when a receive blocked at the cancel, and every receive after it, is cancelled.
int CancelEndsReceives() {
  UdpSocket socket;
  if (SocketsStartup() != ERROR_SUCCESS || socket.Open(Loopback()) != ERROR_SUCCESS) return 2;
  std::array<std::uint8_t, 516> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  WaitResult result = WaitResult::kReady;
  std::thread waiter([&] { socket.ReceiveWithin(60000, buffer, received, from, result); });
  std::this_thread::sleep_for(50ms);
  CancelTransferWaits();
  waiter.join();
  if (result != WaitResult::kCancelled) return 3;
  UdpSocket later;
  if (later.Open(Loopback()) != ERROR_SUCCESS) return 4;
  WaitResult laterResult = WaitResult::kReady;
  later.ReceiveWithin(60000, buffer, received, from, laterResult);
  return laterResult == WaitResult::kCancelled ? 0 : 5;
}

// Cancelling is process-wide and permanent, so these run in a child process of their own.
TEST(SocketsDeathTest, CancelledReceivesAnswerCancelledForGood) {
  EXPECT_EXIT(std::exit(CancelEndsReceives()), testing::ExitedWithCode(0), "");
}

// A closed socket reads as ready for ever; a watched one must not be closed by the cancel.
int CancelLeavesWatchedSocketsAlone() {
  EventPoller poller;
  UdpSocket socket, client;
  if (SocketsStartup() != ERROR_SUCCESS || poller.Create() != ERROR_SUCCESS ||
      socket.Open(Loopback()) != ERROR_SUCCESS || poller.Add(socket, 1) != ERROR_SUCCESS) {
    return 2;
  }
  CancelTransferWaits();
  // Opened after the cancel, which shuts down every transfer socket open then.
  if (client.Open(Loopback()) != ERROR_SUCCESS) return 2;
  std::array<std::uintptr_t, 4> ready{};
  std::size_t count = 0;
  bool woken = false;
  if (poller.Wait(100, ready, count, woken) != ERROR_SUCCESS || count != 0) return 3;
  const std::array<std::uint8_t, 4> ack{0, 4, 0, 1};
  client.SendTo(ack, AddressOf(socket));
  if (poller.Wait(5000, ready, count, woken) != ERROR_SUCCESS || count != 1) return 4;
  std::array<std::uint8_t, 516> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  bool gotOne = false;
  socket.TryReceive(buffer, received, from, gotOne);
  return gotOne && received == 4 ? 0 : 5;
}

TEST(SocketsDeathTest, CancelledTransferWaitsLeaveWatchedSocketsAlone) {
  EXPECT_EXIT(std::exit(CancelLeavesWatchedSocketsAlone()), testing::ExitedWithCode(0), "");
}

// Three port sockets on ports of their own, so that a client can reach each.
class PortSocketSetTest : public SocketsTest {
 protected:
  void SetUp() override {
    SocketsTest::SetUp();
    for (std::uint32_t k = 0; k < ports.size(); ++k) {
      UdpSocket probe;
      ASSERT_EQ(probe.Open(Loopback()), ERROR_SUCCESS);
      ports[k] = probe.LocalPort();
      probe.Close();
      ASSERT_EQ(set.Open(k, Loopback(ports[k])), ERROR_SUCCESS);
    }
  }
  void SendTo(std::uint32_t k) {
    const std::array<std::uint8_t, 2> datagram{0, static_cast<std::uint8_t>(k)};
    ASSERT_EQ(sender.SendTo(datagram, Loopback(ports[k])), ERROR_SUCCESS);
  }
  static PortSocketSet::ReadSet All() {
    PortSocketSet::ReadSet all;
    for (std::uint32_t k = 0; k < 3; ++k) all.set(k);
    return all;
  }
  PortSocketSet set;
  std::array<std::uint16_t, 3> ports{};
};

TEST_F(PortSocketSetTest, APollerMarksEveryReadySocketAndAClosedOneFailsAsNotASocket) {
  EventPoller poller;
  ASSERT_EQ(poller.Create(), ERROR_SUCCESS);
  for (std::uint32_t k = 0; k < 3; ++k) ASSERT_EQ(poller.AddPort(set, k, k), ERROR_SUCCESS);
  SendTo(0);
  SendTo(2);
  std::this_thread::sleep_for(20ms);
  std::array<std::uintptr_t, 4> keys{};
  std::size_t count = 0;
  bool woken = false;
  ASSERT_EQ(poller.Wait(5000, keys, count, woken), ERROR_SUCCESS);
  ASSERT_EQ(count, 2u);
  std::sort(keys.begin(), keys.begin() + 2);
  EXPECT_EQ(keys[0], 0u);
  EXPECT_EQ(keys[1], 2u);
  bool gotOne = false;
  ASSERT_EQ(set.TryReceive(2, buffer, received, from, gotOne), ERROR_SUCCESS);
  EXPECT_TRUE(gotOne);
  EXPECT_EQ(received, 2u);
  EXPECT_EQ(buffer[1], 2);
  EXPECT_EQ(from.Port(), sender.LocalPort());
  ASSERT_EQ(set.TryReceive(1, buffer, received, from, gotOne), ERROR_SUCCESS);
  EXPECT_FALSE(gotOne) << "nothing queued: no wait";

  for (std::uint32_t k = 0; k < 3; ++k) poller.RemovePort(set, k);
  set.Close(0);
  EXPECT_FALSE(set.IsOpen(0));
  EXPECT_EQ(set.TryReceive(0, buffer, received, from, gotOne), WSAENOTSOCK);
  EXPECT_EQ(set.TryReceive(PortSocketSet::kCapacity, buffer, received, from, gotOne), WSAENOTSOCK);
}

// The event loops' side: one poller per loop waits on its sockets and its wake-up at once.
class EventPollerTest : public SocketsTest {
 protected:
  void SetUp() override {
    SocketsTest::SetUp();
    ASSERT_EQ(poller.Create(), ERROR_SUCCESS);
  }
  // One Wait of at most `timeout`; how many keys it reported.
  std::size_t Wait(std::uint32_t timeout, bool& woken) {
    std::size_t count = 0;
    EXPECT_EQ(poller.Wait(timeout, ready, count, woken), ERROR_SUCCESS);
    return count;
  }
  EventPoller poller;
  std::array<std::uintptr_t, 8> ready{};
};

TEST_F(EventPollerTest, ADatagramWakesTheWaitWithItsKeyUntilReceived) {
  UdpSocket other;
  ASSERT_EQ(other.Open(Loopback()), ERROR_SUCCESS);
  ASSERT_EQ(poller.Add(other, 3), ERROR_SUCCESS);
  ASSERT_EQ(poller.Add(receiver, 7), ERROR_SUCCESS);
  EXPECT_EQ(poller.Add(receiver, 8), WSAEINVAL) << "watched already";
  Send();
  bool woken = true;
  ASSERT_EQ(Wait(5000, woken), 1u);
  EXPECT_EQ(ready[0], 7u);
  EXPECT_FALSE(woken);
  ASSERT_EQ(Wait(0, woken), 1u) << "still queued, so still ready";

  bool gotOne = false;
  ASSERT_EQ(receiver.TryReceive(buffer, received, from, gotOne), ERROR_SUCCESS);
  EXPECT_TRUE(gotOne);
  EXPECT_EQ(received, 4u);
  EXPECT_EQ(from.Port(), sender.LocalPort());
  ASSERT_EQ(receiver.TryReceive(buffer, received, from, gotOne), ERROR_SUCCESS);
  EXPECT_FALSE(gotOne) << "nothing queued: no wait";
  EXPECT_EQ(Wait(0, woken), 0u);

  Send(600);
  ASSERT_EQ(Wait(5000, woken), 1u);
  EXPECT_EQ(receiver.TryReceive(buffer, received, from, gotOne), WSAEMSGSIZE);
  EXPECT_TRUE(gotOne);
  EXPECT_EQ(received, 600u);

  poller.SetAside(receiver);
  Send();
  EXPECT_EQ(Wait(200, woken), 0u) << "set aside";
  ASSERT_EQ(poller.TakeBack(receiver, 9), ERROR_SUCCESS);
  ASSERT_EQ(Wait(0, woken), 1u) << "what came meanwhile is ready once taken back";
  EXPECT_EQ(ready[0], 9u);
  ASSERT_EQ(receiver.TryReceive(buffer, received, from, gotOne), ERROR_SUCCESS);

  poller.SetAside(other);  // leaves the remaining socket watched
  poller.SetAside(receiver);
  Send();
  EXPECT_EQ(Wait(200, woken), 0u) << "both aside";
}

TEST_F(EventPollerTest, TheTimeoutExpiresWithNothingReady) {
  EventPoller uncreated;
  EXPECT_EQ(uncreated.Add(receiver, 1), WSAEINVAL);
  ASSERT_EQ(poller.Add(receiver, 1), ERROR_SUCCESS);
  const auto start = Clock::now();
  bool woken = true;
  EXPECT_EQ(Wait(200, woken), 0u);
  EXPECT_FALSE(woken);
  EXPECT_GE(Clock::now() - start, 150ms);
}

TEST_F(EventPollerTest, WakeFromAnotherThreadEndsAWaitWithoutLimit) {
  std::thread waker([this] {
    std::this_thread::sleep_for(50ms);
    poller.Wake();
  });
  bool woken = false;
  EXPECT_EQ(Wait(EventPoller::kWaitForever, woken), 0u);
  waker.join();
  EXPECT_TRUE(woken);
  // Two before a wait (from another thread they could fall on either side of one).
  poller.Wake();
  poller.Wake();
  EXPECT_EQ(Wait(0, woken), 0u);
  EXPECT_TRUE(woken);
  EXPECT_EQ(Wait(100, woken), 0u);
  EXPECT_FALSE(woken) << "consumed, however many came";
}

TEST_F(PortSocketSetTest, LoopsWatchingOnePortSocketTakeEachDatagramOnce) {
  constexpr int kDatagrams = 20;
  std::atomic<int> taken{0};
  std::atomic<bool> done{false};
  std::array<EventPoller, 2> pollers;
  for (EventPoller& poller : pollers) {
    ASSERT_EQ(poller.Create(), ERROR_SUCCESS);
    ASSERT_EQ(poller.AddPort(set, 0, 69), ERROR_SUCCESS);
  }
  auto loop = [&](EventPoller& poller) {
    std::array<std::uintptr_t, 4> keys{};
    std::array<std::uint8_t, 516> datagram{};
    while (!done.load()) {
      std::size_t count = 0;
      bool woken = false;
      ASSERT_EQ(poller.Wait(20, keys, count, woken), ERROR_SUCCESS);
      for (bool gotOne = count > 0; gotOne;) {
        std::size_t size = 0;
        SocketAddress sender;
        ASSERT_EQ(set.TryReceive(0, datagram, size, sender, gotOne), ERROR_SUCCESS);
        if (gotOne) ++taken;
      }
    }
  };
  std::thread first(loop, std::ref(pollers[0])), second(loop, std::ref(pollers[1]));
  for (int k = 0; k < kDatagrams; ++k) SendTo(0);
  const auto deadline = Clock::now() + 10s;
  while (taken.load() < kDatagrams && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(100ms);
  done = true;
  first.join();
  second.join();
  EXPECT_EQ(taken.load(), kDatagrams);
}

}  // namespace
}  // namespace quoril::platform
