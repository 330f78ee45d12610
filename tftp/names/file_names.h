// How a request's name becomes the full path of the file it reads or writes: the rewrite
// rules (RewriteRules), a name from the served directory's root (RootRelativeNames) and the
// client's own directory (ClientDirectories), each optional. Without them the name is formed
// against the current directory, DefaultDirectory, and lower-cased, as it always was.
#pragma once

#include <cstdint>
#include <string_view>

#include "config/server_config.h"
#include "config/transfer_log.h"
#include "platform/socket_address.h"
#include "tftp/names/rewrite_rules.h"

namespace quoril {

// Compiles the rewrite rules of the settings just loaded into `rules`; a rule that does not
// compile answers false, with its text and the reason noted for the start's failure event.
bool PrepareFileNames(const ServerConfig& config, RewriteRules& rules);

// Whether the full path `path` is `directory` or lies below it, component by component.
bool LiesInside(std::string_view path, std::string_view directory);

enum class NameResult : std::uint8_t {
  kFormed,     // entry.fullPath holds the lower-cased full path
  kNotFormed,  // no full path fits: the request ends without a packet
  kDenied,     // a rule could not decide within its budget: "Access denied"
};

// Forms the full path of the file that `name`, asked for by `client`, stands for, into
// entry.fullPath. When the settings made it another file than the name alone would give,
// entry.askedName keeps the name as asked, for the log. The confinement is not judged here:
// the full path goes through it as any other.
NameResult FormRequestPath(const ServerConfig& config, const RewriteRules& rules,
                           std::string_view name, const platform::SocketAddress& client,
                           bool isWrite, TransferLogEntry& entry);

}  // namespace quoril
