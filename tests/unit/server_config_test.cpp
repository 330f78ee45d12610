// LoadServerConfig against real registry files in a scratch system root: each value's
// rules, limits and clamps, and what the load leaves behind on either outcome.
#include "config/server_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "config/transfer_log.h"
#include "platform/registry.h"
#include "tftp/listener.h"

namespace quoril {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct Setting {
  std::string name;
  std::uint32_t type;
  Bytes data;
};
using Settings = std::vector<Setting>;

Bytes Text(std::string_view text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

Bytes Number(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

Setting* Find(Settings& settings, std::string_view name) {
  auto found = std::ranges::find(settings, name, &Setting::name);
  return found == settings.end() ? nullptr : &*found;
}

std::string DirectoryOf(const ServerConfig& config) {
  return std::string(config.DefaultDirectory.data());
}

class LoadServerConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedDirectory_ = fs::current_path();
    if (const char* old = std::getenv("QUORIL_ROOT")) savedRoot_ = old;
    std::random_device random;
    root_ = fs::temp_directory_path() / ("quoril-config-" + std::to_string(random()));
    serve_ = root_ / "srv" / "tftp";
    fs::create_directories(serve_);
    ::setenv("QUORIL_ROOT", root_.c_str(), 1);
  }
  void TearDown() override {
    CloseTransferLog();
    fs::current_path(savedDirectory_);
    if (savedRoot_) {
      ::setenv("QUORIL_ROOT", savedRoot_->c_str(), 1);
    } else {
      ::unsetenv("QUORIL_ROOT");
    }
    fs::remove_all(root_);
  }

  // What installation writes, serving the scratch directory.
  Settings Defaults() const {
    return {
        {"DefaultDirectory", platform::kRegExpandSz, Text(serve_.string())},
        {"LogFile", platform::kRegExpandSz, Text("quorld.log")},
        {"EnableLogging", platform::kRegDword, Number(0)},
        {"Timeout", platform::kRegDword, Number(3)},
        {"MaxRetransmit", platform::kRegDword, Number(5)},
        {"OverwriteExisting", platform::kRegDword, Number(1)},
        {"LimitToDefaultDirectory", platform::kRegDword, Number(0)},
    };
  }

  static void Write(const Settings& settings) {
    platform::RegistryKey key;
    ASSERT_EQ(key.Create(kParametersKey), ERROR_SUCCESS);
    for (const Setting& setting : settings) {
      ASSERT_EQ(key.SetValue(setting.name.c_str(), setting.type, setting.data), ERROR_SUCCESS);
    }
  }

  // Writes the settings and loads them, as the start does, into a config that holds other
  // values first, so that every field the load sets is seen to change.
  int Load(const Settings& settings, int (*load)(ServerConfig&) = SetUpFromSettings) {
    Write(settings);
    if (HasFailure()) return -1;
    config_ = ServerConfig{};
    config_.DefaultDirectory.fill('?');
    config_.EnableLogging = 77;
    config_.Timeout = 77;
    config_.MaxRetransmit = 77;
    config_.OverwriteExisting = 77;
    config_.LimitToDefaultDirectory = 77;
    fs::current_path(root_);
    return load(config_);
  }

  static bool IsCurrentDirectory(const fs::path& path) {
    return fs::equivalent(fs::current_path(), path);
  }

  fs::path root_;
  fs::path serve_;
  fs::path savedDirectory_;
  ServerConfig config_;
  std::optional<std::string> savedRoot_;
};

TEST_F(LoadServerConfigTest, InstallerDefaultsLoad) {
  ASSERT_EQ(Load(Defaults()), 1);
  EXPECT_EQ(DirectoryOf(config_), serve_.string());
  EXPECT_TRUE(IsCurrentDirectory(serve_));
  EXPECT_EQ(config_.EnableLogging, 0u);
  EXPECT_EQ(config_.Timeout, 3);
  EXPECT_EQ(config_.MaxRetransmit, 5u);
  EXPECT_EQ(config_.OverwriteExisting, 1u);
  EXPECT_EQ(config_.LimitToDefaultDirectory, 0u);
  EXPECT_FALSE(fs::exists(serve_ / "quorld.log"));  // logging off touches no file
}

TEST_F(LoadServerConfigTest, EveryValueMissingInTurnFailsTheLoad) {
  for (const Setting& missing : Defaults()) {
    SCOPED_TRACE(missing.name);
    platform::DeleteRegistryKey(kParametersKey);
    Settings settings = Defaults();
    std::erase_if(settings, [&](const Setting& s) { return s.name == missing.name; });
    // Logging asked for, so that a failure is seen to turn it off again.
    if (Setting* enable = Find(settings, "EnableLogging")) enable->data = Number(1);
    EXPECT_EQ(Load(settings), 0);
    EXPECT_EQ(config_.EnableLogging, 0u);
    EXPECT_FALSE(fs::exists(serve_ / "quorld.log"));
  }
}

TEST_F(LoadServerConfigTest, MissingOrUnreadableRegistryFailsTheLoad) {
  config_.EnableLogging = 1;
  EXPECT_EQ(LoadServerConfig(config_), 0);  // no registry file at all
  EXPECT_EQ(config_.EnableLogging, 0u);

  platform::RegistryKey key;
  ASSERT_EQ(key.Create("SYSTEM\\CurrentControlSet\\Services\\Quoril"), ERROR_SUCCESS);
  EXPECT_EQ(LoadServerConfig(config_), 0);  // the service key without Parameters

  Write(Defaults());
  std::ofstream(root_ / "etc/quoril/registry.reg", std::ios::app) << "\"Broken\"=dword:xyz\n";
  EXPECT_EQ(LoadServerConfig(config_), 0);
  EXPECT_NE(platform::LastRegistryError().find("line "), std::string::npos);
}

TEST_F(LoadServerConfigTest, ReadsAFileWrittenByHand) {
  fs::create_directories(root_ / "etc/quoril");
  std::ofstream(root_ / "etc/quoril/registry.reg", std::ios::binary)
      << "REGEDIT4\r\n\r\n; test settings\r\n"
         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Quoril\\Parameters]\r\n"
         "\"DefaultDirectory\"=\""
      << serve_.string()
      << "\"\r\n\"LogFile\"=\"\"\r\n\"EnableLogging\"=dword:1\r\n\"Timeout\"=dword:a\r\n"
         "\"MaxRetransmit\"=hex(4):02,00,00,00\r\n\"OverwriteExisting\"=dword:00000004\r\n"
         "\"LimitToDefaultDirectory\"=dword:00000001\r\n";
  ASSERT_EQ(SetUpFromSettings(config_), 1) << platform::LastRegistryError();
  EXPECT_EQ(config_.EnableLogging, 0u);  // empty LogFile
  EXPECT_EQ(config_.Timeout, 10);
  EXPECT_EQ(config_.MaxRetransmit, 2u);
  EXPECT_EQ(config_.OverwriteExisting, 4u);
  EXPECT_EQ(config_.LimitToDefaultDirectory, 1u);
  EXPECT_TRUE(IsCurrentDirectory(serve_));
}

struct NumberCase {
  const char* value;
  std::uint32_t type;
  Bytes data;
  int result;
  std::function<bool(const ServerConfig&)> holds;
};

TEST_F(LoadServerConfigTest, NumbersAreClampedOrTakenAsStored) {
  using C = const ServerConfig&;
  const std::uint32_t dword = platform::kRegDword;
  const std::vector<NumberCase> cases = {
      {"Timeout", dword, Number(0), 1, [](C c) { return c.Timeout == 1; }},
      {"Timeout", dword, Number(1), 1, [](C c) { return c.Timeout == 1; }},
      {"Timeout", dword, Number(0xFFFFFFFF), 1, [](C c) { return c.Timeout == 1; }},
      {"Timeout", dword, Number(0x80000000), 1, [](C c) { return c.Timeout == 1; }},
      {"Timeout", dword, Number(255), 1, [](C c) { return c.Timeout == 255; }},
      {"Timeout", dword, Number(256), 1, [](C c) { return c.Timeout == 255; }},
      {"Timeout", dword, Number(0x7FFFFFFF), 1, [](C c) { return c.Timeout == 255; }},
      {"MaxRetransmit", dword, Number(0), 1, [](C c) { return c.MaxRetransmit == 0; }},
      {"MaxRetransmit", dword, Number(50), 1, [](C c) { return c.MaxRetransmit == 50; }},
      {"MaxRetransmit", dword, Number(51), 1, [](C c) { return c.MaxRetransmit == 50; }},
      {"MaxRetransmit", dword, Number(0xFFFFFFFF), 1, [](C c) { return c.MaxRetransmit == 50; }},
      {"OverwriteExisting", dword, Number(0), 1, [](C c) { return c.OverwriteExisting == 0; }},
      {"OverwriteExisting", dword, Number(6), 1, [](C c) { return c.OverwriteExisting == 6; }},
      {"LimitToDefaultDirectory", dword, Number(0x12345678), 1,
       [](C c) { return c.LimitToDefaultDirectory == 0x12345678; }},
      // Four bytes of a type that claims nothing are a little-endian number; a text is no
      // number, whatever its bytes.
      {"Timeout", platform::kRegBinary, {10, 0, 0, 0}, 1, [](C c) { return c.Timeout == 10; }},
      {"MaxRetransmit", platform::kRegSz, {'\x07', 0, 0, 0}, 0, nullptr},
      {"Timeout", platform::kRegSz, Text("100"), 0, nullptr},
      {"OverwriteExisting", platform::kRegExpandSz, {2, 0, 0, 0}, 0, nullptr},
      {"LimitToDefaultDirectory",
       0,
       {0, 0, 0, 1},
       1,
       [](C c) { return c.LimitToDefaultDirectory == 0x01000000; }},
      // More than four bytes do not fit the field; fewer make no number.
      {"Timeout", dword, {3, 0, 0, 0, 0}, 0, nullptr},
      {"MaxRetransmit", platform::kRegBinary, {5, 0, 0}, 0, nullptr},
      {"OverwriteExisting", platform::kRegBinary, {}, 0, nullptr},
      {"EnableLogging", platform::kRegSz, Text("1"), 0, nullptr},
      {"LimitToDefaultDirectory", dword, {1}, 0, nullptr},
  };
  for (const NumberCase& c : cases) {
    SCOPED_TRACE(std::string(c.value) + " of " + std::to_string(c.data.size()) + " bytes");
    platform::DeleteRegistryKey(kParametersKey);
    Settings settings = Defaults();
    *Find(settings, c.value) = {c.value, c.type, c.data};
    ASSERT_EQ(Load(settings), c.result);
    if (c.holds) {
      EXPECT_TRUE(c.holds(config_));
    }
  }
}

TEST_F(LoadServerConfigTest, OptionSettingsAreOptionalAndClamped) {
  struct Row {
    std::vector<std::pair<std::string, Bytes>> values;
    int result;
    std::uint32_t negotiate, maxBlockSize, maxWindowSize;
  };
  const Row rows[] = {
      {{}, 1, 0, 1468, 64},  // absent: nothing after a request's mode is read
      {{{"NegotiateOptions", Number(1)}}, 1, 1, 1468, 64},
      {{{"MaxBlockSize", Number(7)}, {"MaxWindowSize", Number(0)}}, 1, 0, 8, 1},
      {{{"MaxBlockSize", Number(65465)}, {"MaxWindowSize", Number(65536)}}, 1, 0, 65464, 65535},
      {{{"MaxBlockSize", Number(9000)}, {"MaxWindowSize", Number(16)}}, 1, 0, 9000, 16},
      {{{"NegotiateOptions", Text("1")}}, 0, 0, 0, 0},
      {{{"MaxWindowSize", {8, 0, 0, 0, 0}}}, 0, 0, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.values.empty() ? "absent" : row.values[0].first);
    platform::DeleteRegistryKey(kParametersKey);
    Settings settings = Defaults();
    for (const auto& [name, data] : row.values) {
      settings.push_back({name, platform::kRegDword, data});
    }
    ASSERT_EQ(Load(settings), row.result);
    if (row.result == 0) continue;
    EXPECT_EQ(config_.NegotiateOptions, row.negotiate);
    EXPECT_EQ(config_.MaxBlockSize, row.maxBlockSize);
    EXPECT_EQ(config_.MaxWindowSize, row.maxWindowSize);
  }
}

// A directory path of exactly `length` characters under `base`, created on disk.
fs::path DirectoryOfLength(const fs::path& base, std::size_t length) {
  std::string path = base.string();
  std::size_t left = length - path.size();
  while (left > 0) {
    // Each component costs its '/' too; never leave a single character for the last one.
    std::size_t name = std::min<std::size_t>(left - 1, 200);
    if (left - (name + 1) == 1) --name;
    path += '/' + std::string(name, 'd');
    left -= name + 1;
  }
  fs::create_directories(path);
  return path;
}

struct TextCase {
  const char* name;
  const char* value;
  Bytes data;
  int result;
};

TEST_F(LoadServerConfigTest, TextsMustFitTheirBuffers) {
  const fs::path deep259 = DirectoryOfLength(root_ / "deep", 259);
  const fs::path deep260 = DirectoryOfLength(root_ / "deeper", 260);
  ASSERT_EQ(deep259.string().size(), 259u);
  ASSERT_EQ(deep260.string().size(), 260u);
  const std::string text260 = deep260.string();
  const std::string textShort = serve_.string();
  const Bytes unterminated260(text260.begin(), text260.end());
  const Bytes unterminatedShort(textShort.begin(), textShort.end());
  const std::vector<TextCase> cases = {
      {"259 characters and the terminator", "DefaultDirectory", Text(deep259.string()), 1},
      {"260 characters and the terminator", "DefaultDirectory", Text(deep260.string()), 0},
      // With no terminator, 260 characters leave no room for one.
      {"260 characters without terminator", "DefaultDirectory", unterminated260, 0},
      {"short text without terminator", "DefaultDirectory", unterminatedShort, 1},
      {"49 characters and the terminator", "LogFile", Text(std::string(49, 'l')), 1},
      {"50 characters and the terminator", "LogFile", Text(std::string(50, 'l')), 0},
      {"50 characters without terminator", "LogFile", Bytes(50, 'l'), 0},
      {"49 characters without terminator", "LogFile", Bytes(49, 'l'), 1},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.name);
    platform::DeleteRegistryKey(kParametersKey);
    Settings settings = Defaults();
    Find(settings, c.value)->data = c.data;
    ASSERT_EQ(Load(settings), c.result);
    if (c.result == 1 && std::string(c.value) == "DefaultDirectory") {
      EXPECT_EQ(DirectoryOf(config_).size(), std::min<std::size_t>(c.data.size(), 259));
    }
  }
  // The longest directory becomes the current one.
  platform::DeleteRegistryKey(kParametersKey);
  Settings settings = Defaults();
  Find(settings, "DefaultDirectory")->data = Text(deep259.string());
  ASSERT_EQ(Load(settings), 1);
  EXPECT_TRUE(IsCurrentDirectory(deep259));
}

TEST_F(LoadServerConfigTest, DefaultDirectoryRules) {
  fs::create_directories(root_ / "Boot" / "TFTP");
  // Bytes outside 'A' to 'Z' stay as they are, so this name is found as stored.
  const fs::path latin = root_ / "caf\xE9";
  fs::create_directories(latin);

  struct Case {
    const char* name;
    Bytes data;
    int result;
    std::string expected;  // DefaultDirectory after a successful load
    fs::path current;
  };
  const std::string lowerRoot = [&] {
    std::string text = root_.string();
    std::ranges::transform(text, text.begin(), [](char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return text;
  }();
  const std::vector<Case> cases = {
      {"mixed case is lowered and still found", Text(root_.string() + "/Boot/TFTP"), 1,
       lowerRoot + "/boot/tftp", root_ / "Boot" / "TFTP"},
      {"only A to Z change", Text(root_.string() + "/caf\xE9"), 1, lowerRoot + "/caf\xE9", latin},
      {"empty text is the current directory", Text(""), 1, lowerRoot, root_},
      {"no data is the current directory", Bytes{}, 1, lowerRoot, root_},
      {"directory that does not exist", Text(root_.string() + "/missing"), 0, "", {}},
      {"environment reference is not expanded", Text("%SystemRoot%"), 0, "", {}},
      {"a file, not a directory", Text(root_.string() + "/etc/quoril/registry.reg"), 0, "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::DeleteRegistryKey(kParametersKey);
    Settings settings = Defaults();
    Find(settings, "DefaultDirectory")->data = c.data;
    ASSERT_EQ(Load(settings), c.result);  // Load starts in root_
    if (c.result == 1) {
      EXPECT_EQ(DirectoryOf(config_), c.expected);
      EXPECT_TRUE(IsCurrentDirectory(c.current));
    }
  }
}

TEST_F(LoadServerConfigTest, LogOpensOnlyWhenLoggingIsOn) {
  Settings settings = Defaults();
  Find(settings, "EnableLogging")->data = Number(1);
  Find(settings, "LogFile")->data = Text("");
  ASSERT_EQ(Load(settings), 1);
  EXPECT_EQ(config_.EnableLogging, 0u);
  EXPECT_TRUE(fs::is_empty(serve_));

  Find(settings, "LogFile")->data = Text("Quorld.LOG");
  Find(settings, "EnableLogging")->data = Number(0);
  ASSERT_EQ(Load(settings), 1);
  EXPECT_EQ(config_.EnableLogging, 0u);
  EXPECT_TRUE(fs::is_empty(serve_));

  // Any nonzero value turns logging on; the name is lowered and resolves against the
  // default directory.
  Find(settings, "EnableLogging")->data = Number(7);
  ASSERT_EQ(Load(settings), 1);
  EXPECT_EQ(config_.EnableLogging, 1u);
  EXPECT_TRUE(fs::exists(serve_ / "quorld.log"));
  CloseTransferLog();
  std::ifstream log(serve_ / "quorld.log", std::ios::binary);
  std::ostringstream text;
  text << log.rdbuf();
  EXPECT_NE(text.str().find("--- Quoril service started ---"), std::string::npos) << text.str();

  // The load alone reads: the directory and the log are the start's.
  fs::remove(serve_ / "quorld.log");
  ASSERT_EQ(Load(settings, LoadServerConfig), 1);
  EXPECT_TRUE(IsCurrentDirectory(root_));
  EXPECT_TRUE(fs::is_empty(serve_));

  // A log that cannot be opened fails the load and leaves logging off.
  Find(settings, "LogFile")->data = Text("missing/quorld.log");
  ASSERT_EQ(Load(settings), 0);
  EXPECT_EQ(config_.EnableLogging, 0u);
}

TEST_F(LoadServerConfigTest, AddressSettingsAreOptional) {
  const Bytes twoEntries{'e', 't', 'h', '0', 0, ' ', '1', '0', '.', '0', '.', '0', '.', '5', 0, 0};
  const struct {
    std::vector<Setting> values;
    int result;
    std::uint32_t follow;
    std::vector<std::string> entries;
  } rows[] = {
      {{}, 1, 0, {}},
      {{{"FollowAddresses", platform::kRegDword, Number(1)},
        {"ListenAddresses", platform::kRegMultiSz, twoEntries}},
       1,
       1,
       {"eth0", "10.0.0.5"}},
      {{{"FollowAddresses", platform::kRegSz, Text("1")}}, 0, 0, {}},
      {{{"ListenAddresses", platform::kRegSz, Text("eth0")}}, 0, 0, {}},
      {{{"ListenAddresses", platform::kRegMultiSz, {'1', '0', '.', '0', '.', '0', 0, 0}}},
       0,
       0,
       {}},
  };
  for (const auto& row : rows) {
    platform::DeleteRegistryKey(kParametersKey);
    Settings settings = Defaults();
    settings.insert(settings.end(), row.values.begin(), row.values.end());
    ASSERT_EQ(Load(settings), row.result) << row.values.size();
    if (row.result == 0) continue;
    EXPECT_EQ(config_.FollowAddresses, row.follow);
    std::vector<std::string> entries;
    for (const ListenEntry& entry : config_.ListenAddresses) entries.push_back(entry.text);
    EXPECT_EQ(entries, row.entries);
  }
}

}  // namespace
}  // namespace quoril
