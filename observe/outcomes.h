// The outcome of an ended transfer as a short name, grouped as the log's descriptions are.
#pragma once

#include <cstddef>
#include <string_view>

#include "config/transfer_log.h"

namespace quoril {

inline constexpr std::size_t kOutcomeCount = 18;

// The outcome's place in OutcomeName, found from the description that the log line shows:
// "success", a failure's name ("file_not_found", "timeout", "options_declined", ...),
// "undefined" for a failure without a row of its own, "none" for an end without a description.
std::size_t ClassifyOutcome(const Description& description);
std::string_view OutcomeName(std::size_t outcome);

}  // namespace quoril
