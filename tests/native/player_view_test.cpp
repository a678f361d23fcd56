// One world point followed from the game's camera buffer to the direction the player sees it
// in: the buffer as the game uploads it with the common render frustum, rewritten for the eye
// being rendered, copied into that eye's texture by a frame of the frame driver, submitted
// with its bounds, and spread by the compositor over the eye's raw field. The displayed
// direction must be the point's true direction from the eye, or the world fuses at the wrong
// depth.
#include "stereo/optical_projection.h"
#include "matrix_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>

namespace corvane {
namespace {

using testing_support::LoadColumnMajor;
using testing_support::Mat;
using testing_support::Product;
using testing_support::ResetProcessState;
using testing_support::StoreColumnMajor;
using testing_support::Transposed;
using Vec = std::array<float, 3>;

constexpr float kNear = 0.1f;
constexpr float kFar = 400.0f;

// Eyes as runtimes report them: the stand-in headset (the fake runtime's default), and a headset
// whose eyes are lopsided every way: upper and lower extents unequal, the common tangents taken
// from different eyes.
struct Optics {
    const char* name;
    float raw[2][4];
};
constexpr Optics kStandIn{"stand-in headset",
                          {{-1.39f, 1.25f, -1.47f, 1.47f}, {-1.25f, 1.39f, -1.47f, 1.47f}}};
constexpr Optics kLopsided{"lopsided eyes", {{-1.5f, 0.9f, -1.1f, 1.6f}, {-0.8f, 1.3f, -1.7f, 1.0f}}};

// A right-handed look-at view for row vectors (p x V), eye at `eye` looking along `forward`.
Mat RowLookAt(const Vec& eye, const Vec& forward) {
    const float fl = std::sqrt(forward[0] * forward[0] + forward[1] * forward[1] + forward[2] * forward[2]);
    const Vec z = {-forward[0] / fl, -forward[1] / fl, -forward[2] / fl}; // the view looks down -z
    // x = up x z with up = (0, 1, 0), y = z x x.
    Vec x = {z[2], 0.0f, -z[0]};
    const float xl = std::sqrt(x[0] * x[0] + x[2] * x[2]);
    x = {x[0] / xl, 0.0f, x[2] / xl};
    const Vec y = {z[1] * x[2] - z[2] * x[1], z[2] * x[0] - z[0] * x[2], z[0] * x[1] - z[1] * x[0]};
    const auto dot = [&](const Vec& a) { return a[0] * eye[0] + a[1] * eye[1] + a[2] * eye[2]; };
    return Mat{{{x[0], y[0], z[0], 0.0f},
                {x[1], y[1], z[1], 0.0f},
                {x[2], y[2], z[2], 0.0f},
                {-dot(x), -dot(y), -dot(z), 1.0f}}};
}

// The symmetric right-handed Direct3D perspective the game builds, for row vectors.
Mat RowPerspective(float tanX, float tanY) {
    const float range = kFar / (kNear - kFar);
    return Mat{{{1.0f / tanX, 0.0f, 0.0f, 0.0f},
                {0.0f, 1.0f / tanY, 0.0f, 0.0f},
                {0.0f, 0.0f, range, -1.0f},
                {0.0f, 0.0f, kNear * range, 0.0f}}};
}

std::array<float, 4> Transform(const Mat& m, const Vec& p, bool rowVectors) {
    const std::array<float, 4> h = {p[0], p[1], p[2], 1.0f};
    std::array<float, 4> out{};
    for (int j = 0; j < 4; ++j) {
        double sum = 0.0;
        for (int k = 0; k < 4; ++k) {
            sum += rowVectors ? double{h[k]} * m[k][j] : double{m[j][k]} * h[k];
        }
        out[j] = static_cast<float>(sum);
    }
    return out;
}

struct Direction {
    float x = 0.0f; // tangent to the right
    float y = 0.0f; // tangent up
};

class PlayerViewTest : public testing_support::ProcessStateTest {
protected:
    // A fresh process with `headset` as the runtime's optics.
    void Start(const Optics& headset) {
        ResetProcessState();
        optics = headset;
        std::memcpy(fake::OpenVr().rawProjection, optics.raw, sizeof optics.raw);
        // Direct alternate-eye rendering submits each eye's texture in the frame that fills it.
        fake::SetIni(L"VR", L"SpacewarpCompatibleAER", L"0");
        fake::PlaceHeadset({0.0f, 1.6f, 0.0f}, Quaternion{});
        // The render frustum the projection override makes the game build: the largest extents
        // of both eyes, widened by the 1.05 guard band.
        const auto& r = optics.raw;
        renderTanX = 1.05f * std::max({-r[0][0], r[0][1], -r[1][0], r[1][1]});
        renderTanY = 1.05f * std::max({-r[0][2], r[0][3], -r[1][2], r[1][3]});
    }

    IDXGISwapChain* SwapChain() { return reinterpret_cast<IDXGISwapChain*>(&swapChainStandIn); }

    // The camera buffer as the game uploads it: eye at `camera` looking along `forward`, the
    // render frustum, in the game's vector convention.
    void Upload(bool rowVectors, const Vec& camera, const Vec& forward,
                unsigned char (&bytes)[kCameraBufferSize]) {
        view = RowLookAt(camera, forward);
        const Mat projection = RowPerspective(renderTanX, renderTanY);
        std::memset(bytes, 0, sizeof bytes);
        if (rowVectors) {
            StoreColumnMajor(bytes, kCameraViewOffset, view);
            StoreColumnMajor(bytes, kCameraProjectionOffset, projection);
            StoreColumnMajor(bytes, kCameraViewProjectionOffset, Product(view, projection));
        } else {
            StoreColumnMajor(bytes, kCameraViewOffset, Transposed(view));
            StoreColumnMajor(bytes, kCameraProjectionOffset, Transposed(projection));
            StoreColumnMajor(bytes, kCameraViewProjectionOffset,
                             Product(Transposed(projection), Transposed(view)));
        }
    }

    // One frame of `eye` in stereo: the detours report what they did while the game uploads its
    // camera buffer. Returns the bounds the eye's texture was submitted with.
    VRTextureBounds_t RenderEye(uint32_t eye, bool rowVectors, const Vec& camera, const Vec& forward,
                                unsigned char (&bytes)[kCameraBufferSize], bool& rewritten) {
        RunFrame(SwapChain()); // start-up and connection, as a mono frame
        StereoState& stereo = GetStereoState();
        stereo.cameraBuildSupported = true;
        stereo.settleFrames = 0;
        stereo.stereoActive = true;
        stereo.projectionHookSeenInPair = true;
        stereo.currentEye = eye;
        stereo.projectionHookSeen = true;
        stereo.eyeCameraApplied = true;
        Upload(rowVectors, camera, forward, bytes);
        rewritten = ApplyOpticalProjection(bytes);
        return SubmittedBounds(eye);
    }

    // Runs the frame and returns the bounds `eye` was submitted with.
    VRTextureBounds_t SubmittedBounds(uint32_t eye) {
        fake::OpenVr().submissions.clear();
        RunFrame(SwapChain());
        const auto& submissions = fake::OpenVr().submissions;
        if (submissions.size() != 2) {
            ADD_FAILURE() << "no submission: " << VrPresenter::Instance().LastError();
            return VRTextureBounds_t{};
        }
        return submissions[eye].bounds;
    }

    // Where the compositor shows `point`: through the uploaded view-projection to the texture,
    // then from the submitted bounds onto the eye's raw field.
    Direction Displayed(uint32_t eye, bool rowVectors, const unsigned char* bytes,
                        const VRTextureBounds_t& bounds, const Vec& point) const {
        const std::array<float, 4> clip =
            Transform(LoadColumnMajor(bytes, kCameraViewProjectionOffset), point, rowVectors);
        const float u = (clip[0] / clip[3] + 1.0f) * 0.5f;
        const float v = (1.0f - clip[1] / clip[3]) * 0.5f;
        const float* raw = optics.raw[eye];
        return Direction{raw[0] + (u - bounds.uMin) / (bounds.uMax - bounds.uMin) * (raw[1] - raw[0]),
                         raw[3] - (v - bounds.vMin) / (bounds.vMax - bounds.vMin) * (raw[3] - raw[2])};
    }

    // The point's direction from the eye the camera stands for.
    Direction Truth(const Vec& point) const {
        const std::array<float, 4> p = Transform(view, point, true);
        return Direction{p[0] / -p[2], p[1] / -p[2]};
    }

    Optics optics = kStandIn;
    float renderTanX = 0.0f;
    float renderTanY = 0.0f;
    int swapChainStandIn = 0;
    Mat view{};
};

// Points ahead, off to the sides, high and low, far and near; cameras level and turned.
TEST_F(PlayerViewTest, EveryPointIsShownInItsTrueDirectionInBothEyes) {
    const Vec points[] = {{0.0f, 1.6f, -100.0f}, {3.0f, 1.2f, -5.0f},   {-1.0f, 2.5f, -1.5f},
                          {0.4f, 0.3f, -1.0f},   {-8.0f, 9.0f, -12.0f}, {1.1f, 1.6f, -0.8f}};
    struct Camera {
        Vec eye;
        Vec forward;
    };
    const Camera cameras[] = {{{-0.03f, 1.6f, 0.0f}, {0.0f, 0.0f, -1.0f}},
                              {{0.5f, 1.7f, 0.2f}, {0.3f, -0.2f, -1.0f}}};
    for (const Optics& headset : {kStandIn, kLopsided}) {
        for (bool rowVectors : {true, false}) {
            for (uint32_t eye : {0u, 1u}) {
                for (const Camera& camera : cameras) {
                    SCOPED_TRACE(std::string(headset.name) + (rowVectors ? ", row" : ", column") +
                                 " vectors, eye " + std::to_string(eye));
                    Start(headset);
                    unsigned char bytes[kCameraBufferSize];
                    bool rewritten = false;
                    const VRTextureBounds_t bounds =
                        RenderEye(eye, rowVectors, camera.eye, camera.forward, bytes, rewritten);
                    ASSERT_TRUE(rewritten);
                    for (const Vec& point : points) {
                        const Direction truth = Truth(point);
                        const Direction shown = Displayed(eye, rowVectors, bytes, bounds, point);
                        EXPECT_NEAR(shown.x, truth.x, 2e-4f)
                            << point[0] << "," << point[1] << "," << point[2];
                        EXPECT_NEAR(shown.y, truth.y, 2e-4f)
                            << point[0] << "," << point[1] << "," << point[2];
                    }
                }
            }
        }
    }
}

// A camera buffer the rewrite declines (stereo not yet active) keeps the symmetric frustum; the
// texture is then cut out of it, and in this mono frame both eyes show each point where it is.
TEST_F(PlayerViewTest, APictureLeftInTheCommonFrustumIsCutOutOfIt) {
    for (const Optics& headset : {kStandIn, kLopsided}) {
        for (uint32_t eye : {0u, 1u}) {
            SCOPED_TRACE(std::string(headset.name) + ", eye " + std::to_string(eye));
            Start(headset);
            RunFrame(SwapChain());
            StereoState& stereo = GetStereoState();
            stereo.cameraBuildSupported = true;
            stereo.currentEye = eye;
            stereo.projectionHookSeen = true; // the override ran; without stereo, no rewrite
            unsigned char bytes[kCameraBufferSize];
            Upload(true, {0.0f, 1.6f, 0.0f}, {0.2f, 0.1f, -1.0f}, bytes);
            ASSERT_FALSE(ApplyOpticalProjection(bytes));
            fake::OpenVr().submissions.clear();
            RunFrame(SwapChain());
            ASSERT_EQ(fake::OpenVr().submissions.size(), 2u);
            for (uint32_t shownEye : {0u, 1u}) {
                const VRTextureBounds_t bounds = fake::OpenVr().submissions[shownEye].bounds;
                for (const Vec& point :
                     {Vec{0.0f, 1.6f, -50.0f}, Vec{-2.0f, 0.5f, -3.0f}, Vec{1.0f, 2.0f, -2.0f}}) {
                    const Direction truth = Truth(point);
                    const Direction shown = Displayed(shownEye, true, bytes, bounds, point);
                    EXPECT_NEAR(shown.x, truth.x, 2e-4f) << shownEye;
                    EXPECT_NEAR(shown.y, truth.y, 2e-4f) << shownEye;
                }
            }
        }
    }
}

// The live picture parameters still move the picture on top: a convergence of 0.02 beyond the
// default moves the left eye's window 0.02 to the right and narrows it to 0.96 of the texture
// (it cannot leave it), the right eye's likewise to the left. Straight ahead is then shown at
// -1.39 + (1.39 / 2.64 - 0.04) / 0.96 x 2.64 = -0.052083 in the left eye and at
// -1.25 + (1.25 / 2.64) / 0.96 x 2.64 = +0.052083 in the right.
TEST_F(PlayerViewTest, TheConvergenceMovesBothEyesApartOnTopOfTheTrueDirection) {
    const float expected[2] = {-0.052083f, 0.052083f};
    for (uint32_t eye : {0u, 1u}) {
        SCOPED_TRACE(eye);
        Start(kStandIn);
        fake::SetIni(L"VR", L"ConvergenceOffset", L"-0.075");
        unsigned char bytes[kCameraBufferSize];
        bool rewritten = false;
        const VRTextureBounds_t bounds =
            RenderEye(eye, true, {0.0f, 1.6f, 0.0f}, {0.0f, 0.0f, -1.0f}, bytes, rewritten);
        ASSERT_TRUE(rewritten);
        const Direction ahead = Displayed(eye, true, bytes, bounds, {0.0f, 1.6f, -1000.0f});
        EXPECT_NEAR(ahead.x, expected[eye], 1e-4f);
        EXPECT_NEAR(ahead.y, 0.0f, 1e-4f);
    }
}

} // namespace
} // namespace corvane
