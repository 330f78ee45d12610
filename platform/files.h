// Files and paths, with Win32 semantics on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

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
// Accepted for completeness; nothing deletes through a File.
inline constexpr std::uint32_t kShareDelete = 4;
inline constexpr std::uint32_t kCreateNew = 1;
inline constexpr std::uint32_t kCreateAlways = 2;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kOpenAlways = 4;
inline constexpr std::uint32_t kTruncateExisting = 5;

// Whose file an open is for. kTransfer: a file that clients read or write, created with the
// rights the directory and the system's defaults give it, and opened as far as other
// programs' locks allow. kServiceOwn: a file of the service's own (its transfer log), created
// for the service and the administrators alone (an existing file keeps its rights), and
// opened whatever other programs lock, so that no other user can keep the service from it.
// The sharing rules between the Files of this process hold for both.
enum class FileUse { kTransfer, kServiceOwn };

// The checks CreateFileA makes of its arguments before it touches any file: a null path, an
// unknown disposition, access or sharing bits, or TRUNCATE_EXISTING without write access give
// ERROR_INVALID_PARAMETER; an empty path ERROR_PATH_NOT_FOUND; a path of kMaxPath characters
// or more ERROR_FILENAME_EXCED_RANGE. Shared by the backends' File::Open.
Win32Error CheckOpenArguments(const char* path, std::uint32_t access, std::uint32_t share,
                              std::uint32_t disposition);

// An open file. Closed on destruction; move-only.
class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(File&& other) noexcept
      : handle_(std::exchange(other.handle_, -1)),
        shareEntry_(std::exchange(other.shareEntry_, 0)),
        replacement_(std::move(other.replacement_)) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, -1);
      shareEntry_ = std::exchange(other.shareEntry_, 0);
      replacement_ = std::move(other.replacement_);
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // CreateFileA: opens or creates `path` with the access, sharing and disposition given.
  // `path` is formed into a full path as GetFullPathName does; a name of kMaxPath characters
  // or more gives ERROR_FILENAME_EXCED_RANGE. `access` is kGenericRead, kGenericWrite or both
  // (anything else, like a disposition other than 1 to 5, gives ERROR_INVALID_PARAMETER).
  // Only regular files are opened: a directory, device, FIFO or socket gives
  // ERROR_ACCESS_DENIED, and opening never blocks. Path components that do not exist as
  // written are matched without regard to ASCII case; a new file is created under the name
  // as given. Sharing is enforced between the Files of this process and, through
  // open-file-description locks, against other programs that lock (ERROR_SHARING_VIOLATION).
  // A file is emptied (CREATE_ALWAYS, TRUNCATE_EXISTING) only after it passed every check.
  // `confineTo`, when not null, names a directory (matched without regard to case like
  // `path`) that the file actually opened must lie in after every symbolic link is followed
  // (ERROR_ACCESS_DENIED otherwise, and nothing outside is opened, created or emptied).
  // `alreadyExisted` (may be null) is set as GetLastError() == ERROR_ALREADY_EXISTS would be
  // after a successful CreateFileA. `use` as FileUse says. A File that is open is closed
  // first.
  Win32Error Open(const char* path, std::uint32_t access, std::uint32_t share,
                  std::uint32_t disposition, const char* confineTo = nullptr,
                  bool* alreadyExisted = nullptr, FileUse use = FileUse::kTransfer);

  // For an upload: the checks, errors and sharing of Open(path, kGenericWrite, kShareNone,
  // disposition, confineTo), but the bytes go to a new file beside `path`, which stays as it
  // was until Commit puts the new file in its place; a `path` that does not exist yet counts
  // as existing and held for every other open meanwhile. Closed without Commit, nothing is
  // left: a failed upload neither creates nor changes a file. A crash never leaves `path`
  // torn; it may leave the new file, named quoril-upload-*.tmp.
  Win32Error OpenReplacement(const char* path, std::uint32_t disposition, const char* confineTo);
  // Makes the new file durable, gives it the replaced file's owner and permissions, puts it in
  // place of `path` in one step (CREATE_NEW: never over a file that appeared meanwhile, which
  // gives ERROR_FILE_EXISTS) and closes. On failure nothing is left either. A File that
  // OpenReplacement did not open gives ERROR_INVALID_HANDLE and stays as it is.
  Win32Error Commit();

  // ReadFile: reads up to buffer.size() bytes at the current position; 0 bytes read is the
  // end of the file. Without read access ERROR_ACCESS_DENIED; on a closed File
  // ERROR_INVALID_HANDLE (so for Write and SeekToEnd too).
  Win32Error Read(std::span<std::uint8_t> buffer, std::size_t& bytesRead);
  // ReadFile with an OVERLAPPED offset: reads up to buffer.size() bytes at `offset`, whatever
  // the current position; 0 bytes read is the end of the file. The position Read and Write use
  // is left unspecified (Windows moves it, POSIX does not): a File read with ReadAt is read
  // with ReadAt alone. Errors as Read's.
  Win32Error ReadAt(std::span<std::uint8_t> buffer, std::uint64_t offset, std::size_t& bytesRead);
  // WriteFile: writes all of data at the current position (a short write is an error,
  // ERROR_DISK_FULL when the volume is full).
  Win32Error Write(std::span<const std::uint8_t> data);
  // SetFilePointer(0, FILE_END).
  Win32Error SeekToEnd();
  // GetFileSizeEx: the size of the open file in bytes.
  Win32Error Size(std::uint64_t& size) const;
  // WriteFile at the end of the file as it is at that moment, as a handle opened for
  // FILE_APPEND_DATA writes: whatever another program appended or cut off meanwhile (a log
  // rotation that copies and then empties the file), the data go after what is there now.
  Win32Error Append(std::span<const std::uint8_t> data);

  bool IsOpen() const { return handle_ >= 0; }
  // Closes; an upload that was not committed is abandoned.
  void Close();

 private:
  // The backend's state of an upload between OpenReplacement and Commit.
  struct Replacement;
  struct ReplacementDeleter {
    void operator()(Replacement* replacement) const;
  };

  std::intptr_t handle_ = -1;
  // Backend's bookkeeping of the sharing table entry.
  std::uintptr_t shareEntry_ = 0;
  std::unique_ptr<Replacement, ReplacementDeleter> replacement_;
};

// GetFullPathNameA: forms the full path of `name` lexically, without touching the disk.
// Both '/' and '\' separate components; a relative name resolves against the current
// directory; '.' and '..' collapse (never above the root); repeated separators collapse;
// a trailing separator stays. The result uses '/'. An empty name fails with
// ERROR_INVALID_NAME, a null one with ERROR_INVALID_PARAMETER.
// `result` is what GetFullPathNameA returns: the length without the terminator when the
// path fits into `buffer`, else the size needed with the terminator (and `buffer` is left
// unspecified), 0 on failure (and the error value tells why).
Win32Error GetFullPathName(const char* name, std::span<char> buffer, std::uint32_t& result);

// GetCurrentDirectoryA / SetCurrentDirectoryA. `length` as GetCurrentDirectoryA returns
// (the convention of GetFullPathName). SetCurrentDirectory forms the full path first and
// matches its components without regard to ASCII case, as Open does; a missing directory
// gives ERROR_FILE_NOT_FOUND (ERROR_PATH_NOT_FOUND when its parent is missing too), a file
// ERROR_DIRECTORY. The current directory is then that full path as formed, without a
// trailing separator, not the directory's resolved path: symbolic links in it stay.
Win32Error GetCurrentDirectory(std::span<char> buffer, std::uint32_t& length);
Win32Error SetCurrentDirectory(const char* path);

// GetFileAttributesA for a directory: ERROR_SUCCESS when `path` names an existing directory
// (its components matched without regard to case, as Open does), otherwise the error that
// SetCurrentDirectory would give.
Win32Error CheckDirectory(const char* path);

// GetDiskFreeSpaceExA for the file system that holds `path` (a file that need not exist
// yet): the bytes free for this process, from the nearest directory of the path that exists.
Win32Error GetDiskFreeSpace(const char* path, std::uint64_t& freeBytes);

// GetModuleFileNameA for the running executable. `length` is the number of characters
// copied, without the terminator. A name that does not fit is cut to buffer.size() - 1
// characters and terminated, `length` is buffer.size(), and the answer
// ERROR_INSUFFICIENT_BUFFER.
Win32Error GetModuleFileName(std::span<char> buffer, std::uint32_t& length);

}  // namespace quoril::platform
