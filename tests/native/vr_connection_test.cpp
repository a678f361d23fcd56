// The OpenVR connection against the fake runtime: the connection sequence, optics
// validation, failure texts, the reconnection throttle and disconnection.
#include "test_support.h"
#include "vr/vr_presenter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <limits>
#include <memory>
#include <thread>

namespace corvane {
namespace {

using testing_support::MessageOf;
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

class VrConnectionTest : public testing_support::ProcessStateTest {
protected:
    bool Connect() {
        std::lock_guard<std::mutex> lock(presenter->presenterMutex);
        return presenter->EnsureConnected();
    }
    void Disconnect() {
        std::lock_guard<std::mutex> lock(presenter->presenterMutex);
        presenter->Disconnect(fake::Os().steadyNs + kReconnectIntervalNs);
    }
    static void AdvanceSeconds(int64_t seconds) { fake::Os().steadyNs += seconds * 1'000'000'000; }

    std::unique_ptr<VrPresenter> presenter = std::make_unique<VrPresenter>();
    fake::FakeOpenVr& vr = fake::OpenVr();
};

TEST_F(VrConnectionTest, CleanConnectionFollowsTheClientSequenceAndLogsTheOptics) {
    ASSERT_TRUE(Connect());
    EXPECT_EQ(vr.initCalls, 1);
    EXPECT_EQ(vr.sdkVersion, (std::vector<uint32_t>{2, 15, 6}));
    EXPECT_EQ(vr.trackingSpace, TrackingUniverseStanding);
    EXPECT_EQ(vr.shutdownCalls, 0);
    EXPECT_EQ(vr.callsOnWrongInterface, 0);
    EXPECT_EQ(presenter->LastError(), "");

    const auto lines = fake::LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(MessageOf(lines[0]),
              "OpenVR projection: target=1852x2056; left raw=(-1.390000, 1.250000, -1.470000, 1.470000) "
              "u0=0.526515; right raw=(-1.250000, 1.390000, -1.470000, 1.470000) u0=0.473485; common "
              "tan=(1.390000, 1.470000)");

    ProjectionInfo info;
    ASSERT_TRUE(presenter->GetProjectionInfo(info));
    EXPECT_FLOAT_EQ(info.leftEyeRaw[0], -1.39f);
    EXPECT_FLOAT_EQ(info.rightEyeRaw[1], 1.39f);
    EXPECT_FLOAT_EQ(info.commonTanX, 1.39f);
    EXPECT_FLOAT_EQ(info.commonTanY, 1.47f);
    float offset = 0.0f;
    ASSERT_TRUE(presenter->GetEyeOffset(1, offset));
    EXPECT_FLOAT_EQ(offset, 0.0315f);
    EXPECT_FALSE(presenter->GetEyeOffset(2, offset));
    EXPECT_EQ(offset, 0.0f);

    // Connected: nothing more is asked of the runtime.
    ASSERT_TRUE(Connect());
    EXPECT_EQ(vr.initCalls, 1);
}

TEST_F(VrConnectionTest, EachFaultLeavesItsTextAndTheRuntimeShutDownWhereItWasStarted) {
    struct Case {
        const char* name;
        void (*arrange)(fake::FakeOpenVr&);
        std::string text;
        int shutdowns;
    };
    const Case cases[] = {
        {"library missing",
         [](fake::FakeOpenVr& v) {
             v.loadFailure = "OpenVR client library openvr_api.dll could not be loaded";
         },
         "OpenVR client library openvr_api.dll could not be loaded", 0},
        {"not installed", [](fake::FakeOpenVr& v) { v.runtimeInstalled = false; },
         "No OpenVR runtime is installed", 0},
        {"init error", [](fake::FakeOpenVr& v) { v.initError = 108; },
         "OpenVR initialization failed: " + fake::DescribeInitError(108), 1},
        {"init error without text",
         [](fake::FakeOpenVr& v) {
             v.initError = 301;
             v.describesErrors = false;
         },
         "OpenVR initialization failed: unknown error", 1},
        {"system version not valid", [](fake::FakeOpenVr& v) { v.systemVersionValid = false; },
         "OpenVR initialization failed: " + fake::DescribeInitError(105), 1},
        {"system interface null", [](fake::FakeOpenVr& v) { v.systemAvailable = false; },
         "OpenVR initialization failed: " + fake::DescribeInitError(105), 1},
        {"compatibility check fails", [](fake::FakeOpenVr& v) { v.sdkVersionResult = 168; },
         "OpenVR initialization failed: " + fake::DescribeInitError(168), 1},
        {"compositor null", [](fake::FakeOpenVr& v) { v.compositorAvailable = false; },
         "OpenVR compositor interface is unavailable", 1},
        {"eye offsets too close",
         [](fake::FakeOpenVr& v) {
             v.eyeToHeadX[0] = -0.0003f;
             v.eyeToHeadX[1] = 0.0003f;
         },
         "OpenVR supplied invalid eye-to-head transforms", 1},
        {"eye offset not a number", [](fake::FakeOpenVr& v) { v.eyeToHeadX[1] = kNan; },
         "OpenVR supplied invalid eye-to-head transforms", 1},
        {"left lens without inner field", [](fake::FakeOpenVr& v) { v.rawProjection[0][0] = 0.0f; },
         "OpenVR supplied invalid raw eye projections", 1},
        {"right projection not a number", [](fake::FakeOpenVr& v) { v.rawProjection[1][3] = kNan; },
         "OpenVR supplied invalid raw eye projections", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing_support::ResetProcessState();
        presenter = std::make_unique<VrPresenter>();
        c.arrange(vr);
        EXPECT_FALSE(Connect());
        EXPECT_EQ(presenter->LastError(), c.text);
        EXPECT_EQ(vr.shutdownCalls, c.shutdowns);
        EXPECT_FALSE(vr.initialized) << "the client library was left initialised";
        EXPECT_EQ(presenter->system, nullptr);
        EXPECT_EQ(presenter->compositor, nullptr);
        ProjectionInfo info;
        EXPECT_FALSE(presenter->GetProjectionInfo(info));
        float offset = 1.0f;
        EXPECT_FALSE(presenter->GetEyeOffset(0, offset));
        EXPECT_EQ(offset, 0.0f);
        EXPECT_TRUE(fake::LogLines().empty()) << "failures are reported by the frame driver, not logged here";
    }
}

TEST_F(VrConnectionTest, AttemptsAreThrottledToOneEveryTenSeconds) {
    vr.initError = 108;
    EXPECT_FALSE(Connect());
    const std::string first = presenter->LastError();

    // A different fault within the 10 seconds is not even looked at.
    vr.initError = 0;
    vr.runtimeInstalled = false;
    AdvanceSeconds(9);
    EXPECT_FALSE(Connect());
    EXPECT_EQ(vr.initCalls, 1);
    EXPECT_EQ(vr.loadCalls, 1);
    EXPECT_EQ(presenter->LastError(), first);

    AdvanceSeconds(1);
    EXPECT_FALSE(Connect());
    EXPECT_EQ(presenter->LastError(), "No OpenVR runtime is installed");

    vr.runtimeInstalled = true;
    AdvanceSeconds(10);
    EXPECT_TRUE(Connect());
    EXPECT_EQ(presenter->LastError(), "");
}

TEST_F(VrConnectionTest, MissingClientLibraryIsRetriedOnTheSameThrottle) {
    vr.loadFailure = "OpenVR client library openvr_api.dll is missing VR_GetInitToken";
    EXPECT_FALSE(Connect());
    AdvanceSeconds(5);
    EXPECT_FALSE(Connect());
    EXPECT_EQ(vr.loadCalls, 1);
    EXPECT_EQ(presenter->LastError(), vr.loadFailure);

    vr.loadFailure.clear();
    AdvanceSeconds(5);
    EXPECT_TRUE(Connect());
}

TEST_F(VrConnectionTest, ZeroRecommendedSizeBecomesOneByOne) {
    vr.renderWidth = 0;
    vr.renderHeight = 1080;
    ASSERT_TRUE(Connect());
    EXPECT_EQ(presenter->renderTargetWidth, 1u);
    EXPECT_EQ(presenter->renderTargetHeight, 1u);
}

TEST_F(VrConnectionTest, InvalidRawProjectionDisconnectsAndKeepsTheThrottle) {
    vr.rawProjection[1][1] = -0.5f; // right edge left of the centre
    EXPECT_FALSE(Connect());
    EXPECT_EQ(presenter->u0[0], 0.5f);
    EXPECT_EQ(presenter->renderTargetWidth, 0u);
    EXPECT_EQ(presenter->reconnectNotBefore, fake::Os().steadyNs + kReconnectIntervalNs);
    vr.rawProjection[1][1] = 1.39f;
    AdvanceSeconds(10);
    EXPECT_TRUE(Connect());
}

TEST_F(VrConnectionTest, DisconnectForgetsTheOpticsAndShutsTheRuntimeDown) {
    ASSERT_TRUE(Connect());
    Disconnect();
    EXPECT_EQ(vr.shutdownCalls, 1);
    ProjectionInfo info;
    info.commonTanX = 5.0f;
    EXPECT_FALSE(presenter->GetProjectionInfo(info));
    EXPECT_EQ(info.commonTanX, 0.0f);
    EXPECT_EQ(info.leftEyeRaw[0], 0.0f);
    float offset = 1.0f;
    EXPECT_FALSE(presenter->GetEyeOffset(0, offset));
    EXPECT_EQ(offset, 0.0f);
    EXPECT_EQ(presenter->u0[1], 0.5f);

    // The retry time given to Disconnect holds.
    EXPECT_FALSE(Connect());
    EXPECT_EQ(vr.initCalls, 1);
    AdvanceSeconds(10);
    EXPECT_TRUE(Connect());
    EXPECT_EQ(vr.initCalls, 2);
}

TEST_F(VrConnectionTest, ANewSessionDropsInterfacePointersOfTheOldOne) {
    ASSERT_TRUE(Connect());
    const uint32_t firstToken = presenter->clientContext.initToken;
    Disconnect();
    AdvanceSeconds(10);
    ASSERT_TRUE(Connect());
    EXPECT_NE(presenter->clientContext.initToken, firstToken);
    EXPECT_EQ(presenter->clientContext.initToken, vr.initToken);
}

TEST_F(VrConnectionTest, EyeOffsetUnitsScaleThePresentersOffsetByTheStereoUnits) {
    float units = 9.0f;
    EXPECT_FALSE(EyeOffsetUnits(0, units)) << "no connection yet";
    EXPECT_EQ(units, 0.0f);

    VrPresenter& instance = VrPresenter::Instance();
    {
        std::lock_guard<std::mutex> lock(instance.presenterMutex);
        ASSERT_TRUE(instance.EnsureConnected());
    }
    GetStereoState().stereoUnitsPerMeter = 2.0f;
    ASSERT_TRUE(EyeOffsetUnits(0, units));
    EXPECT_FLOAT_EQ(units, -0.063f);
    GetStereoState().stereoUnitsPerMeter = std::numeric_limits<float>::infinity();
    EXPECT_FALSE(EyeOffsetUnits(1, units));
    EXPECT_EQ(units, 0.0f);
}

// The camera code asks for the optics on game threads while the render thread waits for the
// compositor with the presenter locked; the answers must not wait for that frame.
TEST_F(VrConnectionTest, OpticsAnswerWhileAFrameWaitsForPosesAndAreGoneAfterItFails) {
    VrPresenter& instance = VrPresenter::Instance();
    std::promise<void> waiting;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    vr.duringWaitGetPoses = [&] {
        waiting.set_value();
        released.wait();
    };
    vr.waitGetPosesResult = 101; // the held frame then fails and disconnects
    int swapChainStandIn = 0;
    std::thread render([&] {
        (void)instance.RenderFrame(reinterpret_cast<IDXGISwapChain*>(&swapChainStandIn), FrameRequest{});
    });
    waiting.get_future().wait();

    struct Answers {
        bool projection = false;
        ProjectionInfo info;
        bool offset = false;
        float offsetMeters = 0.0f;
        bool units = false;
        float offsetUnits = 0.0f;
    };
    // Asked on a third thread, so that waiting for the presenter lock fails the test instead
    // of hanging it.
    std::future<Answers> asked = std::async(std::launch::async, [&] {
        Answers a;
        a.projection = instance.GetProjectionInfo(a.info);
        a.offset = instance.GetEyeOffset(1, a.offsetMeters);
        a.units = EyeOffsetUnits(0, a.offsetUnits);
        return a;
    });
    const bool answered = asked.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    release.set_value();
    render.join();
    ASSERT_TRUE(answered) << "the optics waited for the frame holding the presenter lock";

    const Answers a = asked.get();
    ASSERT_TRUE(a.projection);
    const float leftRaw[4] = {-1.39f, 1.25f, -1.47f, 1.47f};
    const float rightRaw[4] = {-1.25f, 1.39f, -1.47f, 1.47f};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(a.info.leftEyeRaw[i], leftRaw[i]) << i;
        EXPECT_EQ(a.info.rightEyeRaw[i], rightRaw[i]) << i;
    }
    EXPECT_EQ(a.info.commonTanX, 1.39f);
    EXPECT_EQ(a.info.commonTanY, 1.47f);
    ASSERT_TRUE(a.offset);
    EXPECT_EQ(a.offsetMeters, 0.0315f);
    ASSERT_TRUE(a.units);
    EXPECT_FLOAT_EQ(a.offsetUnits, -0.0315f * 1.75f);

    // The failed wait dropped the connection, and its optics with it.
    ASSERT_EQ(instance.LastError(), "OpenVR WaitGetPoses failed (101)");
    ProjectionInfo after;
    EXPECT_FALSE(instance.GetProjectionInfo(after));
    EXPECT_EQ(after.commonTanX, 0.0f);
    float meters = 1.0f;
    EXPECT_FALSE(instance.GetEyeOffset(1, meters));
    EXPECT_EQ(meters, 0.0f);
    float units = 1.0f;
    EXPECT_FALSE(EyeOffsetUnits(0, units));
}

} // namespace
} // namespace corvane
