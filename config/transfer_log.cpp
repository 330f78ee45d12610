#include "config/transfer_log.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "config/appended_file.h"
#include "config/event_reporter.h"
#include "platform/failure_detail.h"

namespace quoril {

namespace {

// Start columns of a transfer line; the header's words begin at the same columns.
constexpr std::size_t kDateColumn = 8;
constexpr std::size_t kTimeColumn = 19;
constexpr std::size_t kClientColumn = 30;
constexpr std::size_t kLocalColumn = 48;
constexpr std::size_t kModeColumn = 65;
constexpr std::size_t kOperationColumn = 75;
constexpr std::size_t kDescriptionColumn = 87;
constexpr std::size_t kDescriptionWidth = 35;
constexpr std::size_t kFileColumn = 122;
static_assert(kMaxTransferLine ==
              kFileColumn + kMaxAddressExcess + (platform::kMaxPath - 1) + kMaxAskedText + 2 + 1);
// The most that two address texts (a whole field, when it lacks its terminator) and their
// spaces exceed their columns by.
static_assert(kMaxAddressExcess >=
              (platform::kHostTextSize + 1 - (kLocalColumn - kClientColumn)) +
                  (platform::kHostTextSize + 1 - (kModeColumn - kLocalColumn)));

constexpr char kStartedText[] = "   --- Quoril service started ---\r\n\r\n";
constexpr char kStoppedText[] = "   --- Quoril service stopped ---\r\n";

AppendedFile& LogFile() {
  return LastingFile<struct TransferLogTag>();
}

// Three numbers of two digits each with `separator` between them, as MM/DD/YY or HH:MM:SS.
char* PutThreePairs(std::array<char, 9>& buffer, std::array<unsigned, 3> values, char separator) {
  for (std::size_t k = 0; k < values.size(); ++k) {
    buffer[3 * k] = static_cast<char>('0' + values[k] / 10 % 10);
    buffer[3 * k + 1] = static_cast<char>('0' + values[k] % 10);
    buffer[3 * k + 2] = k + 1 < values.size() ? separator : '\0';
  }
  return buffer.data();
}

// Copies at most `width` characters of `text` to `column`. Control characters become '?',
// so that a client's file name can never end a line early or forge one of its own.
void PutColumn(std::span<char> line, std::size_t column, std::string_view text, std::size_t width) {
  const std::size_t count = std::min({text.size(), width, line.size() - column});
  for (std::size_t i = 0; i < count; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    line[column + i] = byte < 0x20 || byte == 0x7F ? '?' : text[i];
  }
}

// EVENT_LOG_FILE_ACCESS with `reason` beside it; the failed load that follows tells the
// same reason, so that EVENT_INIT_FAILED does not stand there without one.
void ReportLogFileFailure(const std::string& reason) {
  platform::NoteFailureDetail(reason);
  EventReporter(EVENT_LOG_FILE_ACCESS);
  platform::NoteFailureDetail(reason);
}

// The date and time, then `text`, in one piece, so that no other writer (a transfer still
// ending at shutdown) can split it.
void WriteBanner(const char* before, const char* text) {
  if (!LogFile().IsOpen()) return;
  TimeText time{};
  DateText date{};
  FormatTime(time);
  FormatDate(date);
  std::array<char, 64> banner{};
  std::snprintf(banner.data(), banner.size(), "%s%s   %s%s", before, date.data(), time.data(),
                text);
  LogFile().Append(banner.data());
}

}  // namespace

int OpenTransferLog(const char* logFile, bool& isNew) {
  isNew = false;
  std::array<char, platform::kMaxPath> fullPath{};
  std::uint32_t length = 0;
  platform::GetFullPathName(logFile, fullPath, length);
  // The listener reports the failed load; nothing to add here.
  if (length == 0) return 0;
  if (length >= fullPath.size()) {
    ReportLogFileFailure("the log file " + std::string(logFile) + " has a full path of " +
                         std::to_string(length) + " characters, more than the " +
                         std::to_string(fullPath.size() - 1) + " it may have");
    return 0;
  }

  bool alreadyExisted = false;
  if (const Win32Error error = LogFile().Open(fullPath.data(), alreadyExisted);
      error != ERROR_SUCCESS) {
    ReportLogFileFailure("cannot open the log file " + std::string(fullPath.data()) + ": " +
                         platform::DescribeError(error));
    return 0;
  }
  isNew = !alreadyExisted;
  return 1;
}

void InitLogLock() {
  LogFile();
}

void WriteLog(const char* text) {
  LogFile().Append(text);
}

char* FormatDate(DateText& buffer, const platform::LocalTime& moment) {
  return PutThreePairs(buffer, {moment.month, moment.day, moment.year % 100u}, '/');
}

char* FormatTime(TimeText& buffer, const platform::LocalTime& moment) {
  return PutThreePairs(buffer, {moment.hour, moment.minute, moment.second}, ':');
}

char* FormatAddressText(std::uint32_t address, AddressText& buffer) {
  // Without the formatted-output machinery: every request formats two addresses.
  std::array<std::uint8_t, 4> bytes;
  std::memcpy(bytes.data(), &address, bytes.size());
  char* at = buffer.data();
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) *at++ = '.';
    at = std::to_chars(at, buffer.data() + buffer.size(), bytes[i]).ptr;
  }
  *at = '\0';
  return buffer.data();
}

char* FormatAddressText(const platform::SocketAddress& address, AddressText& buffer) {
  if (address.IsIPv6()) return platform::FormatHost(address, buffer);
  return FormatAddressText(address.IPv4(), buffer);
}

std::string FormatHardwareText(const platform::HardwareAddress& hardware, char separator) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t k = 0; k < hardware.length && k < platform::kMaxHardwareAddress; ++k) {
    if (k > 0) text += separator;
    text += kDigits[hardware.bytes[k] >> 4];
    text += kDigits[hardware.bytes[k] & 0xF];
  }
  return text;
}

void WriteStartBanner(bool isNew) {
  WriteBanner("", kStartedText);
  if (isNew) WriteLog(kLogColumnHeader);
}

std::size_t ComposeTransferLine(const TransferLogEntry& entry,
                                std::span<char, kMaxTransferLine> line) {
  // How far the columns after the addresses move: what a text and the one space after it need
  // beyond its column's room.
  const auto excess = [](std::string_view text, std::size_t room) {
    return text.size() + 1 > room ? text.size() + 1 - room : 0;
  };
  const std::string_view client = TextOf(entry.clientText);
  const std::string_view local = TextOf(entry.localText);
  const std::size_t localShift = excess(client, kLocalColumn - kClientColumn);
  const std::size_t shift = localShift + excess(local, kModeColumn - kLocalColumn);
  const std::size_t fileColumn = kFileColumn + shift;
  std::fill(line.begin(), line.begin() + fileColumn, ' ');
  if (entry.failed) line[0] = 'E';
  PutColumn(line, kDateColumn, TextOf(entry.date), kTimeColumn - kDateColumn);
  PutColumn(line, kTimeColumn, TextOf(entry.time), kClientColumn - kTimeColumn);
  PutColumn(line, kClientColumn, client, client.size());
  PutColumn(line, kLocalColumn + localShift, local, local.size());
  PutColumn(line, kModeColumn + shift, entry.binary ? "octet" : "netascii",
            kOperationColumn - kModeColumn);
  if (entry.opcodeSet) {
    PutColumn(line, kOperationColumn + shift, entry.opcode == 1 ? "read" : "write",
              kDescriptionColumn - kOperationColumn);
  }
  PutColumn(line, kDescriptionColumn + shift, TextOf(entry.description), kDescriptionWidth);
  // The whole file name, however long, up to the size a full path can have.
  const std::string_view path = TextOf(entry.fullPath).substr(0, platform::kMaxPath - 1);
  PutColumn(line, fileColumn, path, path.size());
  std::size_t end = fileColumn + path.size();
  if (const std::string_view asked = TextOf(entry.askedName).substr(0, platform::kMaxPath);
      !asked.empty()) {
    const std::string_view prefix = kAskedPrefix;
    PutColumn(line, end, prefix, prefix.size());
    PutColumn(line, end + prefix.size(), asked, asked.size());
    end += prefix.size() + asked.size();
    line[end++] = ')';
  }
  line[end++] = '\r';
  line[end++] = '\n';
  line[end] = '\0';
  return end;
}

void WriteTransferLine(const TransferLogEntry& entry) {
  if (!LogFile().IsOpen()) return;
  std::array<char, kMaxTransferLine> line;
  ComposeTransferLine(entry, line);
  WriteLog(line.data());
}

void WriteStopBanner() {
  WriteBanner("\r\n", kStoppedText);
}

void CloseTransferLog() {
  LogFile().Close();
}

}  // namespace quoril
