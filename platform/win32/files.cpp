// Files and paths over the Win32 file calls.
#include "platform/files.h"

#include "platform/win32/windows_headers.h"

#include <sddl.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/strings.h"
#include "platform/win32/file_open.h"
#include "platform/win32/handles.h"

namespace quoril::platform {

namespace {

// Only paths on a local drive ("D:\...") are opened. A full path that begins with two
// separators names a device (\\.\COM1, and CON or NUL in any directory become \\.\CON),
// the raw object namespace (\\?\) or another machine's share, whose opening would hand the
// service's network credentials to whichever host a client names.
bool IsDrivePath(std::string_view full) {
  const bool letter = full.size() >= 3 &&
                      ((full[0] >= 'a' && full[0] <= 'z') || (full[0] >= 'A' && full[0] <= 'Z'));
  return letter && full[1] == ':' && IsSeparator(full[2]);
}

// The final path of the directory `path`, or of the directory that holds the file `path`.
Win32Error FinalPathOfDirectory(const char* path, std::string& final) {
  UniqueHandle directory(::CreateFileA(
      path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!directory.Valid()) return ::GetLastError();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(directory.Get(), &info)) return ::GetLastError();
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_DIRECTORY;
  return FinalPathOf(directory.Get(), final);
}

Win32Error FinalPathOfParent(std::string_view full, std::string& final) {
  std::size_t end = full.size();
  while (end > 0 && !IsSeparator(full[end - 1])) --end;
  // The drive's root keeps its separator.
  std::string parent(full.substr(0, end > 3 ? end - 1 : end));
  return FinalPathOfDirectory(parent.c_str(), final);
}

// A file of the service's own, created: full control for LocalSystem, which the service runs
// as, the administrators and the file's owner (who ran -debug); nothing inherited from the
// directory, which clients may read.
constexpr char kServiceOwnRights[] = "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;OW)";

// A security descriptor that ConvertStringSecurityDescriptorToSecurityDescriptorA made.
struct LocalFreer {
  void operator()(void* memory) const { ::LocalFree(memory); }
};
using SecurityDescriptor = std::unique_ptr<void, LocalFreer>;

// Writes all of `data`, each part at the end of the file as it is then when `atEnd`.
Win32Error WriteWhole(HANDLE file, std::span<const std::uint8_t> data, bool atEnd) {
  while (!data.empty()) {
    // Both offsets all ones: the end of the file at the time of the write.
    OVERLAPPED end{};
    end.Offset = 0xFFFFFFFFu;
    end.OffsetHigh = 0xFFFFFFFFu;
    DWORD count = 0;
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(data.size(), MAXDWORD));
    if (!::WriteFile(file, data.data(), size, &count, atEnd ? &end : nullptr)) {
      return ::GetLastError();
    }
    // A write that stores nothing without an error has no room left.
    if (count == 0) return ERROR_DISK_FULL;
    data = data.subspan(count);
  }
  return ERROR_SUCCESS;
}

// ReadFile of up to buffer.size() bytes, at `at` when given, else at the current position.
Win32Error ReadPart(std::intptr_t handle, std::span<std::uint8_t> buffer, OVERLAPPED* at,
                    std::size_t& bytesRead) {
  bytesRead = 0;
  if (handle < 0) return ERROR_INVALID_HANDLE;
  DWORD count = 0;
  const DWORD size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
  if (!::ReadFile(reinterpret_cast<HANDLE>(handle), buffer.data(), size, &count, at)) {
    // A read at or past the end of a synchronous handle at an offset fails so; it is the end
    // of the file.
    const DWORD error = ::GetLastError();
    return error == ERROR_HANDLE_EOF ? ERROR_SUCCESS : error;
  }
  bytesRead = count;
  return ERROR_SUCCESS;
}

Win32Error EmptyFile(HANDLE file) {
  if (::SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
      !::SetEndOfFile(file)) {
    return ::GetLastError();
  }
  return ERROR_SUCCESS;
}

}  // namespace

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

bool LiesWithin(std::string_view path, std::string_view root) {
  if (path.size() < root.size() || !EqualIgnoringAsciiCase(path.substr(0, root.size()), root)) {
    return false;
  }
  if (!root.empty() && IsSeparator(root.back())) return true;
  return path.size() == root.size() || IsSeparator(path[root.size()]);
}

Win32Error FinalPathOf(HANDLE handle, std::string& path) {
  std::vector<char> buffer(kMaxPath);
  for (;;) {
    const DWORD length = ::GetFinalPathNameByHandleA(
        handle, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
    if (length == 0) return ::GetLastError();
    if (length < buffer.size()) {
      path.assign(buffer.data(), length);
      return ERROR_SUCCESS;
    }
    buffer.resize(length + 1);
  }
}

Win32Error FullPathWithin(const char* path, const char* confineTo, std::string& full,
                          std::string& root) {
  std::array<char, kMaxPath> buffer{};
  const DWORD length = ::GetFullPathNameA(path, buffer.size(), buffer.data(), nullptr);
  if (length == 0) return ::GetLastError();
  if (length >= buffer.size()) return ERROR_FILENAME_EXCED_RANGE;
  full.assign(buffer.data(), length);
  if (!IsDrivePath(full)) return ERROR_ACCESS_DENIED;
  if (confineTo == nullptr) return ERROR_SUCCESS;
  if (FinalPathOfDirectory(confineTo, root) != ERROR_SUCCESS) return ERROR_ACCESS_DENIED;
  std::string parent;
  if (FinalPathOfParent(full, parent) == ERROR_SUCCESS && !LiesWithin(parent, root)) {
    return ERROR_ACCESS_DENIED;
  }
  return ERROR_SUCCESS;
}

bool IsDiskFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  return ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void File::Close() {
  if (handle_ >= 0) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
  replacement_.reset();
}

Win32Error File::Open(const char* path, std::uint32_t access, std::uint32_t share,
                      std::uint32_t disposition, const char* confineTo, bool* alreadyExisted,
                      FileUse use) {
  Close();
  if (alreadyExisted != nullptr) *alreadyExisted = false;
  Win32Error prepared = CheckOpenArguments(path, access, share, disposition);
  std::string full;
  std::string root;
  if (prepared == ERROR_SUCCESS) prepared = FullPathWithin(path, confineTo, full, root);
  if (prepared != ERROR_SUCCESS) return prepared;

  // Confined, a file is opened without being emptied, looked at where it really is, and only
  // then emptied; nothing outside the directory is changed.
  DWORD openDisposition = disposition;
  if (confineTo != nullptr) {
    if (disposition == kCreateAlways) openDisposition = OPEN_ALWAYS;
    if (disposition == kTruncateExisting) openDisposition = OPEN_EXISTING;
  }

  // The rights apply to a file the open creates; an existing one keeps its own.
  SecurityDescriptor rights;
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  if (use == FileUse::kServiceOwn) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(kServiceOwnRights, SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
      return ::GetLastError();
    }
    rights.reset(descriptor);
    attributes.lpSecurityDescriptor = descriptor;
  }
  UniqueHandle file(::CreateFileA(full.c_str(), access, share,
                                  rights != nullptr ? &attributes : nullptr, openDisposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return ::GetLastError();
  const bool existed = openDisposition == OPEN_EXISTING || openDisposition == TRUNCATE_EXISTING ||
                       ((openDisposition == OPEN_ALWAYS || openDisposition == CREATE_ALWAYS) &&
                        ::GetLastError() == ERROR_ALREADY_EXISTS);
  const bool created = !existed;

  if (!IsDiskFile(file.Get())) return ERROR_ACCESS_DENIED;
  if (confineTo != nullptr) {
    std::string final;
    if (FinalPathOf(file.Get(), final) != ERROR_SUCCESS || !LiesWithin(final, root)) {
      file.Reset();
      if (created && !final.empty()) ::DeleteFileA(final.c_str());
      return ERROR_ACCESS_DENIED;
    }
    if (existed && (disposition == kCreateAlways || disposition == kTruncateExisting)) {
      if (const Win32Error error = EmptyFile(file.Get()); error != ERROR_SUCCESS) return error;
    }
  }
  if (alreadyExisted != nullptr) {
    *alreadyExisted = existed && (disposition == kCreateAlways || disposition == kOpenAlways);
  }
  handle_ = reinterpret_cast<std::intptr_t>(file.Release());
  return ERROR_SUCCESS;
}

Win32Error File::Read(std::span<std::uint8_t> buffer, std::size_t& bytesRead) {
  return ReadPart(handle_, buffer, nullptr, bytesRead);
}

Win32Error File::ReadAt(std::span<std::uint8_t> buffer, std::uint64_t offset,
                        std::size_t& bytesRead) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return ReadPart(handle_, buffer, &at, bytesRead);
}

Win32Error File::Write(std::span<const std::uint8_t> data) {
  if (handle_ < 0) return ERROR_INVALID_HANDLE;
  return WriteWhole(reinterpret_cast<HANDLE>(handle_), data, false);
}

Win32Error File::SeekToEnd() {
  if (handle_ < 0) return ERROR_INVALID_HANDLE;
  if (::SetFilePointer(reinterpret_cast<HANDLE>(handle_), 0, nullptr, FILE_END) ==
          INVALID_SET_FILE_POINTER &&
      ::GetLastError() != NO_ERROR) {
    return ::GetLastError();
  }
  return ERROR_SUCCESS;
}

Win32Error File::Size(std::uint64_t& size) const {
  size = 0;
  if (handle_ < 0) return ERROR_INVALID_HANDLE;
  LARGE_INTEGER value{};
  if (!::GetFileSizeEx(reinterpret_cast<HANDLE>(handle_), &value)) return ::GetLastError();
  size = static_cast<std::uint64_t>(value.QuadPart);
  return ERROR_SUCCESS;
}

Win32Error GetDiskFreeSpace(const char* path, std::uint64_t& freeBytes) {
  freeBytes = 0;
  if (path == nullptr) return ERROR_INVALID_PARAMETER;
  // The file's directory, or the nearest one above it that exists.
  std::string directory(path);
  for (;;) {
    const std::size_t separator = directory.find_last_of("\\/");
    if (separator == std::string::npos) return ERROR_PATH_NOT_FOUND;
    directory.resize(separator + 1);
    ULARGE_INTEGER available{};
    if (::GetDiskFreeSpaceExA(directory.c_str(), &available, nullptr, nullptr)) {
      freeBytes = available.QuadPart;
      return ERROR_SUCCESS;
    }
    const Win32Error error = ::GetLastError();
    if ((error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND) || separator <= 2) {
      return error;
    }
    directory.resize(separator);
  }
}

Win32Error File::Append(std::span<const std::uint8_t> data) {
  if (handle_ < 0) return ERROR_INVALID_HANDLE;
  return WriteWhole(reinterpret_cast<HANDLE>(handle_), data, true);
}

Win32Error GetFullPathName(const char* name, std::span<char> buffer, std::uint32_t& result) {
  result = 0;
  if (name == nullptr) return ERROR_INVALID_PARAMETER;
  if (*name == '\0') return ERROR_INVALID_NAME;
  const DWORD size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
  const DWORD length = ::GetFullPathNameA(name, size, buffer.data(), nullptr);
  if (length == 0) return ::GetLastError();
  result = length;
  return ERROR_SUCCESS;
}

Win32Error GetCurrentDirectory(std::span<char> buffer, std::uint32_t& length) {
  const DWORD size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
  length = ::GetCurrentDirectoryA(size, buffer.data());
  if (length == 0) return ::GetLastError();
  return ERROR_SUCCESS;
}

Win32Error CheckDirectory(const char* path) {
  if (path == nullptr) return ERROR_INVALID_PARAMETER;
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return ::GetLastError();
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ERROR_SUCCESS : ERROR_DIRECTORY;
}

Win32Error SetCurrentDirectory(const char* path) {
  if (path == nullptr) return ERROR_INVALID_PARAMETER;
  if (!::SetCurrentDirectoryA(path)) return ::GetLastError();
  return ERROR_SUCCESS;
}

Win32Error GetModuleFileName(std::span<char> buffer, std::uint32_t& length) {
  length = 0;
  if (buffer.empty()) return ERROR_INSUFFICIENT_BUFFER;
  const DWORD size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
  const DWORD count = ::GetModuleFileNameA(nullptr, buffer.data(), size);
  if (count == 0) return ::GetLastError();
  if (count < size) {
    length = count;
    return ERROR_SUCCESS;
  }
  // Cut: Windows XP leaves the buffer without a terminator.
  buffer[size - 1] = '\0';
  length = size;
  return ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace quoril::platform
