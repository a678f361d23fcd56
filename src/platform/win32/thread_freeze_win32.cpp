// Stopping the process's other threads around a code write. Threads are walked with
// NtGetNextThread, which allocates nothing: a stopped thread may hold the heap lock, so
// nothing between the first suspension and the last resumption may touch the heap. The
// thread table is static for the same reason, and the walk is repeated until it finds no
// thread it has not stopped yet (threads created meanwhile).
#include "platform/memory.h"

#include <windows.h>

namespace corvane {
namespace {

using NtGetNextThreadFunction = LONG(NTAPI*)(HANDLE process, HANDLE thread, ACCESS_MASK access,
                                             ULONG attributes, ULONG flags, HANDLE* next);

constexpr size_t kMaxStoppedThreads = 4096;
constexpr DWORD kThreadAccess =
    THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT | THREAD_QUERY_LIMITED_INFORMATION;
constexpr int kMaxWalks = 64;

struct StoppedThread {
    HANDLE handle;
    DWORD id;
};

StoppedThread g_stopped[kMaxStoppedThreads];
size_t g_stoppedCount = 0;

NtGetNextThreadFunction NextThreadFunction() {
    static const NtGetNextThreadFunction function = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll == nullptr ? nullptr
                                : reinterpret_cast<NtGetNextThreadFunction>(
                                      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtGetNextThread")));
    }();
    return function;
}

bool AlreadyStopped(DWORD id) {
    for (size_t i = 0; i < g_stoppedCount; ++i) {
        if (g_stopped[i].id == id) {
            return true;
        }
    }
    return false;
}

void ResumeAll() {
    for (size_t i = 0; i < g_stoppedCount; ++i) {
        ResumeThread(g_stopped[i].handle);
        CloseHandle(g_stopped[i].handle);
    }
    g_stoppedCount = 0;
}

// One walk over the process's threads; stops the ones not stopped yet. Returns how many it
// stopped, or -1 when the table is full.
int StopNewThreads(NtGetNextThreadFunction next) {
    const DWORD self = GetCurrentThreadId();
    int added = 0;
    HANDLE thread = nullptr;
    HANDLE following = nullptr;
    while (next(GetCurrentProcess(), thread, kThreadAccess, 0, 0, &following) >= 0) {
        if (thread != nullptr) {
            CloseHandle(thread);
        }
        thread = following;
        const DWORD id = GetThreadId(thread);
        if (id == 0 || id == self || AlreadyStopped(id)) {
            continue;
        }
        if (g_stoppedCount == kMaxStoppedThreads) {
            CloseHandle(thread);
            return -1;
        }
        HANDLE own = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &own, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
            continue;
        }
        if (SuspendThread(own) == static_cast<DWORD>(-1)) {
            CloseHandle(own); // the thread ended meanwhile
            continue;
        }
        // SuspendThread only requests the stop; reading the context waits until it happened.
        CONTEXT context{};
        context.ContextFlags = CONTEXT_CONTROL;
        GetThreadContext(own, &context);
        g_stopped[g_stoppedCount++] = StoppedThread{own, id};
        ++added;
    }
    if (thread != nullptr) {
        CloseHandle(thread);
    }
    return added;
}

} // namespace

bool MemorySuspendOtherThreads() {
    const NtGetNextThreadFunction next = NextThreadFunction();
    if (next == nullptr || g_stoppedCount != 0) {
        return false;
    }
    for (int walk = 0; walk < kMaxWalks; ++walk) {
        const int added = StopNewThreads(next);
        if (added < 0) {
            break;
        }
        if (added == 0) {
            return true;
        }
    }
    ResumeAll();
    return false;
}

size_t MemorySuspendedThreadCount() {
    return g_stoppedCount;
}

bool MemorySuspendedThreadIp(size_t index, uintptr_t& ip) {
    if (index >= g_stoppedCount) {
        return false;
    }
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    if (!GetThreadContext(g_stopped[index].handle, &context)) {
        return false;
    }
    ip = context.Rip;
    return true;
}

bool MemoryMoveSuspendedThread(size_t index, uintptr_t ip) {
    if (index >= g_stoppedCount) {
        return false;
    }
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    if (!GetThreadContext(g_stopped[index].handle, &context)) {
        return false;
    }
    context.Rip = ip;
    return SetThreadContext(g_stopped[index].handle, &context) != FALSE;
}

void MemoryResumeOtherThreads() {
    ResumeAll();
}

} // namespace corvane
