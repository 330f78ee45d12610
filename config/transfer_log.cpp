// Stand-in until the transfer log lands: logging is always off.
#include "config/transfer_log.h"

namespace quoril {

int OpenTransferLog(const char*, bool& isNew) {
  isNew = false;
  return 0;
}
void InitLogLock() {}
void WriteStartBanner(bool) {}
void WriteLog(const char*) {}
char* FormatDate(DateText& buffer) {
  buffer.fill(0);
  return buffer.data();
}
char* FormatTime(TimeText& buffer) {
  buffer.fill(0);
  return buffer.data();
}
void WriteTransferLine(const TransferLogEntry&) {}
void WriteStopBanner() {}
void CloseTransferLog() {}

}  // namespace quoril
