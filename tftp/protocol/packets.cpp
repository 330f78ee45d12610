#include "tftp/protocol/packets.h"

#include <algorithm>
#include <cstdio>

#include "platform/strings.h"
#include "resources/string_ids.h"

namespace quoril {

namespace {

struct ErrorRow {
  Win32Error lastError;
  std::uint16_t code;  // TFTP error code, RFC 1350
  std::uint32_t stringId;
};

constexpr ErrorRow kErrorRows[] = {
    {ERROR_FILE_NOT_FOUND, 1, IDS_FILE_NOT_FOUND},
    {ERROR_PATH_NOT_FOUND, 0, IDS_INVALID_DIRECTORY},
    {ERROR_ACCESS_DENIED, 2, IDS_ACCESS_DENIED},
    {ERROR_SHARING_VIOLATION, 0, IDS_SHARING_VIOLATION},
    {ERROR_FILE_EXISTS, 6, IDS_FILE_EXISTS},
    {ERROR_DISK_FULL, 3, IDS_DISK_FULL},
    {TRANSFER_ERROR_ILLEGAL_OPCODE, 4, IDS_ILLEGAL_OPCODE},
    {TRANSFER_ERROR_UNKNOWN_TID, 5, IDS_UNKNOWN_TID},
    {TRANSFER_ERROR_NO_SUCH_USER, 7, IDS_NO_SUCH_USER},
    {TRANSFER_ERROR_BAD_BLOCK, 0, IDS_BAD_BLOCK},
    {TRANSFER_ERROR_ALLOCATION_EXCEEDED, 3, IDS_ALLOCATION_EXCEEDED},
};

// Every failure without a row of its own; the description names the value instead.
constexpr ErrorRow kUndefinedRow = {0, 0, IDS_UNDEFINED_ERROR};

const ErrorRow& FindErrorRow(Win32Error lastError) {
  const ErrorRow* row = std::ranges::find(kErrorRows, lastError, &ErrorRow::lastError);
  return row != std::ranges::end(kErrorRows) ? *row : kUndefinedRow;
}

}  // namespace

std::uint16_t ReadField16(std::span<const std::uint8_t> packet, std::size_t offset) {
  if (offset > packet.size() || packet.size() - offset < 2) return 0;
  return static_cast<std::uint16_t>((packet[offset] << 8) | packet[offset + 1]);
}

void WriteField16(std::span<std::uint8_t> packet, std::size_t offset, std::uint16_t value) {
  if (offset > packet.size() || packet.size() - offset < 2) return;
  packet[offset] = static_cast<std::uint8_t>(value >> 8);
  packet[offset + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

std::uint16_t BuildDataHeader(std::span<std::uint8_t> packet, std::uint16_t block,
                              std::size_t dataLength) {
  WriteField16(packet, 0, kOpcodeData);
  WriteField16(packet, 2, block);
  const std::size_t room = packet.size() > kHeaderSize ? packet.size() - kHeaderSize : 0;
  return static_cast<std::uint16_t>(kHeaderSize + std::min(dataLength, room));
}

std::uint16_t BuildAck(PacketBuffer& packet, std::uint16_t block) {
  WriteField16(packet, 0, kOpcodeAck);
  WriteField16(packet, 2, block);
  return static_cast<std::uint16_t>(kHeaderSize);
}

ParsedRequest ParseRequest(PacketBuffer& request) {
  ParsedRequest parsed;
  parsed.opcode = ReadField16(request, 0);

  constexpr std::size_t kNameStart = 2;
  std::size_t end = kNameStart;
  while (end < request.size() && request[end] != 0) ++end;
  parsed.nameLength = end - kNameStart;
  parsed.nameTerminated = end < request.size();
  if (!parsed.nameTerminated) return parsed;

  const std::size_t modeStart = end + 1;
  std::size_t modeEnd = modeStart;
  while (modeEnd < request.size() && request[modeEnd] != 0) ++modeEnd;
  parsed.modeTerminated = modeEnd < request.size();
  parsed.optionsStart = parsed.modeTerminated ? modeEnd + 1 : request.size();

  // Only the five bytes the octet test looks at are lower-cased, and never past the
  // mode's end: the bytes after its terminator are not part of the request.
  constexpr std::size_t kOctetLength = 5;
  const std::size_t lowered = std::min(kOctetLength, modeEnd - modeStart);
  platform::LowerCaseAscii(
      std::span<char>(reinterpret_cast<char*>(request.data() + modeStart), lowered));

  // "octet" exactly: a longer word that begins with octet is netascii.
  static constexpr std::uint8_t kOctet[kOctetLength] = {'o', 'c', 't', 'e', 't'};
  parsed.binary = parsed.modeTerminated && modeEnd - modeStart == kOctetLength &&
                  std::equal(kOctet, kOctet + kOctetLength, request.begin() + modeStart);
  return parsed;
}

std::uint16_t ErrorMapping(Win32Error lastError, PacketBuffer& packet, Description& description) {
  const ErrorRow& row = FindErrorRow(lastError);
  WriteField16(packet, 0, kOpcodeError);
  WriteField16(packet, 2, row.code);

  // A text that cannot be loaded leaves an empty message and description: the packet is
  // then the header and a lone terminator.
  std::span<char> message(reinterpret_cast<char*>(packet.data() + kHeaderSize), kDataSize);
  const int length = platform::LoadString(row.stringId, message);

  if (&row == &kUndefinedRow) {
    std::snprintf(description.data(), description.size(), "Undefined: GetLastError = %d",
                  static_cast<int>(static_cast<std::int32_t>(lastError)));
  } else {
    platform::LoadString(row.stringId, description);
  }
  return static_cast<std::uint16_t>(kHeaderSize + static_cast<std::size_t>(length) + 1);
}

bool SendPacket(const platform::UdpSocket& socket, std::span<const std::uint8_t> packet,
                std::uint16_t length, const platform::SocketAddress& to) {
  if (length > packet.size()) return false;
  return socket.SendTo(packet.first(length), to) == ERROR_SUCCESS;
}

}  // namespace quoril
