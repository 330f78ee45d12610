// One transfer: a thread per request, from the first check of the request to its last packet.
#pragma once

namespace quoril {

// The transfer thread routine; `record` is the RequestRecord, which the session owns and
// frees at once.
void TransferSession(void* record);

}  // namespace quoril
