// The poller with many transfer sockets ready at every wait, some set aside, closed or added
// again meanwhile.
#include "platform/event_poller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

namespace quoril::platform {
namespace {

constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order

SocketAddress AddressOf(std::uint16_t port) {
  return SocketAddress::FromIPv4(kLoopback, port);
}

// Every ready socket is reported once its datagram came, however many are ready at each wait.
TEST(EventPollerWatch, ManyReadySocketsAreEachReported) {
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

  for (int r = 0; r < 64; ++r) ASSERT_EQ(round(0, kSockets - 1), keysOf(0, kSockets - 1));

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
  EXPECT_TRUE(woken);

  for (int r = 0; r < 64; ++r) ASSERT_EQ(round(7, 7), keysOf(7, 7));
  EXPECT_EQ(round(0, kSockets - 1), keysOf(0, kSockets - 1));
}

}  // namespace
}  // namespace quoril::platform
