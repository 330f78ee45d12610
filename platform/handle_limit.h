// How many handles (descriptors) the process may hold open at once.
#pragma once

#include <cstdint>

namespace quoril::platform {

// Raises the process's own limit on open handles toward `wanted`, as far as the system lets
// an unprivileged process go, and answers the limit then in force (at least `wanted` where the
// system sets no lower one).
std::uint32_t RaiseHandleLimit(std::uint32_t wanted);

}  // namespace quoril::platform
