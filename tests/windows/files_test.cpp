// Files and paths of the Win32 backend: dispositions, sharing, what is never opened, the
// confinement to a directory, and the path calls.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/win32/windows_headers.h"

#include <sddl.h>

namespace quoril::platform {
namespace {

std::string Bytes(std::span<const std::uint8_t> data) {
  return std::string(data.begin(), data.end());
}

std::span<const std::uint8_t> AsBytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A scratch directory of the test's own, removed with its files.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::array<char, MAX_PATH> base{};
    ::GetTempPathA(base.size(), base.data());
    path_ = std::string(base.data()) + "quoril-files-" + std::to_string(::GetCurrentProcessId());
    ::CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~ScratchDirectory() {
    for (const std::string& name : created_) ::DeleteFileA(name.c_str());
    for (auto it = directories_.rbegin(); it != directories_.rend(); ++it) {
      ::RemoveDirectoryA(it->c_str());
    }
    ::RemoveDirectoryA(path_.c_str());
  }
  std::string Path(const std::string& name) {
    created_.push_back(path_ + "\\" + name);
    return created_.back();
  }
  std::string Directory(const std::string& name) {
    directories_.push_back(path_ + "\\" + name);
    ::CreateDirectoryA(directories_.back().c_str(), nullptr);
    return directories_.back();
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::vector<std::string> created_;
  std::vector<std::string> directories_;
};

void WriteFileText(const std::string& path, const std::string& text) {
  File file;
  ASSERT_EQ(file.Open(path.c_str(), kGenericWrite, kShareNone, kCreateAlways), ERROR_SUCCESS);
  ASSERT_EQ(file.Write(AsBytes(text)), ERROR_SUCCESS);
}

std::string ReadFileText(const std::string& path) {
  File file;
  if (file.Open(path.c_str(), kGenericRead, kShareRead, kOpenExisting) != ERROR_SUCCESS) {
    return "<cannot open>";
  }
  std::array<std::uint8_t, 256> buffer{};
  std::size_t count = 0;
  file.Read(buffer, count);
  return Bytes(std::span(buffer.data(), count));
}

TEST(FileOpen, DispositionsOnAnExistingAndAMissingFile) {
  struct Case {
    std::uint32_t disposition;
    Win32Error existing;        // the answer when the file exists with "old text"
    const char* existingAfter;  // its content after writing "new" through the handle
    bool alreadyExisted;
    Win32Error missing;  // the answer when it does not exist
  };
  const Case cases[] = {
      {kCreateNew, ERROR_FILE_EXISTS, "old text", false, ERROR_SUCCESS},
      {kCreateAlways, ERROR_SUCCESS, "new", true, ERROR_SUCCESS},
      {kOpenExisting, ERROR_SUCCESS, "new text", false, ERROR_FILE_NOT_FOUND},
      {kOpenAlways, ERROR_SUCCESS, "new text", true, ERROR_SUCCESS},
      {kTruncateExisting, ERROR_SUCCESS, "new", false, ERROR_FILE_NOT_FOUND},
      {0, ERROR_INVALID_PARAMETER, "old text", false, ERROR_INVALID_PARAMETER},
      {6, ERROR_INVALID_PARAMETER, "old text", false, ERROR_INVALID_PARAMETER},
  };
  ScratchDirectory scratch;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "disposition " << c.disposition);
    const std::string existing = scratch.Path("existing-" + std::to_string(c.disposition));
    WriteFileText(existing, "old text");
    {
      File file;
      bool alreadyExisted = !c.alreadyExisted;
      EXPECT_EQ(file.Open(existing.c_str(), kGenericWrite, kShareNone, c.disposition, nullptr,
                          &alreadyExisted),
                c.existing);
      if (c.existing == ERROR_SUCCESS) {
        EXPECT_EQ(alreadyExisted, c.alreadyExisted);
        EXPECT_EQ(file.Write(AsBytes("new")), ERROR_SUCCESS);
      }
    }
    EXPECT_EQ(ReadFileText(existing), c.existingAfter);

    const std::string missing = scratch.Path("missing-" + std::to_string(c.disposition));
    File file;
    bool alreadyExisted = true;
    EXPECT_EQ(file.Open(missing.c_str(), kGenericWrite, kShareNone, c.disposition, nullptr,
                        &alreadyExisted),
              c.missing);
    EXPECT_FALSE(alreadyExisted);
    EXPECT_EQ(::GetFileAttributesA(missing.c_str()) != INVALID_FILE_ATTRIBUTES,
              c.missing == ERROR_SUCCESS);
  }
}

// The files in `directory`, counted.
int CountFiles(const std::string& directory) {
  WIN32_FIND_DATAA found{};
  const HANDLE search = ::FindFirstFileA((directory + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  do {
    if (std::string(found.cFileName) != "." && std::string(found.cFileName) != "..") ++count;
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return count;
}

// An upload's file: held as Open would hold it, changed only on Commit, and then holding
// exactly the bytes written; closed without Commit, nothing is left.
TEST(FileReplacement, TakesThePlaceOfTheFileOnlyOnCommit) {
  struct Case {
    std::uint32_t disposition;
    Win32Error existing;  // the answer when the file exists with "old text"
    Win32Error missing;   // the answer when it does not exist
  };
  const Case cases[] = {
      {kCreateNew, ERROR_FILE_EXISTS, ERROR_SUCCESS},
      {kCreateAlways, ERROR_SUCCESS, ERROR_SUCCESS},
      {kOpenExisting, ERROR_SUCCESS, ERROR_FILE_NOT_FOUND},
      {kOpenAlways, ERROR_SUCCESS, ERROR_SUCCESS},
      {kTruncateExisting, ERROR_SUCCESS, ERROR_FILE_NOT_FOUND},
  };
  ScratchDirectory scratch;
  const std::string directory = scratch.Directory("uploads");
  const std::string path = directory + "\\target.bin";
  for (const Case& c : cases) {
    for (const bool exists : {true, false}) {
      for (const bool commit : {true, false}) {
        SCOPED_TRACE(testing::Message()
                     << "disposition " << c.disposition << (exists ? ", exists" : ", missing")
                     << (commit ? ", committed" : ", abandoned"));
        ::DeleteFileA(path.c_str());
        if (exists) WriteFileText(path, "old text");
        const std::string before = ReadFileText(path);
        const Win32Error expected = exists ? c.existing : c.missing;
        File file;
        EXPECT_EQ(file.OpenReplacement(path.c_str(), c.disposition, nullptr), expected);
        if (file.IsOpen()) {
          EXPECT_EQ(file.Write(AsBytes("new")), ERROR_SUCCESS);
          File other;
          EXPECT_EQ(other.Open(path.c_str(), kGenericRead, kShareRead, kOpenExisting),
                    ERROR_SHARING_VIOLATION);
          EXPECT_EQ(other.Open(path.c_str(), kGenericWrite, kShareNone, kCreateNew),
                    ERROR_FILE_EXISTS);
          if (commit) {
            EXPECT_EQ(file.Commit(), ERROR_SUCCESS);
          } else {
            file.Close();
          }
        }
        const bool replaced = commit && expected == ERROR_SUCCESS;
        EXPECT_EQ(ReadFileText(path), replaced ? "new" : before);
        EXPECT_EQ(CountFiles(directory), exists || replaced ? 1 : 0);
      }
    }
  }
  ::DeleteFileA(path.c_str());
}

TEST(FileOpen, SharingBetweenHandles) {
  ScratchDirectory scratch;
  const std::string path = scratch.Path("shared.bin");
  WriteFileText(path, "content");
  File writer;
  ASSERT_EQ(writer.Open(path.c_str(), kGenericWrite, kShareNone, kOpenExisting), ERROR_SUCCESS);
  File other;
  EXPECT_EQ(other.Open(path.c_str(), kGenericRead, kShareRead, kOpenExisting),
            ERROR_SHARING_VIOLATION);
  writer.Close();

  File reader;
  ASSERT_EQ(reader.Open(path.c_str(), kGenericRead, kShareRead, kOpenExisting), ERROR_SUCCESS);
  File secondReader;
  EXPECT_EQ(secondReader.Open(path.c_str(), kGenericRead, kShareRead, kOpenExisting),
            ERROR_SUCCESS);
  EXPECT_EQ(other.Open(path.c_str(), kGenericWrite, kShareNone, kCreateAlways),
            ERROR_SHARING_VIOLATION);
  // The refused writer emptied nothing.
  reader.Close();
  secondReader.Close();
  EXPECT_EQ(ReadFileText(path), "content");
}

// The access list of `path` as SDDL text, empty when it cannot be read.
std::string DaclText(const std::string& path) {
  std::array<unsigned char, 4096> descriptor{};
  DWORD needed = 0;
  char* text = nullptr;
  if (!::GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(),
                          descriptor.size(), &needed) ||
      !::ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    return "";
  }
  std::string result = text;
  ::LocalFree(text);
  return result;
}

// A file of the service's own is created for the service and the administrators alone.
TEST(FileOpen, TheServicesOwnFileIsCreatedForItAlone) {
  ScratchDirectory scratch;
  const std::string own = scratch.Path("own.log");
  File file;
  ASSERT_EQ(file.Open(own.c_str(), kGenericWrite, kShareRead, kOpenAlways, nullptr, nullptr,
                      FileUse::kServiceOwn),
            ERROR_SUCCESS);
  file.Close();
  // LocalSystem, the administrators and the owner (wine names the owner alone), nobody else.
  const std::string rights = DaclText(own);
  ASSERT_FALSE(rights.empty());
  for (const char* others : {";WD)", ";BU)", ";AU)"}) {
    EXPECT_EQ(rights.find(others), std::string::npos) << rights;
  }

  // An existing file keeps its rights.
  const std::string client = scratch.Path("client.bin");
  WriteFileText(client, "x");
  const std::string inherited = DaclText(client);
  ASSERT_EQ(file.Open(client.c_str(), kGenericWrite, kShareRead, kOpenAlways, nullptr, nullptr,
                      FileUse::kServiceOwn),
            ERROR_SUCCESS);
  file.Close();
  EXPECT_EQ(DaclText(client), inherited);
}

TEST(FileOpen, OnlyRegularFilesOnADrive) {
  ScratchDirectory scratch;
  const std::string directory = scratch.Directory("a-directory");
  const std::string devices[] = {
      "nul",
      "con",
      "COM1",
      scratch.path() + "\\nul",
      "\\\\.\\pipe\\quoril-test",
      "\\\\?\\" + scratch.path() + "\\x",
      "\\\\server\\share\\file.bin",
      directory,
  };
  for (const std::string& name : devices) {
    File file;
    EXPECT_EQ(file.Open(name.c_str(), kGenericRead, kShareRead, kOpenExisting), ERROR_ACCESS_DENIED)
        << name;
    EXPECT_FALSE(file.IsOpen()) << name;
  }
  File file;
  EXPECT_EQ(file.Open(directory.c_str(), kGenericWrite, kShareNone, kCreateNew), ERROR_FILE_EXISTS);
}

TEST(FileOpen, ArgumentsAndMissingDirectories) {
  ScratchDirectory scratch;
  File file;
  EXPECT_EQ(file.Open(nullptr, kGenericRead, kShareRead, kOpenExisting), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(file.Open("", kGenericRead, kShareRead, kOpenExisting), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(file.Open("x", 0, kShareRead, kOpenExisting), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(file.Open("x", kGenericRead, kShareRead, kTruncateExisting), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(file.Open(std::string(260, 'a').c_str(), kGenericRead, kShareRead, kOpenExisting),
            ERROR_FILENAME_EXCED_RANGE);
  const std::string inMissing = scratch.path() + "\\no-such-directory\\file.bin";
  EXPECT_EQ(file.Open(inMissing.c_str(), kGenericWrite, kShareNone, kCreateNew),
            ERROR_PATH_NOT_FOUND);
}

TEST(FileIo, WriteReadSeekAndClosedHandles) {
  ScratchDirectory scratch;
  const std::string path = scratch.Path("io.bin");
  {
    File file;
    ASSERT_EQ(file.Open(path.c_str(), kGenericWrite, kShareRead, kOpenAlways), ERROR_SUCCESS);
    EXPECT_EQ(file.Write(AsBytes("first")), ERROR_SUCCESS);
    std::array<std::uint8_t, 8> buffer{};
    std::size_t count = 1;
    EXPECT_EQ(file.Read(buffer, count), ERROR_ACCESS_DENIED);
    EXPECT_EQ(count, 0u);
  }
  {
    // Appending, as the transfer log does.
    File file;
    bool alreadyExisted = false;
    ASSERT_EQ(
        file.Open(path.c_str(), kGenericWrite, kShareRead, kOpenAlways, nullptr, &alreadyExisted),
        ERROR_SUCCESS);
    EXPECT_TRUE(alreadyExisted);
    EXPECT_EQ(file.SeekToEnd(), ERROR_SUCCESS);
    EXPECT_EQ(file.Write(AsBytes(" second")), ERROR_SUCCESS);
  }
  EXPECT_EQ(ReadFileText(path), "first second");

  File closed;
  std::array<std::uint8_t, 8> buffer{};
  std::size_t count = 0;
  EXPECT_EQ(closed.Read(buffer, count), ERROR_INVALID_HANDLE);
  EXPECT_EQ(closed.Write(AsBytes("x")), ERROR_INVALID_HANDLE);
  EXPECT_EQ(closed.SeekToEnd(), ERROR_INVALID_HANDLE);

  File moved;
  {
    File original;
    ASSERT_EQ(original.Open(path.c_str(), kGenericRead, kShareRead, kOpenExisting), ERROR_SUCCESS);
    moved = std::move(original);
    EXPECT_FALSE(original.IsOpen());
  }
  ASSERT_TRUE(moved.IsOpen());
  EXPECT_EQ(moved.Read(buffer, count), ERROR_SUCCESS);
  EXPECT_EQ(count, buffer.size());
  // At an offset, whatever the position; at or past the end, nothing.
  EXPECT_EQ(moved.ReadAt(buffer, 6, count), ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + count), "second");
  EXPECT_EQ(moved.ReadAt(buffer, 12, count), ERROR_SUCCESS);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(closed.ReadAt(buffer, 0, count), ERROR_INVALID_HANDLE);
}

// A tree made by the test script on the Linux side: inside\escape is a symbolic link to the
// directory outside, inside\escape.txt one to outside\secret.txt.
TEST(FileOpen, ConfinedToADirectoryWhateverTheLinks) {
  const char* tree = std::getenv("QUORIL_TEST_TREE");
  if (tree == nullptr) GTEST_SKIP() << "QUORIL_TEST_TREE names no tree with links";
  const std::string inside = std::string(tree) + "\\inside";
  const std::string outside = std::string(tree) + "\\outside";
  struct Case {
    const char* name;
    std::string path;
    std::uint32_t access;
    std::uint32_t disposition;
    Win32Error confined;
  };
  const Case cases[] = {
      {"a new file inside", inside + "\\new.txt", kGenericWrite, kCreateNew, ERROR_SUCCESS},
      {"the same, in other case", inside + "\\NEW.TXT", kGenericRead, kOpenExisting, ERROR_SUCCESS},
      {"outside by name", outside + "\\secret.txt", kGenericRead, kOpenExisting,
       ERROR_ACCESS_DENIED},
      {"outside by ..", inside + "\\..\\outside\\secret.txt", kGenericRead, kOpenExisting,
       ERROR_ACCESS_DENIED},
      {"a linked file", inside + "\\escape.txt", kGenericRead, kOpenExisting, ERROR_ACCESS_DENIED},
      {"emptying a linked file", inside + "\\escape.txt", kGenericWrite, kCreateAlways,
       ERROR_ACCESS_DENIED},
      {"through a linked directory", inside + "\\escape\\secret.txt", kGenericRead, kOpenExisting,
       ERROR_ACCESS_DENIED},
      {"creating through a linked directory", inside + "\\escape\\planted.txt", kGenericWrite,
       kCreateNew, ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    File file;
    EXPECT_EQ(file.Open(c.path.c_str(), c.access, kShareNone, c.disposition, inside.c_str()),
              c.confined)
        << c.name;
  }
  EXPECT_EQ(ReadFileText(outside + "\\secret.txt"), "secret");
  EXPECT_EQ(::GetFileAttributesA((outside + "\\planted.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  ::DeleteFileA((inside + "\\new.txt").c_str());

  // Unconfined, the links are followed like any path.
  File file;
  EXPECT_EQ(file.Open((inside + "\\escape.txt").c_str(), kGenericRead, kShareRead, kOpenExisting),
            ERROR_SUCCESS);
}

TEST(Paths, FullPathNames) {
  std::array<char, kMaxPath> buffer{};
  std::uint32_t length = 0;
  ASSERT_EQ(GetFullPathName("C:\\a\\.\\b\\..\\c.txt", buffer, length), ERROR_SUCCESS);
  EXPECT_STREQ(buffer.data(), "C:\\a\\c.txt");
  EXPECT_EQ(length, 10u);
  ASSERT_EQ(GetFullPathName("C:/a//b/", buffer, length), ERROR_SUCCESS);
  EXPECT_STREQ(buffer.data(), "C:\\a\\b\\");

  std::array<char, 5> small{};
  ASSERT_EQ(GetFullPathName("C:\\a\\c.txt", small, length), ERROR_SUCCESS);
  EXPECT_EQ(length, 11u) << "the size needed, terminator included";

  EXPECT_EQ(GetFullPathName("", buffer, length), ERROR_INVALID_NAME);
  EXPECT_EQ(GetFullPathName(nullptr, buffer, length), ERROR_INVALID_PARAMETER);
}

TEST(Paths, CurrentDirectory) {
  ScratchDirectory scratch;
  std::array<char, kMaxPath> before{};
  std::uint32_t length = 0;
  ASSERT_EQ(GetCurrentDirectory(before, length), ERROR_SUCCESS);

  const std::string directory = scratch.Directory("Current");
  ASSERT_EQ(SetCurrentDirectory(directory.c_str()), ERROR_SUCCESS);
  std::array<char, kMaxPath> now{};
  ASSERT_EQ(GetCurrentDirectory(now, length), ERROR_SUCCESS);
  EXPECT_EQ(std::string(now.data(), length), directory);
  std::array<char, kMaxPath> full{};
  ASSERT_EQ(GetFullPathName("relative.txt", full, length), ERROR_SUCCESS);
  EXPECT_EQ(std::string(full.data(), length), directory + "\\relative.txt");

  EXPECT_EQ(SetCurrentDirectory((directory + "\\missing").c_str()), ERROR_FILE_NOT_FOUND);
  WriteFileText(scratch.Path("a-file"), "x");
  EXPECT_EQ(SetCurrentDirectory((scratch.path() + "\\a-file").c_str()), ERROR_DIRECTORY);
  ASSERT_EQ(SetCurrentDirectory(before.data()), ERROR_SUCCESS);
}

TEST(Paths, ModuleFileName) {
  std::array<char, kMaxPath> buffer{};
  std::uint32_t length = 0;
  ASSERT_EQ(GetModuleFileName(buffer, length), ERROR_SUCCESS);
  const std::string name(buffer.data(), length);
  EXPECT_TRUE(name.ends_with("\\quoril_windows_tests.exe")) << name;

  std::array<char, 8> small;
  small.fill('x');
  EXPECT_EQ(GetModuleFileName(small, length), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, small.size());
  EXPECT_EQ(std::string(small.data()), name.substr(0, 7));
}

}  // namespace
}  // namespace quoril::platform
