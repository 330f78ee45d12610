// TFTP options (RFC 2347): what a request asks for after its mode, what the server grants,
// and the OACK that tells the client.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "tftp/protocol/packets.h"

namespace quoril {

// The options this server knows, in the order of its option table.
enum class OptionName : std::uint8_t {
  kBlockSize,     // blksize, RFC 2348
  kTimeout,       // timeout, RFC 2349
  kTransferSize,  // tsize, RFC 2349
  kWindowSize,    // windowsize, RFC 7440
};
inline constexpr std::size_t kOptionCount = 4;

// Bounds that the RFCs set.
inline constexpr std::uint32_t kMinBlockSize = 8;
inline constexpr std::uint32_t kMaxBlockSize = 65464;
inline constexpr std::uint32_t kMaxWindowSize = 65535;

// Options with their values, in the order the request named them.
struct OptionSet {
  std::array<OptionName, kOptionCount> order{};
  std::size_t count = 0;
  std::array<bool, kOptionCount> present{};
  std::array<std::uint64_t, kOptionCount> values{};

  bool Has(OptionName name) const { return present[static_cast<std::size_t>(name)]; }
  std::uint64_t Value(OptionName name) const { return values[static_cast<std::size_t>(name)]; }
};

// Reads the name/value pairs in `bytes` (a request's bytes after its mode, up to the end of
// the datagram, never beyond). Names are matched without regard to case and the first
// occurrence of a name counts. An unknown name, a value without its terminator, empty,
// not decimal or out of range is left out; bytes that form no pair end the reading.
OptionSet ParseOptions(std::span<const std::uint8_t> bytes);

// What a transfer can grant.
struct OptionLimits {
  std::uint32_t largestBlock = kMaxBlockSize;  // MaxBlockSize, and the MTU allows
  std::uint32_t largestWindow = kMaxWindowSize;
  // A read answers tsize with the file's size when it is known before sending (octet mode);
  // a write echoes the client's.
  bool isWrite = false;
  bool fileSizeKnown = false;
  std::uint64_t fileSize = 0;
};

// The options of `asked` that are granted, with the values granted, in the order asked.
OptionSet GrantOptions(const OptionSet& asked, const OptionLimits& limits);

// Writes the OACK listing `granted` into `packet`; answers its length.
std::uint16_t BuildOack(PacketBuffer& packet, const OptionSet& granted);

}  // namespace quoril
