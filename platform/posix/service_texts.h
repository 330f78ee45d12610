// The texts the systemd backend of the service manager writes: the unit file of a service
// and the notification datagram of a status report. Kept apart from the system calls so
// that they can be checked byte for byte.
#pragma once

#include <string>
#include <string_view>

#include "platform/service_manager.h"
#include "platform/win32_error.h"

namespace quoril::platform {

// The unit file's name for a service name: lower-cased, ".service" appended. Fails with
// ERROR_INVALID_NAME for a name systemd would not take or that could leave the directory.
Win32Error ServiceUnitFileName(const char* serviceName, std::string& fileName);

// The system account the service runs as: the unit's name without ".service". Fails with
// ERROR_INVALID_NAME where that is no name useradd takes (a letter first, then letters,
// digits, '_' and '-', at most 32 characters).
Win32Error ServiceAccountName(const char* serviceName, std::string& account);

// ExecStart's program word for `path`: as it stands when systemd takes it so, otherwise in
// double quotes; '%' and '$' escaped in either case. Fails with ERROR_INVALID_NAME for a
// path that is not absolute or holds control characters.
Win32Error ServiceExecPath(const char* path, std::string& word);

// The whole unit file: the service runs as its own account with no capability but binding
// ports below 1024, in the sandbox of the unit's [Service] section. Fails as
// ServiceExecPath and ServiceAccountName do, and with ERROR_INVALID_PARAMETER for a display
// name holding control characters.
Win32Error ServiceUnitText(const ServiceDefinition& definition, std::string& text);

// One notification datagram for a status report.
std::string ServiceNotificationText(const ServiceStatusRecord& status);

// What the unit's sandbox does to `path` in words, when it hides it from the service
// (ProtectHome, PrivateTmp); empty for a path that the service sees as everyone does.
std::string SandboxNote(std::string_view path);

}  // namespace quoril::platform
