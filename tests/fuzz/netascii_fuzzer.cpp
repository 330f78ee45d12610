// Netascii both ways, with any file and any split of the wire into received blocks: a file
// read into DATA blocks and written back from them is the file again, its lone LFs (not
// after a CR) now CR LF, the local line end; an octet file comes back unchanged. On the wire
// every CR is followed by LF or NUL but a file's last CR, and every block but the last is
// full.
//
// Input: byte 0 picks the mode (bit 0: octet) and, with byte 1, how the wire is split into
// the blocks the writer gets; the rest is the file.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>

#include "platform/files.h"
#include "tests/fuzz/fuzz_check.h"
#include "tftp/protocol/netascii.h"

namespace {

using quoril::ERROR_SUCCESS;

using quoril::kDataSize;
namespace platform = quoril::platform;

// A scratch directory for the run, removed at its end.
struct Scratch {
  std::string path;
  Scratch() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quoril-fuzz-netascii-XXXXXX").string();
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    path = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

const std::string& Directory() {
  static const Scratch scratch;
  return scratch.path;
}

void WriteWhole(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  FUZZ_CHECK(out.good());
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The file as it is stored after a round trip: every LF not after a CR becomes CR LF.
std::string LocalForm(std::span<const std::uint8_t> file) {
  std::string out;
  for (std::size_t i = 0; i < file.size(); ++i) {
    if (file[i] == '\n' && (i == 0 || file[i - 1] != '\r')) out += '\r';
    out += static_cast<char>(file[i]);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const bool binary = (data[0] & 1) != 0;
  std::uint32_t split = (static_cast<std::uint32_t>(data[0]) << 8 | data[1]) | 1;
  const std::span<const std::uint8_t> content(data + 2, size - 2);
  const std::string source = Directory() + "/file";
  const std::string stored = Directory() + "/stored";
  WriteWhole(source, content);

  // File to wire.
  std::string wire;
  {
    platform::File file;
    FUZZ_CHECK(file.Open(source.c_str(), platform::kGenericRead, platform::kShareRead,
                         platform::kOpenExisting) == ERROR_SUCCESS);
    quoril::NetasciiReader reader;
    std::array<std::uint8_t, kDataSize> block;
    for (;;) {
      quoril::Win32Error error = ERROR_SUCCESS;
      const int count = reader.ReadBlock(block, file, binary, error);
      FUZZ_CHECK(count >= 0 && count <= static_cast<int>(kDataSize));
      wire.append(reinterpret_cast<const char*>(block.data()), static_cast<std::size_t>(count));
      if (count < static_cast<int>(kDataSize)) break;
      // Each block holds at least one byte of the file: the loop ends.
      FUZZ_CHECK(wire.size() <= 2 * content.size() + kDataSize);
    }
  }
  if (binary) {
    FUZZ_CHECK(wire == std::string(content.begin(), content.end()));
  } else {
    for (std::size_t i = 0; i < wire.size(); ++i) {
      if (wire[i] != '\r') continue;
      const bool last = i + 1 == wire.size();
      FUZZ_CHECK(last ? content.back() == '\r' : wire[i + 1] == '\n' || wire[i + 1] == '\0');
    }
  }

  // Wire to file, in blocks of any size up to 512 (0 included).
  {
    platform::File file;
    FUZZ_CHECK(file.Open(stored.c_str(), platform::kGenericWrite, platform::kShareNone,
                         platform::kCreateAlways) == ERROR_SUCCESS);
    quoril::NetasciiWriter writer;
    std::size_t at = 0;
    do {
      split = split * 1103515245u + 12345u;
      const std::size_t count =
          std::min<std::size_t>((split >> 16) % (kDataSize + 1), wire.size() - at);
      quoril::Win32Error error = ERROR_SUCCESS;
      const auto bytes = reinterpret_cast<const std::uint8_t*>(wire.data() + at);
      FUZZ_CHECK(writer.WriteBlock(std::span(bytes, count), file, count, binary, error) == 1);
      at += count;
    } while (at < wire.size());
  }
  const std::string back = ReadWhole(stored);
  if (binary) {
    FUZZ_CHECK(back == std::string(content.begin(), content.end()));
  } else {
    FUZZ_CHECK(back == LocalForm(content));
  }
  return 0;
}
