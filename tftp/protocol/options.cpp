#include "tftp/protocol/options.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <string_view>

#include "platform/strings.h"

namespace quoril {

namespace {

using Grant = bool (*)(std::uint64_t asked, const OptionLimits& limits, std::uint64_t& granted);

struct OptionRow {
  std::string_view name;  // lower case, as the OACK spells it
  OptionName option;
  std::uint64_t minimum;
  std::uint64_t maximum;
  Grant grant;
};

bool GrantBlockSize(std::uint64_t asked, const OptionLimits& limits, std::uint64_t& granted) {
  granted = std::clamp<std::uint64_t>(std::min<std::uint64_t>(asked, limits.largestBlock),
                                      kMinBlockSize, kMaxBlockSize);
  return true;
}

bool GrantTimeout(std::uint64_t asked, const OptionLimits&, std::uint64_t& granted) {
  granted = asked;
  return true;
}

// A read in netascii mode leaves tsize out: its size on the wire is known only once the
// whole file has been converted. So does an empty file: curl takes a tsize of 0 for an
// invalid answer and gives up, and RFC 2347 lets a server leave out any option.
bool GrantTransferSize(std::uint64_t asked, const OptionLimits& limits, std::uint64_t& granted) {
  if (limits.isWrite) {
    granted = asked;
    return true;
  }
  granted = limits.fileSize;
  return limits.fileSizeKnown && limits.fileSize > 0;
}

bool GrantWindowSize(std::uint64_t asked, const OptionLimits& limits, std::uint64_t& granted) {
  granted = std::clamp<std::uint64_t>(std::min<std::uint64_t>(asked, limits.largestWindow), 1,
                                      kMaxWindowSize);
  return true;
}

constexpr OptionRow kOptions[kOptionCount] = {
    {"blksize", OptionName::kBlockSize, kMinBlockSize, kMaxBlockSize, GrantBlockSize},
    {"timeout", OptionName::kTimeout, 1, 255, GrantTimeout},
    {"tsize", OptionName::kTransferSize, 0, std::numeric_limits<std::uint64_t>::max(),
     GrantTransferSize},
    {"windowsize", OptionName::kWindowSize, 1, kMaxWindowSize, GrantWindowSize},
};

const OptionRow& RowOf(OptionName option) {
  return kOptions[static_cast<std::size_t>(option)];
}

const OptionRow* FindOption(std::span<const std::uint8_t> name) {
  const std::string_view text(reinterpret_cast<const char*>(name.data()), name.size());
  for (const OptionRow& row : kOptions) {
    if (platform::EqualIgnoringAsciiCase(text, row.name)) return &row;
  }
  return nullptr;
}

// Decimal digits only, at least one, within [minimum, maximum].
bool ParseDecimal(std::span<const std::uint8_t> bytes, std::uint64_t minimum, std::uint64_t maximum,
                  std::uint64_t& value) {
  const char* const text = reinterpret_cast<const char*>(bytes.data());
  const auto [end, error] = std::from_chars(text, text + bytes.size(), value);
  return error == std::errc() && end == text + bytes.size() && value >= minimum && value <= maximum;
}

void Add(OptionSet& set, OptionName option, std::uint64_t value) {
  const auto index = static_cast<std::size_t>(option);
  set.present[index] = true;
  set.values[index] = value;
  set.order[set.count++] = option;
}

// The next zero byte at or after `from`, or bytes.size() when there is none.
std::size_t TerminatorFrom(std::span<const std::uint8_t> bytes, std::size_t from) {
  const auto end = std::find(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(), 0);
  return static_cast<std::size_t>(end - bytes.begin());
}

}  // namespace

OptionSet ParseOptions(std::span<const std::uint8_t> bytes) {
  OptionSet asked;
  std::array<bool, kOptionCount> seen{};
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t nameEnd = TerminatorFrom(bytes, at);
    if (nameEnd >= bytes.size()) break;
    const std::size_t valueStart = nameEnd + 1;
    const std::size_t valueEnd = TerminatorFrom(bytes, valueStart);
    if (valueEnd >= bytes.size()) break;
    const OptionRow* row = FindOption(bytes.subspan(at, nameEnd - at));
    if (row != nullptr && !seen[static_cast<std::size_t>(row->option)]) {
      seen[static_cast<std::size_t>(row->option)] = true;
      std::uint64_t value = 0;
      if (ParseDecimal(bytes.subspan(valueStart, valueEnd - valueStart), row->minimum, row->maximum,
                       value)) {
        Add(asked, row->option, value);
      }
    }
    at = valueEnd + 1;
  }
  return asked;
}

OptionSet GrantOptions(const OptionSet& asked, const OptionLimits& limits) {
  OptionSet granted;
  for (std::size_t k = 0; k < asked.count; ++k) {
    const OptionName option = asked.order[k];
    std::uint64_t value = 0;
    if (RowOf(option).grant(asked.Value(option), limits, value)) Add(granted, option, value);
  }
  return granted;
}

std::uint16_t BuildOack(PacketBuffer& packet, const OptionSet& granted) {
  WriteField16(packet, 0, kOpcodeOack);
  std::size_t at = 2;
  // Four names and four numbers of at most 20 digits each always fit; the bounds only keep
  // the writing inside the packet.
  const auto put = [&](std::string_view text) {
    if (at >= packet.size()) return;
    const std::size_t count = std::min(text.size(), packet.size() - 1 - at);
    std::copy_n(text.begin(), count, packet.begin() + static_cast<std::ptrdiff_t>(at));
    at += count;
    packet[at++] = 0;
  };
  for (std::size_t k = 0; k < granted.count; ++k) {
    const OptionName option = granted.order[k];
    put(RowOf(option).name);
    std::array<char, 20> digits{};
    const char* const end =
        std::to_chars(digits.data(), digits.data() + digits.size(), granted.Value(option)).ptr;
    put(std::string_view(digits.data(), end));
  }
  return static_cast<std::uint16_t>(at);
}

}  // namespace quoril
