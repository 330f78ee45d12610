// Netascii conversion between the file's form and the wire's, one DATA block at a time.
// Octet data passes through unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/files.h"
#include "tftp/packets.h"

namespace quoril {

// File to wire, for a read request. One object per transfer.
class NetasciiReader {
 public:
  // Fills `buffer` (the 512-byte data area of a DATA packet) with the next block; answers
  // the number of bytes placed (0 to 512) or -1 when reading the file failed, with the
  // platform's error in `error`.
  int ReadBlock(std::span<std::uint8_t, kDataSize> buffer, platform::File& file, bool binary,
                Win32Error& error);

 private:
  // The state a block hands to the next.
  bool pendingLineFeed = false;
  bool hasPendingByte = false;
  std::uint8_t pendingByte = 0;
  bool blockEndedInCr = false;
  // Bytes read from the file but not yet converted (the file is read in large pieces).
  std::uint8_t readAhead_[4096];
  std::size_t readAheadStart_ = 0;
  std::size_t readAheadEnd_ = 0;
  bool endOfFile_ = false;
};

// Wire to file, for a write request. One object per transfer.
class NetasciiWriter {
 public:
  // Stores the `count` bytes of `data` (at most 512); answers 1 when every byte to be
  // stored was written, 0 when a write failed, with the platform's error in `error`.
  int WriteBlock(std::span<const std::uint8_t> data, platform::File& file, std::size_t count,
                 bool binary, Win32Error& error);

 private:
  std::uint8_t previousByte = 0;
};

}  // namespace quoril
