// Netascii conversion between the file's form and the wire's, one DATA block at a time.
// Octet data passes through unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/files.h"
#include "tftp/protocol/packets.h"

namespace quoril {

// Where a reader stands between two blocks: all it needs to produce the same blocks again.
struct ReaderMark {
  std::uint64_t offset = 0;  // of the first file byte not yet converted
  // What a block hands to the next.
  struct Carry {
    bool pendingLineFeed = false;
    bool hasPendingByte = false;
    std::uint8_t pendingByte = 0;
    bool blockEndedInCr = false;
  } carry;
};

// File to wire, for a read request. One object per transfer. It reads the file at offsets of
// its own (File::ReadAt), so that it can go back to a mark and read blocks again.
class NetasciiReader {
 public:
  // Fills `buffer` (the data area of a DATA packet: 512 bytes, or the negotiated block
  // size) with the next block; answers the number of bytes placed (0 to buffer.size()) or -1
  // when reading the file failed, with the platform's error in `error`.
  int ReadBlock(std::span<std::uint8_t> buffer, platform::File& file, bool binary,
                Win32Error& error);
  // The reader's place before its next block.
  ReaderMark Mark() const;
  // Goes back (or on) to `mark`: the next blocks are those that followed it.
  void Resume(const ReaderMark& mark);
  // Passes `blocks` blocks of room.size() bytes that are known to be full: octet by
  // arithmetic, netascii by converting them into `room`. Answers false when reading failed.
  bool Skip(std::uint32_t blocks, std::span<std::uint8_t> room, platform::File& file, bool binary,
            Win32Error& error);

 private:
  ReaderMark::Carry carry_;
  // The file offset of the byte after those in the read-ahead.
  std::uint64_t offset_ = 0;
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
