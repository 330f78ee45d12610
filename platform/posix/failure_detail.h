// Why the last start-up step of the platform layer failed on this thread, in words (the
// registry file's line, the directory, the failing bind). The events file and the journal
// show it beside the event that the failure leads to, whose identifier and text stay as
// they are; a step that succeeds clears it, so that nothing stale reaches a later event.
#pragma once

#include <string>

#include "platform/failure_detail.h"
#include "platform/win32_error.h"

namespace quoril::platform {

void ClearFailureDetail();
// Answers the detail and clears it; `anyType` tells whether it was noted for any event
// (NoteEventDetail).
std::string TakeFailureDetail(bool* anyType = nullptr);

}  // namespace quoril::platform
