#include "platform/posix/service_texts.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/strings.h"

namespace quoril::platform {

namespace {

constexpr std::size_t kMaxServiceName = 200;
constexpr std::size_t kMaxAccountName = 32;

// What the unit asks of systemd besides the program: the service's own account, the one
// capability a TFTP server needs, and a sandbox. ProtectSystem is "full", not "strict":
// DefaultDirectory may name another directory at any later start, and strict would keep
// that one read-only until the unit was edited; with "full" the account's own rights guard
// everything outside /usr, /boot, /efi and /etc, which stay read-only.
constexpr char kSandbox[] =
    "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
    "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
    "NoNewPrivileges=yes\n"
    "ProtectSystem=full\n"
    "ProtectHome=yes\n"
    "PrivateTmp=yes\n"
    "PrivateDevices=yes\n"
    "PrivateMounts=yes\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "ProtectProc=invisible\n"
    "ProcSubset=pid\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "RemoveIPC=yes\n"
    // IPv4 and IPv6 for TFTP, netlink for the local addresses, local sockets for the
    // notifications and the system log.
    "RestrictAddressFamilies=AF_INET AF_INET6 AF_NETLINK AF_UNIX\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged @resources\n"
    "SystemCallErrorNumber=EPERM\n"
    // The events file, /var/log/quoril/events.log, belongs to the account.
    "LogsDirectory=quoril\n"
    "LogsDirectoryMode=0750\n"
    // Every transfer holds a socket and a file.
    "LimitNOFILE=65536\n";

// The paths that the sandbox above hides, with what hides them.
struct HiddenPath {
  std::string_view directory;
  const char* note;
};
constexpr HiddenPath kHiddenPaths[] = {
    {"/home", "the unit's ProtectHome=yes hides /home, /root and /run/user from the service"},
    {"/root", "the unit's ProtectHome=yes hides /home, /root and /run/user from the service"},
    {"/run/user", "the unit's ProtectHome=yes hides /home, /root and /run/user from the service"},
    {"/tmp", "the unit's PrivateTmp=yes gives the service a /tmp of its own"},
    {"/var/tmp", "the unit's PrivateTmp=yes gives the service a /var/tmp of its own"},
};

constexpr char kNetworkOrdering[] =
    "Wants=network-online.target\n"
    "After=network-online.target\n";

bool IsControlCharacter(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

// systemd expands '%' specifiers in every setting and "$NAME" in ExecStart; doubling them
// keeps the text as it was written.
void AppendUnexpanded(std::string& out, char c) {
  if (c == '%' || c == '$') out += c;
  out += c;
}

const char* StateText(std::uint32_t state) {
  // By SERVICE_STATUS state, from kServiceStopped (1) to kServicePaused (7).
  constexpr const char* kTexts[] = {"Stopped",    "Starting", "Stopping", "Running",
                                    "Continuing", "Pausing",  "Paused"};
  return state >= kServiceStopped && state <= kServicePaused ? kTexts[state - 1] : "Unknown state";
}

bool IsPending(std::uint32_t state) {
  return state == kServiceStartPending || state == kServiceStopPending ||
         state == kServiceContinuePending || state == kServicePausePending;
}

}  // namespace

Win32Error ServiceUnitFileName(const char* serviceName, std::string& fileName) {
  if (serviceName == nullptr) return ERROR_INVALID_NAME;
  const std::size_t length = std::strlen(serviceName);
  if (length == 0 || length > kMaxServiceName || serviceName[0] == '.') return ERROR_INVALID_NAME;
  std::string name;
  for (std::size_t i = 0; i < length; ++i) {
    char c = serviceName[i];
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
    if (!allowed) return ERROR_INVALID_NAME;
    // Service names ignore case, unit names do not: one spelling for every caller.
    name += LowerAscii(c);
  }
  fileName = name + ".service";
  return ERROR_SUCCESS;
}

Win32Error ServiceAccountName(const char* serviceName, std::string& account) {
  std::string fileName;
  if (const Win32Error error = ServiceUnitFileName(serviceName, fileName); error != ERROR_SUCCESS) {
    return error;
  }
  std::string name = fileName.substr(0, fileName.size() - std::strlen(".service"));
  if (name.size() > kMaxAccountName || name[0] < 'a' || name[0] > 'z' ||
      name.find('.') != std::string::npos) {
    return ERROR_INVALID_NAME;
  }
  account = std::move(name);
  return ERROR_SUCCESS;
}

Win32Error ServiceExecPath(const char* path, std::string& word) {
  if (path == nullptr || path[0] != '/') return ERROR_INVALID_NAME;
  bool needsQuotes = false;
  std::string out;
  for (const char* p = path; *p != '\0'; ++p) {
    if (IsControlCharacter(*p)) return ERROR_INVALID_NAME;
    if (*p == ' ' || *p == '"' || *p == '\'' || *p == '\\') needsQuotes = true;
    // Escaped for the quotes that a path holding them gets.
    if (*p == '"' || *p == '\\') out += '\\';
    AppendUnexpanded(out, *p);
  }
  // Unquoted, systemd would split the path at a blank and take the rest as arguments.
  word = needsQuotes ? '"' + out + '"' : out;
  return ERROR_SUCCESS;
}

Win32Error ServiceUnitText(const ServiceDefinition& definition, std::string& text) {
  std::string exec;
  if (const Win32Error error = ServiceExecPath(definition.binaryPath, exec);
      error != ERROR_SUCCESS) {
    return error;
  }
  std::string account;
  if (const Win32Error error = ServiceAccountName(definition.serviceName, account);
      error != ERROR_SUCCESS) {
    return error;
  }
  if (definition.displayName == nullptr) return ERROR_INVALID_PARAMETER;
  std::string description;
  for (const char* p = definition.displayName; *p != '\0'; ++p) {
    if (IsControlCharacter(*p)) return ERROR_INVALID_PARAMETER;
    AppendUnexpanded(description, *p);
  }
  // Demand start: no [Install] section, so nothing starts the service but a request. The
  // listener binds the addresses that exist when it starts: a start at boot waits for the
  // network to be up.
  text = "[Unit]\nDescription=" + description + "\n" + kNetworkOrdering +
         "\n[Service]\nType=notify\nExecStart=" + exec + "\nUser=" + account + "\n" + kSandbox;
  return ERROR_SUCCESS;
}

std::string ServiceNotificationText(const ServiceStatusRecord& status) {
  std::string text;
  if (status.currentState == kServiceRunning) text += "READY=1\n";
  if (status.currentState == kServiceStopPending) text += "STOPPING=1\n";
  if (IsPending(status.currentState) && status.waitHint != 0) {
    const std::uint64_t microseconds = std::uint64_t{status.waitHint} * 1000;
    text += "EXTEND_TIMEOUT_USEC=" + std::to_string(microseconds) + "\n";
  }
  text += "STATUS=";
  text += StateText(status.currentState);
  if (IsPending(status.currentState)) {
    text += " (check point " + std::to_string(status.checkPoint) + ")";
  }
  // systemctl status shows the line: a failed stop says with which error.
  if (status.currentState == kServiceStopped && status.win32ExitCode != 0) {
    text += " (error " + std::to_string(status.win32ExitCode);
    if (status.win32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
      std::array<char, 16> code{};
      std::snprintf(code.data(), code.size(), "0x%08X",
                    static_cast<unsigned>(status.serviceSpecificExitCode));
      text += ", service-specific " + std::string(code.data());
    }
    text += ")";
  }
  text += "\n";
  text += "X_STATE=" + std::to_string(status.currentState) + "\n";
  text += "X_CONTROLS_ACCEPTED=" + std::to_string(status.controlsAccepted) + "\n";
  text += "X_EXIT_CODE=" + std::to_string(status.win32ExitCode) + "\n";
  text += "X_SERVICE_EXIT_CODE=" + std::to_string(status.serviceSpecificExitCode) + "\n";
  text += "X_CHECK_POINT=" + std::to_string(status.checkPoint) + "\n";
  text += "X_WAIT_HINT=" + std::to_string(status.waitHint) + "\n";
  return text;
}

std::string SandboxNote(std::string_view path) {
  for (const HiddenPath& hidden : kHiddenPaths) {
    if (path.starts_with(hidden.directory) &&
        (path.size() == hidden.directory.size() || path[hidden.directory.size()] == '/')) {
      return hidden.note;
    }
  }
  return "";
}

}  // namespace quoril::platform
