// What the sockets backend shares with the event poller.
#pragma once

namespace quoril::platform {

// Whether CancelTransferWaits shuts transfer socket `fd` down (every open transfer socket is
// included until a poller watches it). A socket shut down reads as ready for ever, which
// would keep a poller from ever sleeping.
void IncludeInTransferWaitCancel(int fd, bool included);

}  // namespace quoril::platform
