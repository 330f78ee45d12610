// The entries of ListenAddresses as read, and which local addresses they stand for.
#include "config/listen_addresses.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quoril {
namespace {

using platform::InterfaceAddress;
using platform::SocketAddress;

SocketAddress Host(const char* text, std::uint32_t scope = 0) {
  SocketAddress address;
  EXPECT_TRUE(platform::ParseHost(text, address)) << text;
  if (scope != 0) {
    address = SocketAddress::FromIPv6(std::span<const std::uint8_t, 16>(address.Host().data(), 16),
                                      scope, 0);
  }
  return address;
}

TEST(ListenAddressesTest, EntriesAreAddressesOrInterfaceNames) {
  const struct {
    const char* text;
    bool valid;
    bool isAddress;
    const char* name;
    std::uint32_t index;
  } cases[] = {
      {"192.168.10.5", true, true, "", 0},
      {" 10.0.0.5\t", true, true, "", 0},
      {"fe80::1%eth0", true, true, "eth0", 0},
      {"fe80::1%7", true, true, "", 7},
      {"fd00::1", true, true, "", 0},
      {"eth0", true, false, "eth0", 0},
      {"br-lan.10", true, false, "br-lan.10", 0},
      {"10.0.0.300", false, false, "", 0},
      {"10.0.0", false, false, "", 0},
      {"192.168.10.0/24", false, false, "", 0},
      {"fe80::1::2", false, false, "", 0},
      {"fe80::1%", false, false, "", 0},
      {"fe80::1%0", false, false, "", 0},
      {"10.0.0.1%eth0", false, false, "", 0},
      {"eth0/1", false, false, "", 0},
      {"", false, false, "", 0},
  };
  for (const auto& c : cases) {
    ListenEntry entry;
    std::string reason;
    EXPECT_EQ(ParseListenEntry(c.text, entry, reason), c.valid) << c.text;
    if (!c.valid) {
      EXPECT_FALSE(reason.empty()) << c.text;
      continue;
    }
    EXPECT_EQ(entry.isAddress, c.isAddress) << c.text;
    EXPECT_EQ(entry.interfaceName, c.name) << c.text;
    EXPECT_EQ(entry.interfaceIndex, c.index) << c.text;
  }
}

TEST(ListenAddressesTest, EntriesKeepTheAddressesTheyStandFor) {
  // 10.0.0.1 on two interfaces, a link-local address on each of them.
  const std::vector<InterfaceAddress> held{
      {Host("127.0.0.1"), 1, "lo"},    {Host("10.0.0.1"), 2, "eth0"},
      {Host("10.0.0.1"), 3, "eth1"},   {Host("10.0.1.1"), 3, "eth1"},
      {Host("fe80::1", 2), 2, "eth0"}, {Host("fe80::1", 3), 3, "eth1"},
      {Host("fd00::1"), 3, "eth1"},
  };
  const std::vector<SocketAddress> found{Host("127.0.0.1"),  Host("10.0.0.1"),   Host("10.0.1.1"),
                                         Host("fe80::1", 2), Host("fe80::1", 3), Host("fd00::1")};
  const struct {
    std::vector<const char*> entries;
    std::vector<std::size_t> kept;  // indices into `found`
    std::vector<bool> matched;
  } cases[] = {
      {{"10.0.1.1"}, {2}, {true}},
      {{"ETH1"}, {1, 2, 4, 5}, {true}},
      {{"eth0", "wlan0"}, {1, 3}, {true, false}},
      {{"fe80::1%eth1"}, {4}, {true}},
      {{"fe80::1%2"}, {3}, {true}},
      {{"fe80::1"}, {3, 4}, {true}},
      {{"fd00::1%eth0", "192.168.1.1"}, {}, {false, false}},
  };
  for (const auto& c : cases) {
    std::vector<ListenEntry> entries(c.entries.size());
    std::string reason;
    for (std::size_t e = 0; e < entries.size(); ++e) {
      ASSERT_TRUE(ParseListenEntry(c.entries[e], entries[e], reason)) << reason;
    }
    std::vector<SocketAddress> addresses = found;
    std::vector<bool> matched;
    KeepListened(entries, held, addresses, matched);
    std::vector<SocketAddress> expected;
    for (std::size_t k : c.kept) expected.push_back(found[k]);
    EXPECT_EQ(addresses, expected) << c.entries[0];
    EXPECT_EQ(matched, c.matched) << c.entries[0];
  }
}

}  // namespace
}  // namespace quoril
