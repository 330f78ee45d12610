// A file that any thread appends texts to: the transfer log, the transfer records.
#pragma once

#include <atomic>
#include <mutex>
#include <new>
#include <string_view>

#include "platform/files.h"

namespace quoril {

class AppendedFile {
 public:
  // Opens `fullPath` for appending, shared for reading, as a file of the service's own
  // (platform::FileUse::kServiceOwn): no other user's lock keeps the service from starting,
  // and a new file is readable by the service and the administrators alone.
  Win32Error Open(const char* fullPath, bool& existed);
  // Read without the lock, so that a run without the file passes by.
  bool IsOpen() const { return open_.load(); }
  // One write at the file's end as it is now, so that a rotation that copies the file and
  // empties it while the service runs (copytruncate) leaves neither a gap nor a torn line. A
  // failed or short write loses the text and nothing else; a closed file takes none.
  void Append(std::string_view text);
  void Close();

 private:
  std::mutex lock_;
  platform::File file_;
  std::atomic<bool> open_{false};  // as file_ is
};

// The file of `Tag`, never destroyed: transfer threads are never joined, and one that ends
// after the file was closed, even while the process exits, must find a valid lock and a
// closed file.
template <typename Tag>
AppendedFile& LastingFile() {
  alignas(AppendedFile) static unsigned char storage[sizeof(AppendedFile)];
  static AppendedFile* const file = ::new (storage) AppendedFile();
  return *file;
}

}  // namespace quoril
