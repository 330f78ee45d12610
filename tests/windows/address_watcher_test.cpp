// The address watcher's reading of NotifyUnicastIpAddressChange's rows (wine delivers no
// notifications of its own), and its life without changes.
#include "platform/address_watcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/network_interfaces.h"
#include "platform/sockets.h"
#include "platform/win32/address_change_row.h"

namespace quoril::platform {
namespace {

MIB_UNICASTIPADDRESS_ROW Row(const char* text, NET_IFINDEX index, NL_DAD_STATE state) {
  MIB_UNICASTIPADDRESS_ROW row{};
  SocketAddress host;
  EXPECT_TRUE(ParseHost(text, host)) << text;
  row.Address.si_family = host.IsIPv6() ? AF_INET6 : AF_INET;
  if (host.IsIPv6()) {
    std::memcpy(&row.Address.Ipv6.sin6_addr, host.Host().data(), 16);
  } else {
    std::memcpy(&row.Address.Ipv4.sin_addr, host.Host().data(), 4);
  }
  row.InterfaceIndex = index;
  row.DadState = state;
  return row;
}

SocketAddress Scoped(const char* text, std::uint32_t scope) {
  SocketAddress host;
  EXPECT_TRUE(ParseHost(text, host));
  return SocketAddress::FromIPv6(std::span<const std::uint8_t, 16>(host.Host().data(), 16), scope,
                                 0);
}

TEST(AddressWatcherRows, NotificationsBecomeRecords) {
  SocketAddress ipv4;
  ASSERT_TRUE(ParseHost("192.168.10.5", ipv4));
  const struct {
    MIB_UNICASTIPADDRESS_ROW row;
    MIB_NOTIFICATION_TYPE type;
    bool added;
    SocketAddress address;
    bool tentative;
  } cases[] = {
      {Row("192.168.10.5", 4, IpDadStatePreferred), MibAddInstance, true, ipv4, false},
      {Row("192.168.10.5", 4, IpDadStateTentative), MibAddInstance, true, ipv4, true},
      {Row("192.168.10.5", 4, IpDadStatePreferred), MibParameterNotification, true, ipv4, false},
      {Row("192.168.10.5", 4, IpDadStateInvalid), MibDeleteInstance, false, ipv4, false},
      {Row("fe80::1", 7, IpDadStateDeprecated), MibAddInstance, true, Scoped("fe80::1", 7), false},
      {Row("fd00::1", 7, IpDadStateDuplicate), MibAddInstance, true, Scoped("fd00::1", 0), true},
  };
  for (const auto& c : cases) {
    AddressChange change;
    ASSERT_TRUE(AddressChangeFromRow(&c.row, c.type, change));
    EXPECT_EQ(change.added, c.added);
    EXPECT_EQ(change.address, c.address);
    EXPECT_EQ(change.interfaceIndex, c.row.InterfaceIndex);
    EXPECT_EQ(change.tentative, c.tentative);
  }
  AddressChange change;
  EXPECT_FALSE(AddressChangeFromRow(nullptr, MibInitialNotification, change));
  MIB_UNICASTIPADDRESS_ROW other = Row("10.0.0.1", 1, IpDadStatePreferred);
  other.Address.si_family = AF_UNSPEC;
  EXPECT_FALSE(AddressChangeFromRow(&other, MibAddInstance, change));
}

// An open watcher without changes has nothing to drain; ListenAddresses is matched against the
// interfaces' addresses, the loopback one with its adapter's name.
TEST(AddressWatcherRows, QuietWatcherAndTheAdaptersAddresses) {
  ASSERT_EQ(SocketsStartup(true), ERROR_SUCCESS);
  AddressWatcher watcher;
  ASSERT_EQ(watcher.Open(true), ERROR_SUCCESS);
  bool ready = true;
  EXPECT_EQ(watcher.Wait(50, ready), ERROR_SUCCESS);
  EXPECT_FALSE(ready);
  std::vector<AddressChange> changes;
  bool lost = false;
  EXPECT_EQ(watcher.Drain(changes, lost), ERROR_SUCCESS);
  EXPECT_TRUE(changes.empty() && !lost);
  watcher.Close();

  std::vector<InterfaceAddress> held;
  ASSERT_EQ(ListInterfaceAddresses(held), ERROR_SUCCESS);
  const auto loopback = std::find_if(held.begin(), held.end(), [](const InterfaceAddress& entry) {
    return SameHost(entry.address, SocketAddress::FromIPv4(0x0100007F, 0));
  });
  ASSERT_NE(loopback, held.end());
  EXPECT_NE(loopback->index, 0u);
  EXPECT_TRUE(IsInterfaceName(loopback->name)) << loopback->name;
  EXPECT_TRUE(IsInterfaceName("Local Area Connection* 2"));
  EXPECT_FALSE(IsInterfaceName("eth0%1"));
  SocketsCleanup();
}

}  // namespace
}  // namespace quoril::platform
