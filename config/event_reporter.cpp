// Stand-in until the event log lands: events go nowhere.
#include "config/event_reporter.h"

namespace quoril {

int EventReporter(std::uint32_t) { return 0; }

}  // namespace quoril
