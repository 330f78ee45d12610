#include "tftp/options.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace quoril {
namespace {

using Pairs = std::vector<std::pair<OptionName, std::uint64_t>>;

Pairs PairsOf(const OptionSet& set) {
  Pairs pairs;
  for (std::size_t k = 0; k < set.count; ++k) {
    pairs.emplace_back(set.order[k], set.Value(set.order[k]));
  }
  return pairs;
}

OptionSet Parse(const std::string& bytes) {
  return ParseOptions(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

constexpr auto kBlk = OptionName::kBlockSize;
constexpr auto kTimeout = OptionName::kTimeout;
constexpr auto kTsize = OptionName::kTransferSize;
constexpr auto kWindow = OptionName::kWindowSize;

TEST(ParseOptions, ValidPairsInOrderAndEverythingElseLeftOut) {
  using namespace std::string_literals;
  struct Row {
    const char* name;
    std::string bytes;
    Pairs expected;
  };
  const Row rows[] = {
      {"nothing", "", {}},
      {"all four",
       "tsize\0"s
       "0\0blksize\0"
       "1468\0timeout\0"
       "5\0windowsize\0"
       "8\0",
       {{kTsize, 0}, {kBlk, 1468}, {kTimeout, 5}, {kWindow, 8}}},
      {"any case",
       "BlkSize\0"
       "512\0WINDOWSIZE\0"
       "1\0"s,
       {{kBlk, 512}, {kWindow, 1}}},
      {"bounds",
       "blksize\0"
       "8\0timeout\0"
       "255\0windowsize\0"
       "65535\0tsize\0"
       "18446744073709551615\0"s,
       {{kBlk, 8}, {kTimeout, 255}, {kWindow, 65535}, {kTsize, 18446744073709551615u}}},
      {"leading zeros",
       "blksize\0"
       "01024\0"s,
       {{kBlk, 1024}}},
      {"unknown name",
       "multicast\0\0blksize\0"
       "900\0"s,
       {{kBlk, 900}}},
      {"first occurrence counts",
       "blksize\0"
       "900\0BLKSIZE\0"
       "800\0"s,
       {{kBlk, 900}}},
      {"malformed first occurrence counts",
       "blksize\0"
       "x\0blksize\0"
       "800\0"s,
       {}},
      {"below range",
       "blksize\0"
       "7\0timeout\0"
       "0\0windowsize\0"
       "0\0"s,
       {}},
      {"above range",
       "blksize\0"
       "65465\0timeout\0"
       "256\0windowsize\0"
       "65536\0"s,
       {}},
      {"tsize beyond 64 bits",
       "tsize\0"
       "18446744073709551616\0"s,
       {}},
      {"not decimal",
       "blksize\0 512\0timeout\0+5\0windowsize\0"
       "4k\0tsize\0-1\0"s,
       {}},
      {"empty value",
       "blksize\0\0timeout\0"
       "3\0"s,
       {{kTimeout, 3}}},
      {"value without terminator",
       "timeout\0"
       "3\0blksize\0"
       "1024"s,
       {{kTimeout, 3}}},
      {"name without value",
       "timeout\0"
       "3\0blksize\0"s,
       {{kTimeout, 3}}},
      {"name without terminator",
       "timeout\0"
       "3\0blksize"s,
       {{kTimeout, 3}}},
      {"garbage bytes", "\xff\xfe\x01"s, {}},
      {"padding", std::string(40, '\0'), {}},
      {"garbage pair first",
       "\x01\x02\0\xff\0tsize\0"
       "7\0"s,
       {{kTsize, 7}}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(PairsOf(Parse(row.bytes)), row.expected) << row.name;
  }
}

TEST(GrantOptions, LimitsAndTheFileDecideTheValues) {
  using namespace std::string_literals;
  const OptionSet asked = Parse(
      "windowsize\0"
      "200\0blksize\0"
      "9000\0tsize\0"
      "0\0timeout\0"
      "9\0"s);
  struct Row {
    const char* name;
    OptionLimits limits;
    Pairs expected;
  };
  const Row rows[] = {
      {"read, size known",
       {1468, 64, false, true, 1234},
       {{kWindow, 64}, {kBlk, 1468}, {kTsize, 1234}, {kTimeout, 9}}},
      {"read, size unknown (netascii)",
       {65464, 65535, false, false, 0},
       {{kWindow, 200}, {kBlk, 9000}, {kTimeout, 9}}},
      {"read of an empty file",
       {512, 1, false, true, 0},
       {{kWindow, 1}, {kBlk, 512}, {kTimeout, 9}}},
      {"write echoes tsize",
       {8, 1, true, false, 0},
       {{kWindow, 1}, {kBlk, 8}, {kTsize, 0}, {kTimeout, 9}}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(PairsOf(GrantOptions(asked, row.limits)), row.expected) << row.name;
  }
}

TEST(BuildOack, ListsTheOptionsInOrder) {
  using namespace std::string_literals;
  PacketBuffer packet;
  packet.fill(0xAA);
  const OptionSet granted = Parse(
      "tsize\0"
      "18446744073709551615\0blksize\0"
      "1468\0windowsize\0"
      "65535\0timeout\0"
      "1\0"s);
  const std::string expected =
      "\0\x06tsize\0"
      "18446744073709551615\0blksize\0"
      "1468\0"
      "windowsize\0"
      "65535\0timeout\0"
      "1\0"s;
  const std::uint16_t length = BuildOack(packet, granted);
  ASSERT_EQ(length, expected.size());
  EXPECT_EQ(std::string(packet.begin(), packet.begin() + length), expected);
  EXPECT_EQ(packet[length], 0xAA);
}

}  // namespace
}  // namespace quoril
