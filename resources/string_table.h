// The string table as data, generated from strings.rc at build time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "resources/string_ids.h"

namespace quoril {

struct StringTableEntry {
  std::uint32_t id;
  const char* text;
};

extern const StringTableEntry kStringTable[];
extern const std::size_t kStringTableSize;

}  // namespace quoril
