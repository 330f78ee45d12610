// The request parser, with any datagram the listener hands over: up to 516 bytes, zeros
// after its end. The parse must find the name and the mode where they are, never read or
// change a byte it should not, and agree with itself when run again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tests/fuzz/fuzz_check.h"
#include "tftp/protocol/packets.h"

namespace {

using quoril::kMaxPacket;
using quoril::PacketBuffer;

bool IsOctet(const PacketBuffer& packet, std::size_t start, std::size_t end) {
  static constexpr char kOctet[] = "octet";
  if (end - start != 5) return false;
  for (std::size_t i = 0; i < 5; ++i) {
    char c = static_cast<char>(packet[start + i]);
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kOctet[i]) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxPacket) return 0;  // longer datagrams never reach a session
  PacketBuffer request{};
  std::memcpy(request.data(), data, size);
  const PacketBuffer original = request;
  const quoril::ParsedRequest parsed = quoril::ParseRequest(request);

  FUZZ_CHECK(parsed.opcode == ((original[0] << 8) | original[1]));
  const std::size_t nameEnd = 2 + parsed.nameLength;
  FUZZ_CHECK(nameEnd <= kMaxPacket);
  FUZZ_CHECK(std::find(original.begin() + 2, original.begin() + nameEnd, 0) ==
             original.begin() + nameEnd);
  FUZZ_CHECK(parsed.nameTerminated == (nameEnd < kMaxPacket));
  if (parsed.nameTerminated) FUZZ_CHECK(original[nameEnd] == 0);

  // The mode: up to the next zero; only its first five bytes may change, by lower-casing.
  const std::size_t modeStart = std::min(nameEnd + 1, kMaxPacket);
  const std::size_t modeEnd =
      std::find(original.begin() + modeStart, original.end(), 0) - original.begin();
  FUZZ_CHECK(!parsed.modeTerminated || parsed.nameTerminated);
  FUZZ_CHECK(parsed.modeTerminated == (parsed.nameTerminated && modeEnd < kMaxPacket));
  for (std::size_t i = 0; i < kMaxPacket; ++i) {
    if (request[i] == original[i]) continue;
    FUZZ_CHECK(parsed.nameTerminated && i >= modeStart && i < std::min(modeStart + 5, modeEnd));
    FUZZ_CHECK(original[i] >= 'A' && original[i] <= 'Z' && request[i] == original[i] + 32);
  }
  FUZZ_CHECK(parsed.binary == (parsed.modeTerminated && IsOctet(original, modeStart, modeEnd)));

  // Options (RFC 2347) follow the mode's terminator: their parse belongs here too, with the
  // same bounds, once requests carry them.

  PacketBuffer again = request;
  const quoril::ParsedRequest second = quoril::ParseRequest(again);
  FUZZ_CHECK(again == request);
  FUZZ_CHECK(second.opcode == parsed.opcode && second.nameLength == parsed.nameLength &&
             second.nameTerminated == parsed.nameTerminated &&
             second.modeTerminated == parsed.modeTerminated && second.binary == parsed.binary);
  return 0;
}
