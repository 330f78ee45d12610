// Netascii conversion between the file's form and the wire's, one DATA block at a time.
// Octet data passes through unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/files.h"
#include "tftp/packets.h"

namespace quoril {

// File to wire, for a read request. One object per transfer.
class NetasciiReader {
 public:
  // Fills `buffer` (the data area of a DATA packet: 512 bytes, or the negotiated block
  // size) with the next block; answers the number of bytes placed (0 to buffer.size()) or -1
  // when reading the file failed, with the platform's error in `error`.
  int ReadBlock(std::span<std::uint8_t> buffer, platform::File& file, bool binary,
                Win32Error& error);

 private:
  // The state a block hands to the next.
  bool pendingLineFeed = false;
  bool hasPendingByte = false;
  std::uint8_t pendingByte = 0;
  bool blockEndedInCr = false;
  // Bytes read from the file but not yet converted: the file is read in larger pieces, and
  // what the last block did not use waits here for the next. An octet transfer reads its
  // first blocks straight into the packet and takes the read-ahead only once the file has
  // gone on past them: most files a boot server sends are small, and a transfer that holds
  // no buffer of its own lets a server hold thousands at once. The read-ahead is small for
  // the same reason; a read per 8 blocks costs little more than one per 32.
  static constexpr std::uint32_t kDirectBlocks = 8;
  static constexpr std::size_t kReadAheadSize = 4096;
  std::unique_ptr<std::uint8_t[]> readAhead_;
  std::size_t readAheadStart_ = 0;
  std::size_t readAheadEnd_ = 0;
  std::uint32_t directBlocks_ = 0;

  int ReadBinary(std::span<std::uint8_t> buffer, platform::File& file, Win32Error& error);
  // Fills `buffer` from the file itself, as far as the file goes.
  int ReadDirect(std::span<std::uint8_t> buffer, platform::File& file, Win32Error& error);
  // Makes at least one unconverted byte available; answers 1, 0 at the end of the file,
  // -1 when the read failed.
  int Refill(platform::File& file, Win32Error& error);
};

// Wire to file, for a write request. One object per transfer.
class NetasciiWriter {
 public:
  // Stores the first `count` bytes of `data` (one block); answers 1 when every byte to be
  // stored was written, 0 when a write failed, with the platform's error in `error`.
  int WriteBlock(std::span<const std::uint8_t> data, platform::File& file, std::size_t count,
                 bool binary, Win32Error& error);

 private:
  std::uint8_t previousByte = 0;
};

}  // namespace quoril
