#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/files.h"

namespace quoril::platform {
namespace {

// Runs each test inside a fresh directory of its own, and returns to the old one after.
class FullPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::array<char, PATH_MAX> old{};
    ASSERT_NE(getcwd(old.data(), old.size()), nullptr);
    oldCwd_ = old.data();
    std::string pattern = ::testing::TempDir() + "quoril_fullpath_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    ASSERT_EQ(chdir(pattern.c_str()), 0);
    std::array<char, PATH_MAX> cwd{};
    ASSERT_NE(getcwd(cwd.data(), cwd.size()), nullptr);
    cwd_ = cwd.data();
  }
  void TearDown() override {
    ASSERT_EQ(chdir(oldCwd_.c_str()), 0);
    rmdir(cwd_.c_str());
  }

  std::string Parent() const { return cwd_.substr(0, cwd_.rfind('/')); }

  std::string oldCwd_;
  std::string cwd_;
};

TEST_F(FullPathTest, FormsPathsLexically) {
  struct Row {
    const char* name;
    std::string input;
    std::string expected;
  };
  const Row rows[] = {
      {"relative name", "a.bin", cwd_ + "/a.bin"},
      {"relative with backslash", "sub\\x.bin", cwd_ + "/sub/x.bin"},
      {"dot", ".", cwd_},
      {"dot with separator", "./", cwd_ + "/"},
      {"dot dot", "..", Parent()},
      {"absolute", "/etc/hosts", "/etc/hosts"},
      {"absolute with backslashes", "\\etc\\hosts", "/etc/hosts"},
      {"mixed separators", "/a\\b/c\\d", "/a/b/c/d"},
      {"dots collapse", "/a/./b/../c", "/a/c"},
      {"dot dot above the root stays at the root", "/../../x", "/x"},
      {"relative dot dots above the root", "../../../../../../../../../../../../../../../x", "/x"},
      {"repeated separators", "//a///b\\\\c", "/a/b/c"},
      {"root", "/", "/"},
      {"root by backslash", "\\", "/"},
      {"root repeated", "///", "/"},
      {"trailing separator kept", "/a/b/", "/a/b/"},
      {"trailing separator after dot dot", "/a/b/../", "/a/"},
      {"trailing dot dot", "/a/b/..", "/a"},
      {"back to the root", "/a/..", "/"},
      {"three dots are a name", "/a/...", "/a/..."},
      {"hidden name", "/a/.b", "/a/.b"},
      {"relative escaping to a sibling", "../other/x", Parent() + "/other/x"},
  };
  for (const Row& row : rows) {
    std::array<char, kMaxPath> buffer{};
    std::uint32_t result = 12345;
    EXPECT_EQ(GetFullPathName(row.input.c_str(), buffer, result), ERROR_SUCCESS) << row.name;
    EXPECT_EQ(std::string(buffer.data()), row.expected) << row.name;
    EXPECT_EQ(result, row.expected.size()) << row.name;
  }
}

TEST_F(FullPathTest, FollowsTheWin32LengthConvention) {
  // Paths of a chosen length: "/" followed by the name.
  const auto pathOfLength = [](std::size_t length) { return "/" + std::string(length - 1, 'x'); };
  struct Row {
    const char* name;
    std::size_t pathLength;
    std::size_t bufferSize;
    std::uint32_t expected;
    bool copied;
  };
  const Row rows[] = {
      {"259 characters fit 260 bytes", 259, 260, 259, true},
      {"260 characters need 261 bytes", 260, 260, 261, false},
      {"exact fit with the terminator", 10, 11, 10, true},
      {"no room for the terminator", 10, 10, 11, false},
      {"much too small", 10, 3, 11, false},
      {"empty buffer asks for the size", 10, 0, 11, false},
  };
  for (const Row& row : rows) {
    const std::string path = pathOfLength(row.pathLength);
    std::array<char, 400> storage{};
    storage.fill('#');
    std::uint32_t result = 0;
    EXPECT_EQ(GetFullPathName(path.c_str(), std::span(storage.data(), row.bufferSize), result),
              ERROR_SUCCESS)
        << row.name;
    EXPECT_EQ(result, row.expected) << row.name;
    if (row.copied) {
      EXPECT_EQ(std::string(storage.data()), path) << row.name;
    }
    // Nothing is written beyond the buffer given.
    EXPECT_EQ(storage[row.bufferSize], '#') << row.name;
  }
}

TEST_F(FullPathTest, RefusesNamesThatAreNoPath) {
  std::array<char, kMaxPath> buffer{};
  std::uint32_t result = 7;
  EXPECT_EQ(GetFullPathName("", buffer, result), ERROR_INVALID_NAME);
  EXPECT_EQ(result, 0u);
  result = 7;
  EXPECT_EQ(GetFullPathName(nullptr, buffer, result), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(result, 0u);
}

TEST_F(FullPathTest, RelativeNameFailsWhenTheCurrentDirectoryIsGone) {
  ASSERT_EQ(rmdir(cwd_.c_str()), 0);
  std::array<char, kMaxPath> buffer{};
  std::uint32_t result = 7;
  EXPECT_NE(GetFullPathName("a.bin", buffer, result), ERROR_SUCCESS);
  EXPECT_EQ(result, 0u);
  // An absolute name needs no current directory.
  EXPECT_EQ(GetFullPathName("/a.bin", buffer, result), ERROR_SUCCESS);
  EXPECT_EQ(result, 6u);
}

TEST_F(FullPathTest, CurrentDirectoryFollowsTheLengthConvention) {
  std::array<char, PATH_MAX> buffer{};
  std::uint32_t length = 0;
  EXPECT_EQ(GetCurrentDirectory(buffer, length), ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer.data()), cwd_);
  EXPECT_EQ(length, cwd_.size());

  std::array<char, 400> small{};
  small.fill('#');
  EXPECT_EQ(GetCurrentDirectory(std::span(small.data(), cwd_.size()), length), ERROR_SUCCESS);
  EXPECT_EQ(length, cwd_.size() + 1);
  EXPECT_EQ(small[cwd_.size()], '#');
  EXPECT_EQ(GetCurrentDirectory(std::span<char>(), length), ERROR_SUCCESS);
  EXPECT_EQ(length, cwd_.size() + 1);
}

}  // namespace
}  // namespace quoril::platform
