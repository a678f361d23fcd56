// The cost of stopping the process's threads for code writes: N one-byte sites written one
// stop each (as the writes were made before batches), against the same N sites in one batch,
// with 8, 64 and 128 idle threads. Rounds of the two ways alternate; the figures are medians
// in milliseconds and their ratio, all measured in this one run. Then the render thread's
// write (one site, the wait of a frame) with idle and with busy threads: how long the render
// thread was held (median and longest) and how many of the writes went through.
//   code_freeze_bench.exe [sites] [rounds]
#include "platform/code_patch.h"
#include "platform/memory.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using namespace corvane;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Threads that wait on one event for the whole run, as a game's idle workers do.
class IdleThreads {
public:
    explicit IdleThreads(int count) : release_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        for (int i = 0; i < count; ++i) {
            threads_.push_back(CreateThread(nullptr, 64 * 1024, &Wait, release_, 0, nullptr));
        }
    }
    ~IdleThreads() {
        SetEvent(release_);
        for (HANDLE thread : threads_) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        CloseHandle(release_);
    }

private:
    static DWORD WINAPI Wait(void* release) {
        WaitForSingleObject(static_cast<HANDLE>(release), INFINITE);
        return 0;
    }
    HANDLE release_;
    std::vector<HANDLE> threads_;
};

// Threads that compute without pause, as a game's busy workers do.
class BusyThreads {
public:
    explicit BusyThreads(int count) {
        for (int i = 0; i < count; ++i) {
            threads_.push_back(CreateThread(nullptr, 64 * 1024, &Spin, &stop_, 0, nullptr));
        }
    }
    ~BusyThreads() {
        stop_.store(true);
        for (HANDLE thread : threads_) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
    }

private:
    static DWORD WINAPI Spin(void* stop) {
        volatile uint64_t work = 0;
        while (!static_cast<std::atomic<bool>*>(stop)->load(std::memory_order_relaxed)) {
            work = work + 1;
        }
        return 0;
    }
    std::atomic<bool> stop_{false};
    std::vector<HANDLE> threads_;
};

double Milliseconds(std::chrono::steady_clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

} // namespace

int main(int argc, char** argv) {
    const size_t sites = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 13;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 9;
    if (sites == 0 || sites > kMaxCodeSites || rounds <= 0) {
        std::fprintf(stderr, "usage: code_freeze_bench.exe [sites 1..%zu] [rounds]\n", kMaxCodeSites);
        return 2;
    }
    // One-byte sites, one per 64 bytes (RET in a block that is never run), execute-read.
    const uintptr_t block = MemoryAllocateExecutable(0x1000);
    std::memset(reinterpret_cast<void*>(block), 0xC3, 0x1000);
    uint32_t old = 0;
    if (block == 0 || !MemoryProtect(block, 0x1000, kPageExecuteRead, old)) {
        std::fprintf(stderr, "no executable block\n");
        return 1;
    }
    const uint8_t values[2] = {0xCC, 0xC3};
    std::printf("%zu sites, %d rounds; median milliseconds\n", sites, rounds);
    std::printf("idle threads  one stop per site  one batch  ratio\n");
    for (const int threadCount : {8, 64, 128}) {
        IdleThreads idle(threadCount);
        Sleep(50);
        std::vector<double> separate;
        std::vector<double> batched;
        bool allWritten = true;
        for (int round = 0; round < rounds; ++round) {
            const uint8_t* value = &values[round % 2];
            auto start = std::chrono::steady_clock::now();
            for (size_t i = 0; i < sites; ++i) {
                allWritten &= WriteCodeBytes(block + i * 64, value, 1) == CodePatchResult::Written;
            }
            separate.push_back(Milliseconds(std::chrono::steady_clock::now() - start));

            std::vector<CodeSite> batch;
            for (size_t i = 0; i < sites; ++i) {
                batch.push_back(CodeSite{block + i * 64, &values[(round + 1) % 2], 1, {}});
            }
            std::vector<CodePatchResult> results(sites);
            start = std::chrono::steady_clock::now();
            WriteCodeSites(batch, results);
            batched.push_back(Milliseconds(std::chrono::steady_clock::now() - start));
            allWritten &= std::all_of(results.begin(), results.end(),
                                      [](CodePatchResult r) { return r == CodePatchResult::Written; });
        }
        const double a = Median(separate);
        const double b = Median(batched);
        std::printf("%12d  %17.2f  %9.2f  %5.1f%s\n", threadCount, a, b, a / b,
                    allWritten ? "" : "  (writes failed)");
    }

    std::printf(
        "\nrender-thread writes (one site, a frame's wait); milliseconds the render thread was held\n");
    std::printf("threads      median  longest  written\n");
    for (const bool busy : {false, true}) {
        for (const int threadCount : {8, 32, 64}) {
            IdleThreads idle(busy ? 0 : threadCount);
            BusyThreads spinning(busy ? threadCount : 0);
            Sleep(50);
            std::vector<double> held;
            int written = 0;
            for (int round = 0; round < rounds; ++round) {
                const auto start = std::chrono::steady_clock::now();
                written += WriteCodeBytes(block, &values[round % 2], 1, {}, CodeWriteWait::Frame) ==
                                   CodePatchResult::Written
                               ? 1
                               : 0;
                held.push_back(Milliseconds(std::chrono::steady_clock::now() - start));
            }
            std::printf("%3d %-5s  %7.2f  %7.2f  %d/%d\n", threadCount, busy ? "busy" : "idle", Median(held),
                        *std::max_element(held.begin(), held.end()), written, rounds);
        }
    }
    MemoryFreeExecutable(block);
    return 0;
}
