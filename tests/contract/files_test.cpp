// Files as CreateFileA, ReadFile and WriteFile answer: dispositions, replacement files of
// uploads, missing directories, reads and writes, and sharing between handles. The same cases
// for every backend, in a scratch directory.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <utility>

#include "tests/contract/helpers.h"

namespace quoril::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kShareBoth = kShareRead | kShareWrite;
constexpr std::uint32_t kReadWrite = kGenericRead | kGenericWrite;

class FileTest : public testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    const fs::path dir = fs::temp_directory_path() / ("quoril-files-" + std::to_string(random()));
    ASSERT_TRUE(fs::create_directory(dir));
    dir_ = dir.string();
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string Path(const std::string& relative) const { return dir_ + "/" + relative; }

  std::string dir_;
};

TEST_F(FileTest, EachDispositionActsAsCreateFile) {
  struct Row {
    const char* name;
    std::uint32_t disposition;
    std::uint32_t access;
    bool exists;
    Win32Error expected;
    bool alreadyExisted;
    // The file's content after "ab" is written through the handle; "-" for no file.
    const char* after;
  };
  const Row rows[] = {
      {"create new, exists", kCreateNew, kGenericWrite, true, ERROR_FILE_EXISTS, false,
       "0123456789"},
      {"create new, missing", kCreateNew, kGenericWrite, false, ERROR_SUCCESS, false, "ab"},
      {"create always, exists", kCreateAlways, kGenericWrite, true, ERROR_SUCCESS, true, "ab"},
      {"create always, missing", kCreateAlways, kGenericWrite, false, ERROR_SUCCESS, false, "ab"},
      {"open existing, exists", kOpenExisting, kGenericWrite, true, ERROR_SUCCESS, false,
       "ab23456789"},
      {"open existing, missing", kOpenExisting, kGenericWrite, false, ERROR_FILE_NOT_FOUND, false,
       "-"},
      {"open always, exists", kOpenAlways, kGenericWrite, true, ERROR_SUCCESS, true, "ab23456789"},
      {"open always, missing", kOpenAlways, kGenericWrite, false, ERROR_SUCCESS, false, "ab"},
      {"truncate existing, exists", kTruncateExisting, kGenericWrite, true, ERROR_SUCCESS, false,
       "ab"},
      {"truncate existing, missing", kTruncateExisting, kGenericWrite, false, ERROR_FILE_NOT_FOUND,
       false, "-"},
      {"truncate existing without write access", kTruncateExisting, kGenericRead, true,
       ERROR_INVALID_PARAMETER, false, "0123456789"},
      {"read and write, open existing", kOpenExisting, kReadWrite, true, ERROR_SUCCESS, false,
       "ab23456789"},
      {"disposition 0, exists", 0, kGenericWrite, true, ERROR_INVALID_PARAMETER, false,
       "0123456789"},
      {"disposition 0, missing", 0, kGenericWrite, false, ERROR_INVALID_PARAMETER, false, "-"},
      {"disposition 6, exists", 6, kGenericWrite, true, ERROR_INVALID_PARAMETER, false,
       "0123456789"},
      {"disposition 6, missing", 6, kGenericWrite, false, ERROR_INVALID_PARAMETER, false, "-"},
      {"disposition all ones, missing", 0xFFFFFFFFu, kGenericWrite, false, ERROR_INVALID_PARAMETER,
       false, "-"},
      {"no access asked", kOpenExisting, 0, true, ERROR_INVALID_PARAMETER, false, "0123456789"},
  };
  for (const Row& row : rows) {
    const std::string path = Path("target.bin");
    fs::remove(path);
    if (row.exists) PutText(path, "0123456789");
    File file;
    bool already = !row.alreadyExisted;
    EXPECT_EQ(file.Open(path.c_str(), row.access, kShareNone, row.disposition, nullptr, &already),
              row.expected)
        << row.name;
    EXPECT_EQ(file.IsOpen(), row.expected == ERROR_SUCCESS) << row.name;
    if (row.expected == ERROR_SUCCESS) {
      EXPECT_EQ(already, row.alreadyExisted) << row.name;
      EXPECT_EQ(file.Write(Bytes("ab")), ERROR_SUCCESS) << row.name;
    } else {
      EXPECT_FALSE(already) << row.name;
    }
    file.Close();
    if (std::string(row.after) == "-") {
      EXPECT_FALSE(fs::exists(path)) << row.name;
    } else {
      EXPECT_EQ(GetText(path), row.after) << row.name;
    }
  }
}

// An upload's file: as Open would open it, but the file changes only on Commit, and then
// holds exactly the bytes written; closed without Commit, nothing is left.
TEST_F(FileTest, ReplacementTakesThePlaceOfTheFileOnlyOnCommit) {
  struct Row {
    const char* name;
    std::uint32_t disposition;
    bool exists;
    Win32Error expected;
  };
  const Row rows[] = {
      {"create new, exists", kCreateNew, true, ERROR_FILE_EXISTS},
      {"create new, missing", kCreateNew, false, ERROR_SUCCESS},
      {"create always, exists", kCreateAlways, true, ERROR_SUCCESS},
      {"create always, missing", kCreateAlways, false, ERROR_SUCCESS},
      {"open existing, exists", kOpenExisting, true, ERROR_SUCCESS},
      {"open existing, missing", kOpenExisting, false, ERROR_FILE_NOT_FOUND},
      {"open always, exists", kOpenAlways, true, ERROR_SUCCESS},
      {"open always, missing", kOpenAlways, false, ERROR_SUCCESS},
      {"truncate existing, exists", kTruncateExisting, true, ERROR_SUCCESS},
      {"truncate existing, missing", kTruncateExisting, false, ERROR_FILE_NOT_FOUND},
      {"disposition 6", 6, true, ERROR_INVALID_PARAMETER},
  };
  const std::string path = Path("target.bin");
  const auto content = [&] { return fs::exists(path) ? GetText(path) : "-"; };
  for (const Row& row : rows) {
    for (const bool commit : {true, false}) {
      const std::string name = std::string(row.name) + (commit ? ", committed" : ", abandoned");
      fs::remove(path);
      if (row.exists) PutText(path, "0123456789");
      const std::string before = content();
      File file;
      EXPECT_EQ(file.OpenReplacement(path.c_str(), row.disposition, nullptr), row.expected) << name;
      if (file.IsOpen()) {
        EXPECT_EQ(file.Write(Bytes("ab")), ERROR_SUCCESS) << name;
        // Meanwhile the file is as it was, and held, whether it exists yet or not.
        File other;
        EXPECT_EQ(other.Open(path.c_str(), kGenericRead, kShareBoth, kOpenExisting),
                  ERROR_SHARING_VIOLATION)
            << name;
        EXPECT_EQ(other.OpenReplacement(path.c_str(), row.disposition, nullptr),
                  row.disposition == kCreateNew ? ERROR_FILE_EXISTS : ERROR_SHARING_VIOLATION)
            << name;
        EXPECT_EQ(other.Open(path.c_str(), kGenericWrite, kShareNone, kCreateNew),
                  ERROR_FILE_EXISTS)
            << name;
#ifndef _WIN32
        // Windows holds a missing target's name with an empty placeholder meanwhile.
        EXPECT_EQ(content(), before) << name;
#endif
        if (commit) {
          EXPECT_EQ(file.Commit(), ERROR_SUCCESS) << name;
          EXPECT_FALSE(file.IsOpen()) << name;
        } else {
          file.Close();
        }
      }
      const bool replaced = commit && row.expected == ERROR_SUCCESS;
      EXPECT_EQ(content(), replaced ? "ab" : before) << name;
      // Nothing else is left in the directory.
      EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()),
                fs::exists(path) ? 1 : 0)
          << name;
    }
  }
}

TEST_F(FileTest, MissingDirectoryIsPathNotFound) {
  PutText(Path("plain"), "x");
  struct Row {
    const char* name;
    std::string path;
    std::uint32_t disposition;
    Win32Error expected;
  };
  const Row rows[] = {
      {"null", "", kOpenExisting, ERROR_INVALID_PARAMETER},
      {"open in a missing directory", Path("nodir/x.bin"), kOpenExisting, ERROR_PATH_NOT_FOUND},
      {"create in a missing directory", Path("nodir/x.bin"), kCreateNew, ERROR_PATH_NOT_FOUND},
      {"through a regular file", Path("plain/x.bin"), kOpenAlways, ERROR_PATH_NOT_FOUND},
      {"empty name", "", kOpenExisting, ERROR_PATH_NOT_FOUND},
      {"name too long", "/" + std::string(kMaxPath - 1, 'n'), kCreateNew,
       ERROR_FILENAME_EXCED_RANGE},
#ifndef _WIN32
      // What Windows answers for these is its file system's word (wine: ERROR_INVALID_NAME,
      // ERROR_FILE_NOT_FOUND); the POSIX backend gives these.
      {"regular file with a trailing separator", Path("plain/"), kOpenExisting,
       ERROR_PATH_NOT_FOUND},
      {"component too long", "/" + std::string(256, 'n'), kCreateNew, ERROR_FILENAME_EXCED_RANGE},
#endif
  };
  for (const Row& row : rows) {
    const bool isNull = std::string(row.name) == "null";
    File file;
    EXPECT_EQ(
        file.Open(isNull ? nullptr : row.path.c_str(), kGenericWrite, kShareNone, row.disposition),
        row.expected)
        << row.name;
    EXPECT_FALSE(file.IsOpen()) << row.name;
  }
  EXPECT_FALSE(fs::exists(Path("nodir")));
}

TEST_F(FileTest, ReadsWritesAndAppends) {
  const std::string path = Path("data.bin");
  PutText(path, "hello, world");
  File reader;
  ASSERT_EQ(reader.Open(path.c_str(), kGenericRead, kShareRead, kOpenExisting), ERROR_SUCCESS);
  EXPECT_EQ(ReadAll(reader), "hello, world");
  std::array<std::uint8_t, 4> buffer{};
  std::size_t count = 99;
  EXPECT_EQ(reader.Read(buffer, count), ERROR_SUCCESS);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(reader.Write(Bytes("no")), ERROR_ACCESS_DENIED);
  // At an offset, whatever the position; at or past the end, nothing.
  for (const auto& [offset, expected] :
       {std::pair<std::uint64_t, std::string>{7, "worl"}, {10, "ld"}, {12, ""}, {1000, ""}}) {
    EXPECT_EQ(reader.ReadAt(buffer, offset, count), ERROR_SUCCESS);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + count), expected) << offset;
  }
  reader.Close();
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_EQ(reader.Read(buffer, count), ERROR_INVALID_HANDLE);
  EXPECT_EQ(reader.ReadAt(buffer, 0, count), ERROR_INVALID_HANDLE);
  EXPECT_EQ(reader.Write(Bytes("no")), ERROR_INVALID_HANDLE);
  EXPECT_EQ(reader.SeekToEnd(), ERROR_INVALID_HANDLE);

  File appender;
  ASSERT_EQ(appender.Open(path.c_str(), kGenericWrite, kShareNone, kOpenAlways), ERROR_SUCCESS);
  EXPECT_EQ(appender.Read(buffer, count), ERROR_ACCESS_DENIED);
  EXPECT_EQ(appender.ReadAt(buffer, 0, count), ERROR_ACCESS_DENIED);
  EXPECT_EQ(appender.SeekToEnd(), ERROR_SUCCESS);
  EXPECT_EQ(appender.Write(Bytes("!\r\n")), ERROR_SUCCESS);
  EXPECT_EQ(appender.Write(Bytes("")), ERROR_SUCCESS);
  appender.Close();
  EXPECT_EQ(GetText(path), "hello, world!\r\n");

  // A large write goes out whole.
  const std::string large(1 << 20, 'z');
  File writer;
  ASSERT_EQ(writer.Open(path.c_str(), kGenericWrite, kShareNone, kCreateAlways), ERROR_SUCCESS);
  EXPECT_EQ(writer.Write(Bytes(large)), ERROR_SUCCESS);
  writer.Close();
  EXPECT_EQ(GetText(path), large);
}

TEST_F(FileTest, SharingFollowsTheWin32Rules) {
  struct Open {
    std::uint32_t access;
    std::uint32_t share;
  };
  struct Row {
    const char* name;
    Open first;
    Open second;
    Win32Error expected;
  };
  const Row rows[] = {
      {"reader and reader sharing reading",
       {kGenericRead, kShareRead},
       {kGenericRead, kShareRead},
       ERROR_SUCCESS},
      {"reader refuses a writer",
       {kGenericRead, kShareRead},
       {kGenericWrite, kShareBoth},
       ERROR_SHARING_VIOLATION},
      {"writer refuses a reader",
       {kGenericWrite, kShareNone},
       {kGenericRead, kShareBoth},
       ERROR_SHARING_VIOLATION},
      {"writer refuses a writer",
       {kGenericWrite, kShareNone},
       {kGenericWrite, kShareBoth},
       ERROR_SHARING_VIOLATION},
      {"reader sharing nothing refuses a reader",
       {kGenericRead, kShareNone},
       {kGenericRead, kShareBoth},
       ERROR_SHARING_VIOLATION},
      {"new reader must share the reading",
       {kGenericRead, kShareBoth},
       {kGenericRead, kShareNone},
       ERROR_SHARING_VIOLATION},
      {"new reader must share the writing",
       {kGenericWrite, kShareBoth},
       {kGenericRead, kShareRead},
       ERROR_SHARING_VIOLATION},
      {"writer sharing reading admits a reader sharing both",
       {kGenericWrite, kShareRead},
       {kGenericRead, kShareBoth},
       ERROR_SUCCESS},
      {"everything shared", {kReadWrite, kShareBoth}, {kReadWrite, kShareBoth}, ERROR_SUCCESS},
      {"sharing writing only refuses a reader",
       {kGenericWrite, kShareWrite},
       {kGenericRead, kShareBoth},
       ERROR_SHARING_VIOLATION},
      {"sharing writing only admits a writer",
       {kGenericWrite, kShareWrite},
       {kGenericWrite, kShareWrite},
       ERROR_SUCCESS},
  };
  const std::string path = Path("shared.bin");
  PutText(path, "content");
  for (const Row& row : rows) {
    File first;
    ASSERT_EQ(first.Open(path.c_str(), row.first.access, row.first.share, kOpenExisting),
              ERROR_SUCCESS)
        << row.name;
    File second;
    EXPECT_EQ(second.Open(path.c_str(), row.second.access, row.second.share, kOpenExisting),
              row.expected)
        << row.name;
    // Once the first handle is gone, nothing stands in the way.
    first.Close();
    second.Close();
    EXPECT_EQ(second.Open(path.c_str(), row.second.access, row.second.share, kOpenExisting),
              ERROR_SUCCESS)
        << row.name;
  }
}

TEST_F(FileTest, RefusedTruncationLeavesTheFileWhole) {
  const std::string path = Path("busy.bin");
  PutText(path, "keep me");
  File reader;
  ASSERT_EQ(reader.Open(path.c_str(), kGenericRead, kShareRead, kOpenExisting), ERROR_SUCCESS);
  for (const std::uint32_t disposition : {kCreateAlways, kTruncateExisting}) {
    File writer;
    EXPECT_EQ(writer.Open(path.c_str(), kGenericWrite, kShareNone, disposition),
              ERROR_SHARING_VIOLATION);
  }
  EXPECT_EQ(GetText(path), "keep me");
  EXPECT_EQ(ReadAll(reader), "keep me");
}

TEST_F(FileTest, SharingFollowsTheHandleThroughMoves) {
  const std::string path = Path("moved.bin");
  PutText(path, "x");
  File original;
  ASSERT_EQ(original.Open(path.c_str(), kGenericWrite, kShareNone, kOpenExisting), ERROR_SUCCESS);
  File moved(std::move(original));
  EXPECT_FALSE(original.IsOpen());
  EXPECT_TRUE(moved.IsOpen());
  original.Close();  // closing the emptied object releases nothing
  File other;
  EXPECT_EQ(other.Open(path.c_str(), kGenericRead, kShareBoth, kOpenExisting),
            ERROR_SHARING_VIOLATION);

  File assigned;
  assigned = std::move(moved);
  EXPECT_EQ(other.Open(path.c_str(), kGenericRead, kShareBoth, kOpenExisting),
            ERROR_SHARING_VIOLATION);
  // Assigning over an open file closes it and releases its entry.
  assigned = File();
  EXPECT_FALSE(assigned.IsOpen());
  EXPECT_EQ(other.Open(path.c_str(), kGenericRead, kShareRead, kOpenExisting), ERROR_SUCCESS);

  // Opening again through the same object first lets go of what it held.
  File writer;
  EXPECT_EQ(other.Open(path.c_str(), kGenericWrite, kShareNone, kOpenExisting), ERROR_SUCCESS);
  EXPECT_EQ(writer.Open(path.c_str(), kGenericRead, kShareBoth, kOpenExisting),
            ERROR_SHARING_VIOLATION);
  { File scoped = std::move(other); }
  EXPECT_EQ(writer.Open(path.c_str(), kGenericRead, kShareBoth, kOpenExisting), ERROR_SUCCESS);
}

}  // namespace
}  // namespace quoril::platform
