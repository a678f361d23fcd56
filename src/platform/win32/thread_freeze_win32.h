// The system calls behind the stop of the threads for a code write, which a test can stand
// in for (a thread list that cannot be read to its end, a thread that cannot be stopped).
#pragma once

#include <windows.h>

namespace corvane {

using NtGetNextThreadFunction = LONG(NTAPI*)(HANDLE process, HANDLE thread, ACCESS_MASK access,
                                             ULONG attributes, ULONG flags, HANDLE* next);

struct ThreadFreezeCalls {
    NtGetNextThreadFunction next;          // null: the system's NtGetNextThread
    DWORD(WINAPI* suspend)(HANDLE thread); // null: SuspendThread
};

// Replaces the calls; null puts the system's back. Only while no code write is under way.
void SetThreadFreezeCalls(const ThreadFreezeCalls* calls);

} // namespace corvane
