// The message table as data, generated from messages.mc at build time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quoril {

struct MessageTableEntry {
  std::uint32_t identifier;
  const char* name;
  const char* text;  // ends with CR LF, as the event viewer shows it
};

extern const MessageTableEntry kMessageTable[];
extern const std::size_t kMessageTableSize;

// The entry of an identifier, or nullptr when the table has none.
const MessageTableEntry* FindMessage(std::uint32_t identifier);

}  // namespace quoril
