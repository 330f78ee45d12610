// The address watcher against the kernel: addresses added and removed with ip(8) in a network
// namespace of the test's own thread come out as records, through a poller's wait too.
#include "platform/address_watcher.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_poller.h"

namespace quoril::platform {
namespace {

SocketAddress Host(const char* text, std::uint32_t scope = 0) {
  SocketAddress address;
  EXPECT_TRUE(ParseHost(text, address)) << text;
  return scope == 0 ? address
                    : SocketAddress::FromIPv6(
                          std::span<const std::uint8_t, 16>(address.Host().data(), 16), scope, 0);
}

bool Shell(const std::string& command) {
  return std::system((command + " 2>/dev/null").c_str()) == 0;
}

// Drains until `wanted` changes have come (or two seconds have passed). The link-local
// address that the kernel gives an interface as it comes up is left out; with `linkLocal`,
// every address but that one.
std::vector<AddressChange> Collect(AddressWatcher& watcher, std::size_t wanted, bool& lost,
                                   const SocketAddress* linkLocal = nullptr) {
  std::vector<AddressChange> changes;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (changes.size() < wanted && std::chrono::steady_clock::now() < end) {
    bool ready = false;
    EXPECT_EQ(watcher.Wait(100, ready), ERROR_SUCCESS);
    if (ready) {
      EXPECT_EQ(watcher.Drain(changes, lost), ERROR_SUCCESS);
    }
    std::erase_if(changes, [&](const AddressChange& c) {
      return c.address.Host()[0] == 0xFE && (linkLocal == nullptr || !(c.address == *linkLocal));
    });
  }
  return changes;
}

// Linux moves only the calling thread into a new network namespace, and ip(8) run from it
// works there.
TEST(AddressWatcherTest, AddedAndRemovedAddressesBecomeRecords) {
  std::string skipped;
  std::thread([&] {
    if (::unshare(CLONE_NEWNET) != 0 || !Shell("ip link set lo up")) {
      skipped = "needs root for a network namespace";
      return;
    }
    AddressWatcher watcher;
    ASSERT_EQ(watcher.Open(true), ERROR_SUCCESS);
    EventPoller poller;
    ASSERT_EQ(poller.Create(), ERROR_SUCCESS);
    ASSERT_EQ(poller.AddWatcher(watcher, 7), ERROR_SUCCESS);
    ASSERT_TRUE(
        Shell("ip link add w0 type veth peer name w1 && ip link set w1 up && "
              "ip link set w0 up && ip addr add 10.7.0.1/24 dev w0 && "
              "ip -6 addr add fd00::7/64 dev w0 && ip -6 addr add fd00::8/64 dev w0 nodad"));
    std::array<std::uintptr_t, 4> ready{};
    std::size_t count = 0;
    bool woken = false;
    ASSERT_EQ(poller.Wait(2000, ready, count, woken), ERROR_SUCCESS);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(ready[0], 7u);
    ASSERT_TRUE(Shell("ip addr del 10.7.0.1/24 dev w0"));

    const std::uint32_t w0 = ::if_nametoindex("w0");
    const struct {
      bool added;
      SocketAddress address;
      bool tentative;
    } expected[] = {
        {true, Host("10.7.0.1"), false},
        {true, Host("fd00::7"), true},
        {true, Host("fd00::8"), false},
        {false, Host("10.7.0.1"), false},
    };
    bool lost = false;
    std::vector<AddressChange> changes = Collect(watcher, std::size(expected), lost);
    EXPECT_FALSE(lost);
    ASSERT_EQ(changes.size(), std::size(expected));
    for (std::size_t k = 0; k < changes.size(); ++k) {
      EXPECT_EQ(changes[k].added, expected[k].added) << k;
      EXPECT_EQ(changes[k].address, expected[k].address) << k;
      EXPECT_EQ(changes[k].interfaceIndex, w0) << k;
      EXPECT_EQ(changes[k].tentative, expected[k].tentative) << k;
    }
    // A link-local address carries its interface as its scope.
    ASSERT_TRUE(Shell("ip -6 addr add fe80::7/64 dev w0 nodad"));
    const SocketAddress scoped = Host("fe80::7", w0);
    changes = Collect(watcher, 1, lost, &scoped);
    EXPECT_EQ(changes.size(), 1u);
    poller.RemoveWatcher(watcher);
  }).join();
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

}  // namespace
}  // namespace quoril::platform
