// Files and paths, with Win32 semantics on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/win32_error.h"

namespace quoril::platform {

// The longest path the system handles, terminator included.
inline constexpr std::size_t kMaxPath = 260;

// Access rights, sharing modes and creation dispositions, with their Win32 values:
// OverwriteExisting stores a disposition as its number.
inline constexpr std::uint32_t kGenericRead = 0x80000000u;
inline constexpr std::uint32_t kGenericWrite = 0x40000000u;
inline constexpr std::uint32_t kShareNone = 0;
inline constexpr std::uint32_t kShareRead = 1;
inline constexpr std::uint32_t kShareWrite = 2;
inline constexpr std::uint32_t kCreateNew = 1;
inline constexpr std::uint32_t kCreateAlways = 2;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kOpenAlways = 4;
inline constexpr std::uint32_t kTruncateExisting = 5;

// An open file. Closed on destruction; move-only.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // CreateFileA: opens or creates `path` with the access, sharing and disposition given.
  // Only regular files are opened: a directory, device, FIFO or socket gives
  // ERROR_ACCESS_DENIED. Path components that do not exist as written are matched
  // without regard to ASCII case; a new file is created under the name as given.
  // `confineTo`, when not null, names a directory that the file actually opened must lie
  // in after every symbolic link is followed (ERROR_ACCESS_DENIED otherwise).
  // `alreadyExisted` (may be null) is set as GetLastError() == ERROR_ALREADY_EXISTS would be
  // after a successful CreateFileA.
  Win32Error Open(const char* path, std::uint32_t access, std::uint32_t share,
                  std::uint32_t disposition, const char* confineTo = nullptr,
                  bool* alreadyExisted = nullptr);

  // ReadFile: reads up to buffer.size() bytes at the current position; 0 bytes read is the
  // end of the file.
  Win32Error Read(std::span<std::uint8_t> buffer, std::size_t& bytesRead);
  // WriteFile: writes all of data at the current position (a short write is an error,
  // ERROR_DISK_FULL when the volume is full).
  Win32Error Write(std::span<const std::uint8_t> data);
  // SetFilePointer(0, FILE_END).
  Win32Error SeekToEnd();

  bool IsOpen() const { return handle_ >= 0; }
  void Close();

 private:
  std::intptr_t handle_ = -1;
  // Backend's bookkeeping of the sharing table entry.
  std::uintptr_t shareEntry_ = 0;
};

// GetFullPathNameA: forms the full path of `name` lexically, without touching the disk.
// Both '/' and '\' separate components; a relative name resolves against the current
// directory; '.' and '..' collapse (never above the root); repeated separators collapse.
// `result` is what GetFullPathNameA returns: the length without the terminator when the
// path fits into `buffer`, else the size needed with the terminator (and `buffer` is left
// unspecified), 0 on failure (and the error value tells why).
Win32Error GetFullPathName(const char* name, std::span<char> buffer, std::uint32_t& result);

// GetCurrentDirectoryA / SetCurrentDirectoryA. `length` as GetCurrentDirectoryA returns.
Win32Error GetCurrentDirectory(std::span<char> buffer, std::uint32_t& length);
Win32Error SetCurrentDirectory(const char* path);

// GetModuleFileNameA for the running executable. `length` is the number of characters
// copied, without the terminator.
Win32Error GetModuleFileName(std::span<char> buffer, std::uint32_t& length);

}  // namespace quoril::platform
