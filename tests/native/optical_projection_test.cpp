// The per-eye optical projection on a camera buffer laid out as the game writes it: view at
// byte 0, projection at 64, view-projection at 192, each 16 floats column-major.
#include "stereo/optical_projection.h"

#include "camera_test_support.h"
#include "matrix_test_support.h"
#include "stereo/stereo_state.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace corvane {
namespace {

using namespace testing_support;

using testing_support::Mat;
using testing_support::Product;
using testing_support::Transposed;

constexpr float kNear = 0.1f;
constexpr float kFar = 500.0f;
// The render tangents the projection override makes the game build with common tangents 1.0.
constexpr float kRenderTan = 1.0f * 1.05f;

// A right-handed view for row vectors (p x V): turned 30 degrees, moved away from the origin.
Mat RowView() {
    const float c = std::cos(Radians(30.0f));
    const float s = std::sin(Radians(30.0f));
    return Mat{
        {{c, 0.0f, -s, 0.0f}, {0.0f, 1.0f, 0.0f, 0.0f}, {s, 0.0f, c, 0.0f}, {-1.5f, -2.0f, 4.0f, 1.0f}}};
}

// A symmetric right-handed Direct3D perspective for row vectors.
Mat RowPerspective(float tanX, float tanY) {
    const float range = kFar / (kNear - kFar);
    return Mat{{{1.0f / tanX, 0.0f, 0.0f, 0.0f},
                {0.0f, 1.0f / tanY, 0.0f, 0.0f},
                {0.0f, 0.0f, range, -1.0f},
                {0.0f, 0.0f, kNear * range, 0.0f}}};
}

// The 528 bytes as the game uploads them; the bytes this code must not touch carry a pattern.
struct CameraBuffer {
    unsigned char bytes[kCameraBufferSize];

    CameraBuffer() {
        for (size_t i = 0; i < sizeof bytes; ++i) {
            bytes[i] = static_cast<unsigned char>(i * 7 + 3);
        }
    }

    void Store(size_t offset, const Mat& m) { StoreColumnMajor(bytes, offset, m); }
    Mat Load(size_t offset) const { return LoadColumnMajor(bytes, offset); }
};

// View, projection and their product in the game's vector convention.
CameraBuffer MakeBuffer(bool rowVectors, float tanX = kRenderTan, float tanY = kRenderTan,
                        float viewProjectionScale = 1.0f) {
    CameraBuffer buffer;
    Mat view = RowView();
    Mat projection = RowPerspective(tanX, tanY);
    Mat viewProjection = Product(view, projection);
    if (!rowVectors) {
        view = Transposed(view);
        projection = Transposed(projection);
        viewProjection = Product(projection, view);
    }
    for (auto& row : viewProjection) {
        for (float& value : row) {
            value *= viewProjectionScale;
        }
    }
    buffer.Store(kCameraViewOffset, view);
    buffer.Store(kCameraProjectionOffset, projection);
    buffer.Store(kCameraViewProjectionOffset, viewProjection);
    return buffer;
}

std::array<float, 4> Transform(const Mat& m, const std::array<float, 4>& p, bool rowVectors) {
    std::array<float, 4> out{};
    for (int j = 0; j < 4; ++j) {
        double sum = 0.0;
        for (int k = 0; k < 4; ++k) {
            sum += rowVectors ? double{p[k]} * m[k][j] : double{m[j][k]} * p[k];
        }
        out[j] = static_cast<float>(sum);
    }
    return out;
}

class OpticalProjectionTest : public ProcessStateTest {
protected:
    void SetUp() override {
        ProcessStateTest::SetUp();
        fake::OpenVr().rawProjection[0][0] = -1.0f;
        fake::OpenVr().rawProjection[0][1] = 0.8f;
        fake::OpenVr().rawProjection[0][2] = -1.0f;
        fake::OpenVr().rawProjection[0][3] = 1.0f;
        fake::OpenVr().rawProjection[1][0] = -0.8f;
        fake::OpenVr().rawProjection[1][1] = 1.0f;
        fake::OpenVr().rawProjection[1][2] = -0.9f;
        fake::OpenVr().rawProjection[1][3] = 1.0f;
        ConnectPresenter();
        StereoState& stereo = GetStereoState();
        stereo.cameraBuildSupported = true;
        stereo.stereoActive = true;
        stereo.projectionHookSeen.store(true);
        stereo.currentEye = 0;
    }
};

TEST_F(OpticalProjectionTest, RemapOfTheAsymmetricLeftEyeExample) {
    const float raw[4] = {-1.0f, 0.8f, -1.0f, 1.0f};
    EyeRemap remap;
    ASSERT_TRUE(ComputeEyeRemap(raw, kRenderTan, kRenderTan, remap));
    EXPECT_NEAR(1.16667f, remap.sx, 1e-5f);
    EXPECT_NEAR(1.05f, remap.sy, 1e-6f);
    EXPECT_NEAR(0.11111f, remap.cx, 1e-5f);
    EXPECT_EQ(0.0f, remap.cy);

    CameraBuffer buffer = MakeBuffer(true);
    EXPECT_TRUE(ApplyOpticalProjection(buffer.bytes));
    EXPECT_TRUE(GetStereoState().opticalProjectionApplied.load());
    EXPECT_EQ(
        std::vector<std::string>{"Full-frame optical projection active for left eye (scale 1.16667/1.05000, "
                                 "center 0.11111/0.00000)"},
        LogMessages());

    // Once per eye for the process.
    buffer = MakeBuffer(true);
    EXPECT_TRUE(ApplyOpticalProjection(buffer.bytes));
    EXPECT_EQ(1u, LogMessages().size());
    GetStereoState().currentEye = 1;
    buffer = MakeBuffer(true);
    EXPECT_TRUE(ApplyOpticalProjection(buffer.bytes));
    ASSERT_EQ(2u, LogMessages().size());
    EXPECT_EQ("Full-frame optical projection active for right eye (scale 1.16667/1.10526, center -0.11111/"
              "-0.05263)",
              LogMessages()[1]);
}

TEST_F(OpticalProjectionTest, ASymmetricEyeIsRewrittenWithTheSameValues) {
    VrPresenter& presenter = VrPresenter::Instance();
    {
        std::lock_guard<std::mutex> lock(presenter.presenterMutex);
        presenter.Disconnect(0);
    }
    for (float(&raw)[4] : fake::OpenVr().rawProjection) {
        raw[0] = -1.0f;
        raw[1] = 1.0f;
        raw[2] = -1.0f;
        raw[3] = 1.0f;
    }
    ConnectPresenter();
    // The guard scale that makes the render frustum the eye's own.
    const float scale = 1.0f / 1.05f;
    GetStereoState().fovScale = scale;
    const float tan = 1.0f * 1.05f * scale;
    const CameraBuffer before = MakeBuffer(true, tan, tan);
    CameraBuffer buffer = before;
    ASSERT_TRUE(ApplyOpticalProjection(buffer.bytes));
    for (size_t offset : {kCameraProjectionOffset, kCameraViewProjectionOffset}) {
        const Mat expected = before.Load(offset);
        const Mat actual = buffer.Load(offset);
        for (int i = 0; i < 4; ++i) {
            for (int j = 0; j < 4; ++j) {
                EXPECT_NEAR(expected[i][j], actual[i][j], 1e-5f * std::max(1.0f, std::fabs(expected[i][j])));
            }
        }
    }
    EXPECT_EQ(
        std::vector<std::string>{"Full-frame optical projection active for left eye (scale 1.00000/1.00000, "
                                 "center 0.00000/0.00000)"},
        LogMessages());
}

// The optics the fake runtime reports from here on.
void UseOptics(const float (&raw)[2][4]) {
    VrPresenter& presenter = VrPresenter::Instance();
    {
        std::lock_guard<std::mutex> lock(presenter.presenterMutex);
        presenter.Disconnect(0);
    }
    std::memcpy(fake::OpenVr().rawProjection, raw, sizeof raw);
    ConnectPresenter();
}

TEST_F(OpticalProjectionTest, PointsLandWhereTheEyesFrustumPutsThem) {
    const std::array<std::array<float, 4>, 4> points = {{
        {0.0f, 2.0f, -10.0f, 1.0f},
        {-3.0f, 4.5f, -12.0f, 1.0f},
        {5.0f, -1.0f, -20.0f, 1.0f},
        {1.0f, 2.5f, -8.0f, 1.0f},
    }};
    struct Optics {
        const char* name;
        float raw[2][4]; // left, right, top (downward), bottom of each eye
        float commonTanX;
        float commonTanY;
    };
    const Optics optics[] = {
        {"common tangents 1/1", {{-1.0f, 0.8f, -1.0f, 1.0f}, {-0.8f, 1.0f, -0.9f, 1.0f}}, 1.0f, 1.0f},
        // Wider than tall, and each eye's frustum off-centre vertically as well.
        {"common tangents 1.39/1.47",
         {{-1.39f, 1.25f, -1.47f, 1.31f}, {-1.25f, 1.39f, -1.36f, 1.47f}},
         1.39f,
         1.47f},
    };
    for (const Optics& o : optics) {
        UseOptics(o.raw);
        for (bool rowVectors : {true, false}) {
            for (uint32_t eye : {0u, 1u}) {
                // Swapped eyes move the camera only; the frame's frustum is still currentEye's.
                for (bool swapEyes : {false, true}) {
                    SCOPED_TRACE(::testing::Message()
                                 << o.name << ", " << (rowVectors ? "row vectors" : "column vectors")
                                 << ", eye " << eye << (swapEyes ? ", eyes swapped" : ""));
                    GetStereoState().currentEye = eye;
                    GetStereoState().swapEyes = swapEyes;
                    const CameraBuffer before =
                        MakeBuffer(rowVectors, o.commonTanX * 1.05f, o.commonTanY * 1.05f);
                    CameraBuffer buffer = before;
                    ASSERT_TRUE(ApplyOpticalProjection(buffer.bytes));
                    // Only the projection and the view-projection change.
                    EXPECT_EQ(0, std::memcmp(before.bytes, buffer.bytes, kCameraProjectionOffset));
                    EXPECT_EQ(0, std::memcmp(before.bytes + 128, buffer.bytes + 128, 64));
                    EXPECT_EQ(0,
                              std::memcmp(before.bytes + 256, buffer.bytes + 256, kCameraBufferSize - 256));

                    const float* raw = o.raw[eye];
                    const Mat view = buffer.Load(kCameraViewOffset);
                    const Mat projection = buffer.Load(kCameraProjectionOffset);
                    const Mat viewProjection = buffer.Load(kCameraViewProjectionOffset);
                    const Mat originalProjection = before.Load(kCameraProjectionOffset);
                    for (const auto& point : points) {
                        const std::array<float, 4> inView = Transform(view, point, rowVectors);
                        const float depth = -inView[2];
                        ASSERT_GT(depth, 0.0f);
                        const float tanX = inView[0] / depth;
                        const float tanY = inView[1] / depth;
                        const std::array<float, 4> clip = Transform(viewProjection, point, rowVectors);
                        EXPECT_NEAR(2.0f * (tanX - raw[0]) / (raw[1] - raw[0]) - 1.0f, clip[0] / clip[3],
                                    1e-4f);
                        EXPECT_NEAR(2.0f * (tanY - raw[2]) / (raw[3] - raw[2]) - 1.0f, clip[1] / clip[3],
                                    1e-4f);
                        // The same through view then projection, and depth as the game had it.
                        const std::array<float, 4> stepwise = Transform(projection, inView, rowVectors);
                        EXPECT_NEAR(clip[0] / clip[3], stepwise[0] / stepwise[3], 1e-4f);
                        EXPECT_NEAR(clip[1] / clip[3], stepwise[1] / stepwise[3], 1e-4f);
                        const std::array<float, 4> original =
                            Transform(originalProjection, inView, rowVectors);
                        EXPECT_NEAR(original[2] / original[3], clip[2] / clip[3], 1e-5f);
                    }
                }
            }
        }
    }
}

// View and projection that agree with the view-projection and carry the render frustum, but whose
// projection holds an element (depth row, x column) the eye remap's x scale pushes past the
// largest float. The view drops depth, so the view-projection itself stays finite.
CameraBuffer OverflowingBuffer(bool rowVectors) {
    CameraBuffer buffer;
    Mat view{{{1.0f, 0.0f, 0.0f, 0.0f},
              {0.0f, 1.0f, 0.0f, 0.0f},
              {0.0f, 0.0f, 0.0f, 0.0f},
              {0.0f, 0.0f, 0.0f, 1.0f}}};
    Mat projection = RowPerspective(kRenderTan, kRenderTan);
    projection[2][0] = 3.0e38f;
    Mat viewProjection = Product(view, projection);
    if (!rowVectors) {
        view = Transposed(view);
        projection = Transposed(projection);
        viewProjection = Product(projection, view);
    }
    buffer.Store(kCameraViewOffset, view);
    buffer.Store(kCameraProjectionOffset, projection);
    buffer.Store(kCameraViewProjectionOffset, viewProjection);
    return buffer;
}

TEST_F(OpticalProjectionTest, RejectedBuffersAreLeftUntouched) {
    // `declined`: the buffer carried the render frustum, so the frame's picture is partly in the
    // symmetric frustum; any other projection is another camera's and says nothing of it.
    struct Case {
        const char* name;
        std::function<void()> arrange;
        CameraBuffer buffer;
        bool declined = false;
    };
    const std::vector<Case> cases = {
        {"view-projection matches neither order", [] {}, MakeBuffer(true, kRenderTan, kRenderTan, 1.03f),
         true},
        {"another horizontal field of view", [] {}, MakeBuffer(true, 1.2f, kRenderTan)},
        {"another vertical field of view", [] {}, MakeBuffer(false, kRenderTan, 0.9f)},
        {"another field of view, matching neither order", [] {}, MakeBuffer(true, 1.2f, kRenderTan, 1.03f)},
        {"stereo not active", [] { GetStereoState().stereoActive = false; }, MakeBuffer(true)},
        {"unvalidated build", [] { GetStereoState().cameraBuildSupported = false; }, MakeBuffer(true)},
        {"projection replaced in neither frame", [] { GetStereoState().projectionHookSeen.store(false); },
         MakeBuffer(true)},
        {"presenter not connected",
         [] {
             VrPresenter& presenter = VrPresenter::Instance();
             std::lock_guard<std::mutex> lock(presenter.presenterMutex);
             presenter.Disconnect(0);
         },
         MakeBuffer(true)},
        {"eye projection would overflow (row vectors)", [] {}, OverflowingBuffer(true), true},
        {"eye projection would overflow (column vectors)", [] {}, OverflowingBuffer(false), true},
        {"guard scale not finite",
         [] { GetStereoState().fovScale = std::numeric_limits<float>::quiet_NaN(); }, MakeBuffer(true)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetProcessState();
        SetUp();
        c.arrange();
        CameraBuffer buffer = c.buffer;
        EXPECT_FALSE(ApplyOpticalProjection(buffer.bytes));
        EXPECT_EQ(0, std::memcmp(c.buffer.bytes, buffer.bytes, kCameraBufferSize));
        EXPECT_FALSE(GetStereoState().opticalProjectionApplied.load());
        EXPECT_EQ(GetStereoState().opticalProjectionDeclined.load(), c.declined);
        EXPECT_TRUE(LogMessages().empty());
    }
    EXPECT_FALSE(ApplyOpticalProjection(nullptr));
}

TEST_F(OpticalProjectionTest, AgreementIsJudgedWithinTwoPercent) {
    CameraBuffer buffer = MakeBuffer(false, kRenderTan, kRenderTan, 1.01f);
    EXPECT_TRUE(ApplyOpticalProjection(buffer.bytes));
    buffer = MakeBuffer(false, kRenderTan * 1.015f, kRenderTan);
    EXPECT_TRUE(ApplyOpticalProjection(buffer.bytes));
    buffer = MakeBuffer(false, kRenderTan * 1.03f, kRenderTan);
    EXPECT_FALSE(ApplyOpticalProjection(buffer.bytes));

    CameraBuffer odd = MakeBuffer(true);
    float nan = std::numeric_limits<float>::quiet_NaN();
    std::memcpy(odd.bytes + kCameraViewOffset, &nan, sizeof nan);
    const CameraBuffer before = odd;
    EXPECT_FALSE(ApplyOpticalProjection(odd.bytes));
    EXPECT_EQ(0, std::memcmp(before.bytes, odd.bytes, kCameraBufferSize));
}

TEST_F(OpticalProjectionTest, TheProjectionOfThePreviousPairFrameIsEnough) {
    GetStereoState().projectionHookSeen.store(false);
    GetStereoState().projectionHookSeenInPair = true;
    CameraBuffer buffer = MakeBuffer(true);
    EXPECT_TRUE(ApplyOpticalProjection(buffer.bytes));
}

TEST_F(OpticalProjectionTest, AnEyeNarrowerThanTheSmallestExtentIsRejected) {
    const float narrow[4] = {-0.004f, 0.004f, -1.0f, 1.0f};
    EyeRemap remap;
    EXPECT_FALSE(ComputeEyeRemap(narrow, kRenderTan, kRenderTan, remap));
    const float normal[4] = {-1.0f, 1.0f, -1.0f, 1.0f};
    EXPECT_FALSE(ComputeEyeRemap(normal, 0.01f, kRenderTan, remap));
    EXPECT_FALSE(ComputeEyeRemap(normal, kRenderTan, std::numeric_limits<float>::infinity(), remap));
    EXPECT_TRUE(ComputeEyeRemap(normal, 0.011f, kRenderTan, remap));
}

} // namespace
} // namespace corvane
