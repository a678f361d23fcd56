// XInputGetState through the program's XINPUT1_3.dll against the system library it wraps.
// Both are loaded by full path into this one process and called in interleaved rounds; the
// figure is the ratio of the median per-call times.
//   xinput_proxy_bench.exe PROXY_DLL [rounds] [calls per round]
#include <windows.h>
#include <xinput.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using GetState = DWORD(WINAPI*)(DWORD, XINPUT_STATE*);

GetState Load(const std::wstring& path) {
    HMODULE module = LoadLibraryW(path.c_str());
    if (module == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<GetState>(reinterpret_cast<void*>(GetProcAddress(module, "XInputGetState")));
}

// Nanoseconds per call over one round of calls for pad 0 (connected or not, as the machine has it).
double Round(GetState getState, int calls, DWORD& result) {
    XINPUT_STATE state{};
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) {
        result = getState(0, &state);
    }
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(end - start).count() / calls;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: xinput_proxy_bench PROXY_DLL [rounds] [calls per round]\n");
        return 64;
    }
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 15;
    const int calls = argc > 3 ? std::max(1, std::atoi(argv[3])) : 20000;
    wchar_t systemDirectory[MAX_PATH] = {};
    GetSystemDirectoryW(systemDirectory, MAX_PATH);
    const GetState system = Load(std::wstring(systemDirectory) + L"\\xinput1_3.dll");
    std::wstring proxyPath(argv[1], argv[1] + std::char_traits<char>::length(argv[1]));
    const GetState proxy = Load(proxyPath);
    if (system == nullptr || proxy == nullptr) {
        std::fprintf(stderr, "xinput_proxy_bench: could not load %s\n",
                     system == nullptr ? "the system library" : argv[1]);
        return 70;
    }
    DWORD systemResult = 0, proxyResult = 0;
    Round(system, calls, systemResult); // warm-up: the proxy loads the system library on first use
    Round(proxy, calls, proxyResult);
    std::vector<double> systemTimes, proxyTimes;
    for (int r = 0; r < rounds; ++r) {
        systemTimes.push_back(Round(system, calls, systemResult));
        proxyTimes.push_back(Round(proxy, calls, proxyResult));
    }
    const double s = Median(systemTimes), p = Median(proxyTimes);
    std::printf(
        "XInputGetState: system %.1f ns (result %lu), through the program %.1f ns (result %lu), ratio %.2f "
        "(goal <= 1.5)\n",
        s, static_cast<unsigned long>(systemResult), p, static_cast<unsigned long>(proxyResult), p / s);
    return 0;
}
