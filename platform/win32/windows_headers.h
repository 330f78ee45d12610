// The Windows headers, for the Win32 backends only. Include this instead of <windows.h>.
#pragma once

// One select looks at all the port-69 sockets (PortSocketSet::AnyQueued): room for every one
// of them (PortSocketSet::kCapacity), beyond Windows Sockets' default of 64.
#ifndef FD_SETSIZE
#define FD_SETSIZE 256
#endif

// winsock2.h before windows.h, which would otherwise bring the older winsock.h.
#include <winsock2.h>

#include <windows.h>

// The headers name the ANSI or wide variant of a call through a macro of the plain name;
// the layer's own operations carry several of these names, and the backends call the
// ANSI variants by their full names.
#undef GetCurrentDirectory
#undef GetDiskFreeSpace
#undef GetFullPathName
#undef GetModuleFileName
#undef LoadString
#undef RegisterServiceCtrlHandler
#undef SetCurrentDirectory
#undef StartServiceCtrlDispatcher
