// Windows sets no per-process limit on handles that a server of this size could meet: the
// kernel's own (about 16 million per process) lies far beyond any transfer bound.
#include "platform/handle_limit.h"

namespace quoril::platform {

std::uint32_t RaiseHandleLimit(std::uint32_t wanted) {
  return wanted;
}

}  // namespace quoril::platform
