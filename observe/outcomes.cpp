#include "observe/outcomes.h"

#include <array>

#include "platform/strings.h"
#include "resources/string_ids.h"

namespace quoril {

namespace {

struct OutcomeRow {
  unsigned stringId;  // 0: no text of its own
  std::string_view name;
};

constexpr std::array<OutcomeRow, kOutcomeCount> kOutcomes = {{
    {0, "none"},
    {IDS_TRANSFER_SUCCESSFUL, "success"},
    {IDS_ACCESS_DENIED, "access_denied"},
    {IDS_FILE_NOT_FOUND, "file_not_found"},
    {IDS_FILE_EXISTS, "file_exists"},
    {IDS_DISK_FULL, "disk_full"},
    {IDS_ILLEGAL_OPCODE, "illegal_opcode"},
    {IDS_UNKNOWN_TID, "unknown_tid"},
    {IDS_NO_SUCH_USER, "no_such_user"},
    {IDS_BAD_BLOCK, "bad_block"},
    {IDS_UNDEFINED_ERROR, "undefined"},
    {IDS_FILE_NAME_TOO_LONG, "file_name_too_long"},
    {IDS_TIMEOUT, "timeout"},
    {IDS_INVALID_DIRECTORY, "invalid_directory"},
    {IDS_SHARING_VIOLATION, "sharing_violation"},
    {IDS_OPTIONS_DECLINED, "options_declined"},
    {IDS_ALLOCATION_EXCEEDED, "allocation_exceeded"},
    {IDS_SUPERSEDED, "superseded"},
}};
constexpr std::size_t kUndefined = 10;
static_assert(kOutcomes[kUndefined].stringId == IDS_UNDEFINED_ERROR);
// The undefined failure's description names the value: "Undefined: GetLastError = 87".
constexpr std::string_view kUndefinedPrefix = "Undefined:";

}  // namespace

std::size_t ClassifyOutcome(const Description& description) {
  const std::string_view text = TextOf(description);
  if (text.empty()) return 0;
  if (text.starts_with(kUndefinedPrefix)) return kUndefined;
  for (std::size_t k = 1; k < kOutcomes.size(); ++k) {
    Description known{};
    platform::LoadString(kOutcomes[k].stringId, known);
    if (text == known.data()) return k;
  }
  return kUndefined;
}

std::string_view OutcomeName(std::size_t outcome) {
  return outcome < kOutcomes.size() ? kOutcomes[outcome].name : kOutcomes[kUndefined].name;
}

}  // namespace quoril
