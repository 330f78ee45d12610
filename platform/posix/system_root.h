// The system root: the one directory under which the POSIX backend keeps everything
// machine-wide (registry, service definitions, event log). "/" unless QUORIL_ROOT names
// another directory, which lets tests run against a scratch tree.
#pragma once

#include <string>

namespace quoril::platform {

// The path of `relative` (such as "etc/quoril/registry.reg") under the system root. The
// variable is read on every call, so that a test may move the root between cases; a
// relative root is made absolute once, against the current directory of the first call
// that sees it, and stays put when the process changes directory.
std::string SystemRootPath(const char* relative);

}  // namespace quoril::platform
