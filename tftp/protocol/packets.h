// TFTP packets (RFC 1350): formats, SendPacket and the mapping of failures to ERROR packets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "config/transfer_log.h"
#include "platform/sockets.h"
#include "platform/win32_error.h"

namespace quoril {

// Sizes fixed by RFC 1350 for 512-byte blocks; a negotiated block size changes these.
inline constexpr std::size_t kHeaderSize = 4;
inline constexpr std::size_t kDataSize = 512;
inline constexpr std::size_t kMaxPacket = kHeaderSize + kDataSize;  // 516
// The longest file name a request may carry, terminator excluded.
inline constexpr std::size_t kMaxRequestName = 260;

using PacketBuffer = std::array<std::uint8_t, kMaxPacket>;

enum Opcode : std::uint16_t {
  kOpcodeRrq = 1,
  kOpcodeWrq = 2,
  kOpcodeData = 3,
  kOpcodeAck = 4,
  kOpcodeError = 5,
  kOpcodeOack = 6,  // RFC 2347
};

// The service's own last-error values, beside the Win32 ones (bit 28 set).
inline constexpr Win32Error TRANSFER_ERROR_READ_FAILED = 0x10000000;
inline constexpr Win32Error TRANSFER_ERROR_ILLEGAL_OPCODE = 0x10000004;
inline constexpr Win32Error TRANSFER_ERROR_UNKNOWN_TID = 0x10000005;
inline constexpr Win32Error TRANSFER_ERROR_NO_SUCH_USER = 0x10000007;
inline constexpr Win32Error TRANSFER_ERROR_BAD_BLOCK = 0x10000008;
// A write whose announced size (tsize) exceeds the free space of the target's file system.
inline constexpr Win32Error TRANSFER_ERROR_ALLOCATION_EXCEEDED = 0x10000009;

// Reads and writes a 16-bit field in network byte order at `offset` of a packet.
std::uint16_t ReadField16(std::span<const std::uint8_t> packet, std::size_t offset);
void WriteField16(std::span<std::uint8_t> packet, std::size_t offset, std::uint16_t value);

// Writes a DATA header (opcode 3, block) and answers the packet length for `dataLength`
// data bytes, at most what `packet` holds behind the header.
std::uint16_t BuildDataHeader(std::span<std::uint8_t> packet, std::uint16_t block,
                              std::size_t dataLength);
// Writes an ACK of `block`; answers its length, 4.
std::uint16_t BuildAck(PacketBuffer& packet, std::uint16_t block);

// A request (RRQ or WRQ) as read from its datagram.
struct ParsedRequest {
  std::uint16_t opcode = 0;
  // Where the name starts (offset 2) and its length without the terminator.
  std::size_t nameLength = 0;
  bool nameTerminated = false;  // a zero byte ends the name within the request
  bool modeTerminated = false;  // a zero byte ends the mode within the request
  bool binary = false;          // mode is octet
  // Where options may begin: right after the mode's terminator (when it has one).
  std::size_t optionsStart = 0;
};

// Reads the opcode, measures the name and finds the mode of a request, never beyond the
// 516 bytes of `request`. The first five bytes of the mode are lower-cased in place, as
// the octet rule asks.
ParsedRequest ParseRequest(PacketBuffer& request);

// Builds the ERROR packet for the failure `lastError` into `packet` and the description
// for the log into `description`; answers the packet's length.
std::uint16_t ErrorMapping(Win32Error lastError, PacketBuffer& packet, Description& description);

// One sendto of `length` bytes of `packet`; true when the datagram was accepted.
bool SendPacket(const platform::UdpSocket& socket, std::span<const std::uint8_t> packet,
                std::uint16_t length, const platform::SocketAddress& to);

}  // namespace quoril
