// The registry as RegCreateKeyEx, RegQueryValueEx and their kin answer: the same cases for every
// backend, in a scratch key (on Windows of the real HKEY_LOCAL_MACHINE, removed after each case;
// on Linux of the registry file under a scratch system root).
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/contract/helpers.h"

namespace quoril::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kScratch[] = "SOFTWARE\\QuorilContractTest";
constexpr char kKey[] = "SOFTWARE\\QuorilContractTest\\Parameters";
constexpr char kChild[] = "SOFTWARE\\QuorilContractTest\\Parameters\\Child";

Win32Error DeleteTree(const std::string& path) {
  std::vector<std::string> subkeys;
  {
    RegistryKey key;
    if (const Win32Error error = key.Open(path.c_str())) return error;
    std::string name;
    for (std::uint32_t index = 0; key.EnumKey(index, name) == ERROR_SUCCESS; ++index) {
      subkeys.push_back(path + "\\" + name);
    }
  }
  for (const std::string& subkey : subkeys) DeleteTree(subkey);
  return DeleteRegistryKey(path.c_str());
}

class RegistryTest : public testing::Test {
 protected:
#ifndef _WIN32
  void SetUp() override {
    std::random_device random;
    root_ =
        std::filesystem::temp_directory_path() / ("quoril-registry-" + std::to_string(random()));
    std::filesystem::create_directories(root_);
    if (const char* old = std::getenv("QUORIL_ROOT")) savedRoot_ = old;
    ::setenv("QUORIL_ROOT", root_.c_str(), 1);
  }
#endif
  void TearDown() override {
    DeleteTree(kScratch);
#ifndef _WIN32
    if (savedRoot_) {
      ::setenv("QUORIL_ROOT", savedRoot_->c_str(), 1);
    } else {
      ::unsetenv("QUORIL_ROOT");
    }
    std::filesystem::remove_all(root_);
#endif
  }

#ifndef _WIN32
  std::filesystem::path root_;
  std::optional<std::string> savedRoot_;
#endif
};

TEST_F(RegistryTest, EveryValueKeepsItsTypeAndBytes) {
  struct Row {
    const char* name;
    std::uint32_t type;
    Bytes data;
  };
  const std::vector<Row> rows = {
      {"string", kRegSz, {'/', 's', 'r', 'v', 0}},
      {"string without terminator", kRegSz, {'a', 'b'}},
      {"string with NUL inside", kRegSz, {'a', 0, 'b', 0}},
      {"string with quotes and backslashes", kRegSz, {'"', '\\', '"', 0}},
      {"expandable string", kRegExpandSz, {'%', 'X', '%', '\\', 'x', 0}},
      {"dword", kRegDword, {0xff, 0xff, 0xff, 0xff}},
      {"short dword", kRegDword, {7}},
      {"binary", kRegBinary, {0, 1, 0xfe, 0xff, '\n', '\r'}},
      {"empty", kRegSz, {}},
      {"empty binary", kRegBinary, {}},
      {"other type", 11, {1, 2, 3, 4, 5, 6, 7, 8}},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(StoreValue(kKey, row.name, row.type, row.data), ERROR_SUCCESS) << row.name;
  }
  for (const Row& row : rows) {
    Bytes data;
    std::uint32_t type = 0;
    ASSERT_EQ(LoadValue(kKey, row.name, data, type), ERROR_SUCCESS) << row.name;
    EXPECT_EQ(type, row.type) << row.name;
    EXPECT_EQ(data, row.data) << row.name;
  }
  // Overwriting changes type and bytes together.
  ASSERT_EQ(StoreValue(kKey, "dword", kRegSz, Bytes{'x', 0}), ERROR_SUCCESS);
  Bytes data;
  std::uint32_t type = 0;
  ASSERT_EQ(LoadValue(kKey, "DWORD", data, type), ERROR_SUCCESS);
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(data, (Bytes{'x', 0}));
  // The default value is the one without a name.
  ASSERT_EQ(StoreValue(kKey, nullptr, kRegSz, Bytes{'d', 0}), ERROR_SUCCESS);
  ASSERT_EQ(LoadValue(kKey, "", data, type), ERROR_SUCCESS);
  EXPECT_EQ(data, (Bytes{'d', 0}));
}

TEST_F(RegistryTest, QueryAnswersAsRegQueryValueEx) {
  ASSERT_EQ(StoreValue(kKey, "LogFile", kRegExpandSz, Bytes{'a', 'b', 'c', 0}), ERROR_SUCCESS);
  ASSERT_EQ(StoreValue(kKey, "Empty", kRegBinary, Bytes{}), ERROR_SUCCESS);
  RegistryKey key;
  ASSERT_EQ(key.Open(kKey), ERROR_SUCCESS);

  std::array<std::uint8_t, 8> buffer{};
  std::uint32_t size = 99;
  std::uint32_t type = 0;
  EXPECT_EQ(key.QueryValue("Missing", buffer, size, &type), ERROR_FILE_NOT_FOUND);
#ifdef _WIN32
  // The Win32 backend words every failure; the file store only its own.
  EXPECT_FALSE(LastRegistryError().empty());
#endif

  // Too small: the size needed comes back, the buffer is not written.
  buffer.fill(0xEE);
  EXPECT_EQ(key.QueryValue("LogFile", std::span(buffer).first(3), size, &type), ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);
#ifndef _WIN32
  EXPECT_EQ(type, kRegExpandSz) << "the file store tells the type too, Win32 only on success";
#endif
  EXPECT_EQ(buffer[0], 0xEE);
  EXPECT_EQ(key.QueryValue("LogFile", std::span<std::uint8_t>(), size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);

  // Exactly fitting.
  EXPECT_EQ(key.QueryValue("logfile", std::span(buffer).first(4), size, &type), ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 4), (Bytes{'a', 'b', 'c', 0}));

  // No data into no buffer.
  EXPECT_EQ(key.QueryValue("Empty", std::span<std::uint8_t>(), size, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);

  RegistryKey missing;
  EXPECT_EQ(missing.Open(kChild), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_EQ(missing.QueryValue("LogFile", buffer, size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(missing.SetValue("LogFile", kRegSz, Bytes{0}), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, CreateOpensAnExistingKeyAndDeleteAnswersAsRegDeleteKey) {
  ASSERT_EQ(StoreValue(kChild, "V", kRegDword, Bytes{1, 0, 0, 0}), ERROR_SUCCESS)
      << "creates the keys above it too";
  RegistryKey again;
  ASSERT_EQ(again.Create(kChild), ERROR_SUCCESS);
  std::array<std::uint8_t, 4> buffer{};
  std::uint32_t size = 0;
  EXPECT_EQ(again.QueryValue("V", buffer, size), ERROR_SUCCESS) << "the existing key, kept";

  EXPECT_EQ(DeleteRegistryKey(kKey), ERROR_ACCESS_DENIED) << "it has a subkey";
  EXPECT_EQ(DeleteRegistryKey("SOFTWARE\\QuorilContractTest\\Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(DeleteRegistryKey(""), ERROR_ACCESS_DENIED) << "HKEY_LOCAL_MACHINE itself";
  EXPECT_EQ(DeleteRegistryKey("software\\QUORILCONTRACTTEST\\parameters\\CHILD"), ERROR_SUCCESS);
  EXPECT_EQ(DeleteRegistryKey(kChild), ERROR_FILE_NOT_FOUND);

  // A handle to the deleted key answers as Windows does.
  EXPECT_EQ(again.QueryValue("V", buffer, size), ERROR_KEY_DELETED);
  EXPECT_EQ(again.SetValue("V", kRegDword, buffer), ERROR_KEY_DELETED);

  // The key above stays, now without subkeys, so it may go too.
  RegistryKey parent;
  EXPECT_EQ(parent.Open(kKey), ERROR_SUCCESS);
  EXPECT_EQ(DeleteRegistryKey(kKey), ERROR_SUCCESS);
  EXPECT_EQ(parent.Open(kKey), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(parent.Open(kScratch), ERROR_SUCCESS);
}

TEST_F(RegistryTest, EnumeratesValuesAndSubkeysAndDeletesAValue) {
  RegistryKey key;
  ASSERT_EQ(key.Create(kKey), ERROR_SUCCESS);
  ASSERT_EQ(key.SetValue("First", kRegDword, Bytes{5, 0, 0, 0}), ERROR_SUCCESS);
  ASSERT_EQ(key.SetValue("Second", kRegSz, Bytes{'t', 'e', 'x', 't', 0}), ERROR_SUCCESS);
  RegistryKey child;
  ASSERT_EQ(child.Create(kChild), ERROR_SUCCESS);

  std::string name;
  std::uint32_t type = 0;
  Bytes data;
  ASSERT_EQ(key.EnumValue(1, name, type, data), ERROR_SUCCESS);
  EXPECT_EQ(name, "Second");
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(data, (Bytes{'t', 'e', 'x', 't', 0}));
  EXPECT_EQ(key.EnumValue(2, name, type, data), ERROR_NO_MORE_ITEMS);
  ASSERT_EQ(key.EnumKey(0, name), ERROR_SUCCESS);
  EXPECT_EQ(name, "Child");
  EXPECT_EQ(key.EnumKey(1, name), ERROR_NO_MORE_ITEMS);

  ASSERT_EQ(key.DeleteValue("First"), ERROR_SUCCESS);
  EXPECT_EQ(key.DeleteValue("First"), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(key.EnumValue(0, name, type, data), ERROR_SUCCESS);
  EXPECT_EQ(name, "Second");
}

TEST_F(RegistryTest, MovedKeysStayOpen) {
  RegistryKey key;
  ASSERT_EQ(key.Create(kKey), ERROR_SUCCESS);
  RegistryKey moved(std::move(key));
  EXPECT_FALSE(key.IsOpen());
  ASSERT_TRUE(moved.IsOpen());
  EXPECT_EQ(moved.SetValue("After", kRegSz, Bytes{'x', 0}), ERROR_SUCCESS);
  RegistryKey assigned;
  assigned = std::move(moved);
  std::array<std::uint8_t, 4> buffer{};
  std::uint32_t size = 0;
  EXPECT_EQ(assigned.QueryValue("After", buffer, size), ERROR_SUCCESS);
  EXPECT_EQ(size, 2u);
}

}  // namespace
}  // namespace quoril::platform
