#include "service/install.h"

#include <array>
#include <cstring>

#include "platform/registry.h"
#include "platform/strings.h"
#include "service/service_control.h"

namespace quoril {

namespace {

// A separator and a ten-character file name.
constexpr std::size_t kTenCharacterNameLength = 11;

std::array<std::uint8_t, 4> DwordBytes(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// A text value's bytes: its characters and the terminator.
std::span<const std::uint8_t> TextBytes(const char* text) {
  return {reinterpret_cast<const std::uint8_t*>(text), std::strlen(text) + 1};
}

struct Setting {
  const char* name;
  std::uint32_t type;
  const char* text;  // for the text types
  std::uint32_t number;
};

// Creates `keyName` and writes `settings` in order: a failure leaves the values before it
// written.
bool WriteSettings(const char* keyName, std::span<const Setting> settings) {
  platform::RegistryKey key;
  if (key.Create(keyName) != ERROR_SUCCESS) return false;
  for (const Setting& setting : settings) {
    const std::array<std::uint8_t, 4> number = DwordBytes(setting.number);
    const std::span<const std::uint8_t> bytes =
        setting.type == platform::kRegDword ? number : TextBytes(setting.text);
    if (key.SetValue(setting.name, setting.type, bytes) != ERROR_SUCCESS) return false;
  }
  return true;
}

}  // namespace

int DeriveModuleDirectory(std::span<const char> modulePath, platform::ModuleDirectoryRule rule,
                          std::span<char, platform::kMaxPath> directory) {
  std::size_t length = 0;
  if (rule == platform::ModuleDirectoryRule::kDropTenCharacterName) {
    if (modulePath.size() <= kTenCharacterNameLength) return 0;
    length = modulePath.size() - kTenCharacterNameLength;
  } else {
    std::size_t slash = modulePath.size();
    while (slash > 0 && modulePath[slash - 1] != '/') --slash;
    if (slash == 0) return 0;
    // The directory without its trailing separator, except the root, which is the
    // separator alone.
    length = slash == 1 ? 1 : slash - 1;
  }
  if (length >= directory.size()) return 0;
  std::memcpy(directory.data(), modulePath.data(), length);
  directory[length] = '\0';
  return 1;
}

int InstallService(const platform::ServiceManager& manager) {
  if (!manager.IsOpen()) return 0;
  std::array<char, platform::kMaxPath> modulePath{};
  std::uint32_t length = 0;
  if (platform::GetModuleFileName(modulePath, length) != ERROR_SUCCESS) return 0;
  if (length >= modulePath.size()) return 0;

  std::array<char, platform::kMaxPath> defaultDirectory{};
  if (!DeriveModuleDirectory(std::span<const char>(modulePath.data(), length),
                             platform::PlatformModuleDirectoryRule(), defaultDirectory)) {
    return 0;
  }
  platform::LowerCaseAscii(
      std::span<char>(defaultDirectory.data(), std::strlen(defaultDirectory.data())));

  const platform::ServiceDefinition definition{
      .serviceName = kServiceName,
      .displayName = kServiceName,
      .access = platform::kServiceAllAccess,
      .serviceType = platform::kServiceWin32OwnProcess,
      .startType = platform::kServiceDemandStart,
      .errorControl = platform::kServiceErrorNormal,
      .binaryPath = modulePath.data(),
  };
  platform::Service service;
  if (service.Create(manager, definition) != ERROR_SUCCESS) return 0;
  // Error, warning and information entries.
  const Setting eventSource[] = {
      {"EventMessageFile", platform::kRegExpandSz, modulePath.data(), 0},
      {"TypesSupported", platform::kRegDword, nullptr, 7},
  };
  const Setting defaults[] = {
      {"LogFile", platform::kRegExpandSz, "quorld.log", 0},
      {"DefaultDirectory", platform::kRegExpandSz, defaultDirectory.data(), 0},
      {"Timeout", platform::kRegDword, nullptr, 3},
      {"MaxRetransmit", platform::kRegDword, nullptr, 5},
      {"EnableLogging", platform::kRegDword, nullptr, 0},
      {"OverwriteExisting", platform::kRegDword, nullptr, 1},
      {"LimitToDefaultDirectory", platform::kRegDword, nullptr, 0},
  };
  if (!WriteSettings(kEventSourceKey, eventSource)) return 0;
  return WriteSettings(kParametersKey, defaults) ? 1 : 0;
}

int RemoveService(const platform::ServiceManager& manager) {
  if (!manager.IsOpen()) return 0;
  platform::Service service;
  if (service.Open(manager, kServiceName, platform::kServiceAllAccess) != ERROR_SUCCESS) return 0;
  if (service.Delete() != ERROR_SUCCESS) return 0;
  if (platform::DeleteRegistryKey(kEventSourceKey) != ERROR_SUCCESS) return 0;
  return 1;
}

}  // namespace quoril
