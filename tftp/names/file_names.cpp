#include "tftp/names/file_names.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "config/server_config.h"
#include "platform/failure_detail.h"
#include "platform/files.h"
#include "platform/network_interfaces.h"
#include "platform/strings.h"
#include "tftp/names/rewrite_rules.h"
#include "tftp/protocol/packets.h"

namespace quoril {

namespace {

using FullPath = std::array<char, platform::kMaxPath>;

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

// The full path of `name`, lower-cased, as the request's name has always been formed.
bool FormLowered(std::string_view name, FullPath& fullPath) {
  // The name and what is joined to it; a longer text could never form a fitting path.
  std::array<char, 2 * platform::kMaxPath + kMaxRequestName> text{};
  if (name.size() >= text.size()) return false;
  std::memcpy(text.data(), name.data(), name.size());
  std::uint32_t length = 0;
  if (platform::GetFullPathName(text.data(), fullPath, length) != ERROR_SUCCESS || length == 0 ||
      length >= fullPath.size()) {
    return false;
  }
  platform::LowerCaseAscii(std::span(fullPath.data(), length));
  return true;
}

std::string_view Directory(const ServerConfig& config) {
  return config.DefaultDirectory.data();
}

// `name` beneath `directory`: their texts joined by a separator, to be formed.
std::string Joined(std::string_view directory, std::string_view name) {
  std::string joined(directory);
  joined.push_back('/');
  joined.append(name);
  return joined;
}

// The address as a directory's name: the log's text without an IPv6 scope.
std::string_view ClientAddressText(const platform::SocketAddress& client, AddressText& text) {
  std::string_view address = FormatAddressText(client, text);
  return address.substr(0, address.find('%'));
}

// The hardware address of `client` as the neighbour table knows it, as 01-aa-bb-cc-dd-ee-ff
// ("01-" and the bytes with dashes between); empty when it does not.
std::string HardwareAddressText(const platform::SocketAddress& client) {
  platform::HardwareAddress hardware;
  if (platform::GetHardwareAddress(client, hardware) != ERROR_SUCCESS || hardware.length == 0) {
    return {};
  }
  return "01-" + FormatHardwareText(hardware, '-');
}

// Whether the client's own directory `own` has what the request needs: for a read the file
// itself (anything but its absence counts, so that the open gives the answer), for a write
// the directory.
bool OwnDirectoryServes(const ServerConfig& config, std::string_view own, const FullPath& candidate,
                        bool isWrite) {
  if (isWrite) return platform::CheckDirectory(std::string(own).c_str()) == ERROR_SUCCESS;
  const char* confineTo =
      config.LimitToDefaultDirectory != 0 ? config.DefaultDirectory.data() : nullptr;
  platform::File probe;
  const Win32Error error = probe.Open(candidate.data(), platform::kGenericRead,
                                      platform::kShareRead, platform::kOpenExisting, confineTo);
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

// The client's own directories, in order, for a path inside DefaultDirectory: answers whether
// one of them takes the request, with `fullPath` then naming the file there.
bool InOwnDirectory(const ServerConfig& config, const platform::SocketAddress& client, bool isWrite,
                    std::string_view hardware, FullPath& fullPath) {
  const std::string_view directory = Directory(config);
  const std::string_view path = fullPath.data();
  if (!LiesInside(path, directory)) return false;
  const std::string_view below = path.substr(directory.size());
  AddressText addressText{};
  const std::array<std::string_view, 2> names = {
      (config.ClientDirectories & kClientDirectoryByAddress) != 0
          ? ClientAddressText(client, addressText)
          : std::string_view(),
      (config.ClientDirectories & kClientDirectoryByHardware) != 0 ? hardware : std::string_view()};
  for (const std::string_view name : names) {
    if (name.empty()) continue;
    std::string own = Joined(directory, name);
    FullPath candidate{};
    if (!FormLowered(Joined(own, below), candidate)) continue;
    if (!OwnDirectoryServes(config, own, candidate, isWrite)) continue;
    fullPath = candidate;
    return true;
  }
  return false;
}

}  // namespace

bool LiesInside(std::string_view path, std::string_view directory) {
  if (!path.starts_with(directory)) return false;
  if (!directory.empty() && IsSeparator(directory.back())) return true;
  return path.size() == directory.size() || IsSeparator(path[directory.size()]);
}

bool PrepareFileNames(const ServerConfig& config, RewriteRules& rules) {
  std::string reason;
  if (rules.Compile(config.RewriteRules, reason)) return true;
  platform::NoteFailureDetail(reason);
  return false;
}

NameResult FormRequestPath(const ServerConfig& config, const RewriteRules& rules,
                           std::string_view name, const platform::SocketAddress& client,
                           bool isWrite, TransferLogEntry& entry) {
  std::string hardware;
  if (rules.NeedsHardwareAddress() ||
      (config.ClientDirectories & kClientDirectoryByHardware) != 0) {
    hardware = HardwareAddressText(client);
  }
  bool changed = false;

  std::string rewritten;
  std::string_view asked = name;
  if (!rules.Empty()) {
    AddressText addressText{};
    const RewriteParty party{isWrite, ClientAddressText(client, addressText), hardware};
    switch (rules.Apply(name, party, kMaxRequestName, rewritten)) {
      case RewriteOutcome::kUnchanged:
        break;
      case RewriteOutcome::kRewritten:
        asked = rewritten;
        changed = true;
        break;
      case RewriteOutcome::kRefused:
        return NameResult::kDenied;
    }
  }

  FullPath& fullPath = entry.fullPath;
  if (!FormLowered(asked, fullPath)) {
    fullPath.fill('\0');
    return NameResult::kNotFormed;
  }
  // Boot loaders name files from the root of the server's tree ("/boot/grub/grub.cfg"); a
  // confined server has no other root to offer. The confinement still judges the result.
  if (config.RootRelativeNames != 0 && config.LimitToDefaultDirectory != 0 && !asked.empty() &&
      IsSeparator(asked.front()) && !LiesInside(fullPath.data(), Directory(config))) {
    if (!FormLowered(Joined(Directory(config), asked), fullPath)) {
      fullPath.fill('\0');
      return NameResult::kNotFormed;
    }
    changed = true;
  }
  if (config.ClientDirectories != 0 &&
      InOwnDirectory(config, client, isWrite, hardware, fullPath)) {
    changed = true;
  }

  static_assert(kMaxRequestName <= platform::kMaxPath, "the log shows every asked name whole");
  if (changed) {
    const std::size_t count = std::min(name.size(), entry.askedName.size() - 1);
    std::memcpy(entry.askedName.data(), name.data(), count);
    entry.askedName[count] = '\0';
  }
  return NameResult::kFormed;
}

}  // namespace quoril
