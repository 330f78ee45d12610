// The descriptor limit: RLIMIT_NOFILE, whose soft value a process may raise up to the hard one.
#include "platform/handle_limit.h"

#include <sys/resource.h>

#include <algorithm>

namespace quoril::platform {

std::uint32_t RaiseHandleLimit(std::uint32_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    const rlim_t raised = limit.rlim_max == RLIM_INFINITY
                              ? rlim_t{wanted}
                              : std::min<rlim_t>(limit.rlim_max, rlim_t{wanted});
    if (raised > limit.rlim_cur) {
      rlimit next = limit;
      next.rlim_cur = raised;
      if (setrlimit(RLIMIT_NOFILE, &next) == 0) limit = next;
    }
  }
  if (limit.rlim_cur == RLIM_INFINITY) return wanted;
  return static_cast<std::uint32_t>(std::min<rlim_t>(limit.rlim_cur, 0xFFFFFFFFu));
}

}  // namespace quoril::platform
