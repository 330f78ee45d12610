// The transfer log's line, with any values a transfer could hand it, the client's file name
// above all, and texts that lack their terminator: the line is always one whole line of the
// fixed columns, each moved right by what longer address texts need, the addresses and the
// file name in full, nothing written past its buffer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "config/transfer_log.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// Fills `field` from the input as far as it goes: whatever bytes, a terminator or none.
template <std::size_t N>
void Take(std::array<char, N>& field, const std::uint8_t*& data, std::size_t& size) {
  const std::size_t count = std::min(N, size);
  std::memcpy(field.data(), data, count);
  data += count;
  size -= count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  quoril::TransferLogEntry entry;
  entry.failed = (data[0] & 1) != 0;
  entry.binary = (data[0] & 2) != 0;
  entry.opcodeSet = (data[0] & 4) != 0;
  entry.opcode = static_cast<std::uint16_t>(data[1] << 8 | data[2]);
  data += 3;
  size -= 3;
  // The file name first, so that short inputs reach it.
  Take(entry.fullPath, data, size);
  Take(entry.description, data, size);
  Take(entry.clientText, data, size);
  Take(entry.localText, data, size);
  Take(entry.date, data, size);
  Take(entry.time, data, size);

  std::array<char, quoril::kMaxTransferLine> line;
  line.fill('\x7f');
  const std::size_t length = quoril::ComposeTransferLine(entry, line);
  const std::size_t name = std::min(strnlen(entry.fullPath.data(), entry.fullPath.size()),
                                    quoril::platform::kMaxPath - 1);
  // An address text longer than its column's room, less one space, moves what follows.
  const std::size_t client = strnlen(entry.clientText.data(), entry.clientText.size());
  const std::size_t local = strnlen(entry.localText.data(), entry.localText.size());
  const std::size_t localColumn = 48 + (client + 1 > 18 ? client + 1 - 18 : 0);
  const std::size_t shift = localColumn - 48 + (local + 1 > 17 ? local + 1 - 17 : 0);
  FUZZ_CHECK(length == 122 + shift + name + 2);
  FUZZ_CHECK(line[length] == '\0' && line[length - 2] == '\r' && line[length - 1] == '\n');
  FUZZ_CHECK(line[0] == (entry.failed ? 'E' : ' '));
  for (std::size_t i = 0; i + 2 < length; ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    FUZZ_CHECK(byte >= 0x20 && byte != 0x7f);
  }
  // The mode column holds the mode, whatever came before it.
  const char* mode = entry.binary ? "octet" : "netascii";
  FUZZ_CHECK(std::memcmp(line.data() + 65 + shift, mode, std::strlen(mode)) == 0);
  // Each shown whole: the addresses, each followed by a space, and the file name.
  const auto shownAt = [&](std::size_t column, const char* text, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const auto byte = static_cast<unsigned char>(text[i]);
      FUZZ_CHECK(line[column + i] == (byte < 0x20 || byte == 0x7f ? '?' : text[i]));
    }
  };
  shownAt(30, entry.clientText.data(), client);
  FUZZ_CHECK(line[30 + client] == ' ');
  shownAt(localColumn, entry.localText.data(), local);
  FUZZ_CHECK(line[localColumn + local] == ' ');
  shownAt(122 + shift, entry.fullPath.data(), name);
  return 0;
}
