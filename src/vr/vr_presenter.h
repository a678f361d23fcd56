// The one object that links the program to the OpenVR runtime: the lazy, throttled
// connection with its optics, the head and controller tracking read each frame, the
// per-eye render poses the camera code publishes, and the eye textures submitted to the
// compositor. RenderFrame, AfterPresent, EnsureConnected and Disconnect run on the render
// thread; the accessors may be called from any thread.
//
// Locks: presenterMutex guards everything not named under the other two and is always
// taken first; it is held across the compositor's wait, so nothing a game thread calls takes
// it. headPoseMutex guards the head reference and sample, renderPoseMutex the published eye
// render poses. None is recursive: code holding presenterMutex must not call the accessors
// that take it. The optics the camera code reads are published lock-free (publishedOptics).
#pragma once

#include "core/hresult_text.h"
#include "hands/hand_depth_slices.h"
#include "headset/headset_presenter.h"
#include "vr/cinema_screen.h"
#include "vr/eye_bounds.h"
#include "vr/eye_pairing.h"
#include "vr/openvr_abi.h"
#include "vr/openvr_matrices.h"
#include "vr/openvr_port.h"
#include "vr/optics.h"
#include "vr/pose_math.h"
#include "headset/tracking_state.h"

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>

// Direct3D objects are only named here; the glue in vr_eye_targets_win32.cpp uses them.
struct IDXGISwapChain;
struct ID3D11Device;
struct ID3D11DeviceContext;
struct ID3D11Texture2D;
struct ID3D11RenderTargetView;
struct ID3D11DepthStencilView;

namespace corvane {

struct HandResources;
struct HandScene;
struct CinemaResources;

// Width, height, sample count and format of a backbuffer (format as a DXGI_FORMAT value).
struct BackbufferDesc {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t sampleCount = 0;
    uint32_t format = 0;
    bool operator==(const BackbufferDesc&) const = default;
};

// The game's backbuffer and device for one frame, each holding a reference that is given
// back when the frame is done with them.
struct GameFrameSource {
    GameFrameSource() = default;
    GameFrameSource(const GameFrameSource&) = delete;
    GameFrameSource& operator=(const GameFrameSource&) = delete;
    ~GameFrameSource();

    ID3D11Texture2D* backbuffer = nullptr;
    ID3D11Device* device = nullptr;
    BackbufferDesc desc;
};

inline constexpr int64_t kReconnectIntervalNs = 10'000'000'000;

struct VrPresenter final : HeadsetPresenter {
    static VrPresenter& Instance();

    VrPresenter() = default;
    // Releases the Direct3D objects still held (test programs make presenters of their own).
    ~VrPresenter() override;
    VrPresenter(const VrPresenter&) = delete;
    VrPresenter& operator=(const VrPresenter&) = delete;

    // ---- Per frame (render thread) ----

    // Connects when needed, waits for the frame's poses and updates head and controllers.
    // True only when both eyes were submitted in this call.
    [[nodiscard]] bool RenderFrame(IDXGISwapChain* swapChain, const FrameRequest& request) override;

    // After the game's real Present: hands the submitted frame over to the compositor.
    void AfterPresent() override;

    // The served swap chain is gone (the game is tearing down or re-creating its device):
    // everything made on the game's device is released so nothing of ours keeps that device
    // alive. Any game thread. Never waits: while a frame holds presenterMutex, that frame
    // releases them as it lets the lock go.
    void OnServedSwapChainReleased() noexcept override;

    // Caller holds presenterMutex. True when system and compositor are both set on return.
    [[nodiscard]] bool EnsureConnected();
    // Caller holds presenterMutex. Shuts the connection down; no attempt before retryAt.
    void Disconnect(int64_t retryAt);

    // Caller holds presenterMutex; read right after WaitGetPoses.
    void UpdateHeadState();
    void FindControllerIndices(uint32_t& left, uint32_t& right);
    ControllerState ReadControllerState(uint32_t index, bool isLeftHand);

    // ---- Eye textures (render thread, presenterMutex held) ----

    // Backbuffer, device and description of the swap chain; false with the failure text.
    [[nodiscard]] bool AcquireGameFrame(IDXGISwapChain* swapChain, GameFrameSource& frame);
    // Makes the eye, staging and depth targets and the hand pipeline match the backbuffer.
    [[nodiscard]] bool EnsureEyeTargets(ID3D11Device* device, const BackbufferDesc& desc);
    void ReleaseEyeTargets();
    // Fills the eye (or staging) textures for this frame with the picture CutPicture described,
    // and completes staged pairs.
    [[nodiscard]] bool UpdateEyeTextures(const GameFrameSource& frame, uint32_t eye, bool pairValid,
                                         const EyeRenderPose* pose, bool& published);
    // Starts this frame's command list on the deferred context from a cleared state, with the
    // copy of the game's frame the cinema screen shows when it shows.
    void BeginEyeCopies(const GameFrameSource& frame);
    // Records the copy (or MSAA resolve) of the backbuffer into a target and the hands over it.
    void CopyBackbufferInto(const GameFrameSource& frame, ID3D11Texture2D* target,
                            ID3D11RenderTargetView* view, uint32_t eye);
    // What the hands drawn over this frame's picture in one eye's texture are placed by: the
    // poses, the eye's optics, the area of the texture and the head pose it is submitted with.
    void FillHandScene(HandScene& scene, const BackbufferDesc& desc, uint32_t eye);
    // The texture holding this frame's copy of the game's picture for the screen (null while
    // there is none).
    [[nodiscard]] ID3D11Texture2D* CinemaPicture() const;
    // Runs the recorded commands on the game's immediate context, its state restored after.
    [[nodiscard]] bool ExecuteEyeCopies();
    // What one eye's texture shows of the cinema screen in this frame, seen as `scene` (filled by
    // FillHandScene for this copy) says; false when it cannot be drawn for that eye.
    [[nodiscard]] bool CinemaForEye(const HandScene& scene, uint32_t eye,
                                    CinemaEyeConstants& constants) const;
    // The texture bounds of one eye for a texture holding a picture from `source`, from the
    // optics, the picture parameters and convergence.
    VRTextureBounds_t ComputeEyeBounds(uint32_t eye, float convergence, const PictureSource& source) const;
    // This frame's picture, from `source`, as each eye's texture holds it: its fit and its
    // bounds, kept in pictureBeingCopied for the copies, the hands and the pairing.
    void CutPicture(const PictureSource& source);

    // ---- Accessors (any thread) ----

    // These two take no lock and cannot throw: game threads call them while RenderFrame waits
    // for poses. Both answer false, with zeros, while no connection's optics are published.
    [[nodiscard]] bool GetProjectionInfo(ProjectionInfo& out) noexcept override;
    [[nodiscard]] bool GetEyeOffset(uint32_t eye, float& out) noexcept override;
    std::string LastError();
    // The render thread's change detection for the failure text, without a copy on every
    // failed frame: true, with the text copied into `remembered`, when the text is set and
    // differs from it.
    [[nodiscard]] bool CopyLastErrorIfChanged(std::string& remembered) override;
    [[nodiscard]] bool TakeInputSnapshot(InputSnapshot& out) override;
    [[nodiscard]] bool GetHeadPoseSample(HeadPoseSample& out) override;
    void SetEyeRenderPose(uint32_t eye, const EyeRenderPose& pose) override;
    // Takes the eye's published render pose (at most once) when it belongs to the current
    // tracking epoch.
    [[nodiscard]] bool TakeEyeRenderPose(uint32_t eye, EyeRenderPose& out);
    // Starts a new tracking epoch: first person was entered or left.
    void ResetForTransition() override;
    [[nodiscard]] const char* RuntimeName() const override;
    // The player asked for the view to be centred again: the next frame takes a new head-look
    // reference and places the cinema screen in front of the head. `by` (a string that lives as
    // long as the program) names what asked, for the log. Any thread, never waits.
    void RequestRecentre(const char* by = "the recentre key") noexcept override;
    void ResetHeadTracking();
    void UpdateHeadRelativePose(Quaternion orientation, const Vector3& position);

    // Shuts a live connection down and puts every field back to its initial value, for test
    // programs that reuse the process-wide object.
    void RestoreInitialState();

    std::mutex presenterMutex;
    std::atomic<bool> releaseTargetsRequested{false};
    std::atomic<const char*> recentreRequestedBy{nullptr};
    std::mutex headPoseMutex;
    std::mutex renderPoseMutex;
    std::atomic<uint64_t> trackingEpoch{1};

    // Under headPoseMutex.
    struct HeadReference {
        uint64_t epoch = 0;
        bool valid = false;
        Quaternion orientation;
        Vector3 position;
    } headReference;
    HeadPoseSample headPoseSample;

    // Under renderPoseMutex.
    EyeRenderPose publishedRenderPoses[2];

    // Lock-free: the optics of the live connection, for the camera code.
    PublishedOptics publishedOptics;

    // Under presenterMutex from here on.
    void* system = nullptr;
    void* compositor = nullptr;
    // What the client header keeps per module: the init token its cached interface pointers
    // belong to, and those pointers.
    struct ClientContext {
        uint32_t initToken = 0;
        void* system = nullptr;
        void* compositor = nullptr;
    } clientContext;
    TrackedDevicePose_t renderPoses[k_unMaxTrackedDeviceCount] = {};
    // The same poses, as the hands draw with them; taken with them.
    PoseMatrix34 handPoses[k_unMaxTrackedDeviceCount] = {};
    int64_t reconnectNotBefore = 0;
    uint32_t renderTargetWidth = 0;
    uint32_t renderTargetHeight = 0;
    float eyeToHeadX[2] = {};
    float rawProjection[2][4] = {};
    float commonTan[2] = {};
    float u0[2] = {0.5f, 0.5f};
    ControllerState controllers[2];
    HeadState head;
    bool submittedThisFrame = false;
    // The poses of the frame the game renders now were fetched right after the last Present;
    // false when the next RenderFrame fetches them itself (the first frame of a connection).
    bool posesFetched = false;
    // This frame got as far as a connection, so its AfterPresent fetches the next frame's poses.
    bool fetchAfterPresent = false;
    // What centred the view again as the poses were fetched; taken by the frame that uses them.
    const char* pendingRecentre = nullptr;

    // Direct3D objects, each holding one reference of its own; released by ReleaseEyeTargets.
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* immediateContext = nullptr;
    ID3D11DeviceContext* deferredContext = nullptr;
    ID3D11Texture2D* eyeTexture[2] = {};
    ID3D11RenderTargetView* eyeTextureView[2] = {};
    ID3D11Texture2D* stagingTexture[2] = {};
    ID3D11RenderTargetView* stagingTextureView[2] = {};
    ID3D11Texture2D* depthTexture = nullptr;
    ID3D11DepthStencilView* depthView = nullptr;
    HandDepthSlices handDepthSlices;            // what the hands have left in depthTexture
    HandResources* handResources = nullptr;     // made once, its objects released with the targets
    CinemaResources* cinemaResources = nullptr; // likewise, made on the first frame that shows the screen
    BackbufferDesc backbufferDescCache;
    AspectCrop aspectCrop;
    EyeTextureState eyeTextures;

    PictureParams pictureParams;
    CinemaScreenState cinemaState;
    CinemaFrame cinemaFrame; // this frame's
    // Bumped whenever an eye texture's picture changes: what the runtime is told it holds.
    uint64_t eyeContentVersion[2] = {};
    // Set by CopyBackbufferInto: the texture it filled holds the screen's surround alone (the
    // runtime composes the screen over it), the same texels while the surround stays.
    bool copiedSurroundOnly = false;
    // The surround each eye texture holds alone, or NaN while it holds a picture.
    float surroundOnly[2] = {std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::quiet_NaN()};
    // The screen the runtime composes with the eye textures as they stand (kept for held frames).
    ScreenLayer screenLayer;
    bool cinemaUnavailableSaid = false;
    bool cinemaWaitingSaid = false; // the last frame wanted the screen and could not place it
    bool fieldUnavailableSaid = false;
    // The picture this frame copies into eye or staging textures, as the hands drawn over it
    // must know it: its render pose (the empty record when none), the tracking epoch it is
    // submitted in, its projection, the convergence its bounds are cut with, and how each eye's
    // texture holds it.
    struct PictureBeingCopied {
        EyeRenderPose pose;
        uint64_t currentEpoch = 0;
        PictureSource source;
        float appliedConvergence = 0.0f;
        bool cinema = false; // the cinema screen is drawn over it
        // ... or left to the runtime, which composes it under the eye textures: they hold the
        // surround with a hole where the screen stands.
        bool screenAsLayer = false;
        // ... under the eye textures, through a hole, as the hands are drawn in front of it.
        bool screenUnderEyes = false;
        EyeFieldFit fit[2];
        VRTextureBounds_t bounds[2] = {kWholeTexture, kWholeTexture};
        // Laid into an eye's field rather than copied, in either eye.
        [[nodiscard]] bool LaidIntoField() const { return fit[0].laidIntoField || fit[1].laidIntoField; }
    } pictureBeingCopied;
    // What the last "Stereo bounds" line said.
    struct StereoBoundsLogMemory {
        float requestedConvergence = std::numeric_limits<float>::quiet_NaN();
        float picture[7] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::quiet_NaN()};
        PictureProjection projection[2] = {};
        bool logged = false; // false until the first line of a connection
    } stereoBoundsLogged;
    // Lines said once per connection.
    struct OnceLines {
        bool poseSubmission = false;
        bool frameDiscontinuity = false;
        bool completedPair = false;
        bool incoherentDrop = false;
        bool overAgeDrop = false;
    } onceLines;

    std::string lastErrorText;

private:
    [[nodiscard]] bool RenderFrameLocked(IDXGISwapChain* swapChain, const FrameRequest& request);
    // Submits both eye textures with the bounds and poses of what they hold; false after a
    // failure, which disconnects.
    [[nodiscard]] bool SubmitEyeTextures(float requestedConvergence, bool paired, bool published);
    // WaitGetPoses and what follows from it (a recentre, the head and controller records); false
    // after a failure, which disconnects.
    [[nodiscard]] bool FetchPoses();
    // Events of the runtime since the last frame; true when it reset the seated zero pose.
    [[nodiscard]] bool RuntimeResetSeatedZero();
    // This frame's step of the cinema screen, with its log lines and, when it shows, its objects.
    void StepCinema(const FrameRequest& request, const char* recentredBy, const GameFrameSource& frame);
    [[nodiscard]] bool EnsureCinemaResources(const GameFrameSource& frame);
    // Run by every thread right after it let presenterMutex go: a release asked for while the
    // lock was held is carried out by whoever can take the lock without waiting, so it is never
    // lost and no game thread ever waits for it.
    void ReleaseTargetsIfRequested() noexcept;
    void* GetClientInterface(const char* version, void*& cached);
    void InitializeClient(EVRInitError& error);
    bool ReadOptics();
    EyeBoundsInput EyeBoundsInputFor(uint32_t eye, float convergence, const PictureSource& source) const;
    void LogStereoBoundsOnChange(float requestedConvergence, float appliedConvergence,
                                 const VRTextureBounds_t& left, const VRTextureBounds_t& right);
};

} // namespace corvane
