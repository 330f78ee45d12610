// The texts the systemd backend of the service manager writes: the unit file of a service
// and the notification datagram of a status report. Kept apart from the system calls so
// that they can be checked byte for byte.
#pragma once

#include <string>

#include "platform/service_manager.h"
#include "platform/win32_error.h"

namespace quoril::platform {

// The unit file's name for a service name: lower-cased, ".service" appended. Fails with
// ERROR_INVALID_NAME for a name systemd would not take or that could leave the directory.
Win32Error ServiceUnitFileName(const char* serviceName, std::string& fileName);

// ExecStart's program word for `path`: as it stands when systemd takes it so, otherwise in
// double quotes; '%' and '$' escaped in either case. Fails with ERROR_INVALID_NAME for a
// path that is not absolute or holds control characters.
Win32Error ServiceExecPath(const char* path, std::string& word);

// The whole unit file. Fails as ServiceExecPath does, and with ERROR_INVALID_PARAMETER for
// a display name holding control characters.
Win32Error ServiceUnitText(const ServiceDefinition& definition, std::string& text);

// One notification datagram for a status report.
std::string ServiceNotificationText(const ServiceStatusRecord& status);

}  // namespace quoril::platform
