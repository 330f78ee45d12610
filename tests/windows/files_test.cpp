// Files and paths as only the Win32 backend has them: the rights of the service's own files,
// what is never opened, the confinement through links made on the Linux side, and the path
// calls (the cases both backends share are in tests/contract).
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

std::string TextOfBytes(std::span<const std::uint8_t> data) {
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
  return TextOfBytes(std::span(buffer.data(), count));
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
