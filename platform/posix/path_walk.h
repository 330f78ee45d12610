// The path walk: every component of a path matched as written or, failing that, without
// regard to ASCII case, symbolic links followed by the walk itself.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "platform/posix/unique_fd.h"
#include "platform/win32_error.h"

namespace quoril::platform {

// The real path of an open descriptor, every symbolic link followed.
bool RealPathOf(int fd, std::string& path);

// Whether the real path `path` is `root` or lies below it. A plain prefix test would let
// /srv/tftpdata pass for /srv/tftp.
bool LiesWithin(std::string_view path, std::string_view root);

// Where the last component of a path lives: the directory that holds it, opened, and its
// name there. An empty name stands for that directory itself.
struct Location {
  UniqueFd dir;
  std::string name;
};

enum class Found { kMissing, kDirectory, kEntry };

// Walks to the last component of `full` and settles it: afterwards `where` names the real
// entry (or where a new one would be created) and `info` describes it.
Win32Error WalkAndSettle(const std::string& full, Location& where, Found& found, struct stat& info);

// Opens the directory that `path` names, with SetCurrentDirectoryA's answers: a missing last
// component is ERROR_FILE_NOT_FOUND, one that is no directory ERROR_DIRECTORY. `full` is the
// full path formed from `path`.
Win32Error OpenDirectory(const char* path, UniqueFd& out, std::string& full);

}  // namespace quoril::platform
