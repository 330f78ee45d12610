// Installation and removal of the service: the service itself, its event-log source and
// the default settings.
#pragma once

#include <span>

#include "config/server_config.h"  // kParametersKey
#include "platform/files.h"
#include "platform/service_manager.h"

namespace quoril {

inline constexpr const char* kEventSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quoril";

// The default directory for the executable at `modulePath` (its characters, without a
// terminator), by `rule`, terminated in `directory` and not yet lower-cased. Answers 1, or
// 0 when the path has no directory by that rule.
int DeriveModuleDirectory(std::span<const char> modulePath, platform::ModuleDirectoryRule rule,
                          std::span<char, platform::kMaxPath> directory);

// Registers the service, its event-log source and the default settings; answers 1 when all
// was written and 0 otherwise. Nothing is printed; nothing done before a failure is undone.
// A service that exists already fails before any key is written.
int InstallService(const platform::ServiceManager& manager);

// Deletes the service and its event-log source; answers 1 when both went and 0 otherwise.
// The settings stay.
int RemoveService(const platform::ServiceManager& manager);

}  // namespace quoril
