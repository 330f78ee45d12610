#include "resources/message_table.h"

namespace quoril {

const MessageTableEntry* FindMessage(std::uint32_t identifier) {
  for (std::size_t i = 0; i < kMessageTableSize; ++i) {
    if (kMessageTable[i].identifier == identifier) return &kMessageTable[i];
  }
  return nullptr;
}

}  // namespace quoril
