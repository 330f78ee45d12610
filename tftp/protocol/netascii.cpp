#include "tftp/protocol/netascii.h"

#include <algorithm>

namespace quoril {

namespace {

constexpr std::uint8_t kNul = 0x00;
constexpr std::uint8_t kLf = 0x0A;
constexpr std::uint8_t kCr = 0x0D;

}  // namespace

int NetasciiReader::Refill(platform::File& file, Win32Error& error) {
  if (!readAhead_) readAhead_ = std::make_unique_for_overwrite<std::uint8_t[]>(kReadAheadSize);
  std::size_t bytesRead = 0;
  const Win32Error result =
      file.ReadAt(std::span(readAhead_.get(), kReadAheadSize), offset_, bytesRead);
  if (result != ERROR_SUCCESS) {
    error = result;
    return -1;
  }
  readAheadStart_ = 0;
  readAheadEnd_ = std::min(bytesRead, kReadAheadSize);
  offset_ += readAheadEnd_;
  return readAheadEnd_ > 0 ? 1 : 0;
}

int NetasciiReader::ReadDirect(std::span<std::uint8_t> buffer, platform::File& file,
                               Win32Error& error) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    std::size_t bytesRead = 0;
    const Win32Error result = file.ReadAt(std::span(buffer).subspan(filled), offset_, bytesRead);
    if (result != ERROR_SUCCESS) {
      error = result;
      return -1;
    }
    if (bytesRead == 0) break;
    bytesRead = std::min(bytesRead, buffer.size() - filled);
    filled += bytesRead;
    offset_ += bytesRead;
  }
  return static_cast<int>(filled);
}

int NetasciiReader::ReadBinary(std::span<std::uint8_t> buffer, platform::File& file,
                               Win32Error& error) {
  // Served from the read-ahead, so that a file read serves many blocks. A read may deliver
  // less than asked before the end of the file (a pipe-backed or network file); only 0 bytes
  // means the end, and only the last block may be short.
  if (!readAhead_) {
    const int count = ReadDirect(buffer, file, error);
    // A file that goes on past its first blocks is read ahead from the next block on.
    if (count == static_cast<int>(buffer.size()) && ++directBlocks_ > kDirectBlocks) {
      readAhead_ = std::make_unique_for_overwrite<std::uint8_t[]>(kReadAheadSize);
    }
    return count;
  }
  const std::size_t size = buffer.size();
  std::size_t filled = 0;
  while (filled < size) {
    if (readAheadStart_ == readAheadEnd_) {
      // What would fill the read-ahead at least once goes straight into the packet.
      if (size - filled >= kReadAheadSize) {
        const int count = ReadDirect(buffer.subspan(filled), file, error);
        if (count < 0) return -1;
        filled += static_cast<std::size_t>(count);
        break;
      }
      const int available = Refill(file, error);
      if (available < 0) return -1;
      if (available == 0) break;
    }
    const std::size_t count = std::min(size - filled, readAheadEnd_ - readAheadStart_);
    std::copy_n(readAhead_.get() + readAheadStart_, count, buffer.data() + filled);
    readAheadStart_ += count;
    filled += count;
  }
  return static_cast<int>(filled);
}

ReaderMark NetasciiReader::Mark() const {
  return {offset_ - (readAheadEnd_ - readAheadStart_), carry_};
}

void NetasciiReader::Resume(const ReaderMark& mark) {
  carry_ = mark.carry;
  // A mark within the read-ahead is served from it; any other is read from the file again.
  const std::uint64_t buffered = offset_ - readAheadEnd_;
  if (mark.offset >= buffered && mark.offset <= offset_) {
    readAheadStart_ = static_cast<std::size_t>(mark.offset - buffered);
  } else {
    readAheadStart_ = readAheadEnd_ = 0;
    offset_ = mark.offset;
  }
}

bool NetasciiReader::Skip(std::uint32_t blocks, std::span<std::uint8_t> room, platform::File& file,
                          bool binary, Win32Error& error) {
  error = ERROR_SUCCESS;
  if (binary) {
    ReaderMark mark = Mark();
    mark.offset += std::uint64_t{blocks} * room.size();
    Resume(mark);
    return true;
  }
  for (std::uint32_t k = 0; k < blocks; ++k) {
    if (ReadBlock(room, file, false, error) < 0) return false;
  }
  return true;
}

int NetasciiReader::ReadBlock(std::span<std::uint8_t> buffer, platform::File& file, bool binary,
                              Win32Error& error) {
  error = ERROR_SUCCESS;
  if (binary) return ReadBinary(buffer, file, error);
  const std::size_t size = buffer.size();
  if (size == 0) return 0;
  const std::size_t last = size - 1;

  // What the previous block owes this one. At most one flag is set between two calls.
  std::size_t i = 0;
  if (carry_.pendingLineFeed) {
    buffer[0] = kLf;
    i = 1;
    carry_.pendingLineFeed = false;
  }
  if (carry_.hasPendingByte) {
    buffer[0] = carry_.pendingByte;
    i = 1;
    carry_.hasPendingByte = false;
  }

  while (i < size) {
    if (readAheadStart_ == readAheadEnd_) {
      const int available = Refill(file, error);
      if (available < 0) return -1;
      // A file that ends with CR sends that CR as its last byte, nothing added.
      if (available == 0) return static_cast<int>(i);
    }

    // Text is mostly runs of bytes that are neither CR nor LF, which stay as they are
    // unless a CR precedes them: those go over in one piece.
    if (!carry_.blockEndedInCr && (i == 0 || buffer[i - 1] != kCr)) {
      const std::uint8_t* const from = readAhead_.get() + readAheadStart_;
      const std::size_t limit = std::min(size - i, readAheadEnd_ - readAheadStart_);
      std::size_t run = 0;
      while (run < limit && from[run] != kCr && from[run] != kLf) ++run;
      if (run > 0) {
        std::copy_n(from, run, buffer.data() + i);
        i += run;
        readAheadStart_ += run;
        continue;
      }
    }

    const std::uint8_t c = readAhead_[readAheadStart_++];
    buffer[i] = c;

    if (carry_.blockEndedInCr) {
      // The successor of the CR that ended the previous block (so i is 0 here).
      carry_.blockEndedInCr = false;
      if (c == kLf) {
        i = 1;
      } else {
        buffer[0] = kNul;
        buffer[1] = c;
        i = 2;
      }
      continue;
    }

    // The previous character is the byte last placed in this block, as converted; at the
    // start of a block it is the byte just read itself, so a LF there always gets its CR.
    const std::uint8_t previous = i == 0 ? c : buffer[i - 1];
    if (c == kLf) {
      if (previous == kCr) {
        ++i;
        continue;
      }
      buffer[i] = kCr;
      if (i == last) {
        carry_.pendingLineFeed = true;
        i = size;
        break;
      }
      buffer[i + 1] = kLf;
      i += 2;
    } else if (i > 0 && previous == kCr) {
      // CR followed by anything but LF, NUL included, goes out as CR NUL and the byte.
      buffer[i] = kNul;
      if (i == last) {
        carry_.pendingByte = c;
        carry_.hasPendingByte = true;
        i = size;
        break;
      }
      buffer[i + 1] = c;
      i += 2;
    } else {
      ++i;
    }
  }

  // Only a CR read from the file hands its successor over; one inserted for a LF owes the LF.
  carry_.blockEndedInCr = buffer[last] == kCr && !carry_.pendingLineFeed;
  return static_cast<int>(size);
}

int NetasciiWriter::WriteBlock(std::span<const std::uint8_t> data, platform::File& file,
                               std::size_t count, bool binary, Win32Error& error) {
  error = ERROR_SUCCESS;
  count = std::min(count, data.size());
  std::span<const std::uint8_t> rest = data.first(count);
  if (binary) {
    if (rest.empty()) return 1;
    error = file.Write(rest);
    return error == ERROR_SUCCESS ? 1 : 0;
  }
  // A NUL right after a CR, also across a block boundary, is the netascii padding of a bare
  // CR and is dropped; it still counts as the previous byte. Converted a piece at a time, so
  // that a block of any size needs no more room than this.
  std::array<std::uint8_t, kDataSize> converted;
  while (!rest.empty()) {
    const std::span<const std::uint8_t> piece = rest.first(std::min(rest.size(), kDataSize));
    rest = rest.subspan(piece.size());
    std::size_t stored = 0;
    for (const std::uint8_t b : piece) {
      if (!(b == kNul && previousByte == kCr)) converted[stored++] = b;
      previousByte = b;
    }
    if (stored == 0) continue;
    error = file.Write(std::span<const std::uint8_t>(converted.data(), stored));
    if (error != ERROR_SUCCESS) return 0;
  }
  return 1;
}

}  // namespace quoril
