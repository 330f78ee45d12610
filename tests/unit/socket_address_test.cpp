#include "platform/socket_address.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

namespace quoril::platform {
namespace {

SocketAddress IPv6(std::array<std::uint16_t, 8> groups, std::uint32_t scope = 0,
                   std::uint16_t port = 0) {
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t k = 0; k < 8; ++k) {
    bytes[2 * k] = static_cast<std::uint8_t>(groups[k] >> 8);
    bytes[2 * k + 1] = static_cast<std::uint8_t>(groups[k]);
  }
  return SocketAddress::FromIPv6(bytes, scope, port);
}

std::string Text(const SocketAddress& address) {
  HostText text{};
  return FormatHost(address, text);
}

TEST(SocketAddressTest, HostTextsAreTheShortestForms) {
  const struct {
    SocketAddress address;
    const char* text;
  } cases[] = {
      {SocketAddress::FromIPv4(0x0302000A, 69), "10.0.2.3"},
      {IPv6({0, 0, 0, 0, 0, 0, 0, 1}), "::1"},
      {IPv6({0, 0, 0, 0, 0, 0, 0, 0}), "::"},
      {IPv6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}), "2001:db8::1:0:0:1"},
      {IPv6({1, 0, 0, 2, 0, 0, 0, 3}), "1:0:0:2::3"},
      {IPv6({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}), "2001:db8:0:1:1:1:1:1"},
      {IPv6({0xfd00, 0, 0, 0, 0, 0, 0, 0}), "fd00::"},
      {IPv6({0, 0, 0, 0, 0, 0xffff, 0xc000, 0x0201}), "::ffff:192.0.2.1"},
      {IPv6({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 1), "fe80::1%lo"},
  };
  for (const auto& c : cases) EXPECT_EQ(Text(c.address), c.text);
}

TEST(SocketAddressTest, EndpointsDifferByPortScopeAndFamily) {
  const SocketAddress a = IPv6({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 2, 1000);
  SocketAddress otherPort = a;
  otherPort.SetPort(1001);
  EXPECT_EQ(otherPort.Port(), 1001);
  EXPECT_TRUE(SameHost(a, otherPort));
  EXPECT_FALSE(a == otherPort);
  EXPECT_FALSE(SameHost(a, IPv6({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 3, 1000)));
  EXPECT_FALSE(SameHost(SocketAddress::FromIPv4(0, 0), IPv6({0, 0, 0, 0, 0, 0, 0, 0})));
  EXPECT_EQ(a, IPv6({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 2, 1000));
}

}  // namespace
}  // namespace quoril::platform
