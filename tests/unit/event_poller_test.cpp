#include "platform/event_poller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace quoril::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order

SocketAddress AddressOf(std::uint16_t port) {
  return SocketAddress::FromIPv4(kLoopback, port);
}

class EventPollerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(poller_.Create(), ERROR_SUCCESS);
    ASSERT_EQ(socket_.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
    ASSERT_EQ(client_.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  }
  void Send(std::uint16_t port, std::size_t size = 4) {
    const std::array<std::uint8_t, 600> datagram{0, 4, 0, 1};
    ASSERT_EQ(client_.SendTo(std::span(datagram).first(size), AddressOf(port)), ERROR_SUCCESS);
  }
  // One Wait of at most `timeout`; the keys it reported.
  std::size_t Wait(std::uint32_t timeout, bool& woken) {
    std::size_t count = 0;
    EXPECT_EQ(poller_.Wait(timeout, ready_, count, woken), ERROR_SUCCESS);
    return count;
  }
  EventPoller poller_;
  UdpSocket socket_, client_;
  std::array<std::uintptr_t, 8> ready_{};
};

TEST_F(EventPollerTest, ADatagramWakesTheWaitWithItsKeyUntilReceived) {
  ASSERT_EQ(poller_.Add(socket_, 7), ERROR_SUCCESS);
  EXPECT_EQ(poller_.Add(socket_, 8), WSAEINVAL) << "watched already";
  Send(socket_.LocalPort());
  bool woken = true;
  ASSERT_EQ(Wait(5000, woken), 1u);
  EXPECT_EQ(ready_[0], 7u);
  EXPECT_FALSE(woken);
  ASSERT_EQ(Wait(0, woken), 1u) << "still queued, so still ready";

  std::array<std::uint8_t, 516> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  bool gotOne = false;
  ASSERT_EQ(socket_.TryReceive(buffer, received, from, gotOne), ERROR_SUCCESS);
  EXPECT_TRUE(gotOne);
  EXPECT_EQ(received, 4u);
  EXPECT_EQ(from.port, HostToNetwork16(client_.LocalPort()));
  ASSERT_EQ(socket_.TryReceive(buffer, received, from, gotOne), ERROR_SUCCESS);
  EXPECT_FALSE(gotOne) << "nothing queued: no wait";
  EXPECT_EQ(Wait(0, woken), 0u);

  Send(socket_.LocalPort(), 600);
  ASSERT_EQ(Wait(5000, woken), 1u);
  EXPECT_EQ(socket_.TryReceive(buffer, received, from, gotOne), WSAEMSGSIZE);
  EXPECT_TRUE(gotOne);
  EXPECT_EQ(received, 600u);

  poller_.SetAside(socket_);
  Send(socket_.LocalPort());
  EXPECT_EQ(Wait(200, woken), 0u) << "set aside";
  ASSERT_EQ(poller_.TakeBack(socket_, 9), ERROR_SUCCESS);
  ASSERT_EQ(Wait(0, woken), 1u) << "what came meanwhile is ready once taken back";
  EXPECT_EQ(ready_[0], 9u);
  ASSERT_EQ(socket_.TryReceive(buffer, received, from, gotOne), ERROR_SUCCESS);

  poller_.Remove(socket_);
  Send(socket_.LocalPort());
  EXPECT_EQ(Wait(200, woken), 0u) << "removed";
}

TEST_F(EventPollerTest, TheTimeoutExpiresWithNothingReady) {
  EventPoller uncreated;
  EXPECT_EQ(uncreated.Add(socket_, 1), WSAEINVAL);
  ASSERT_EQ(poller_.Add(socket_, 1), ERROR_SUCCESS);
  const auto start = Clock::now();
  bool woken = true;
  EXPECT_EQ(Wait(100, woken), 0u);
  EXPECT_FALSE(woken);
  EXPECT_GE(Clock::now() - start, 95ms);
}

TEST_F(EventPollerTest, WakeFromAnotherThreadEndsAWaitWithoutLimit) {
  std::thread waker([this] {
    std::this_thread::sleep_for(50ms);
    poller_.Wake();
  });
  bool woken = false;
  EXPECT_EQ(Wait(EventPoller::kWaitForever, woken), 0u);
  waker.join();
  EXPECT_TRUE(woken);
  // Two before a wait (from another thread they could fall on either side of one).
  poller_.Wake();
  poller_.Wake();
  EXPECT_EQ(Wait(0, woken), 0u);
  EXPECT_TRUE(woken);
  EXPECT_EQ(Wait(0, woken), 0u);
  EXPECT_FALSE(woken) << "consumed, however many came";
}

// Many sockets ready at every wait are looked at all at once, few again through the epoll
// set; what each wait reports is the same either way.
TEST(EventPollerWatch, ManyReadySocketsAreWatchedDenselyAndFewSparsely) {
  constexpr std::size_t kSockets = 32;
  EventPoller poller;
  ASSERT_EQ(poller.Create(), ERROR_SUCCESS);
  std::array<UdpSocket, kSockets> sockets;
  UdpSocket client;
  ASSERT_EQ(client.Open(AddressOf(0)), ERROR_SUCCESS);
  for (std::size_t k = 0; k < kSockets; ++k) {
    ASSERT_EQ(sockets[k].Open(AddressOf(0)), ERROR_SUCCESS);
    ASSERT_EQ(poller.Add(sockets[k], 100 + k), ERROR_SUCCESS);
  }
  std::array<std::uintptr_t, 64> ready{};
  std::array<std::uint8_t, 516> buffer{};
  // Sends to the sockets `first`..`last`; answers the keys the waits report, each socket's
  // datagram received.
  const auto round = [&](std::size_t first, std::size_t last) {
    const std::array<std::uint8_t, 4> ack{0, 4, 0, 1};
    for (std::size_t k = first; k <= last; ++k) {
      EXPECT_EQ(client.SendTo(ack, AddressOf(sockets[k].LocalPort())), ERROR_SUCCESS);
    }
    std::vector<std::uintptr_t> keys;
    while (keys.size() < last - first + 1) {
      std::size_t count = 0;
      bool woken = false;
      EXPECT_EQ(poller.Wait(1000, ready, count, woken), ERROR_SUCCESS);
      if (count == 0) break;
      for (std::size_t i = 0; i < count; ++i) {
        keys.push_back(ready[i]);
        std::size_t received = 0;
        SocketAddress from;
        bool gotOne = false;
        sockets[ready[i] - 100].TryReceive(buffer, received, from, gotOne);
        EXPECT_TRUE(gotOne);
      }
    }
    std::sort(keys.begin(), keys.end());
    return keys;
  };
  const auto keysOf = [](std::size_t first, std::size_t last) {
    std::vector<std::uintptr_t> keys;
    for (std::size_t k = first; k <= last; ++k) keys.push_back(100 + k);
    return keys;
  };

  EXPECT_FALSE(poller.WatchesDensely());
  for (int r = 0; r < 64; ++r) ASSERT_EQ(round(0, kSockets - 1), keysOf(0, kSockets - 1));
  EXPECT_TRUE(poller.WatchesDensely());

  poller.SetAside(sockets[3]);
  poller.CloseWatched(sockets[4]);
  EXPECT_EQ(round(5, 9), keysOf(5, 9));
  ASSERT_EQ(poller.TakeBack(sockets[3], 103), ERROR_SUCCESS);
  EXPECT_EQ(round(3, 3), keysOf(3, 3));
  ASSERT_EQ(sockets[4].Open(AddressOf(0)), ERROR_SUCCESS);
  ASSERT_EQ(poller.Add(sockets[4], 104), ERROR_SUCCESS);
  EXPECT_EQ(round(4, 4), keysOf(4, 4));
  poller.Wake();
  std::size_t count = 0;
  bool woken = false;
  ASSERT_EQ(poller.Wait(1000, ready, count, woken), ERROR_SUCCESS);
  EXPECT_TRUE(woken) << "the wake-up comes through the dense wait";

  for (int r = 0; r < 64; ++r) ASSERT_EQ(round(7, 7), keysOf(7, 7));
  EXPECT_FALSE(poller.WatchesDensely());
  EXPECT_EQ(round(0, kSockets - 1), keysOf(0, kSockets - 1));
}

// A closed socket reads as ready for ever; a watched one must not be closed by the cancel.
int CancelLeavesWatchedSocketsAlone() {
  EventPoller poller;
  UdpSocket socket, client;
  if (poller.Create() != ERROR_SUCCESS ||
      socket.Open(SocketAddress::FromIPv4(kLoopback, 0)) != ERROR_SUCCESS ||
      poller.Add(socket, 1) != ERROR_SUCCESS) {
    return 2;
  }
  CancelTransferWaits();
  // Opened after the cancel, which shuts down every transfer socket open then.
  if (client.Open(SocketAddress::FromIPv4(kLoopback, 0)) != ERROR_SUCCESS) return 2;
  std::array<std::uintptr_t, 4> ready{};
  std::size_t count = 0;
  bool woken = false;
  if (poller.Wait(100, ready, count, woken) != ERROR_SUCCESS || count != 0) return 3;
  const std::array<std::uint8_t, 4> ack{0, 4, 0, 1};
  client.SendTo(ack, AddressOf(socket.LocalPort()));
  if (poller.Wait(5000, ready, count, woken) != ERROR_SUCCESS || count != 1) return 4;
  std::array<std::uint8_t, 516> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  bool gotOne = false;
  socket.TryReceive(buffer, received, from, gotOne);
  return gotOne && received == 4 ? 0 : 5;
}

TEST(EventPollerDeathTest, CancelledTransferWaitsLeaveWatchedSocketsAlone) {
  // Cancelling is process-wide and permanent, so it runs in a child process of its own.
  EXPECT_EXIT(std::exit(CancelLeavesWatchedSocketsAlone()), ::testing::ExitedWithCode(0), "");
}

class PortObserverTest : public EventPollerTest {
 protected:
  void SetUp() override {
    EventPollerTest::SetUp();
    port_ = socket_.LocalPort();
    socket_.Close();
    ASSERT_EQ(set_.Open(0, SocketAddress::FromIPv4(kLoopback, port_)), ERROR_SUCCESS);
  }
  PortSocketSet set_;
  std::uint16_t port_ = 0;
};

TEST_F(PortObserverTest, LoopsWatchingOnePortSocketTakeEachDatagramOnce) {
  constexpr int kDatagrams = 50;
  std::atomic<int> taken{0};
  std::atomic<bool> done{false};
  auto loop = [&](EventPoller& poller) {
    std::array<std::uintptr_t, 4> ready{};
    std::array<std::uint8_t, 516> buffer{};
    while (!done.load()) {
      std::size_t count = 0;
      bool woken = false;
      ASSERT_EQ(poller.Wait(20, ready, count, woken), ERROR_SUCCESS);
      for (bool gotOne = count > 0; gotOne;) {
        std::size_t received = 0;
        SocketAddress from;
        ASSERT_EQ(set_.TryReceive(0, buffer, received, from, gotOne), ERROR_SUCCESS);
        if (gotOne) ++taken;
      }
    }
  };
  std::array<EventPoller, 2> pollers;
  for (EventPoller& poller : pollers) {
    ASSERT_EQ(poller.Create(), ERROR_SUCCESS);
    ASSERT_EQ(poller.AddPort(set_, 0, 69), ERROR_SUCCESS);
  }
  std::thread first(loop, std::ref(pollers[0])), second(loop, std::ref(pollers[1]));
  for (int k = 0; k < kDatagrams; ++k) Send(port_);
  const auto deadline = Clock::now() + 5s;
  while (taken.load() < kDatagrams && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(100ms);
  done = true;
  first.join();
  second.join();
  EXPECT_EQ(taken.load(), kDatagrams);
}

TEST_F(PortObserverTest, EveryControlWakesTheObserversAndLeavesTheSocketsOpen) {
  ASSERT_EQ(set_.AddObserver(poller_), ERROR_SUCCESS);
  struct Row {
    const char* name;
    void (PortSocketSet::*control)();
    bool held, stopRequested;
  };
  const Row rows[] = {{"hold", &PortSocketSet::Hold, true, false},
                      {"release", &PortSocketSet::Release, false, false},
                      {"stop", &PortSocketSet::CloseFromControl, false, true}};
  std::atomic<bool> stopped{false};
  std::thread stopWaiter([&] {
    set_.WaitForStop();
    stopped = true;
  });
  for (const Row& row : rows) {
    std::thread control([&] {
      std::this_thread::sleep_for(20ms);
      (set_.*row.control)();
    });
    bool woken = false;
    Wait(EventPoller::kWaitForever, woken);
    control.join();
    EXPECT_TRUE(woken) << row.name;
    EXPECT_EQ(set_.Controls().held, row.held) << row.name;
    EXPECT_EQ(set_.Controls().stopRequested, row.stopRequested) << row.name;
    EXPECT_EQ(stopped.load() && !row.stopRequested, false) << row.name << ": stop not waited for";
  }
  stopWaiter.join();
  set_.WaitForStop();  // returns at once once stopped
  EXPECT_TRUE(set_.IsOpen(0));
  set_.RemoveObserver(poller_);
}

}  // namespace
}  // namespace quoril::platform
