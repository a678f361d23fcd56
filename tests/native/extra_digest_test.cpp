// The validation as a test build compiles it, with one extra accepted digest (the SHA-256 of
// "abc", set by this program's build). The main test program proves the default build refuses it.
#include "game/executable_validation.h"

#include "fake_game_image.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace corvane {
namespace {

using namespace testing_support;

class ExtraDigestTest : public ProcessStateTest {};

TEST_F(ExtraDigestTest, TheExtraDigestIsAcceptedLikeTheWideBuildBesideTheSupportedOnes) {
    struct Case {
        const char* sha256;
        bool validated;
        bool wide;
    };
    const Case cases[] = {
        {"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", true, true},
        {"3b1dc73d35125f0afe8279d1044ce980f6308e4216de8cc87890fe17ebd44efc", true, true},
        {"7ecd508cd7fe65e40b1f47a9dfb94c358f4f6cc482be1ad01d107e2759562ab0", true, false},
        {"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ae", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sha256);
        ResetProcessState();
        InstallFakeHost();
        RecordCameraMessages();
        LayOutGameImage();
        DigestFromHex(c.sha256, Host().digest);
        EXPECT_EQ(c.validated, IsExecutableValidated());
        EXPECT_EQ(c.wide, GetGameBridge().WideAspectVariant);
        ASSERT_EQ(1u, CameraMessages().size());
        if (c.validated) {
            EXPECT_EQ(0u, CameraMessages()[0].rfind(std::string("Validated Corvane I v1.07 (x64) ") +
                                                        (c.wide ? "16:9" : "original 4:3") + " executable;",
                                                    0))
                << CameraMessages()[0];
        }
    }
}

} // namespace
} // namespace corvane
