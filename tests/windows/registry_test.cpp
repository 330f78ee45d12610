// The registry of the Win32 backend, in a scratch key of HKEY_LOCAL_MACHINE.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace quoril::platform {
namespace {

constexpr const char* kScratchKey = "SOFTWARE\\QuorilWindowsTest";
constexpr const char* kChildKey = "SOFTWARE\\QuorilWindowsTest\\Child";

std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class RegistryTest : public testing::Test {
 protected:
  void TearDown() override {
    DeleteRegistryKey(kChildKey);
    DeleteRegistryKey(kScratchKey);
  }
};

TEST_F(RegistryTest, ValuesKeepTheirTypeAndExactBytes) {
  RegistryKey key;
  ASSERT_EQ(key.Create(kScratchKey), ERROR_SUCCESS);
  struct Case {
    const char* name;
    std::uint32_t type;
    std::string data;
  };
  const Case cases[] = {
      {"Text", kRegSz, std::string("quorld.log\0", 11)},
      {"Expandable", kRegExpandSz, std::string("%SystemRoot%\\x\0", 15)},
      {"Number", kRegDword, std::string("\x03\x00\x00\x00", 4)},
      {"Raw", kRegBinary, std::string("\x00\xFF\r\n", 4)},
      {"Empty", kRegBinary, std::string()},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(key.SetValue(c.name, c.type, AsBytes(c.data)), ERROR_SUCCESS) << c.name;
  }
  RegistryKey reader;
  ASSERT_EQ(reader.Open(kScratchKey), ERROR_SUCCESS);
  for (const Case& c : cases) {
    std::array<std::uint8_t, 64> buffer{};
    std::uint32_t size = 0;
    std::uint32_t type = 0;
    ASSERT_EQ(reader.QueryValue(c.name, buffer, size, &type), ERROR_SUCCESS) << c.name;
    EXPECT_EQ(type, c.type) << c.name;
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + size), c.data) << c.name;
  }
  // Overwritten, with another type.
  ASSERT_EQ(key.SetValue("Number", kRegBinary, AsBytes("\x07")), ERROR_SUCCESS);
  std::array<std::uint8_t, 4> number{};
  std::uint32_t size = 0;
  std::uint32_t type = 0;
  ASSERT_EQ(reader.QueryValue("Number", number, size, &type), ERROR_SUCCESS);
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(size, 1u);
}

TEST_F(RegistryTest, FailuresOfReads) {
  RegistryKey key;
  ASSERT_EQ(key.Create(kScratchKey), ERROR_SUCCESS);
  ASSERT_EQ(key.SetValue("Long", kRegSz, AsBytes(std::string("0123456789\0", 11))), ERROR_SUCCESS);
  std::array<std::uint8_t, 10> buffer{};
  std::uint32_t size = 0;
  EXPECT_EQ(key.QueryValue("Long", buffer, size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(key.QueryValue("Long", std::span<std::uint8_t>(), size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(key.QueryValue("Missing", buffer, size), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(LastRegistryError().empty());

  RegistryKey missing;
  EXPECT_EQ(missing.Open("SOFTWARE\\QuorilWindowsTest\\NoSuchKey"), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_EQ(missing.QueryValue("Long", buffer, size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(missing.SetValue("Long", kRegSz, AsBytes("x")), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, CreateOpensAnExistingKeyAndDeleteWantsNoSubkeys) {
  {
    RegistryKey key;
    ASSERT_EQ(key.Create(kChildKey), ERROR_SUCCESS) << "creates the keys above it too";
    ASSERT_EQ(key.SetValue("Kept", kRegDword, AsBytes(std::string("\x01\x00\x00\x00", 4))),
              ERROR_SUCCESS);
  }
  RegistryKey again;
  ASSERT_EQ(again.Create(kChildKey), ERROR_SUCCESS);
  std::array<std::uint8_t, 4> buffer{};
  std::uint32_t size = 0;
  EXPECT_EQ(again.QueryValue("Kept", buffer, size), ERROR_SUCCESS);
  again.Close();

  EXPECT_NE(DeleteRegistryKey(kScratchKey), ERROR_SUCCESS) << "it has a subkey";
  EXPECT_EQ(DeleteRegistryKey(kChildKey), ERROR_SUCCESS);
  EXPECT_EQ(DeleteRegistryKey(kScratchKey), ERROR_SUCCESS);
  EXPECT_EQ(DeleteRegistryKey(kScratchKey), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, EnumeratesValuesAndSubkeysAndDeletesAValue) {
  RegistryKey key;
  ASSERT_EQ(key.Create(kScratchKey), ERROR_SUCCESS);
  ASSERT_EQ(key.SetValue("First", kRegDword, AsBytes(std::string("\x05\0\0\0", 4))), ERROR_SUCCESS);
  ASSERT_EQ(key.SetValue("Second", kRegSz, AsBytes(std::string("text\0", 5))), ERROR_SUCCESS);
  RegistryKey child;
  ASSERT_EQ(child.Create(kChildKey), ERROR_SUCCESS);

  std::string name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  ASSERT_EQ(key.EnumValue(1, name, type, data), ERROR_SUCCESS);
  EXPECT_EQ(name, "Second");
  EXPECT_EQ(type, kRegSz);
  EXPECT_EQ(std::string(data.begin(), data.end()), std::string("text\0", 5));
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
  ASSERT_EQ(key.Create(kScratchKey), ERROR_SUCCESS);
  RegistryKey moved(std::move(key));
  EXPECT_FALSE(key.IsOpen());
  ASSERT_TRUE(moved.IsOpen());
  EXPECT_EQ(moved.SetValue("After", kRegSz, AsBytes(std::string("x\0", 2))), ERROR_SUCCESS);
  RegistryKey assigned;
  assigned = std::move(moved);
  std::array<std::uint8_t, 4> buffer{};
  std::uint32_t size = 0;
  EXPECT_EQ(assigned.QueryValue("After", buffer, size), ERROR_SUCCESS);
  EXPECT_EQ(size, 2u);
}

}  // namespace
}  // namespace quoril::platform
