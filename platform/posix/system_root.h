// The system root: the one directory under which the POSIX backend keeps everything
// machine-wide (registry, service definitions, event log). "/" unless QUORIL_ROOT names
// another directory, which lets tests run against a scratch tree.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/win32_error.h"

namespace quoril::platform {

// The path of `relative` (such as "etc/quoril/registry.reg") under the system root. The
// variable is read on every call, so that a test may move the root between cases; a
// relative root is made absolute once, against the current directory of the first call
// that sees it, and stays put when the process changes directory.
std::string SystemRootPath(const char* relative);

// Creates each missing directory of `relative` under the system root: the last with `mode`,
// those above it 0755, whatever the umask (the service reads what installation made here as
// an account of its own).
Win32Error MakeSystemDirectory(const char* relative, mode_t mode);

// Writes `text` as the file `path` with `mode`, in one step: the text goes to a temporary file
// beside it, reaches the disk, and takes the name only then, so that a reader or a crash
// finds the old file or the new one, never a torn one. `replace` allows an existing file to
// be replaced; without it an existing file fails the write with EEXIST, so that of two
// writers only one gets the name. Answers 0 or the errno of the step that failed.
int WriteFileInOneStep(const std::string& path, std::string_view text, mode_t mode, bool replace);

}  // namespace quoril::platform
