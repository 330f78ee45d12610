// The registry: keys under HKEY_LOCAL_MACHINE with typed values.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32_error.h"

namespace quoril::platform {

inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr std::uint32_t kRegQword = 11;
// The types' names by number, as reg spells them.
inline constexpr std::array<std::string_view, 12> kRegTypeNames = {
    "REG_NONE",
    "REG_SZ",
    "REG_EXPAND_SZ",
    "REG_BINARY",
    "REG_DWORD",
    "REG_DWORD_BIG_ENDIAN",
    "REG_LINK",
    "REG_MULTI_SZ",
    "REG_RESOURCE_LIST",
    "REG_FULL_RESOURCE_DESCRIPTOR",
    "REG_RESOURCE_REQUIREMENTS_LIST",
    "REG_QWORD",
};

// An open key of HKEY_LOCAL_MACHINE. Closed on destruction; move-only.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() { Close(); }
  RegistryKey(RegistryKey&& other) noexcept
      : path_(std::move(other.path_)),
        open_(std::exchange(other.open_, false)),
        handle_(std::exchange(other.handle_, 0)) {}
  RegistryKey& operator=(RegistryKey&& other) noexcept {
    if (this != &other) {
      Close();
      path_ = std::move(other.path_);
      open_ = std::exchange(other.open_, false);
      handle_ = std::exchange(other.handle_, 0);
    }
    return *this;
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // RegOpenKeyA(HKEY_LOCAL_MACHINE, subKey): fails when the key does not exist.
  Win32Error Open(const char* subKey);
  // RegCreateKeyA(HKEY_LOCAL_MACHINE, subKey): opens the key, creating it (and the keys
  // above it) when missing.
  Win32Error Create(const char* subKey);
  bool IsOpen() const { return open_; }
  void Close();

  // RegQueryValueExA: copies the value's bytes into `buffer` and sets `size` to their
  // count and `type` (may be null) to the value's type. Fails with ERROR_FILE_NOT_FOUND for
  // a missing value and with ERROR_MORE_DATA (size = the bytes needed) when the data do
  // not fit. A store that cannot be read fails with its own error.
  Win32Error QueryValue(const char* name, std::span<std::uint8_t> buffer, std::uint32_t& size,
                        std::uint32_t* type = nullptr) const;
  // RegSetValueExA: creates or overwrites the value with its type and exact bytes.
  Win32Error SetValue(const char* name, std::uint32_t type, std::span<const std::uint8_t> data);
  // RegDeleteValueA: fails with ERROR_FILE_NOT_FOUND when the value is missing.
  Win32Error DeleteValue(const char* name);
  // RegEnumValueA: the name, type and bytes of the value at `index`, in the key's order;
  // ERROR_NO_MORE_ITEMS past the last one.
  Win32Error EnumValue(std::uint32_t index, std::string& name, std::uint32_t& type,
                       std::vector<std::uint8_t>& data) const;
  // RegEnumKeyA: the name of the direct subkey at `index`; ERROR_NO_MORE_ITEMS past the
  // last one.
  Win32Error EnumKey(std::uint32_t index, std::string& name) const;

 private:
  std::string path_;  // the key's path, without HKEY_LOCAL_MACHINE
  bool open_ = false;
  std::uintptr_t handle_ = 0;  // the open HKEY, on Windows
};

// RegDeleteKeyA(HKEY_LOCAL_MACHINE, subKey): deletes a key that has no subkeys; fails with
// ERROR_FILE_NOT_FOUND when it is missing and ERROR_ACCESS_DENIED when it has subkeys.
Win32Error DeleteRegistryKey(const char* subKey);

// Why the store behind the registry last failed, in words for a person (a backend whose
// store is a file that cannot be parsed says where and why); empty when it never failed.
// The error value alone tells the caller everything it needs to decide.
std::string LastRegistryError();

}  // namespace quoril::platform
