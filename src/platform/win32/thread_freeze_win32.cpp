// Stopping the process's other threads around a code write. Threads are walked with
// NtGetNextThread, which allocates nothing: a stopped thread may hold the heap lock, so
// nothing between the first suspension and the last resumption may touch the heap. The
// thread table is static for the same reason, and the walk is repeated until it finds no
// thread it has not stopped yet (threads created meanwhile).
//
// SuspendThread only asks a thread to stop; reading its context waits until it has. Every
// thread is asked first and waited for afterwards, so the waits overlap instead of adding up
// (a busy thread may take a scheduler's time slice to stop). A deadline is checked after every
// thread: a stop that runs out of time lets every thread go again.
#include "platform/win32/thread_freeze_win32.h"

#include "platform/memory.h"
#include "platform/os.h"

namespace corvane {
namespace {

constexpr size_t kMaxStoppedThreads = 4096;
constexpr DWORD kThreadAccess =
    THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_SET_CONTEXT | THREAD_QUERY_LIMITED_INFORMATION;
constexpr LONG kStatusNoMoreEntries = static_cast<LONG>(0x8000001A);
constexpr int kMaxWalks = 64;
constexpr int kOutOfTime = -2;

struct StoppedThread {
    HANDLE handle;
    DWORD id;
};

StoppedThread g_stopped[kMaxStoppedThreads];
size_t g_stoppedCount = 0;

NtGetNextThreadFunction SystemNextThread() {
    static const NtGetNextThreadFunction function = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll == nullptr ? nullptr
                                : reinterpret_cast<NtGetNextThreadFunction>(
                                      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtGetNextThread")));
    }();
    return function;
}

ThreadFreezeCalls g_calls{nullptr, nullptr};

NtGetNextThreadFunction NextThreadFunction() {
    return g_calls.next != nullptr ? g_calls.next : SystemNextThread();
}

DWORD Suspend(HANDLE thread) {
    return g_calls.suspend != nullptr ? g_calls.suspend(thread) : SuspendThread(thread);
}

bool HasExited(HANDLE thread) {
    DWORD code = 0;
    return GetExitCodeThread(thread, &code) && code != STILL_ACTIVE;
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

bool PastDeadline(int64_t deadlineNs) {
    return deadlineNs != 0 && OsSteadyClockNs() > deadlineNs;
}

// One walk over the process's threads; asks the ones not stopped yet to stop. Returns how many
// it asked, -1 when the walk failed: the table is full, the list could not be read to its end,
// or a thread that is still running could not be stopped (a thread left running would execute
// the bytes while they are written, so any of these fails the whole stop), or kOutOfTime.
int StopNewThreads(NtGetNextThreadFunction next, int64_t deadlineNs) {
    const DWORD self = GetCurrentThreadId();
    int added = 0;
    HANDLE thread = nullptr;
    HANDLE following = nullptr;
    for (;;) {
        const LONG status = next(GetCurrentProcess(), thread, kThreadAccess, 0, 0, &following);
        if (thread != nullptr) {
            CloseHandle(thread);
            thread = nullptr;
        }
        if (status == kStatusNoMoreEntries) {
            return added;
        }
        if (status < 0) {
            return -1;
        }
        thread = following;
        const DWORD id = GetThreadId(thread);
        if (id == self || (id != 0 && AlreadyStopped(id))) {
            continue;
        }
        if (id == 0 || g_stoppedCount == kMaxStoppedThreads) {
            if (id == 0 && HasExited(thread)) {
                continue;
            }
            CloseHandle(thread);
            return -1;
        }
        HANDLE own = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &own, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
            if (HasExited(thread)) {
                continue;
            }
            CloseHandle(thread);
            return -1;
        }
        if (Suspend(own) == static_cast<DWORD>(-1)) {
            const bool exited = HasExited(own);
            CloseHandle(own);
            if (exited) {
                continue;
            }
            CloseHandle(thread);
            return -1;
        }
        g_stopped[g_stoppedCount++] = StoppedThread{own, id};
        ++added;
        if (PastDeadline(deadlineNs)) {
            CloseHandle(thread);
            return kOutOfTime;
        }
    }
}

// Waits until every thread asked to stop has stopped: reading a context waits for that.
bool WaitUntilStopped(size_t from, int64_t deadlineNs) {
    for (size_t i = from; i < g_stoppedCount; ++i) {
        CONTEXT context{};
        context.ContextFlags = CONTEXT_CONTROL;
        GetThreadContext(g_stopped[i].handle, &context);
        if (PastDeadline(deadlineNs)) {
            return false;
        }
    }
    return true;
}

} // namespace

void SetThreadFreezeCalls(const ThreadFreezeCalls* calls) {
    g_calls = calls != nullptr ? *calls : ThreadFreezeCalls{nullptr, nullptr};
}

bool MemorySuspendOtherThreads(int64_t deadlineNs) {
    const NtGetNextThreadFunction next = NextThreadFunction();
    if (next == nullptr || g_stoppedCount != 0) {
        return false;
    }
    for (int walk = 0; walk < kMaxWalks; ++walk) {
        const size_t before = g_stoppedCount;
        const int added = StopNewThreads(next, deadlineNs);
        if (added < 0 || !WaitUntilStopped(before, deadlineNs)) {
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
