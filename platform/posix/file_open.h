// How a File is opened, shared by the plain opens and the replacement files of uploads.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/posix/path_walk.h"
#include "platform/posix/unique_fd.h"
#include "platform/win32_error.h"

namespace quoril::platform {

// How often an open starts over when the file appears or vanishes between looking and opening.
constexpr int kMaxOpenAttempts = 8;

// O_NONBLOCK keeps the open from blocking should a FIFO take the file's place between looking
// and opening; it stays set, as it changes nothing for the regular files that are kept.
int OpenFlags(std::uint32_t access);

// What every open checks first: the arguments, the full path and its length, and the real
// path of the confinement directory (empty without one).
Win32Error PrepareOpen(const char* path, std::uint32_t access, std::uint32_t share,
                       std::uint32_t disposition, const char* confineTo, std::string& full,
                       std::string& root);

// What the walk found for an open: the directory that holds the file and the file's real name
// there, and the file itself, opened, unless it is missing and was not to be created.
struct Walked {
  Location where;
  UniqueFd fd;
  struct stat opened {};
  bool created = false;
};

// Opens `full` by walking it, with Open's answers. A missing file is created only when
// `create` is set; otherwise `out.fd` stays empty and `out.where` says where it would be.
Win32Error OpenByWalk(const std::string& full, std::uint32_t access, std::uint32_t disposition,
                      const std::string& root, bool create, Walked& out, mode_t createMode = 0666);

}  // namespace quoril::platform
