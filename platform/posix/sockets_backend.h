// What the sockets backend shares with the event poller.
#pragma once

#include "platform/win32_error.h"

namespace quoril::platform {

// The Windows Sockets error that a Windows call failing for the same reason would give.
Win32Error WsaErrorFromErrno(int error);

// Whether CancelTransferWaits shuts transfer socket `fd` down (every open transfer socket is
// included until a poller watches it). A socket shut down reads as ready for ever, which
// would keep a poller from ever sleeping.
void IncludeInTransferWaitCancel(int fd, bool included);

}  // namespace quoril::platform
