// How a File is opened, shared by the plain opens and the replacement files of uploads.
#pragma once

#include "platform/win32/windows_headers.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win32_error.h"

namespace quoril::platform {

bool IsSeparator(char c);

// What every open checks after its arguments: the full path, its length, and that it lies on
// a local drive; with a confinement, its final path in `root` and that the directory that
// would hold the file lies within it.
Win32Error FullPathWithin(const char* path, const char* confineTo, std::string& full,
                          std::string& root);

// Whether the final path `path` is `root` or lies below it. A plain prefix test would let
// D:\tftpdata pass for D:\tftp.
bool LiesWithin(std::string_view path, std::string_view root);

// The path of what `handle` refers to, every link and junction followed.
Win32Error FinalPathOf(HANDLE handle, std::string& path);

// Only regular files on a disk; what was opened decides, not the name.
bool IsDiskFile(HANDLE file);

}  // namespace quoril::platform
