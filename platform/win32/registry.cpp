// The registry of Windows: keys of HKEY_LOCAL_MACHINE through the ANSI registry calls.
#include "platform/registry.h"

#include "platform/win32/windows_headers.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace quoril::platform {

namespace {

HKEY AsKey(std::uintptr_t handle) {
  return reinterpret_cast<HKEY>(handle);
}

std::mutex gLastErrorLock;
std::string gLastError;  // guarded by gLastErrorLock

// Keeps the failure of a registry call in words for LastRegistryError and answers it.
Win32Error Note(LONG error, const char* call, const char* name) {
  if (error == ERROR_SUCCESS) return ERROR_SUCCESS;
  std::string text = std::string(call) + "(" + (name != nullptr ? name : "") + "): ";
  char message[256] = {};
  const DWORD length =
      ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error), 0, message, sizeof message, nullptr);
  std::string words(message, length);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r')) words.pop_back();
  text += words.empty() ? "error " + std::to_string(error) : words;
  std::lock_guard lock(gLastErrorLock);
  gLastError = std::move(text);
  return static_cast<Win32Error>(error);
}

// Opens the key through `call` (RegOpenKeyA or RegCreateKeyA), named `callName` in a failure.
Win32Error OpenKey(LONG(WINAPI* call)(HKEY, LPCSTR, PHKEY), const char* callName,
                   const char* subKey, std::uintptr_t& handle) {
  HKEY key = nullptr;
  if (const Win32Error error = Note(call(HKEY_LOCAL_MACHINE, subKey, &key), callName, subKey);
      error != ERROR_SUCCESS) {
    return error;
  }
  handle = reinterpret_cast<std::uintptr_t>(key);
  return ERROR_SUCCESS;
}

}  // namespace

Win32Error RegistryKey::Open(const char* subKey) {
  Close();
  const Win32Error error = OpenKey(::RegOpenKeyA, "RegOpenKeyA", subKey, handle_);
  open_ = error == ERROR_SUCCESS;
  return error;
}

Win32Error RegistryKey::Create(const char* subKey) {
  Close();
  const Win32Error error = OpenKey(::RegCreateKeyA, "RegCreateKeyA", subKey, handle_);
  open_ = error == ERROR_SUCCESS;
  return error;
}

void RegistryKey::Close() {
  if (open_) ::RegCloseKey(AsKey(handle_));
  open_ = false;
  handle_ = 0;
  path_.clear();
}

Win32Error RegistryKey::QueryValue(const char* name, std::span<std::uint8_t> buffer,
                                   std::uint32_t& size, std::uint32_t* type) const {
  if (!open_) return ERROR_INVALID_HANDLE;
  DWORD valueType = 0;
  DWORD valueSize = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
  const LONG result = ::RegQueryValueExA(AsKey(handle_), name, nullptr, &valueType,
                                         buffer.empty() ? nullptr : buffer.data(), &valueSize);
  // ERROR_MORE_DATA tells the size the data need.
  if (result == ERROR_SUCCESS || result == ERROR_MORE_DATA) size = valueSize;
  if (result == ERROR_SUCCESS && type != nullptr) *type = valueType;
  // A buffer of no bytes is given as none, and the call then answers the size alone.
  if (result == ERROR_SUCCESS && buffer.empty() && valueSize > 0) return ERROR_MORE_DATA;
  return Note(result, "RegQueryValueExA", name);
}

Win32Error RegistryKey::SetValue(const char* name, std::uint32_t type,
                                 std::span<const std::uint8_t> data) {
  if (!open_) return ERROR_INVALID_HANDLE;
  if (data.size() > MAXDWORD) return ERROR_INVALID_PARAMETER;
  return Note(
      ::RegSetValueExA(AsKey(handle_), name, 0, type, data.data(), static_cast<DWORD>(data.size())),
      "RegSetValueExA", name);
}

Win32Error RegistryKey::DeleteValue(const char* name) {
  if (!open_) return ERROR_INVALID_HANDLE;
  return Note(::RegDeleteValueA(AsKey(handle_), name), "RegDeleteValueA", name);
}

Win32Error RegistryKey::EnumValue(std::uint32_t index, std::string& name, std::uint32_t& type,
                                  std::vector<std::uint8_t>& data) const {
  if (!open_) return ERROR_INVALID_HANDLE;
  DWORD maxName = 0;
  DWORD maxData = 0;
  if (const Win32Error error =
          Note(::RegQueryInfoKeyA(AsKey(handle_), nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, &maxName, &maxData, nullptr, nullptr),
               "RegQueryInfoKeyA", nullptr);
      error != ERROR_SUCCESS) {
    return error;
  }
  std::string nameBuffer(maxName + 1, '\0');
  std::vector<std::uint8_t> dataBuffer(maxData);
  DWORD nameLength = static_cast<DWORD>(nameBuffer.size());
  DWORD dataLength = static_cast<DWORD>(dataBuffer.size());
  DWORD valueType = 0;
  const LONG result =
      ::RegEnumValueA(AsKey(handle_), index, nameBuffer.data(), &nameLength, nullptr, &valueType,
                      dataBuffer.empty() ? nullptr : dataBuffer.data(), &dataLength);
  if (result == ERROR_NO_MORE_ITEMS) return ERROR_NO_MORE_ITEMS;
  if (const Win32Error error = Note(result, "RegEnumValueA", nullptr); error != ERROR_SUCCESS) {
    return error;
  }
  name.assign(nameBuffer.data(), nameLength);
  type = valueType;
  data.assign(dataBuffer.begin(), dataBuffer.begin() + dataLength);
  return ERROR_SUCCESS;
}

Win32Error RegistryKey::EnumKey(std::uint32_t index, std::string& name) const {
  if (!open_) return ERROR_INVALID_HANDLE;
  // A key name has at most 255 characters.
  char buffer[256] = {};
  const LONG result = ::RegEnumKeyA(AsKey(handle_), index, buffer, sizeof buffer);
  if (result == ERROR_NO_MORE_ITEMS) return ERROR_NO_MORE_ITEMS;
  if (const Win32Error error = Note(result, "RegEnumKeyA", nullptr); error != ERROR_SUCCESS) {
    return error;
  }
  name = buffer;
  return ERROR_SUCCESS;
}

Win32Error DeleteRegistryKey(const char* subKey) {
  return Note(::RegDeleteKeyA(HKEY_LOCAL_MACHINE, subKey), "RegDeleteKeyA", subKey);
}

std::string LastRegistryError() {
  std::lock_guard lock(gLastErrorLock);
  return gLastError;
}

}  // namespace quoril::platform
