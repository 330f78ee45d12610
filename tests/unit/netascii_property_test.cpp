// Random files against a byte-at-a-time model of the conversion rules.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tftp/protocol/netascii.h"

namespace quoril {
namespace {

constexpr char kCr = '\r';
constexpr char kLf = '\n';
constexpr char kNul = '\0';
constexpr std::size_t kBlock = 512;

// The file-to-wire rules read one byte per step from the file. `previous` is what the
// look-back finds: the byte last placed in the block, or at its start the byte just read.
std::vector<std::string> ModelRead(const std::string& file) {
  std::vector<std::string> blocks;
  std::size_t next = 0;  // the file position
  bool pendingLineFeed = false;
  bool hasPendingByte = false;
  char pendingByte = 0;
  bool blockEndedInCr = false;
  for (;;) {
    char block[kBlock];
    std::size_t i = 0;
    if (pendingLineFeed) {
      block[0] = kLf;
      i = 1;
      pendingLineFeed = false;
    }
    if (hasPendingByte) {
      block[0] = pendingByte;
      i = 1;
      hasPendingByte = false;
    }
    bool full = true;
    while (i < kBlock) {
      if (next == file.size()) {
        full = false;
        break;
      }
      const char c = file[next++];
      block[i] = c;
      if (blockEndedInCr) {
        blockEndedInCr = false;
        if (c == kLf) {
          i = 1;
        } else {
          block[0] = kNul;
          block[1] = c;
          i = 2;
        }
        continue;
      }
      const char previous = block[i == 0 ? 0 : i - 1];
      if (c == kLf) {
        if (previous == kCr) {
          i = i + 1;
        } else {
          block[i] = kCr;
          if (i == 511) {
            pendingLineFeed = true;
            i = 512;
            break;
          }
          block[i + 1] = kLf;
          i = i + 2;
        }
      } else if (i > 0 && previous == kCr) {
        block[i] = kNul;
        if (i == 511) {
          pendingByte = c;
          hasPendingByte = true;
          i = 512;
          break;
        }
        block[i + 1] = c;
        i = i + 2;
      } else {
        i = i + 1;
      }
    }
    blocks.emplace_back(block, i);
    if (!full) return blocks;
    blockEndedInCr = block[511] == kCr && !pendingLineFeed;
  }
}

// The wire-to-file rules over the whole stream: a NUL directly after a CR is not stored.
std::string ModelWrite(const std::string& wire) {
  std::string file;
  char previousByte = 0;
  for (const char b : wire) {
    if (!(b == kNul && previousByte == kCr)) file += b;
    previousByte = b;
  }
  return file;
}

// What a text file means: the same file with every LF not preceded by CR made CR LF.
std::string LocalLineEnds(const std::string& file) {
  std::string out;
  for (std::size_t i = 0; i < file.size(); ++i) {
    if (file[i] == kLf && (i == 0 || file[i - 1] != kCr)) out += kCr;
    out += file[i];
  }
  return out;
}

std::string Concatenate(const std::vector<std::string>& blocks) {
  std::string all;
  for (const std::string& b : blocks) all += b;
  return all;
}

class NetasciiProperty : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir_ = std::filesystem::temp_directory_path() /
           ("quoril-netascii-prop-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Create(const std::string& name, const std::string& content) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  std::filesystem::path dir_;
};

// Files from an alphabet of CR, LF, NUL and one letter, in lengths around the block sizes.
std::string RandomFile(std::mt19937& random) {
  static constexpr char kAlphabet[] = {kCr, kLf, kNul, 'x', kCr, kLf};
  std::uniform_int_distribution<int> pick(0, sizeof kAlphabet - 1);
  std::uniform_int_distribution<int> shape(0, 3);
  std::size_t length = 0;
  switch (shape(random)) {
    case 0:
      length = std::uniform_int_distribution<std::size_t>(0, 8)(random);
      break;
    case 1:
      length = std::uniform_int_distribution<std::size_t>(505, 520)(random);
      break;
    case 2:
      length = std::uniform_int_distribution<std::size_t>(1010, 1030)(random);
      break;
    default:
      length = std::uniform_int_distribution<std::size_t>(0, 40000)(random);
      break;
  }
  std::string file(length, 'x');
  // Long runs of ordinary bytes put the specials at every position of a block.
  const bool sparse = shape(random) == 0;
  for (char& c : file) {
    if (!sparse || std::uniform_int_distribution<int>(0, 40)(random) == 0)
      c = kAlphabet[pick(random)];
  }
  return file;
}

// Reads the whole file through one reader, checking the block sizes on the way.
std::vector<std::string> ReadThrough(const std::string& path, bool binary) {
  platform::File file;
  EXPECT_EQ(file.Open(path.c_str(), platform::kGenericRead, platform::kShareRead,
                      platform::kOpenExisting),
            ERROR_SUCCESS);
  NetasciiReader reader;
  std::vector<std::string> blocks;
  for (;;) {
    std::array<std::uint8_t, kDataSize> buffer;
    Win32Error error = ERROR_SUCCESS;
    const int n = reader.ReadBlock(buffer, file, binary, error);
    EXPECT_GE(n, 0);
    if (n < 0) return blocks;
    blocks.emplace_back(reinterpret_cast<const char*>(buffer.data()), n);
    if (n < static_cast<int>(kDataSize)) return blocks;
  }
}

TEST_F(NetasciiProperty, ReaderAndWriterFollowTheByteRules) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 300; ++round) {
    const std::string content = RandomFile(random);
    const std::string path = Create("file" + std::to_string(round), content);
    const std::vector<std::string> expected = ModelRead(content);
    const std::vector<std::string> blocks = ReadThrough(path, false);
    ASSERT_EQ(blocks, expected) << "round " << round << ", " << content.size() << " bytes";
    for (std::size_t b = 0; b + 1 < blocks.size(); ++b) ASSERT_EQ(blocks[b].size(), kBlock);

    // Back to disk through the writer, in DATA blocks of random sizes.
    const std::string wire = Concatenate(blocks);
    const std::string written = (dir_ / ("written" + std::to_string(round))).string();
    {
      platform::File file;
      ASSERT_EQ(file.Open(written.c_str(), platform::kGenericWrite, platform::kShareNone,
                          platform::kCreateAlways),
                ERROR_SUCCESS);
      NetasciiWriter writer;
      std::size_t offset = 0;
      while (offset < wire.size()) {
        const std::size_t count = std::min(
            wire.size() - offset, std::uniform_int_distribution<std::size_t>(0, 512)(random));
        Win32Error error = ERROR_SUCCESS;
        const auto* data = reinterpret_cast<const std::uint8_t*>(wire.data() + offset);
        ASSERT_EQ(writer.WriteBlock(std::span(data, count), file, count, false, error), 1);
        offset += count;
      }
    }
    std::ifstream in(written, std::ios::binary);
    const std::string stored{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(stored, ModelWrite(wire)) << "round " << round;
    // Through the wire and back, a text file keeps its bytes, with CR LF line ends.
    ASSERT_EQ(stored, LocalLineEnds(content)) << "round " << round;
    std::filesystem::remove(path);
    std::filesystem::remove(written);
  }
}

TEST_F(NetasciiProperty, BinaryIsTheFileInFullBlocks) {
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    const std::string content = RandomFile(random);
    const std::vector<std::string> blocks =
        ReadThrough(Create("bin" + std::to_string(round), content), true);
    ASSERT_EQ(Concatenate(blocks), content);
    ASSERT_EQ(blocks.size(), content.size() / kBlock + 1);
    for (std::size_t b = 0; b + 1 < blocks.size(); ++b) ASSERT_EQ(blocks[b].size(), kBlock);
  }
}

TEST_F(NetasciiProperty, InterleavedBinaryReadersKeepTheirOwnReadAhead) {
  std::mt19937 random(16384);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string contents[2];
  for (std::string& content : contents) {
    content.resize(std::uniform_int_distribution<std::size_t>(30000, 70000)(random));
    for (char& c : content) c = static_cast<char>(byte(random));
  }
  platform::File files[2];
  NetasciiReader readers[2];
  std::string read[2];
  for (int t = 0; t < 2; ++t) {
    ASSERT_EQ(files[t].Open(Create("i" + std::to_string(t), contents[t]).c_str(),
                            platform::kGenericRead, platform::kShareRead, platform::kOpenExisting),
              ERROR_SUCCESS);
  }
  bool done[2] = {false, false};
  while (!done[0] || !done[1]) {
    for (int t = 0; t < 2; ++t) {
      if (done[t]) continue;
      std::array<std::uint8_t, kDataSize> buffer;
      Win32Error error = ERROR_SUCCESS;
      const int n = readers[t].ReadBlock(buffer, files[t], true, error);
      ASSERT_GE(n, 0);
      read[t].append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
      done[t] = n < static_cast<int>(kDataSize);
    }
  }
  EXPECT_EQ(read[0], contents[0]);
  EXPECT_EQ(read[1], contents[1]);
}

TEST_F(NetasciiProperty, TwoReadersAtOnceKeepTheirOwnState) {
  // One file owes a LF at every block boundary, the other a byte after CR.
  std::string owesLineFeed;
  std::string owesByte;
  for (int i = 0; i < 40; ++i) {
    owesLineFeed += std::string(511, 'a') + "\n";
    owesByte += std::string(510, 'b') + "\rc";
  }
  const std::string paths[] = {Create("lf", owesLineFeed), Create("cr", owesByte)};
  const std::string contents[] = {owesLineFeed, owesByte};
  std::vector<std::string> results[2];
  for (int repeat = 0; repeat < 20; ++repeat) {
    std::thread readers[2];
    for (int t = 0; t < 2; ++t) {
      readers[t] = std::thread([&, t] { results[t] = ReadThrough(paths[t], false); });
    }
    for (std::thread& reader : readers) reader.join();
    for (int t = 0; t < 2; ++t) ASSERT_EQ(results[t], ModelRead(contents[t])) << t;
  }
}

TEST_F(NetasciiProperty, InterleavedReadersKeepTheirOwnState) {
  const std::string a = std::string(511, 'a') + "\n" + std::string(600, 'a');
  const std::string b = std::string(510, 'b') + "\r\r" + std::string(600, 'b');
  platform::File fa;
  platform::File fb;
  ASSERT_EQ(fa.Open(Create("a", a).c_str(), platform::kGenericRead, platform::kShareRead,
                    platform::kOpenExisting),
            ERROR_SUCCESS);
  ASSERT_EQ(fb.Open(Create("b", b).c_str(), platform::kGenericRead, platform::kShareRead,
                    platform::kOpenExisting),
            ERROR_SUCCESS);
  NetasciiReader ra;
  NetasciiReader rb;
  const auto expectA = ModelRead(a);
  const auto expectB = ModelRead(b);
  for (std::size_t block = 0; block < expectA.size(); ++block) {
    std::array<std::uint8_t, kDataSize> buffer;
    Win32Error error = ERROR_SUCCESS;
    const int na = ra.ReadBlock(buffer, fa, false, error);
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), na), expectA[block]);
    const int nb = rb.ReadBlock(buffer, fb, false, error);
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), nb), expectB[block]);
  }
}

}  // namespace
}  // namespace quoril
