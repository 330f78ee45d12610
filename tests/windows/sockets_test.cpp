// UDP sockets of the Win32 backend over the loopback address, and the listener's port
// sockets with the controls that hold, release and close them from another thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "platform/event_poller.h"
#include "platform/sockets.h"

namespace quoril::platform {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order

class SocketsTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(SocketsStartup(), ERROR_SUCCESS); }
  void TearDown() override { EXPECT_EQ(SocketsCleanup(), ERROR_SUCCESS); }
};

SocketAddress AddressOf(const UdpSocket& socket) {
  return SocketAddress::FromIPv4(kLoopback, socket.LocalPort());
}

std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST_F(SocketsTest, SendAndReceiveOneDatagram) {
  UdpSocket sender;
  UdpSocket receiver;
  ASSERT_EQ(sender.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  ASSERT_EQ(receiver.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  EXPECT_NE(receiver.LocalPort(), 0);
  ASSERT_EQ(sender.SendTo(AsBytes("hello"), AddressOf(receiver)), ERROR_SUCCESS);

  WaitResult result = WaitResult::kTimeout;
  std::array<std::uint8_t, 16> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  ASSERT_EQ(receiver.ReceiveWithin(5000, buffer, received, from, result), ERROR_SUCCESS);
  EXPECT_EQ(result, WaitResult::kReady);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + received), "hello");
  EXPECT_EQ(from.family, kAddressFamilyInet);
  EXPECT_EQ(from.IPv4(), kLoopback);
  EXPECT_EQ(NetworkToHost16(from.port), sender.LocalPort());
}

TEST_F(SocketsTest, ADatagramTooLargeIsConsumedAndTellsItsSize) {
  UdpSocket sender;
  UdpSocket receiver;
  ASSERT_EQ(sender.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  ASSERT_EQ(receiver.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  const std::string large(600, 'x');
  ASSERT_EQ(sender.SendTo(AsBytes(large), AddressOf(receiver)), ERROR_SUCCESS);
  ASSERT_EQ(sender.SendTo(AsBytes("next"), AddressOf(receiver)), ERROR_SUCCESS);
  std::array<std::uint8_t, 516> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  EXPECT_EQ(receiver.ReceiveFrom(buffer, received, from), WSAEMSGSIZE);
  EXPECT_EQ(received, 600u);
  ASSERT_EQ(receiver.ReceiveFrom(buffer, received, from), ERROR_SUCCESS);
  EXPECT_EQ(received, 4u);
}

TEST_F(SocketsTest, WaitsTimeOut) {
  UdpSocket socket;
  ASSERT_EQ(socket.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  WaitResult result = WaitResult::kReady;
  std::array<std::uint8_t, 4> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(socket.ReceiveWithin(600, buffer, received, from, result), ERROR_SUCCESS);
  const auto waited = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(result, WaitResult::kTimeout);
  EXPECT_GE(waited, 550ms);
  EXPECT_LT(waited, 2000ms);

  UdpSocket closed;
  EXPECT_EQ(closed.ReceiveWithin(10, buffer, received, from, result), WSAENOTSOCK);
  EXPECT_EQ(closed.ReceiveFrom(buffer, received, from), WSAENOTSOCK);
  EXPECT_EQ(closed.SendTo(buffer, from), WSAENOTSOCK);
}

TEST_F(SocketsTest, APortInUseIsRefused) {
  UdpSocket first;
  ASSERT_EQ(first.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  UdpSocket second;
  EXPECT_EQ(second.Open(SocketAddress::FromIPv4(kLoopback, first.LocalPort())), WSAEADDRINUSE);
  EXPECT_FALSE(second.IsOpen());
}

TEST_F(SocketsTest, LocalAddressesIncludeTheLoopback) {
  std::array<char, 260> name{};
  ASSERT_EQ(GetHostName(name), ERROR_SUCCESS);
  EXPECT_NE(name[0], '\0');
  std::array<SocketAddress, 50> addresses{};
  std::uint32_t count = 0;
  ASSERT_EQ(LookupHostAddresses(name.data(), addresses, count), ERROR_SUCCESS);
  ASSERT_GE(count, 1u);
  EXPECT_NE(std::find(addresses.begin(), addresses.begin() + count,
                      SocketAddress::FromIPv4(kLoopback, 0)),
            addresses.begin() + count);
  // Beyond the room given: the first, and word that there are more.
  const Win32Error more = count > 1 ? ERROR_MORE_DATA : ERROR_SUCCESS;
  std::array<SocketAddress, 1> one{};
  ASSERT_EQ(LookupHostAddresses(name.data(), one, count), more);
  EXPECT_EQ(count, 1u);
}

// The listener's side of a port socket set, on a thread of its own: waits, then receives
// from the first ready socket; answers the receive's result.
struct PortListener {
  PortSocketSet& set;
  std::future<Win32Error> Run() {
    return std::async(std::launch::async, [this] {
      PortSocketSet::ReadSet ready;
      ready.set(0);
      ready.set(1);
      if (const Win32Error error = set.Wait(ready); error != ERROR_SUCCESS) return error;
      const std::uint32_t index = ready.test(1) ? 1 : 0;
      std::array<std::uint8_t, 516> buffer{};
      std::size_t received = 0;
      SocketAddress from;
      return set.Receive(index, buffer, received, from);
    });
  }
};

class PortSocketSetTest : public SocketsTest {
 protected:
  void SetUp() override {
    SocketsTest::SetUp();
    for (std::uint32_t k = 0; k < ports.size(); ++k) {
      // A free port, so that the client knows where to send.
      UdpSocket finder;
      ASSERT_EQ(finder.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
      ports[k] = finder.LocalPort();
      finder.Close();
      ASSERT_EQ(set.Open(k, SocketAddress::FromIPv4(kLoopback, ports[k])), ERROR_SUCCESS);
    }
    ASSERT_EQ(client.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  }
  void SendTo(std::uint32_t index) {
    const auto to = SocketAddress::FromIPv4(kLoopback, ports[index]);
    ASSERT_EQ(client.SendTo(AsBytes("x"), to), ERROR_SUCCESS);
  }
  PortSocketSet set;
  UdpSocket client;
  std::array<std::uint16_t, 2> ports{};
};

TEST_F(PortSocketSetTest, AWaitTakesTheReadySocket) {
  SendTo(1);
  PortSocketSet::ReadSet ready;
  ready.set(0);
  ready.set(1);
  ASSERT_EQ(set.Wait(ready), ERROR_SUCCESS);
  EXPECT_FALSE(ready.test(0));
  EXPECT_TRUE(ready.test(1));
  std::array<std::uint8_t, 516> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  ASSERT_EQ(set.Receive(1, buffer, received, from), ERROR_SUCCESS);
  EXPECT_EQ(received, 1u);
  EXPECT_EQ(NetworkToHost16(from.port), client.LocalPort());
}

TEST_F(PortSocketSetTest, AHeldWaitTakesNothingUntilReleased) {
  set.Hold();
  PortListener listener{set};
  std::future<Win32Error> received = listener.Run();
  SendTo(0);
  EXPECT_EQ(received.wait_for(1500ms), std::future_status::timeout) << "taken while held";
  set.Release();
  ASSERT_EQ(received.wait_for(5000ms), std::future_status::ready);
  EXPECT_EQ(received.get(), ERROR_SUCCESS);
}

TEST_F(PortSocketSetTest, CloseFromControlEndsTheWaitWithNotASocket) {
  PortListener listener{set};
  std::future<Win32Error> received = listener.Run();
  std::this_thread::sleep_for(200ms);
  set.CloseFromControl();
  ASSERT_EQ(received.wait_for(5000ms), std::future_status::ready);
  EXPECT_EQ(received.get(), WSAENOTSOCK);
  EXPECT_FALSE(set.IsOpen(0));
  EXPECT_FALSE(set.IsOpen(1));
}

TEST_F(PortSocketSetTest, CloseFromControlReleasesAHeldWait) {
  set.Hold();
  PortListener listener{set};
  std::future<Win32Error> received = listener.Run();
  std::this_thread::sleep_for(200ms);
  set.CloseFromControl();
  ASSERT_EQ(received.wait_for(5000ms), std::future_status::ready);
  EXPECT_EQ(received.get(), WSAENOTSOCK);
}

TEST_F(SocketsTest, AStopBeforeTheFirstWaitIsRemembered) {
  PortSocketSet set;
  set.CloseFromControl();
  ASSERT_EQ(set.Open(0, SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  PortSocketSet::ReadSet ready;
  ready.set(0);
  EXPECT_EQ(set.Wait(ready), ERROR_SUCCESS);
  std::array<std::uint8_t, 4> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  EXPECT_EQ(set.Receive(0, buffer, received, from), WSAENOTSOCK);
  PortSocketSet::ReadSet none;
  EXPECT_EQ(set.Wait(none), WSAEINVAL);
}

// The event loops' side: one poller per loop waits on its sockets and its wake-up at once.
class EventPollerTest : public SocketsTest {
 protected:
  void SetUp() override {
    SocketsTest::SetUp();
    ASSERT_EQ(poller.Create(), ERROR_SUCCESS);
    ASSERT_EQ(socket.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
    ASSERT_EQ(client.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  }
  // One Wait of at most `timeout`; how many keys it reported.
  std::size_t Wait(std::uint32_t timeout, bool& woken) {
    std::size_t count = 0;
    EXPECT_EQ(poller.Wait(timeout, ready, count, woken), ERROR_SUCCESS);
    return count;
  }
  EventPoller poller;
  UdpSocket socket;
  UdpSocket client;
  std::array<std::uintptr_t, 8> ready{};
};

TEST_F(EventPollerTest, ADatagramWakesTheWaitWithItsKeyUntilReceived) {
  UdpSocket other;
  ASSERT_EQ(other.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  ASSERT_EQ(poller.Add(other, 3), ERROR_SUCCESS);
  ASSERT_EQ(poller.Add(socket, 7), ERROR_SUCCESS);
  EXPECT_EQ(poller.Add(socket, 8), WSAEINVAL) << "watched already";
  ASSERT_EQ(client.SendTo(AsBytes("ack!"), AddressOf(socket)), ERROR_SUCCESS);
  bool woken = true;
  ASSERT_EQ(Wait(5000, woken), 1u);
  EXPECT_EQ(ready[0], 7u);
  EXPECT_FALSE(woken);
  ASSERT_EQ(Wait(0, woken), 1u) << "still queued, so still ready";

  std::array<std::uint8_t, 516> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  bool gotOne = false;
  ASSERT_EQ(socket.TryReceive(buffer, received, from, gotOne), ERROR_SUCCESS);
  EXPECT_TRUE(gotOne);
  EXPECT_EQ(received, 4u);
  EXPECT_EQ(NetworkToHost16(from.port), client.LocalPort());
  ASSERT_EQ(socket.TryReceive(buffer, received, from, gotOne), ERROR_SUCCESS);
  EXPECT_FALSE(gotOne) << "nothing queued: no wait";
  EXPECT_EQ(Wait(0, woken), 0u);

  ASSERT_EQ(client.SendTo(AsBytes(std::string(600, 'x')), AddressOf(socket)), ERROR_SUCCESS);
  ASSERT_EQ(Wait(5000, woken), 1u);
  EXPECT_EQ(socket.TryReceive(buffer, received, from, gotOne), WSAEMSGSIZE);
  EXPECT_TRUE(gotOne);
  EXPECT_EQ(received, 600u);

  poller.Remove(other);  // leaves the remaining socket watched
  poller.Remove(socket);
  ASSERT_EQ(client.SendTo(AsBytes("ack!"), AddressOf(socket)), ERROR_SUCCESS);
  EXPECT_EQ(Wait(300, woken), 0u) << "removed";
}

TEST_F(EventPollerTest, TheTimeoutExpiresWithNothingReady) {
  EventPoller uncreated;
  EXPECT_EQ(uncreated.Add(socket, 1), WSAEINVAL);
  ASSERT_EQ(poller.Add(socket, 1), ERROR_SUCCESS);
  const auto begin = std::chrono::steady_clock::now();
  bool woken = true;
  EXPECT_EQ(Wait(300, woken), 0u);
  EXPECT_FALSE(woken);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 250ms);
}

TEST_F(EventPollerTest, WakeFromAnotherThreadEndsAWaitWithoutLimit) {
  std::thread waker([this] {
    std::this_thread::sleep_for(100ms);
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
    std::array<std::uintptr_t, 4> ready{};
    std::array<std::uint8_t, 516> buffer{};
    while (!done.load()) {
      std::size_t count = 0;
      bool woken = false;
      if (poller.Wait(50, ready, count, woken) != ERROR_SUCCESS) return;
      for (bool gotOne = count > 0; gotOne;) {
        std::size_t received = 0;
        SocketAddress from;
        if (set.TryReceive(0, buffer, received, from, gotOne) != ERROR_SUCCESS) return;
        if (gotOne) ++taken;
      }
    }
  };
  std::thread first(loop, std::ref(pollers[0]));
  std::thread second(loop, std::ref(pollers[1]));
  for (int k = 0; k < kDatagrams; ++k) SendTo(0);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (taken.load() < kDatagrams && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(200ms);
  done = true;
  first.join();
  second.join();
  EXPECT_EQ(taken.load(), kDatagrams);
}

TEST_F(PortSocketSetTest, EveryControlWakesTheObserversAndLeavesTheSocketsOpen) {
  EventPoller poller;
  ASSERT_EQ(poller.Create(), ERROR_SUCCESS);
  ASSERT_EQ(set.AddObserver(poller), ERROR_SUCCESS);
  struct Row {
    const char* name;
    void (PortSocketSet::*control)();
    bool held, stopRequested;
  };
  const Row rows[] = {{"hold", &PortSocketSet::Hold, true, false},
                      {"release", &PortSocketSet::Release, false, false},
                      {"stop", &PortSocketSet::CloseFromControl, false, true}};
  std::future<void> stopped = std::async(std::launch::async, [this] { set.WaitForStop(); });
  for (const Row& row : rows) {
    std::thread control([&] {
      std::this_thread::sleep_for(50ms);
      (set.*row.control)();
    });
    std::array<std::uintptr_t, 4> ready{};
    std::size_t count = 0;
    bool woken = false;
    EXPECT_EQ(poller.Wait(EventPoller::kWaitForever, ready, count, woken), ERROR_SUCCESS);
    control.join();
    EXPECT_TRUE(woken) << row.name;
    EXPECT_EQ(set.Controls().held, row.held) << row.name;
    EXPECT_EQ(set.Controls().stopRequested, row.stopRequested) << row.name;
    EXPECT_EQ(stopped.wait_for(row.stopRequested ? 5000ms : 0ms) == std::future_status::ready,
              row.stopRequested)
        << row.name;
  }
  set.WaitForStop();  // returns at once once stopped
  EXPECT_TRUE(set.IsOpen(0));
  set.RemoveObserver(poller);
}

// The cancellation holds for the rest of the process: no test after this one may wait on a
// UdpSocket (GoogleTest runs the suites of a file in their order, and only this file waits).
class TransferWaitsTest : public SocketsTest {};

TEST_F(TransferWaitsTest, CancelledWaitsEndAtOnce) {
  UdpSocket socket;
  ASSERT_EQ(socket.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  auto waiting = std::async(std::launch::async, [&socket] {
    WaitResult result = WaitResult::kReady;
    std::array<std::uint8_t, 4> buffer{};
    std::size_t received = 0;
    SocketAddress from;
    socket.ReceiveWithin(60000, buffer, received, from, result);
    return result;
  });
  std::this_thread::sleep_for(100ms);
  CancelTransferWaits();
  ASSERT_EQ(waiting.wait_for(5000ms), std::future_status::ready);
  EXPECT_EQ(waiting.get(), WaitResult::kCancelled);
  WaitResult result = WaitResult::kReady;
  std::array<std::uint8_t, 4> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  ASSERT_EQ(socket.ReceiveWithin(60000, buffer, received, from, result), ERROR_SUCCESS);
  EXPECT_EQ(result, WaitResult::kCancelled);
}

}  // namespace
}  // namespace quoril::platform
