// SPDX-License-Identifier: MIT
// What the Windows side of the OS layer shares between its files: windows.h
// as the layer includes it, and ntdll's calls. Not part of the layer's
// interface.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>

namespace platform {

// ntdll's calls are in no import library a program links by default: looked
// up by name; null when this ntdll has none of that name.
template <typename Call>
Call ntdllCall(const char *name)
{
    const FARPROC entry = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name);
    Call call = nullptr;
    static_assert(sizeof call == sizeof entry, "function pointers of one size");
    if (entry)
        std::memcpy(&call, &entry, sizeof entry);
    return call;
}

// NtQueryInformationThread, looked up once.
using QueryThread = LONG(WINAPI *)(HANDLE, ULONG, PVOID, ULONG, PULONG);
inline QueryThread queryThread()
{
    static const QueryThread call = ntdllCall<QueryThread>("NtQueryInformationThread");
    return call;
}

} // namespace platform
