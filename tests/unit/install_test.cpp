// Installation and removal against a scratch system root: the unit file, the event-log
// source and the default settings, and what each failure leaves behind.
#include "service/install.h"

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/registry.h"

namespace quoril {
namespace {

namespace fs = std::filesystem;
using platform::ModuleDirectoryRule;

TEST(DeriveModuleDirectory, ByEachRule) {
  struct Row {
    const char* path;
    ModuleDirectoryRule rule;
    int result;
    const char* directory;
  };
  const Row rows[] = {
      {"D:\\Tools\\Tftp\\QUORLD.EXE", ModuleDirectoryRule::kDropTenCharacterName, 1,
       "D:\\Tools\\Tftp"},
      {"D:\\QUORLD.EXE", ModuleDirectoryRule::kDropTenCharacterName, 1, "D:"},
      {"D:\\Q.EXE", ModuleDirectoryRule::kDropTenCharacterName, 0, ""},
      {"\\QUORLD.EXE", ModuleDirectoryRule::kDropTenCharacterName, 0, ""},
      {"/usr/local/sbin/quorld", ModuleDirectoryRule::kDropFileName, 1, "/usr/local/sbin"},
      {"/opt/Quoril/QUORLD", ModuleDirectoryRule::kDropFileName, 1, "/opt/Quoril"},
      {"/opt/a\\b/quorld", ModuleDirectoryRule::kDropFileName, 1, "/opt/a\\b"},
      {"/quorld", ModuleDirectoryRule::kDropFileName, 1, "/"},
      {"quorld", ModuleDirectoryRule::kDropFileName, 0, ""},
      {"", ModuleDirectoryRule::kDropFileName, 0, ""},
  };
  for (const Row& row : rows) {
    std::array<char, platform::kMaxPath> directory;
    directory.fill('x');
    const std::string path(row.path);
    ASSERT_EQ(DeriveModuleDirectory(path, row.rule, directory), row.result) << row.path;
    if (row.result == 1) {
      EXPECT_STREQ(directory.data(), row.directory) << row.path;
    }
  }
}

TEST(DeriveModuleDirectory, FitsTheLongestPath) {
  std::array<char, platform::kMaxPath> directory{};
  // 259 characters: a directory of 252 and "/quorld".
  const std::string longest = "/" + std::string(251, 'd') + "/quorld";
  ASSERT_EQ(longest.size(), 259u);
  ASSERT_EQ(DeriveModuleDirectory(longest, ModuleDirectoryRule::kDropFileName, directory), 1);
  EXPECT_EQ(std::string(directory.data()), longest.substr(0, 252));
  const std::string tooLong = "/" + std::string(300, 'd') + "/quorld";
  EXPECT_EQ(DeriveModuleDirectory(tooLong, ModuleDirectoryRule::kDropFileName, directory), 0);
}

// A scratch system root for one test, with the running executable's path at hand.
class InstallTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quoril-install-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    setenv("QUORIL_ROOT", root_.c_str(), 1);
    std::array<char, platform::kMaxPath> module{};
    std::uint32_t length = 0;
    ASSERT_EQ(platform::GetModuleFileName(module, length), ERROR_SUCCESS);
    modulePath_.assign(module.data(), length);
    directory_ = fs::path(modulePath_).parent_path().string();
    for (char& c : directory_) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
  }
  void TearDown() override {
    unsetenv("QUORIL_ROOT");
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  fs::path UnitFile() const { return root_ / "etc/systemd/system/quoril.service"; }

  static platform::ServiceManager OpenManager() {
    platform::ServiceManager manager;
    EXPECT_EQ(manager.Open(platform::kScManagerAllAccess), ERROR_SUCCESS);
    return manager;
  }

  static bool KeyExists(const char* key) {
    platform::RegistryKey opened;
    return opened.Open(key) == ERROR_SUCCESS;
  }

  // The value's type and bytes; type 0 when it cannot be read.
  static std::pair<std::uint32_t, std::vector<std::uint8_t>> Value(const char* key,
                                                                   const char* name) {
    platform::RegistryKey opened;
    if (opened.Open(key) != ERROR_SUCCESS) return {0, {}};
    std::array<std::uint8_t, 512> buffer{};
    std::uint32_t size = 0;
    std::uint32_t type = 0;
    if (opened.QueryValue(name, buffer, size, &type) != ERROR_SUCCESS) return {0, {}};
    return {type, std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + size)};
  }

  static std::vector<std::uint8_t> Text(const std::string& text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
  }

  static std::vector<std::uint8_t> Dword(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  }

  static void SetDword(const char* key, const char* name, std::uint32_t value) {
    platform::RegistryKey opened;
    ASSERT_EQ(opened.Create(key), ERROR_SUCCESS);
    const std::vector<std::uint8_t> bytes = Dword(value);
    ASSERT_EQ(opened.SetValue(name, platform::kRegDword, bytes), ERROR_SUCCESS);
  }

  static std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path root_;
  std::string modulePath_;
  std::string directory_;  // where the executable is, lower-cased
};

TEST_F(InstallTest, WritesTheServiceTheEventSourceAndTheDefaults) {
  ASSERT_EQ(InstallService(OpenManager()), 1);

  // The rest of the unit, its account and sandbox, is the service manager's (its own test).
  EXPECT_TRUE(ReadFile(UnitFile())
                  .starts_with("[Unit]\nDescription=Quoril\nWants=network-online.target\n"
                               "After=network-online.target\n\n[Service]\nType=notify\nExecStart=" +
                               modulePath_ + "\nUser=quoril\n"));

  using Expected = std::pair<std::uint32_t, std::vector<std::uint8_t>>;
  EXPECT_EQ(Value(kEventSourceKey, "EventMessageFile"),
            Expected(platform::kRegExpandSz, Text(modulePath_)));
  EXPECT_EQ(Value(kEventSourceKey, "TypesSupported"), Expected(platform::kRegDword, Dword(7)));

  struct Row {
    const char* name;
    Expected value;
  };
  const Row rows[] = {
      {"LogFile", {platform::kRegExpandSz, Text("quorld.log")}},
      {"DefaultDirectory", {platform::kRegExpandSz, Text(directory_)}},
      {"Timeout", {platform::kRegDword, Dword(3)}},
      {"MaxRetransmit", {platform::kRegDword, Dword(5)}},
      {"EnableLogging", {platform::kRegDword, Dword(0)}},
      {"OverwriteExisting", {platform::kRegDword, Dword(1)}},
      {"LimitToDefaultDirectory", {platform::kRegDword, Dword(0)}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Value(kParametersKey, row.name), row.value) << row.name;
  }
  EXPECT_EQ(Value(kParametersKey, "LogFile").second.size(), 11u);
}

TEST_F(InstallTest, ASecondInstallationFailsWithoutTouchingAnyKey) {
  ASSERT_EQ(InstallService(OpenManager()), 1);
  const std::string unit = ReadFile(UnitFile());
  SetDword(kParametersKey, "Timeout", 9);
  ASSERT_EQ(platform::DeleteRegistryKey(kEventSourceKey), ERROR_SUCCESS);

  EXPECT_EQ(InstallService(OpenManager()), 0);
  EXPECT_EQ(ReadFile(UnitFile()), unit);
  EXPECT_EQ(Value(kParametersKey, "Timeout").second, Dword(9));
  EXPECT_FALSE(KeyExists(kEventSourceKey));
}

TEST_F(InstallTest, RemovalDeletesTheServiceAndTheEventSourceButKeepsTheSettings) {
  ASSERT_EQ(InstallService(OpenManager()), 1);
  SetDword(kParametersKey, "Timeout", 9);

  EXPECT_EQ(RemoveService(OpenManager()), 1);
  EXPECT_FALSE(fs::exists(UnitFile()));
  EXPECT_FALSE(KeyExists(kEventSourceKey));
  EXPECT_EQ(Value(kParametersKey, "Timeout").second, Dword(9));
  EXPECT_EQ(Value(kParametersKey, "LimitToDefaultDirectory").second, Dword(0));

  // Installed again, the service finds its settings as they were.
  ASSERT_EQ(InstallService(OpenManager()), 1);
  EXPECT_EQ(Value(kParametersKey, "Timeout").second, Dword(3));
}

TEST_F(InstallTest, RemovingAMissingServiceLeavesTheEventSource) {
  {
    platform::RegistryKey key;
    ASSERT_EQ(key.Create(kEventSourceKey), ERROR_SUCCESS);
  }
  EXPECT_EQ(RemoveService(OpenManager()), 0);
  EXPECT_TRUE(KeyExists(kEventSourceKey));
}

TEST_F(InstallTest, RemovalWithoutTheEventSourceStillDeletesTheService) {
  ASSERT_EQ(InstallService(OpenManager()), 1);
  ASSERT_EQ(platform::DeleteRegistryKey(kEventSourceKey), ERROR_SUCCESS);
  EXPECT_EQ(RemoveService(OpenManager()), 0);
  EXPECT_FALSE(fs::exists(UnitFile()));
  EXPECT_TRUE(KeyExists(kParametersKey));
}

TEST_F(InstallTest, AManagerThatIsNotOpenChangesNothing) {
  const platform::ServiceManager closed;
  EXPECT_EQ(InstallService(closed), 0);
  EXPECT_EQ(RemoveService(closed), 0);
  EXPECT_FALSE(fs::exists(root_ / "etc"));
}

TEST_F(InstallTest, ARegistryThatCannotBeWrittenLeavesTheServiceRegistered) {
  fs::create_directories(root_ / "etc/quoril/registry.reg");
  EXPECT_EQ(InstallService(OpenManager()), 0);
  EXPECT_TRUE(fs::exists(UnitFile()));
  fs::remove(root_ / "etc/quoril/registry.reg");
  EXPECT_FALSE(KeyExists(kEventSourceKey));
  EXPECT_FALSE(KeyExists(kParametersKey));
}

}  // namespace
}  // namespace quoril
