#include "config/listen_addresses.h"

#include <algorithm>
#include <charconv>

#include "config/event_reporter.h"
#include "platform/failure_detail.h"
#include "platform/strings.h"

namespace quoril {

namespace {

// The scope after '%': an interface's number, or its name.
bool ParseScope(std::string_view scope, ListenEntry& entry) {
  if (!scope.empty() && std::ranges::all_of(scope, [](char c) { return c >= '0' && c <= '9'; })) {
    const auto [end, error] =
        std::from_chars(scope.data(), scope.data() + scope.size(), entry.interfaceIndex);
    return error == std::errc() && end == scope.data() + scope.size() && entry.interfaceIndex != 0;
  }
  entry.interfaceName = scope;
  return platform::IsInterfaceName(scope);
}

// Whether `entry` stands for the address `held` on its interface. Interface names match
// regardless of case.
bool EntryMatches(const ListenEntry& entry, const platform::InterfaceAddress& held) {
  if (!entry.isAddress) return platform::EqualIgnoringAsciiCase(entry.interfaceName, held.name);
  const auto host = entry.address.Host();
  if (entry.address.family != held.address.family ||
      !std::ranges::equal(host, held.address.Host())) {
    return false;
  }
  if (entry.interfaceIndex != 0) return entry.interfaceIndex == held.index;
  return entry.interfaceName.empty() ||
         platform::EqualIgnoringAsciiCase(entry.interfaceName, held.name);
}

}  // namespace

bool ParseListenEntry(std::string_view text, ListenEntry& entry, std::string& reason) {
  constexpr std::string_view kBlanks = " \t";
  const std::size_t first = text.find_first_not_of(kBlanks);
  text = first == std::string_view::npos
             ? std::string_view()
             : text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
  entry = ListenEntry{};
  entry.text = text;
  if (text.empty()) {
    reason = "an empty entry";
    return false;
  }
  const bool looksNumeric = !text.empty() && std::ranges::all_of(text, [](char c) {
    return c == '.' || (c >= '0' && c <= '9');
  });
  if (text.find_first_of(":%") != std::string_view::npos || looksNumeric) {
    const std::size_t percent = text.find('%');
    const std::string_view host = text.substr(0, percent);
    entry.isAddress = platform::ParseHost(host, entry.address);
    if (entry.isAddress && percent != std::string_view::npos) {
      entry.isAddress = entry.address.IsIPv6() && ParseScope(text.substr(percent + 1), entry);
    }
    if (!entry.isAddress) reason = "\"" + entry.text + "\" is not an IP address";
    return entry.isAddress;
  }
  if (!platform::IsInterfaceName(text)) {
    reason = "\"" + entry.text + "\" is neither an IP address nor an interface name";
    return false;
  }
  entry.interfaceName = text;
  return true;
}

void KeepListened(std::span<const ListenEntry> entries,
                  std::span<const platform::InterfaceAddress> held,
                  std::vector<platform::SocketAddress>& addresses, std::vector<bool>& matched) {
  matched.resize(entries.size(), false);
  std::erase_if(addresses, [&](const platform::SocketAddress& address) {
    bool served = false;
    for (const platform::InterfaceAddress& holding : held) {
      if (!platform::SameHost(holding.address, address)) continue;
      for (std::size_t e = 0; e < entries.size(); ++e) {
        if (EntryMatches(entries[e], holding)) served = matched[e] = true;
      }
    }
    return !served;
  });
}

bool KeepListenedAddresses(std::span<const ListenEntry> entries,
                           std::vector<platform::SocketAddress>& ipv4,
                           std::vector<platform::SocketAddress>& ipv6, bool report) {
  if (entries.empty()) return true;
  std::vector<platform::InterfaceAddress> held;
  if (platform::ListInterfaceAddresses(held) != ERROR_SUCCESS) return false;
  std::vector<bool> matched;
  KeepListened(entries, held, ipv4, matched);
  KeepListened(entries, held, ipv6, matched);
  for (std::size_t e = 0; e < entries.size(); ++e) {
    if (matched[e] || !report) continue;
    platform::NoteFailureDetail("ListenAddresses: " + entries[e].text +
                                " matches no local address");
    EventReporter(EVENT_LISTEN_ADDRESS_ABSENT);
  }
  return true;
}

}  // namespace quoril
