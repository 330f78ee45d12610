// The address text shared by both backends.
#include <charconv>

#include "platform/stream_sockets.h"

namespace quoril::platform {

Win32Error ParseEndpoint(std::string_view text, SocketAddress& address) {
  std::string_view host;
  std::string_view port;
  bool ipv6 = false;
  if (text.starts_with('[')) {
    const std::size_t close = text.find("]:");
    if (close == std::string_view::npos) return ERROR_INVALID_PARAMETER;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    ipv6 = true;
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || text.find(':') != colon) return ERROR_INVALID_PARAMETER;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  unsigned number = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (host.empty() || port.empty() || error != std::errc() || end != port.data() + port.size() ||
      number == 0 || number > 65535) {
    return ERROR_INVALID_PARAMETER;
  }
  // Brackets hold an IPv6 address, and only they do.
  if (!ParseHost(host, address) || address.IsIPv6() != ipv6) return ERROR_INVALID_PARAMETER;
  address.SetPort(static_cast<std::uint16_t>(number));
  return ERROR_SUCCESS;
}

}  // namespace quoril::platform
