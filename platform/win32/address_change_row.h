// What one notification of NotifyUnicastIpAddressChange says, as the address watcher's record.
#pragma once

#include "platform/win32/windows_headers.h"

#include <ws2tcpip.h>

#include <iphlpapi.h>

#include "platform/address_watcher.h"

namespace quoril::platform {

// The record of `row` as a notification of `type` reports it; false for a notification that
// names no IPv4 or IPv6 address (the initial one names none). The row's DadState must be the
// address's own (the notification's row carries the address and its interface only).
bool AddressChangeFromRow(const MIB_UNICASTIPADDRESS_ROW* row, MIB_NOTIFICATION_TYPE type,
                          AddressChange& change);

}  // namespace quoril::platform
