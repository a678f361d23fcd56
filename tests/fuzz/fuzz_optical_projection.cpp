// Any 528 bytes as the game's camera constant buffer, for either eye and any FovScale: the
// optical projection either declines and leaves every byte as it was, or rewrites only the
// projection (bytes 64..127) and view-projection (bytes 192..255) and writes finite values
// there.
//
// Input: the 528 buffer bytes, one byte whose bit 0 is the eye being rendered, then the
// FovScale as a float (1.0 when the input ends before it). Shorter buffers are zero-filled.
#include "camera_test_support.h"
#include "fuzz_check.h"
#include "stereo/optical_projection.h"
#include "stereo/stereo_state.h"

namespace {

// A connected presenter with the asymmetric optics of the unit tests (common tangents 1.0).
bool PrepareProcess() {
    using namespace corvane;
    testing_support::ResetProcessState();
    const float raw[2][4] = {{-1.0f, 0.8f, -1.0f, 1.0f}, {-0.8f, 1.0f, -0.9f, 1.0f}};
    std::memcpy(fake::OpenVr().rawProjection, raw, sizeof raw);
    VrPresenter& presenter = VrPresenter::Instance();
    {
        std::lock_guard<std::mutex> lock(presenter.presenterMutex);
        if (!presenter.EnsureConnected()) {
            return false;
        }
    }
    StereoState& stereo = GetStereoState();
    stereo.cameraBuildSupported = true;
    stereo.stereoActive = true;
    stereo.projectionHookSeen.store(true);
    return true;
}

bool InsideOwnedRanges(size_t offset) {
    return (offset >= corvane::kCameraProjectionOffset && offset < corvane::kCameraProjectionOffset + 64) ||
           (offset >= corvane::kCameraViewProjectionOffset &&
            offset < corvane::kCameraViewProjectionOffset + 64);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace corvane;
    static const bool prepared = PrepareProcess();
    FUZZ_CHECK(prepared);

    fuzz::InputReader in(data, size);
    unsigned char buffer[kCameraBufferSize];
    in.Take(buffer, sizeof buffer);
    const uint8_t eye = in.Take<uint8_t>();
    const float fovScale = in.remaining() >= sizeof(float) ? in.Take<float>() : 1.0f;
    StereoState& stereo = GetStereoState();
    stereo.currentEye = eye & 1u;
    stereo.fovScale = fovScale;
    // The log lines of a long run would otherwise pile up in the fake file system.
    fake::Os().files.clear();

    unsigned char before[kCameraBufferSize];
    std::memcpy(before, buffer, sizeof buffer);
    const bool rewritten = ApplyOpticalProjection(buffer);
    if (!rewritten) {
        FUZZ_CHECK(std::memcmp(before, buffer, sizeof buffer) == 0);
        return 0;
    }
    for (size_t offset = 0; offset < kCameraBufferSize; ++offset) {
        if (!InsideOwnedRanges(offset)) {
            FUZZ_CHECK(buffer[offset] == before[offset]);
        }
    }
    float written[16];
    std::memcpy(written, buffer + kCameraProjectionOffset, sizeof written);
    FUZZ_CHECK(fuzz::AllFinite(written, 16));
    std::memcpy(written, buffer + kCameraViewProjectionOffset, sizeof written);
    FUZZ_CHECK(fuzz::AllFinite(written, 16));
    return 0;
}
