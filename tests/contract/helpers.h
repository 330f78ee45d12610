// Helpers that the contract suites share with the backends' own tests.
#pragma once

#include <array>
#include <fstream>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/registry.h"

namespace quoril::platform {

inline std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline void PutText(const std::string& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline std::string GetText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Reads what is left of `file` through the interface under test.
inline std::string ReadAll(File& file) {
  std::string text;
  std::array<std::uint8_t, 7> chunk{};
  for (;;) {
    std::size_t count = 0;
    if (file.Read(chunk, count) != ERROR_SUCCESS || count == 0) return text;
    text.append(reinterpret_cast<const char*>(chunk.data()), count);
  }
}

// A value written through a key of its own, as a separate program would.
inline Win32Error StoreValue(const char* key, const char* name, std::uint32_t type,
                             const std::vector<std::uint8_t>& data) {
  RegistryKey handle;
  if (Win32Error error = handle.Create(key)) return error;
  return handle.SetValue(name, type, data);
}

// The value as a fresh handle reads it; `type` left 0xFFFF when the read fails.
inline Win32Error LoadValue(const char* key, const char* name, std::vector<std::uint8_t>& data,
                            std::uint32_t& type) {
  type = 0xFFFF;
  RegistryKey handle;
  if (Win32Error error = handle.Open(key)) return error;
  std::array<std::uint8_t, 1024> buffer{};
  std::uint32_t size = 0;
  Win32Error error = handle.QueryValue(name, buffer, size, &type);
  if (error == ERROR_SUCCESS) data.assign(buffer.begin(), buffer.begin() + size);
  return error;
}

}  // namespace quoril::platform
