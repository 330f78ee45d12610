#include "tftp/protocol/netascii.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace quoril {
namespace {

using Blocks = std::vector<std::string>;

// A directory of its own under the system's temporary directory, removed afterwards.
class NetasciiFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir_ = std::filesystem::temp_directory_path() /
           ("quoril-netascii-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }

  std::string Create(const std::string& name, const std::string& content) {
    std::ofstream(PathOf(name), std::ios::binary) << content;
    return PathOf(name);
  }

  std::string Contents(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  static platform::File Open(const std::string& path, std::uint32_t access,
                             std::uint32_t disposition) {
    platform::File file;
    EXPECT_EQ(file.Open(path.c_str(), access, platform::kShareRead, disposition), ERROR_SUCCESS)
        << path;
    return file;
  }

  // Every block of a read transfer, the short last one included.
  Blocks ReadAll(const std::string& content, bool binary) {
    platform::File file =
        Open(Create("read.txt", content), platform::kGenericRead, platform::kOpenExisting);
    NetasciiReader reader;
    Blocks blocks;
    for (;;) {
      std::array<std::uint8_t, kDataSize> buffer;
      Win32Error error = ERROR_SUCCESS;
      const int n = reader.ReadBlock(buffer, file, binary, error);
      EXPECT_GE(n, 0) << error;
      if (n < 0) break;
      blocks.emplace_back(reinterpret_cast<const char*>(buffer.data()), n);
      if (n < static_cast<int>(kDataSize)) break;
      if (blocks.size() > 1000) {
        ADD_FAILURE() << "the reader does not end";
        break;
      }
    }
    return blocks;
  }

  // What a write transfer of these DATA blocks leaves on disk.
  std::string WriteAll(const Blocks& blocks, bool binary) {
    const std::string path = PathOf("written.txt");
    {
      platform::File file = Open(path, platform::kGenericWrite, platform::kCreateAlways);
      NetasciiWriter writer;
      for (const std::string& block : blocks) {
        Win32Error error = ERROR_SUCCESS;
        const auto* data = reinterpret_cast<const std::uint8_t*>(block.data());
        EXPECT_EQ(
            writer.WriteBlock(std::span(data, block.size()), file, block.size(), binary, error), 1);
        EXPECT_EQ(error, ERROR_SUCCESS);
      }
    }
    return Contents(path);
  }

  std::filesystem::path dir_;
};

std::string Ordinary(std::size_t n) {
  return std::string(n, 'o');
}
std::string S(const char* bytes, std::size_t n) {
  return std::string(bytes, n);
}

struct ReadRow {
  const char* name;
  std::string file;
  Blocks wire;
};

TEST_F(NetasciiFiles, ReaderLineEnds) {
  const ReadRow rows[] = {
      {"A LF B", "A\nB", {"A\r\nB"}},
      {"A CR LF B", "A\r\nB", {"A\r\nB"}},
      {"A CR B", "A\rB", {S("A\r\0B", 4)}},
      {"A CR NUL B", S("A\r\0B", 4), {S("A\r\0\0B", 5)}},
      {"A CR CR B", "A\r\rB", {S("A\r\0\r\0B", 6)}},
      {"CR CR LF", "\r\r\n", {S("\r\0\r\n", 4)}},
      {"LF first", "\nA", {"\r\nA"}},
      {"LF LF", "\n\n", {"\r\n\r\n"}},
      {"NUL first", S("\0A", 2), {S("\0A", 2)}},
      {"CR at the end", "A\r", {"A\r"}},
      {"CR alone", "\r", {"\r"}},
      {"empty", "", {""}},
      {"512 ordinary", Ordinary(512), {Ordinary(512), ""}},
      {"1024 ordinary", Ordinary(1024), {Ordinary(512), Ordinary(512), ""}},
      {"1000 ordinary", Ordinary(1000), {Ordinary(512), Ordinary(488)}},
      {"256 lone LFs",
       std::string(256, '\n'),
       {[] {
          std::string s;
          for (int i = 0; i < 256; ++i) s += "\r\n";
          return s;
        }(),
        ""}},
  };
  for (const ReadRow& row : rows) EXPECT_EQ(ReadAll(row.file, false), row.wire) << row.name;
}

TEST_F(NetasciiFiles, ReaderBlockBoundaries) {
  const ReadRow rows[] = {
      {"511, LF y", Ordinary(511) + "\ny", {Ordinary(511) + "\r", "\ny"}},
      {"510, LF y", Ordinary(510) + "\ny", {Ordinary(510) + "\r\n", "y"}},
      {"511, LF", Ordinary(511) + "\n", {Ordinary(511) + "\r", "\n"}},
      {"511, LF LF", Ordinary(511) + "\n\n", {Ordinary(511) + "\r", "\n\r\n"}},
      {"511, CR LF", Ordinary(511) + "\r\n", {Ordinary(511) + "\r", "\n"}},
      {"511, CR y z", Ordinary(511) + "\ryz", {Ordinary(511) + "\r", S("\0yz", 3)}},
      {"511, CR NUL z", Ordinary(511) + S("\r\0z", 3), {Ordinary(511) + "\r", S("\0\0z", 3)}},
      {"511, CR CR", Ordinary(511) + "\r\r", {Ordinary(511) + "\r", S("\0\r", 2)}},
      {"510, CR y z", Ordinary(510) + "\ryz", {Ordinary(510) + S("\r\0", 2), "yz"}},
      {"510, CR NUL z", Ordinary(510) + S("\r\0z", 3), {Ordinary(510) + S("\r\0", 2), S("\0z", 2)}},
      {"510, CR CR LF", Ordinary(510) + "\r\r\n", {Ordinary(510) + S("\r\0", 2), "\r\n"}},
      {"510, CR LF LF", Ordinary(510) + "\r\n\n", {Ordinary(510) + "\r\n", "\r\n"}},
      {"509, CR y", Ordinary(509) + "\ry", {Ordinary(509) + S("\r\0y", 3), ""}},
      {"511, CR", Ordinary(511) + "\r", {Ordinary(511) + "\r", ""}},
      {"510, CR", Ordinary(510) + "\r", {Ordinary(510) + "\r"}},
      // The carried LF is followed by a whole block's worth of lone LFs.
      {"511, 257 LFs", Ordinary(511) + std::string(257, '\n'),
       [] {
         std::string second = "\n";
         for (int i = 0; i < 255; ++i) second += "\r\n";
         second += "\r";
         return Blocks{Ordinary(511) + "\r", second, "\n"};
       }()},
  };
  for (const ReadRow& row : rows) EXPECT_EQ(ReadAll(row.file, false), row.wire) << row.name;
}

TEST_F(NetasciiFiles, BinaryPassesEveryByteInFullBlocks) {
  std::string all;
  for (int i = 0; i < 1300; ++i) all += static_cast<char>("\r\n\0\xFFx"[i % 5]);
  const ReadRow rows[] = {
      {"empty", "", {""}},
      {"CR LF NUL", S("\r\n\0\r", 4), {S("\r\n\0\r", 4)}},
      {"512", all.substr(0, 512), {all.substr(0, 512), ""}},
      {"1300", all, {all.substr(0, 512), all.substr(512, 512), all.substr(1024)}},
  };
  for (const ReadRow& row : rows) {
    EXPECT_EQ(ReadAll(row.file, true), row.wire) << row.name;
    EXPECT_EQ(WriteAll(row.wire, true), row.file) << row.name;
  }
}

TEST_F(NetasciiFiles, BinaryBlocksAroundTheReadAheadSize) {
  // Sizes around the block size, the first nine blocks read straight into the packet, and
  // the 4 KiB pieces read ahead after them, so that the file ends within, at and just past
  // each: no block is lost or doubled where the reading changes.
  const std::size_t sizes[] = {1,    511,  512,  513,  4095, 4096,  4097,  4607, 4608,
                               4609, 8703, 8704, 8705, 9216, 32767, 32768, 32769};
  for (const std::size_t size : sizes) {
    // No period that divides 512 or 16384, so that a block from the wrong place shows.
    std::string file(size, '\0');
    for (std::size_t i = 0; i < size; ++i) file[i] = static_cast<char>((i * 7 + i / 251) % 256);
    Blocks expected;
    for (std::size_t offset = 0; offset <= size; offset += kDataSize) {
      expected.push_back(file.substr(offset, kDataSize));
    }
    EXPECT_EQ(ReadAll(file, true), expected) << size << " bytes";
  }
}

TEST_F(NetasciiFiles, BinaryReadsWhatIsAddedWhileTheFileIsRead) {
  // Only a read of no bytes ends the file: a short read from the read-ahead is no end.
  const std::string path = Create("growing.bin", Ordinary(600));
  platform::File file = Open(path, platform::kGenericRead, platform::kOpenExisting);
  NetasciiReader reader;
  std::array<std::uint8_t, kDataSize> buffer;
  Win32Error error = ERROR_SUCCESS;
  ASSERT_EQ(reader.ReadBlock(buffer, file, true, error), 512);
  std::ofstream(path, std::ios::binary | std::ios::app) << std::string(1000, 'g');
  ASSERT_EQ(reader.ReadBlock(buffer, file, true, error), 512);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), 512),
            Ordinary(88) + std::string(424, 'g'));
  ASSERT_EQ(reader.ReadBlock(buffer, file, true, error), 512);
  ASSERT_EQ(reader.ReadBlock(buffer, file, true, error), 64);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), 64), std::string(64, 'g'));
}

struct WriteRow {
  const char* name;
  Blocks wire;
  std::string file;
};

TEST_F(NetasciiFiles, WriterDropsTheNulAfterCr) {
  const WriteRow rows[] = {
      {"A CR NUL B", {S("A\r\0B", 4)}, "A\rB"},
      {"CR NUL NUL", {S("\r\0\0", 3)}, S("\r\0", 2)},
      {"CR CR NUL", {S("\r\r\0", 3)}, "\r\r"},
      {"A CR NUL at the end", {S("A\r\0", 3)}, "A\r"},
      {"A CR LF B", {"A\r\nB"}, "A\r\nB"},
      {"A LF B", {"A\nB"}, "A\nB"},
      {"A CR B", {"A\rB"}, "A\rB"},
      {"NUL first", {S("\0\0A", 3)}, S("\0\0A", 3)},
      {"CR ends a block, NUL starts the next",
       {Ordinary(511) + "\r", S("\0x", 2)},
       Ordinary(511) + "\rx"},
      {"a dropped NUL alone in a block", {"a\r", S("\0", 1), S("\0", 1)}, S("a\r\0", 3)},
      {"an empty block keeps the CR", {"a\r", "", S("\0b", 2)}, "a\rb"},
      {"nothing", {""}, ""},
  };
  for (const WriteRow& row : rows) EXPECT_EQ(WriteAll(row.wire, false), row.file) << row.name;
}

TEST_F(NetasciiFiles, WriteOfNoBytesWritesNothing) {
  for (bool binary : {false, true}) {
    const std::string path = PathOf("empty.txt");
    {
      platform::File file = Open(path, platform::kGenericWrite, platform::kCreateAlways);
      NetasciiWriter writer;
      const std::uint8_t data[] = {'x'};
      Win32Error error = ERROR_SUCCESS;
      // count decides, not the size of the data area.
      EXPECT_EQ(writer.WriteBlock(data, file, 0, binary, error), 1);
      EXPECT_EQ(error, ERROR_SUCCESS);
    }
    EXPECT_EQ(Contents(path), "") << binary;
  }
}

TEST_F(NetasciiFiles, FailedReadAnswersMinusOne) {
  const std::string path = Create("unreadable.txt", "abc\n");
  for (bool binary : {false, true}) {
    platform::File file = Open(path, platform::kGenericWrite, platform::kOpenExisting);
    NetasciiReader reader;
    std::array<std::uint8_t, kDataSize> buffer;
    Win32Error error = ERROR_SUCCESS;
    EXPECT_EQ(reader.ReadBlock(buffer, file, binary, error), -1) << binary;
    EXPECT_NE(error, ERROR_SUCCESS) << binary;
  }
}

TEST_F(NetasciiFiles, FailedWriteAnswersZero) {
  const std::string path = Create("readonly.txt", "");
  for (bool binary : {false, true}) {
    platform::File file = Open(path, platform::kGenericRead, platform::kOpenExisting);
    NetasciiWriter writer;
    const std::uint8_t data[] = {'a', '\r', '\n'};
    Win32Error error = ERROR_SUCCESS;
    EXPECT_EQ(writer.WriteBlock(data, file, 3, binary, error), 0) << binary;
    EXPECT_NE(error, ERROR_SUCCESS) << binary;
  }
}

TEST_F(NetasciiFiles, AGivenUpReaderLeavesNothingBehind) {
  // The first transfer stops with a LF owed to its next block.
  {
    platform::File file = Open(Create("first.txt", Ordinary(511) + "\nzzz"), platform::kGenericRead,
                               platform::kOpenExisting);
    NetasciiReader reader;
    std::array<std::uint8_t, kDataSize> buffer;
    Win32Error error = ERROR_SUCCESS;
    ASSERT_EQ(reader.ReadBlock(buffer, file, false, error), 512);
  }
  EXPECT_EQ(ReadAll("abc", false), Blocks{"abc"});
}

}  // namespace
}  // namespace quoril
