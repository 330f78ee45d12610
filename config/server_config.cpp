// The settings of one run, read from the Parameters key once, before any transfer exists.
#include "config/server_config.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "platform/failure_detail.h"
#include "platform/registry.h"
#include "platform/strings.h"

namespace quoril {

namespace {

constexpr std::int32_t kMinTimeout = 1;
constexpr std::int32_t kMaxTimeout = 255;
constexpr std::uint32_t kMaxRetransmitLimit = 50;

enum class ValueKind { kText, kNumber };

constexpr std::uint32_t kRegNone = 0;

// A value whose type says that it holds something else is refused, with its name and both
// types beside the event: "quoril-reg add KEY /v Timeout /d 100" writes the text "100",
// whose four bytes would otherwise make the number 0x00303031. REG_BINARY and REG_NONE
// claim nothing and are taken as their bytes, as before.
bool TypeFits(const char* name, std::uint32_t type, ValueKind kind) {
  const bool fits =
      type == platform::kRegBinary || type == kRegNone ||
      (kind == ValueKind::kText ? type == platform::kRegSz || type == platform::kRegExpandSz
                                : type == platform::kRegDword);
  if (fits) return true;
  // The types that no value is likely to have are shown by number.
  const bool named = type <= platform::kRegMultiSz || type == platform::kRegQword;
  platform::NoteFailureDetail(
      std::string(name) + ": " +
      (named ? std::string(platform::kRegTypeNames[type]) : "type " + std::to_string(type)) +
      " where " + (kind == ValueKind::kText ? "REG_SZ or REG_EXPAND_SZ" : "REG_DWORD") +
      " is needed");
  return false;
}

// The value's bytes, when it exists and its type fits; ERROR_MORE_DATA is the caller's to
// judge.
Win32Error QueryValueOf(const platform::RegistryKey& key, const char* name, ValueKind kind,
                        std::span<std::uint8_t> bytes, std::uint32_t& size) {
  std::uint32_t type = platform::kRegBinary;
  const Win32Error error = key.QueryValue(name, bytes, size, &type);
  if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) return error;
  return TypeFits(name, type, kind) ? error : ERROR_INVALID_DATA;
}

// Reads a text value into `text`, offering the whole buffer. The registry does not promise
// a terminator: data that fill the buffer without one leave no room for it and fail as
// too long, rather than leave a text that runs past its buffer.
bool ReadText(const platform::RegistryKey& key, const char* name, std::span<char> text) {
  std::ranges::fill(text, '\0');
  std::uint32_t size = 0;
  std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(text.data()), text.size());
  if (QueryValueOf(key, name, ValueKind::kText, bytes, size) != ERROR_SUCCESS) return false;
  return size < text.size() || std::ranges::find(text, '\0') != text.end();
}

// Offers exactly 4 bytes, so that more data fail with ERROR_MORE_DATA. Fewer bytes make no
// number and fail as well: a setting is never guessed from part of one.
bool ReadNumber(const platform::RegistryKey& key, const char* name, std::uint32_t& value) {
  std::array<std::uint8_t, 4> bytes{};
  std::uint32_t size = 0;
  if (QueryValueOf(key, name, ValueKind::kNumber, bytes, size) != ERROR_SUCCESS) return false;
  if (size != bytes.size()) {
    platform::NoteFailureDetail(std::string(name) + ": " + std::to_string(size) +
                                " bytes where a number's 4 are needed");
    return false;
  }
  value = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
          static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  return true;
}

// A setting beyond the seven that the installer writes: absent keeps `value` as it is (the
// behaviour without the setting); present, it must be a number like the others.
bool ReadOptionalNumber(const platform::RegistryKey& key, const char* name, std::uint32_t& value,
                        bool* present = nullptr) {
  std::array<std::uint8_t, 4> bytes{};
  std::uint32_t size = 0;
  const bool found = key.QueryValue(name, bytes, size) != ERROR_FILE_NOT_FOUND;
  if (present != nullptr) *present = found;
  return !found || ReadNumber(key, name, value);
}

// The transfer port range: both values or neither. A range that cannot be meant as written
// stops the start, with the reason beside the event, rather than serve from ports that a
// firewall in front of the server does not open.
bool ReadTransferPorts(const platform::RegistryKey& key, ServerConfig& config) {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  bool hasLow = false;
  bool hasHigh = false;
  if (!ReadOptionalNumber(key, "TransferPortLow", low, &hasLow) ||
      !ReadOptionalNumber(key, "TransferPortHigh", high, &hasHigh)) {
    return false;
  }
  config.TransferPortLow = 0;
  config.TransferPortHigh = 0;
  if (!hasLow && !hasHigh) return true;
  if (hasLow && hasHigh && low >= kLowestTransferPort && high <= kHighestTransferPort &&
      low <= high) {
    config.TransferPortLow = low;
    config.TransferPortHigh = high;
    return true;
  }
  const auto shown = [](bool has, std::uint32_t value) {
    return has ? std::to_string(value) : std::string("absent");
  };
  platform::NoteFailureDetail("invalid transfer port range: TransferPortLow " + shown(hasLow, low) +
                              ", TransferPortHigh " + shown(hasHigh, high) +
                              " (both are needed, within 1024..65535, low not above high)");
  return false;
}

// A multi-string: its texts, each ended by a terminator, and an empty one at the end. Empty
// texts are passed over. Absent leaves `texts` empty.
bool ReadTexts(const platform::RegistryKey& key, const char* name,
               std::vector<std::string>& texts) {
  texts.clear();
  std::vector<std::uint8_t> bytes(kMaxRewriteRulesBytes);
  std::uint32_t size = 0;
  std::uint32_t type = 0;
  const Win32Error error = key.QueryValue(name, bytes, size, &type);
  if (error == ERROR_FILE_NOT_FOUND) return true;
  if (error != ERROR_SUCCESS || type != platform::kRegMultiSz) {
    platform::NoteFailureDetail(std::string(name) + (error == ERROR_MORE_DATA
                                                         ? ": more than 65536 bytes"
                                                         : ": cannot be read as REG_MULTI_SZ"));
    return false;
  }
  std::string text;
  for (std::uint32_t i = 0; i < size && i < bytes.size(); ++i) {
    if (bytes[i] != 0) {
      text.push_back(static_cast<char>(bytes[i]));
    } else if (!text.empty()) {
      texts.push_back(std::move(text));
      text.clear();
    }
  }
  if (!text.empty()) texts.push_back(std::move(text));
  return true;
}

// The settings that decide which local addresses are served. An entry that is neither an
// address nor an interface's name stops the start, named beside the event: served anyway, it
// would leave the server listening where it was told not to, or nowhere.
bool ReadListenAddresses(const platform::RegistryKey& key, ServerConfig& config) {
  config.ListenAddresses.clear();
  std::vector<std::string> texts;
  if (!ReadTexts(key, "ListenAddresses", texts)) return false;
  for (const std::string& text : texts) {
    // A text of blanks alone is passed over, as an empty one is.
    if (text.find_first_not_of(" \t") == std::string::npos) continue;
    ListenEntry entry;
    std::string reason;
    if (!ParseListenEntry(text, entry, reason)) {
      platform::NoteFailureDetail("ListenAddresses: " + reason);
      return false;
    }
    config.ListenAddresses.push_back(std::move(entry));
  }
  return true;
}

// A text beyond the seven that the installer writes: absent leaves `value` empty.
bool ReadOptionalText(const platform::RegistryKey& key, const char* name, std::string& value) {
  value.clear();
  std::array<std::uint8_t, 4> probe{};
  std::uint32_t size = 0;
  if (key.QueryValue(name, probe, size) == ERROR_FILE_NOT_FOUND) return true;
  std::array<char, platform::kMaxPath> text{};
  if (!ReadText(key, name, text)) {
    platform::NoteFailureDetail(std::string(name) + ": not a text of fewer than " +
                                std::to_string(text.size()) + " characters");
    return false;
  }
  value = text.data();
  return true;
}

// The numbers beyond the seven that the installer writes, each taken into its bounds; absent,
// a number keeps the value that means the behaviour without it.
struct OptionalNumber {
  const char* name;
  std::uint32_t ServerConfig::*field;
  std::uint32_t lowest = 0;
  std::uint32_t highest = UINT32_MAX;
};
const OptionalNumber kOptionalNumbers[] = {
    {"EventLoops", &ServerConfig::EventLoops, 0, kMaxEventLoops},
    {"MaxTransfers", &ServerConfig::MaxTransfers},
    {"SinglePort", &ServerConfig::SinglePort},
    {"EnableIPv6", &ServerConfig::EnableIPv6},
    {"RetransmitBackoff", &ServerConfig::RetransmitBackoff},
    {"IgnoreBlocksAhead", &ServerConfig::IgnoreBlocksAhead},
    {"IgnoreRequestCopies", &ServerConfig::IgnoreRequestCopies},
    {"DallyAfterWrite", &ServerConfig::DallyAfterWrite},
    {"RootRelativeNames", &ServerConfig::RootRelativeNames},
    {"ClientDirectories", &ServerConfig::ClientDirectories},
    {"FollowAddresses", &ServerConfig::FollowAddresses},
    {"NegotiateOptions", &ServerConfig::NegotiateOptions},
    {"MaxBlockSize", &ServerConfig::MaxBlockSize, kMinBlockSizeSetting, kMaxBlockSizeSetting},
    {"MaxWindowSize", &ServerConfig::MaxWindowSize, 1, kMaxWindowSizeSetting},
};

void LowerCase(std::span<char> text) {
  platform::LowerCaseAscii(text.first(std::strlen(text.data())));
}

int ReadSettings(ServerConfig& config) {
  platform::RegistryKey key;
  if (key.Open(kParametersKey) != ERROR_SUCCESS) return 0;

  std::span<char> directory(config.DefaultDirectory);
  if (!ReadText(key, "DefaultDirectory", directory)) return 0;
  if (directory[0] == '\0') {
    // A current directory that does not fit leaves the field empty, which the start refuses.
    std::uint32_t length = 0;
    if (platform::GetCurrentDirectory(directory, length) != ERROR_SUCCESS ||
        length >= directory.size()) {
      std::ranges::fill(directory, '\0');
    }
  }
  LowerCase(directory);

  if (!ReadText(key, "LogFile", config.LogFile)) return 0;
  LowerCase(config.LogFile);

  if (!ReadNumber(key, "EnableLogging", config.EnableLogging)) return 0;
  if (config.LogFile[0] == '\0') config.EnableLogging = 0;

  std::uint32_t number = 0;
  if (!ReadNumber(key, "Timeout", number)) return 0;
  config.Timeout = std::clamp(static_cast<std::int32_t>(number), kMinTimeout, kMaxTimeout);
  if (!ReadNumber(key, "MaxRetransmit", number)) return 0;
  config.MaxRetransmit = std::min(number, kMaxRetransmitLimit);
  if (!ReadNumber(key, "OverwriteExisting", config.OverwriteExisting)) return 0;
  if (!ReadNumber(key, "LimitToDefaultDirectory", config.LimitToDefaultDirectory)) return 0;

  const ServerConfig defaults;
  for (const OptionalNumber& setting : kOptionalNumbers) {
    std::uint32_t& value = config.*setting.field;
    value = defaults.*setting.field;
    if (!ReadOptionalNumber(key, setting.name, value)) return 0;
    value = std::clamp(value, setting.lowest, setting.highest);
  }
  if (!ReadTransferPorts(key, config) || !ReadTexts(key, "RewriteRules", config.RewriteRules) ||
      !ReadListenAddresses(key, config) ||
      !ReadOptionalText(key, "MetricsAddress", config.MetricsAddress) ||
      !ReadOptionalText(key, "TransferRecordFile", config.TransferRecordFile)) {
    return 0;
  }
  return 1;
}

}  // namespace

int LoadServerConfig(ServerConfig& config) {
  if (ReadSettings(config) != 0) return 1;
  config.EnableLogging = 0;
  return 0;
}

}  // namespace quoril
