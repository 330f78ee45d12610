#include "platform/sockets.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

namespace quoril::platform {
namespace {

constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order

SocketAddress AddressOf(const UdpSocket& socket) {
  return SocketAddress::FromIPv4(kLoopback, socket.LocalPort());
}

TEST(UdpSocket, DatagramLargerThanTheBufferFailsWithItsRealSize) {
  UdpSocket receiver, sender;
  ASSERT_EQ(receiver.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  ASSERT_EQ(sender.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  std::vector<std::uint8_t> big(600, 0x41);
  ASSERT_EQ(sender.SendTo(big, AddressOf(receiver)), ERROR_SUCCESS);
  std::array<std::uint8_t, 516> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  EXPECT_EQ(receiver.ReceiveFrom(buffer, received, from), WSAEMSGSIZE);
  EXPECT_EQ(received, 600u);
  EXPECT_EQ(from.port, HostToNetwork16(sender.LocalPort()));

  // The next datagram is unaffected.
  std::array<std::uint8_t, 516> exact{};
  exact.fill(0x42);
  ASSERT_EQ(sender.SendTo(exact, AddressOf(receiver)), ERROR_SUCCESS);
  EXPECT_EQ(receiver.ReceiveFrom(buffer, received, from), ERROR_SUCCESS);
  EXPECT_EQ(received, 516u);
  EXPECT_EQ(buffer[515], 0x42);
}

TEST(UdpSocket, ReceiveWithinTimesOutAndTakesADatagram) {
  UdpSocket receiver, sender;
  ASSERT_EQ(receiver.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  ASSERT_EQ(sender.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  std::array<std::uint8_t, 516> buffer{};
  std::size_t received = 99;
  SocketAddress from;
  WaitResult result = WaitResult::kReady;
  EXPECT_EQ(receiver.ReceiveWithin(10, buffer, received, from, result), ERROR_SUCCESS);
  EXPECT_EQ(result, WaitResult::kTimeout);
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(receiver.ReceiveWithin(0, buffer, received, from, result), ERROR_SUCCESS);
  EXPECT_EQ(result, WaitResult::kTimeout) << "no time left still looks once";

  const std::array<std::uint8_t, 4> ack{0, 4, 0, 1};
  ASSERT_EQ(sender.SendTo(ack, AddressOf(receiver)), ERROR_SUCCESS);
  EXPECT_EQ(receiver.ReceiveWithin(5000, buffer, received, from, result), ERROR_SUCCESS);
  EXPECT_EQ(result, WaitResult::kReady);
  EXPECT_EQ(received, 4u);
  EXPECT_EQ(buffer[3], 1);
  EXPECT_EQ(from.port, HostToNetwork16(sender.LocalPort()));

  // A datagram that has arrived is taken even when no time is left.
  ASSERT_EQ(sender.SendTo(ack, AddressOf(receiver)), ERROR_SUCCESS);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(receiver.ReceiveWithin(0, buffer, received, from, result), ERROR_SUCCESS);
  EXPECT_EQ(result, WaitResult::kReady);

  std::vector<std::uint8_t> big(600, 0x41);
  ASSERT_EQ(sender.SendTo(big, AddressOf(receiver)), ERROR_SUCCESS);
  EXPECT_EQ(receiver.ReceiveWithin(5000, buffer, received, from, result), WSAEMSGSIZE);
  EXPECT_EQ(received, 600u);
}

// The socket keeps its timeout from wait to wait where that costs little precision; a wait
// much shorter or at all longer than the last one still gets its own.
TEST(UdpSocket, ReceiveWithinKeepsToEachWaitsTime) {
  using std::chrono::milliseconds;
  using std::chrono::steady_clock;
  UdpSocket receiver, sender;
  ASSERT_EQ(receiver.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  ASSERT_EQ(sender.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  std::array<std::uint8_t, 516> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  WaitResult result = WaitResult::kReady;
  const std::array<std::uint8_t, 4> ack{0, 4, 0, 1};

  ASSERT_EQ(sender.SendTo(ack, AddressOf(receiver)), ERROR_SUCCESS);
  ASSERT_EQ(receiver.ReceiveWithin(8000, buffer, received, from, result), ERROR_SUCCESS);
  ASSERT_EQ(result, WaitResult::kReady);
  auto start = steady_clock::now();
  EXPECT_EQ(receiver.ReceiveWithin(100, buffer, received, from, result), ERROR_SUCCESS);
  EXPECT_EQ(result, WaitResult::kTimeout);
  EXPECT_LT(steady_clock::now() - start, milliseconds(4000)) << "not the earlier 8 s";
  EXPECT_GE(steady_clock::now() - start, milliseconds(80));

  std::thread late([&] {
    std::this_thread::sleep_for(milliseconds(300));
    sender.SendTo(ack, AddressOf(receiver));
  });
  start = steady_clock::now();
  EXPECT_EQ(receiver.ReceiveWithin(20000, buffer, received, from, result), ERROR_SUCCESS);
  late.join();
  EXPECT_EQ(result, WaitResult::kReady) << "not the earlier 100 ms";
  EXPECT_GE(steady_clock::now() - start, milliseconds(250));
}

TEST(UdpSocket, ClosedSocketFailsAsNotASocket) {
  UdpSocket socket;
  std::array<std::uint8_t, 4> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  EXPECT_EQ(socket.ReceiveFrom(buffer, received, from), WSAENOTSOCK);
  EXPECT_EQ(socket.SendTo(buffer, from), WSAENOTSOCK);
}

TEST(UdpSocket, BindingAnAddressInUseFails) {
  UdpSocket first, second;
  ASSERT_EQ(first.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  EXPECT_EQ(second.Open(SocketAddress::FromIPv4(kLoopback, first.LocalPort())), WSAEADDRINUSE);
  EXPECT_FALSE(second.IsOpen());
}

// Answers 0 when a receive blocked at the cancel, and every receive after it, is cancelled.
int CancelEndsReceives() {
  UdpSocket socket;
  if (socket.Open(SocketAddress::FromIPv4(kLoopback, 0)) != ERROR_SUCCESS) return 2;
  std::array<std::uint8_t, 516> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  WaitResult result = WaitResult::kReady;
  std::thread waiter([&] { socket.ReceiveWithin(60000, buffer, received, from, result); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  CancelTransferWaits();
  waiter.join();
  if (result != WaitResult::kCancelled) return 3;
  UdpSocket later;
  if (later.Open(SocketAddress::FromIPv4(kLoopback, 0)) != ERROR_SUCCESS) return 4;
  WaitResult laterResult = WaitResult::kReady;
  later.ReceiveWithin(60000, buffer, received, from, laterResult);
  return laterResult == WaitResult::kCancelled ? 0 : 5;
}

TEST(UdpSocketDeathTest, CancelledReceivesAnswerCancelledForGood) {
  // Cancelling is process-wide and permanent, so it runs in a child process of its own.
  EXPECT_EXIT(std::exit(CancelEndsReceives()), ::testing::ExitedWithCode(0), "");
}

TEST(PortSocketSet, EmptySetFails) {
  PortSocketSet set;
  PortSocketSet::ReadSet none;
  EXPECT_EQ(set.Wait(none), WSAEINVAL);
}

// Binds three sockets to fixed ports of their own so that a client can reach each.
class PortSocketSetOnPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    for (std::uint32_t k = 0; k < 3; ++k) {
      UdpSocket probe;
      ASSERT_EQ(probe.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
      ports_[k] = probe.LocalPort();
      probe.Close();
      ASSERT_EQ(set_.Open(k, SocketAddress::FromIPv4(kLoopback, ports_[k])), ERROR_SUCCESS);
    }
    ASSERT_EQ(client_.Open(SocketAddress::FromIPv4(kLoopback, 0)), ERROR_SUCCESS);
  }
  void SendTo(std::uint32_t k) {
    const auto to = SocketAddress::FromIPv4(kLoopback, ports_[k]);
    const std::array<std::uint8_t, 2> datagram{0, static_cast<std::uint8_t>(k)};
    ASSERT_EQ(client_.SendTo(datagram, to), ERROR_SUCCESS);
  }
  PortSocketSet::ReadSet All() {
    PortSocketSet::ReadSet all;
    for (std::uint32_t k = 0; k < 3; ++k) all.set(k);
    return all;
  }
  PortSocketSet set_;
  UdpSocket client_;
  std::array<std::uint16_t, 3> ports_{};
};

TEST_F(PortSocketSetOnPorts, WaitMarksEveryReadySocket) {
  SendTo(0);
  SendTo(2);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  auto ready = All();
  ASSERT_EQ(set_.Wait(ready), ERROR_SUCCESS);
  EXPECT_TRUE(ready.test(0));
  EXPECT_FALSE(ready.test(1));
  EXPECT_TRUE(ready.test(2));
  std::array<std::uint8_t, 516> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  ASSERT_EQ(set_.Receive(2, buffer, received, from), ERROR_SUCCESS);
  EXPECT_EQ(received, 2u);
  EXPECT_EQ(buffer[1], 2);
  EXPECT_EQ(from.port, HostToNetwork16(client_.LocalPort()));
}

TEST_F(PortSocketSetOnPorts, StopFromAnotherThreadEndsTheWaitAndReceivesFailAsNotASocket) {
  std::thread control([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    set_.CloseFromControl();
  });
  auto ready = All();
  EXPECT_EQ(set_.Wait(ready), ERROR_SUCCESS);
  control.join();
  std::uint32_t k = 3;
  while (k-- > 0 && !ready.test(k)) {
  }
  ASSERT_LT(k, 3u);
  std::array<std::uint8_t, 516> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  EXPECT_EQ(set_.Receive(k, buffer, received, from), WSAENOTSOCK);
  EXPECT_FALSE(set_.IsOpen(0));
}

TEST_F(PortSocketSetOnPorts, StopBeforeTheFirstWaitStillEndsIt) {
  set_.CloseFromControl();
  auto ready = All();
  EXPECT_EQ(set_.Wait(ready), ERROR_SUCCESS);
  std::array<std::uint8_t, 516> buffer{};
  std::size_t received = 0;
  SocketAddress from;
  EXPECT_EQ(set_.Receive(2, buffer, received, from), WSAENOTSOCK);
}

TEST_F(PortSocketSetOnPorts, HeldWaitTakesNothingUntilReleased) {
  set_.Hold();
  std::atomic<bool> returned{false};
  std::thread listener([&] {
    auto ready = All();
    set_.Wait(ready);
    returned = true;
  });
  SendTo(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returned.load()) << "a held listener takes no datagram";
  set_.Release();
  listener.join();
  EXPECT_TRUE(returned.load());
}

TEST_F(PortSocketSetOnPorts, StopReleasesAHeldWait) {
  set_.Hold();
  std::promise<Win32Error> waited;
  std::future<Win32Error> result = waited.get_future();
  std::thread listener([&] {
    auto ready = All();
    waited.set_value(set_.Wait(ready));
  });
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
      << "the wait is held before the stop";
  set_.CloseFromControl();  // without Release: a paused service must still stop
  const bool ended = result.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!ended) set_.Release();  // so that the failure below does not hang the test
  listener.join();
  ASSERT_TRUE(ended) << "the stop ends a held wait";
  EXPECT_EQ(result.get(), ERROR_SUCCESS);
  EXPECT_FALSE(set_.IsOpen(1));
}

}  // namespace
}  // namespace quoril::platform
