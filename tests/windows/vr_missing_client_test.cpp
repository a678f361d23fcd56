// The program without a usable openvr_api.dll: the connection fails with a clear text, is
// retried on the 10-second throttle, and the game's frames go on.
#include "program/frame_driver.h"
#include "core/log.h"
#include "core/settings.h"
#include "input/gamepad_mapping.h"
#include "platform/os.h"
#include "platform/win32/os_win32.h"
#include "test_files.h"
#include "vr/vr_presenter.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#ifndef VR_CLIENT_FAILURE
#error "VR_CLIENT_FAILURE names the failure text this program expects"
#endif

namespace corvane {
namespace {

std::string ReadLog() {
    return testing_support::ReadFileText(testing_support::Beside(L"CorvaneVR.log"));
}

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST(MissingClientLibrary, ConnectionFailsClearlyAndFramesGoOn) {
    RecordOwnModule(GetModuleHandleW(nullptr));
    DeleteFileW((GetModuleDirectory() + L"\\CorvaneVR.log").c_str());
    VrPresenter& presenter = VrPresenter::Instance();
    int standIn = 0;
    IDXGISwapChain* swapChain = reinterpret_cast<IDXGISwapChain*>(&standIn);

    RunFrame(swapChain);
    EXPECT_EQ(presenter.LastError(), VR_CLIENT_FAILURE);
    RunFrame(swapChain);
    AdvanceSteadyClockForTests(10'000'000'000);
    RunFrame(swapChain);
    EXPECT_EQ(presenter.LastError(), VR_CLIENT_FAILURE);

    const std::string log = ReadLog();
    EXPECT_EQ(Count(log, "CorvaneVR v0.9.5"), 1u) << log;
    EXPECT_EQ(Count(log, std::string("VR renderer unavailable: ") + VR_CLIENT_FAILURE + "\r\n"), 1u) << log;
    EXPECT_EQ(ReadInput().state.valid, 0u);
}

} // namespace
} // namespace corvane
