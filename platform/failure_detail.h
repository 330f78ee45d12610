// Why a start-up step failed, in words, for the event that the failure leads to.
#pragma once

#include <string>

#include "platform/win32_error.h"

namespace quoril::platform {

// Kept for this thread's next event, beside which the events file and the journal show it.
// The Windows event log shows an event's own text alone: there it is not kept.
void NoteFailureDetail(std::string text);
// As NoteFailureDetail, shown beside the next event whatever its type: an information event
// that names what it is about.
void NoteEventDetail(std::string text);

// A Win32 error in a few words, for a detail.
std::string DescribeError(Win32Error error);

}  // namespace quoril::platform
