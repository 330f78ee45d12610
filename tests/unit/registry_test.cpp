// The registry kept in a file under a scratch system root: the file as written and read, and
// never torn or silently replaced (the answers of every call are the contract suite's).
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/contract/helpers.h"

namespace quoril::platform {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr char kKey[] = "SYSTEM\\CurrentControlSet\\Services\\Quoril\\Parameters";

class RegistryStore : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    root_ = fs::temp_directory_path() / ("quoril-registry-" + std::to_string(random()));
    fs::create_directories(root_);
    if (const char* old = std::getenv("QUORIL_ROOT")) savedRoot_ = old;
    ::setenv("QUORIL_ROOT", root_.c_str(), 1);
  }
  void TearDown() override {
    if (savedRoot_) {
      ::setenv("QUORIL_ROOT", savedRoot_->c_str(), 1);
    } else {
      ::unsetenv("QUORIL_ROOT");
    }
    fs::remove_all(root_);
  }

  fs::path File() const { return root_ / "etc/quoril/registry.reg"; }
  std::string ReadFile() const {
    std::ifstream in(File(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void WriteFile(const std::string& text) const {
    fs::create_directories(File().parent_path());
    std::ofstream(File(), std::ios::binary) << text;
  }

  fs::path root_;
  std::optional<std::string> savedRoot_;
};

TEST_F(RegistryStore, MissingFileIsAnEmptyRegistry) {
  RegistryKey key;
  EXPECT_EQ(key.Open(kKey), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(key.IsOpen());
  EXPECT_EQ(key.Open(""), ERROR_SUCCESS);  // HKEY_LOCAL_MACHINE itself
  EXPECT_EQ(DeleteRegistryKey(kKey), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(File()));  // reading creates nothing
}

TEST_F(RegistryStore, CreateMakesEveryKeyOnThePath) {
  RegistryKey key;
  ASSERT_EQ(key.Create(kKey), ERROR_SUCCESS);
  EXPECT_TRUE(key.IsOpen());
  for (const char* path :
       {"SYSTEM", "system\\currentcontrolset", "SYSTEM\\CurrentControlSet\\Services",
        "SYSTEM\\CurrentControlSet\\Services\\Quoril\\", kKey}) {
    RegistryKey other;
    EXPECT_EQ(other.Open(path), ERROR_SUCCESS) << path;
  }
  EXPECT_TRUE(ReadFile().starts_with("REGEDIT4\n"));
  // Creating again opens the existing key and keeps its values.
  ASSERT_EQ(key.SetValue("Timeout", kRegDword, Bytes{3, 0, 0, 0}), ERROR_SUCCESS);
  RegistryKey again;
  ASSERT_EQ(again.Create("system\\CURRENTCONTROLSET\\services\\quoril\\parameters"), ERROR_SUCCESS);
  std::array<std::uint8_t, 4> number{};
  std::uint32_t size = 0;
  EXPECT_EQ(again.QueryValue("TIMEOUT", number, size), ERROR_SUCCESS);
  EXPECT_EQ(number[0], 3);
  // Stored case is what the first Create used.
  EXPECT_NE(ReadFile().find("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quoril\\"
                            "Parameters]\n\"Timeout\"=dword:00000003\n"),
            std::string::npos)
      << ReadFile();
  // The default value, the one without a name, is written as @.
  ASSERT_EQ(key.SetValue(nullptr, kRegSz, Bytes{'d', 0}), ERROR_SUCCESS);
  EXPECT_NE(ReadFile().find("\n@=\"d\"\n"), std::string::npos);
}

TEST_F(RegistryStore, RefusesNamesTheFileCannotHold) {
  RegistryKey key;
  EXPECT_EQ(key.Create("\\Leading"), ERROR_BAD_PATHNAME);
  EXPECT_EQ(key.Create("A\\\\B"), ERROR_BAD_PATHNAME);
  EXPECT_EQ(key.Open("A\\\\B"), ERROR_BAD_PATHNAME);
  EXPECT_EQ(key.Create("A\nB"), ERROR_INVALID_PARAMETER);
  ASSERT_EQ(key.Create("A"), ERROR_SUCCESS);
  EXPECT_EQ(key.SetValue("x\ny", kRegSz, Bytes{0}), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(key.SetValue("x\ry", kRegSz, Bytes{0}), ERROR_INVALID_PARAMETER);
  // Whatever happened, the file still reads.
  RegistryKey check;
  EXPECT_EQ(check.Open("A"), ERROR_SUCCESS);
}

TEST_F(RegistryStore, ReadsAFileEditedByHand) {
  WriteFile(
      "REGEDIT4\r\n\r\n; edited by hand\r\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quoril\\Parameters]\r\n"
      "\"DefaultDirectory\"=\"/srv/tftp\"\r\n\"Timeout\"=dword:a\r\n"
      "\"MaxRetransmit\"=hex(4):05,00,00,00\r\n");
  Bytes data;
  std::uint32_t type = 0;
  ASSERT_EQ(LoadValue(kKey, "defaultdirectory", data, type), ERROR_SUCCESS);
  EXPECT_EQ(data, (Bytes{'/', 's', 'r', 'v', '/', 't', 'f', 't', 'p', 0}));
  ASSERT_EQ(LoadValue(kKey, "Timeout", data, type), ERROR_SUCCESS);
  EXPECT_EQ(data, (Bytes{10, 0, 0, 0}));
  ASSERT_EQ(LoadValue(kKey, "MaxRetransmit", data, type), ERROR_SUCCESS);
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(data, (Bytes{5, 0, 0, 0}));
}

TEST_F(RegistryStore, UnreadableFileFailsEveryCallAndIsKept) {
  const std::vector<std::string> corrupt = {
      "",
      "garbage\n",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SYSTEM\n",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"B\"=hex:01,\\\n",
  };
  for (const std::string& text : corrupt) {
    SCOPED_TRACE(text);
    WriteFile(text);
    RegistryKey key;
    EXPECT_EQ(key.Open(""), ERROR_REGISTRY_CORRUPT);
    EXPECT_NE(LastRegistryError().find("registry.reg: line "), std::string::npos)
        << LastRegistryError();
    EXPECT_EQ(key.Create("A"), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(DeleteRegistryKey("A"), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(ReadFile(), text);  // never replaced by a guess
  }
  // Not a file at all.
  fs::remove(File());
  fs::create_directory(File());
  RegistryKey key;
  EXPECT_EQ(key.Open(""), ERROR_REGISTRY_CORRUPT);
  EXPECT_NE(LastRegistryError().find("not a regular file"), std::string::npos);
}

TEST_F(RegistryStore, ChangesLeaveNoTemporaryFilesAndKeepTheMode) {
  ASSERT_EQ(StoreValue(kKey, "A", kRegDword, Bytes{1, 0, 0, 0}), ERROR_SUCCESS);
  fs::permissions(File(), fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_EQ(StoreValue(kKey, "B", kRegDword, Bytes{2, 0, 0, 0}), ERROR_SUCCESS);
  EXPECT_EQ(fs::status(File()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(File().parent_path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
}

// Writers in several threads lose no update, and a reader never meets a torn file.
TEST_F(RegistryStore, ConcurrentChangesAreNeitherLostNorTorn) {
  constexpr int kWriters = 4;
  constexpr int kValuesEach = 15;
  std::atomic<bool> done{false};
  std::atomic<int> readFailures{0};
  std::thread reader([&] {
    while (!done) {
      RegistryKey key;
      Win32Error error = key.Open("");
      if (error != ERROR_SUCCESS) ++readFailures;
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([w] {
      for (int i = 0; i < kValuesEach; ++i) {
        std::string name = "V" + std::to_string(w) + "_" + std::to_string(i);
        Bytes data(200, static_cast<std::uint8_t>(i));
        EXPECT_EQ(StoreValue("Load\\Test", name.c_str(), kRegBinary, data), ERROR_SUCCESS);
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  done = true;
  reader.join();
  EXPECT_EQ(readFailures, 0);
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kValuesEach; ++i) {
      std::string name = "V" + std::to_string(w) + "_" + std::to_string(i);
      Bytes data;
      std::uint32_t type = 0;
      ASSERT_EQ(LoadValue("Load\\Test", name.c_str(), data, type), ERROR_SUCCESS) << name;
      EXPECT_EQ(data, Bytes(200, static_cast<std::uint8_t>(i)));
    }
  }
}

TEST_F(RegistryStore, RootFollowsTheEnvironment) {
  ASSERT_EQ(StoreValue("Here", "V", kRegDword, Bytes{1, 0, 0, 0}), ERROR_SUCCESS);
  fs::path other = root_ / "other";
  fs::create_directories(other);
  ::setenv("QUORIL_ROOT", other.c_str(), 1);
  RegistryKey key;
  EXPECT_EQ(key.Open("Here"), ERROR_FILE_NOT_FOUND);
  ::setenv("QUORIL_ROOT", root_.c_str(), 1);
  EXPECT_EQ(key.Open("Here"), ERROR_SUCCESS);

  // A relative root stays where it was first found when the process changes directory,
  // as the server does when it moves into its default directory.
  const fs::path saved = fs::current_path();
  fs::current_path(root_.parent_path());
  ::setenv("QUORIL_ROOT", root_.filename().c_str(), 1);
  EXPECT_EQ(key.Open("Here"), ERROR_SUCCESS);
  fs::current_path(other);
  EXPECT_EQ(key.Open("Here"), ERROR_SUCCESS);
  EXPECT_EQ(key.SetValue("W", kRegDword, Bytes{2, 0, 0, 0}), ERROR_SUCCESS);
  fs::current_path(saved);
  EXPECT_FALSE(fs::exists(other / root_.filename()));
}

}  // namespace
}  // namespace quoril::platform
