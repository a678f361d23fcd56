// A fixture that runs the presenter against the stand-in OpenVR runtime copied beside this
// test program: writes a scenario, points the runtime at it and at a fresh call log, and reads
// both the runtime's call log and the program's own log. Test thread only.
#pragma once

#include "core/log.h"
#include "core/settings.h"
#include "platform/os.h"
#include "platform/win32/os_win32.h"
#include "vr/vr_presenter.h"
#include "test_files.h"
#include "vr_game_swap_chain.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace corvane::vr_test {

using testing_support::Beside;
using testing_support::ReadFileText;

inline std::vector<std::string> SplitLines(const std::string& text, const std::string& ending) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(ending, start)) != std::string::npos; start = end + ending.size()) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

class VrRuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        RecordOwnModule(GetModuleHandleW(nullptr));
        GetSettings() = Settings{};
        DeleteFileW(Beside(L"CorvaneVR.log").c_str());
        // The same module the presenter loads later, so the test can reset it between cases.
        runtime = LoadLibraryW(Beside(L"openvr_api.dll").c_str());
        ASSERT_NE(runtime, nullptr);
        presenter = std::make_unique<VrPresenter>();
    }

    void TearDown() override {
        if (presenter != nullptr) {
            std::lock_guard<std::mutex> lock(presenter->presenterMutex);
            presenter->Disconnect(0);
        }
        FreeLibrary(runtime);
    }

    template <typename Fn> Fn Export(const char* name) const {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(runtime, name)));
    }

    void RunScenario(const std::string& text) {
        const std::wstring scenario = Beside(L"vr_scenario.txt");
        std::FILE* file = _wfopen(scenario.c_str(), L"wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
        SetEnvironmentVariableW(L"VRSIM_SCENARIO", scenario.c_str());
        SetEnvironmentVariableW(L"VRSIM_LOG", Beside(L"vr_runtime.log").c_str());
        Export<void (*)()>("VRSim_Reset")();
    }

    // The runtime's own wording for an init error, as the presenter must quote it.
    std::string Describe(int32_t error) const {
        const char* text = Export<const char* (*)(int32_t)>("VR_GetVRInitErrorAsEnglishDescription")(error);
        return text != nullptr ? text : "<null>";
    }

    bool Connect() {
        std::lock_guard<std::mutex> lock(presenter->presenterMutex);
        return presenter->EnsureConnected();
    }

    void Disconnect() {
        std::lock_guard<std::mutex> lock(presenter->presenterMutex);
        presenter->Disconnect(OsSteadyClockNs() + kReconnectIntervalNs);
    }

    // The game's window and swap chain, made on first use.
    GameSwapChain& Game() {
        if (game == nullptr) {
            game = std::make_unique<GameSwapChain>();
            EXPECT_TRUE(game->Create(64, 36)) << game->failure;
        }
        return *game;
    }

    // One mono frame with the default picture parameters.
    bool Frame(uint32_t eye = 0) {
        FrameRequest request;
        request.eye = eye;
        return presenter->RenderFrame(Game().SwapChain(), request);
    }

    static void AdvanceSeconds(int64_t seconds) { AdvanceSteadyClockForTests(seconds * 1'000'000'000); }

    std::vector<std::string> RuntimeLog() const {
        return SplitLines(ReadFileText(Beside(L"vr_runtime.log")), "\n");
    }

    size_t RuntimeCalls(const std::string& prefix) const {
        size_t count = 0;
        for (const std::string& line : RuntimeLog()) {
            count += line.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return count;
    }

    // The program's log messages without their time stamps.
    static std::vector<std::string> Messages() {
        std::vector<std::string> messages;
        for (const std::string& line : SplitLines(ReadFileText(Beside(L"CorvaneVR.log")), "\r\n")) {
            const size_t close = line.find("] ");
            messages.push_back(close == std::string::npos ? line : line.substr(close + 2));
        }
        return messages;
    }

    // Calls the runtime flags as made the wrong way: another `this`, an unknown slot, or
    // outside a session.
    ::testing::AssertionResult NoMisdirectedCalls() const {
        for (const std::string& line : RuntimeLog()) {
            if (line.rfind("foreign this", 0) == 0 || line.rfind("unexpected slot", 0) == 0 ||
                line.rfind("outside session", 0) == 0) {
                return ::testing::AssertionFailure() << line;
            }
        }
        return ::testing::AssertionSuccess();
    }

    HMODULE runtime = nullptr;
    std::unique_ptr<GameSwapChain> game;
    std::unique_ptr<VrPresenter> presenter;
};

} // namespace corvane::vr_test
