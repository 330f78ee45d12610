// The transfer log: one fixed-column line per handled request, between start and stop
// banners.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/network_interfaces.h"
#include "platform/socket_address.h"
#include "platform/threads.h"

namespace quoril {

// Date MM/DD/YY and time HH:MM:SS, 8 characters and a terminator each.
using DateText = std::array<char, 9>;
using TimeText = std::array<char, 9>;
// An address as the log shows it: up to 15 characters for IPv4, up to 63 for IPv6 with its
// scope, and a terminator.
using AddressText = platform::HostText;
// The description of a transfer, terminator included.
inline constexpr std::size_t kDescriptionSize = 40;
using Description = std::array<char, kDescriptionSize>;

// The text held in `field` up to its terminator, and never past its end.
template <std::size_t N>
std::string_view TextOf(const std::array<char, N>& field) {
  return std::string_view(field.data(), strnlen(field.data(), N));
}

inline constexpr char kLogColumnHeader[] =
    "Status  Date       Time       Client Address    Local Address    Mode      Operation   "
    "Description                        File\r\n";

// The values of one transfer's line. A text that was never set stays empty and leaves its
// column blank.
struct TransferLogEntry {
  bool failed = true;
  DateText date{};
  TimeText time{};
  AddressText clientText{};
  AddressText localText{};
  bool binary = false;
  std::uint16_t opcode = 0;  // the request's: 1 (a read) shows as read, any other as write
  bool opcodeSet = false;    // false leaves the operation column blank
  Description description{};
  std::array<char, platform::kMaxPath> fullPath{};
  // The name as the request asked for it, when the settings (rewrite rules, names from the
  // root, the client's own directory) made it another file than the name alone: the line
  // then shows it after the full path, as " (asked NAME)". Empty otherwise.
  std::array<char, platform::kMaxPath + 1> askedName{};
};

// Resolves `logFile` against the current directory and opens it as an AppendedFile; reports
// EVENT_LOG_FILE_ACCESS itself when it cannot be opened. Answers 1 or 0; `isNew` tells
// whether the file was created.
int OpenTransferLog(const char* logFile, bool& isNew);
// The log lock lives as long as the process, so that a transfer that ends after the log
// was closed finds it still there and writes nothing.
void InitLogLock();
// The start banner and, for a new file, the column header.
void WriteStartBanner(bool isNew);
// Writes `text` whole with one write under the log lock, when logging is on.
void WriteLog(const char* text);
// The date and time texts of `moment`, by default the local clock's at the call. Callers that
// need both of the clock take the time first.
char* FormatDate(DateText& buffer, const platform::LocalTime& moment = platform::GetLocalTime());
char* FormatTime(TimeText& buffer, const platform::LocalTime& moment = platform::GetLocalTime());
// The dotted-decimal text of an IPv4 address in network byte order, as "%d.%d.%d.%d" gives it.
char* FormatAddressText(std::uint32_t address, AddressText& buffer);
// The host of `address` (not its port): dotted decimal, or the IPv6 form of FormatHost.
char* FormatAddressText(const platform::SocketAddress& address, AddressText& buffer);
// The bytes of `hardware` as two lower-case hex digits each, with `separator` between them.
std::string FormatHardwareText(const platform::HardwareAddress& hardware, char separator);
// A transfer line: 122 columns, the room that two addresses longer than their columns take
// beyond them, a file name of up to 259 characters, the name as asked when it differs, CR LF
// and a terminator.
inline constexpr std::size_t kMaxAddressExcess = 2 * platform::kHostTextSize;
inline constexpr char kAskedPrefix[] = " (asked ";
inline constexpr std::size_t kMaxAskedText = sizeof kAskedPrefix - 1 + platform::kMaxPath + 1;
inline constexpr std::size_t kMaxTransferLine =
    122 + kMaxAddressExcess + (platform::kMaxPath - 1) + kMaxAskedText + 2 + 1;
// Composes the fixed-column line of `entry`, terminated, into `line`; answers its length.
// An address text longer than its column (an IPv6 address) is shown whole, followed by one
// space, and every later column moves right by the excess; IPv4 addresses always fit.
// Whatever the fields hold (a text without its terminator included), the line is one line:
// control characters show as '?', and CR LF comes only at its end.
std::size_t ComposeTransferLine(const TransferLogEntry& entry,
                                std::span<char, kMaxTransferLine> line);
// Composes the line of `entry` and writes it with one write.
void WriteTransferLine(const TransferLogEntry& entry);
void WriteStopBanner();
// Deletes the log lock and closes the log file if it is open; nothing is written after.
void CloseTransferLog();

}  // namespace quoril
