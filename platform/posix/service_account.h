// The service's own system account: made by installation when it is missing, and removed
// again by removal only when installation made it.
#pragma once

#include <string>
#include <vector>

#include "platform/win32_error.h"

namespace quoril::platform {

// Makes `name` a system account (its own group, no home, no login) unless it exists, and
// records that installation made it. Under the real root useradd does it; under another
// root (a test's) useradd --prefix changes that root's etc/passwd and etc/group, and a root
// without an etc/passwd gets no account. ERROR_INVALID_SERVICE_ACCOUNT when useradd fails.
Win32Error EnsureServiceAccount(const std::string& name);

// Removes `name` with userdel when the record says installation made it, and the record
// with it. An account that is gone already counts as removed.
Win32Error RemoveServiceAccount(const std::string& name);

// Runs the system's own tool `arguments[0]` (from the system's directories, never from
// somebody's PATH) with its output discarded: installation prints only its own outcome.
// Answers the exit status, or -1 when the tool did not run to its end.
int RunSystemProgram(std::vector<std::string> arguments);

}  // namespace quoril::platform
