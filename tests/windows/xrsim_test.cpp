// The stand-in OpenXR runtime driven the way a client drives it: xrsim.dll loaded from the test's
// folder, negotiated with, and run on scenarios with a real Direct3D 11 device. Expected values
// are worked out by hand from the scenario lines each test writes.
#include <gtest/gtest.h>

#include <windows.h>
#include <d3d11.h>
#include <wrl/client.h>

#include <openxr/openxr.h>
#include <openxr/openxr_platform.h>

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_PNG
#include <stb/stb_image.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Microsoft::WRL::ComPtr;

// The loader's negotiation records, declared here from their published layout.
struct LoaderInfo {
    uint32_t structType;
    uint32_t structVersion;
    size_t structSize;
    uint32_t minInterfaceVersion;
    uint32_t maxInterfaceVersion;
    XrVersion minApiVersion;
    XrVersion maxApiVersion;
};
struct RuntimeRequest {
    uint32_t structType;
    uint32_t structVersion;
    size_t structSize;
    uint32_t runtimeInterfaceVersion;
    XrVersion runtimeApiVersion;
    PFN_xrGetInstanceProcAddr getInstanceProcAddr;
};
using NegotiateFn = XrResult (*)(const LoaderInfo*, RuntimeRequest*);

std::wstring BesideThisProgram(const wchar_t* file) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path);
    return directory.substr(0, directory.find_last_of(L"\\/") + 1) + file;
}

std::string ReadText(const std::wstring& path) {
    std::string text;
    std::FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return text;
    }
    char chunk[4096];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, got);
    }
    std::fclose(file);
    return text;
}

// A structure zeroed but for its type, as the runtime expects every one handed in.
template <typename T> T Typed(XrStructureType type) {
    T value{};
    value.type = type;
    return value;
}

// A handle as the log prints it.
std::string Hex(const void* handle) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

RuntimeRequest FreshRequest() {
    RuntimeRequest request{};
    request.structType = 3;
    request.structVersion = 1;
    request.structSize = sizeof request;
    return request;
}

LoaderInfo Offer(XrVersion minApi, XrVersion maxApi) {
    return {1, 1, sizeof(LoaderInfo), 1, 1, minApi, maxApi};
}

class XrSimTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        runtime = LoadLibraryW(BesideThisProgram(L"xrsim.dll").c_str());
        if (runtime == nullptr) {
            return;
        }
        const LoaderInfo info = Offer(XR_MAKE_VERSION(1, 0, 0), XR_MAKE_VERSION(1, 1, 53));
        RuntimeRequest request = FreshRequest();
        if (Negotiate()(&info, &request) == XR_SUCCESS) {
            getProcAddr = request.getInstanceProcAddr;
        }
    }

    static NegotiateFn Negotiate() {
        return reinterpret_cast<NegotiateFn>(
            reinterpret_cast<void*>(GetProcAddress(runtime, "xrNegotiateLoaderRuntimeInterface")));
    }

    void SetUp() override {
        ASSERT_NE(nullptr, runtime);
        ASSERT_NE(nullptr, getProcAddr);
        const D3D_FEATURE_LEVEL level = D3D_FEATURE_LEVEL_11_0;
        ASSERT_TRUE(SUCCEEDED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, &level, 1,
                                                D3D11_SDK_VERSION, &device, nullptr, &context)));
    }

    void TearDown() override {
        if (instance != XR_NULL_HANDLE) {
            Fn<PFN_xrDestroyInstance>("xrDestroyInstance")(instance);
        }
    }

    // Writes the scenario, points the runtime at it and a fresh log, and resets it.
    void RunScenario(const std::string& text) {
        const std::wstring scenarioPath = BesideThisProgram(L"xrsim_test_scenario.txt");
        logPath = BesideThisProgram(L"xrsim_test.log");
        std::FILE* file = _wfopen(scenarioPath.c_str(), L"wb");
        ASSERT_NE(nullptr, file);
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
        SetEnvironmentVariableW(L"XRSIM_SCENARIO", scenarioPath.c_str());
        SetEnvironmentVariableW(L"XRSIM_LOG", logPath.c_str());
        reinterpret_cast<void (*)()>(reinterpret_cast<void*>(GetProcAddress(runtime, "XRSim_Reset")))();
        instance = XR_NULL_HANDLE;
    }

    static uint32_t FrameCount() {
        return reinterpret_cast<uint32_t (*)()>(
            reinterpret_cast<void*>(GetProcAddress(runtime, "XRSim_FrameCount")))();
    }

    template <typename Function> Function Fn(const char* name, XrInstance from = XR_NULL_HANDLE) {
        PFN_xrVoidFunction function = nullptr;
        getProcAddr(from != XR_NULL_HANDLE ? from : instance, name, &function);
        EXPECT_NE(nullptr, function) << name;
        return reinterpret_cast<Function>(function);
    }

    XrResult CreateInstance(const char* extension = XR_KHR_D3D11_ENABLE_EXTENSION_NAME) {
        auto info = Typed<XrInstanceCreateInfo>(XR_TYPE_INSTANCE_CREATE_INFO);
        std::strcpy(info.applicationInfo.applicationName, "xrsim test");
        info.applicationInfo.apiVersion = XR_MAKE_VERSION(1, 0, 0);
        info.enabledExtensionCount = 1;
        info.enabledExtensionNames = &extension;
        PFN_xrVoidFunction create = nullptr;
        getProcAddr(XR_NULL_HANDLE, "xrCreateInstance", &create);
        return reinterpret_cast<PFN_xrCreateInstance>(create)(&info, &instance);
    }

    XrResult CreateSession(bool askRequirements = true, ID3D11Device* bound = nullptr) {
        auto systemInfo = Typed<XrSystemGetInfo>(XR_TYPE_SYSTEM_GET_INFO);
        systemInfo.formFactor = XR_FORM_FACTOR_HEAD_MOUNTED_DISPLAY;
        EXPECT_EQ(XR_SUCCESS, Fn<PFN_xrGetSystem>("xrGetSystem")(instance, &systemInfo, &system));
        if (askRequirements) {
            auto requirements =
                Typed<XrGraphicsRequirementsD3D11KHR>(XR_TYPE_GRAPHICS_REQUIREMENTS_D3D11_KHR);
            EXPECT_EQ(XR_SUCCESS, Fn<PFN_xrGetD3D11GraphicsRequirementsKHR>(
                                      "xrGetD3D11GraphicsRequirementsKHR")(instance, system, &requirements));
        }
        auto binding = Typed<XrGraphicsBindingD3D11KHR>(XR_TYPE_GRAPHICS_BINDING_D3D11_KHR);
        binding.device = bound;
        auto info = Typed<XrSessionCreateInfo>(XR_TYPE_SESSION_CREATE_INFO);
        info.next = &binding;
        info.systemId = system;
        return Fn<PFN_xrCreateSession>("xrCreateSession")(instance, &info, &session);
    }

    // Every event queued now: session states by name, other events by their type's name.
    std::vector<std::string> PollAll() {
        std::vector<std::string> events;
        const auto poll = Fn<PFN_xrPollEvent>("xrPollEvent");
        for (;;) {
            auto buffer = Typed<XrEventDataBuffer>(XR_TYPE_EVENT_DATA_BUFFER);
            const XrResult result = poll(instance, &buffer);
            if (result != XR_SUCCESS) {
                if (result != XR_EVENT_UNAVAILABLE) {
                    events.push_back("result " + std::to_string(result));
                }
                return events;
            }
            if (buffer.type == XR_TYPE_EVENT_DATA_SESSION_STATE_CHANGED) {
                const auto& changed = reinterpret_cast<const XrEventDataSessionStateChanged&>(buffer);
                events.push_back("state " + std::to_string(changed.state));
            } else {
                events.push_back("type " + std::to_string(buffer.type));
            }
        }
    }

    // Instance, session, the events up to READY, and xrBeginSession.
    void StartRunning() {
        ASSERT_EQ(XR_SUCCESS, CreateInstance());
        ASSERT_EQ(XR_SUCCESS, CreateSession(true, device.Get()));
        ASSERT_EQ((std::vector<std::string>{"state 1", "state 2"}), PollAll()); // IDLE, READY
        auto begin = Typed<XrSessionBeginInfo>(XR_TYPE_SESSION_BEGIN_INFO);
        begin.primaryViewConfigurationType = XR_VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO;
        ASSERT_EQ(XR_SUCCESS, Fn<PFN_xrBeginSession>("xrBeginSession")(session, &begin));
    }

    XrResult WaitFrame(XrFrameState& state) {
        state = Typed<XrFrameState>(XR_TYPE_FRAME_STATE);
        return Fn<PFN_xrWaitFrame>("xrWaitFrame")(session, nullptr, &state);
    }
    XrResult BeginFrame() { return Fn<PFN_xrBeginFrame>("xrBeginFrame")(session, nullptr); }
    XrResult EndFrame(XrTime time, const std::vector<const XrCompositionLayerBaseHeader*>& layers = {}) {
        auto info = Typed<XrFrameEndInfo>(XR_TYPE_FRAME_END_INFO);
        info.displayTime = time;
        info.environmentBlendMode = XR_ENVIRONMENT_BLEND_MODE_OPAQUE;
        info.layerCount = static_cast<uint32_t>(layers.size());
        info.layers = layers.data();
        return Fn<PFN_xrEndFrame>("xrEndFrame")(session, &info);
    }
    // One frame with no layers; its predicted display time.
    XrTime EmptyFrame() {
        XrFrameState state;
        EXPECT_EQ(XR_SUCCESS, WaitFrame(state));
        EXPECT_EQ(XR_SUCCESS, BeginFrame());
        EXPECT_EQ(XR_SUCCESS, EndFrame(state.predictedDisplayTime));
        return state.predictedDisplayTime;
    }

    XrSpace ReferenceSpace(XrReferenceSpaceType type, XrPosef pose = {{0, 0, 0, 1}, {0, 0, 0}}) {
        auto info = Typed<XrReferenceSpaceCreateInfo>(XR_TYPE_REFERENCE_SPACE_CREATE_INFO);
        info.referenceSpaceType = type;
        info.poseInReferenceSpace = pose;
        XrSpace space = XR_NULL_HANDLE;
        EXPECT_EQ(XR_SUCCESS,
                  Fn<PFN_xrCreateReferenceSpace>("xrCreateReferenceSpace")(session, &info, &space));
        return space;
    }

    XrSwapchain Swapchain(uint32_t width, uint32_t height, int64_t format = DXGI_FORMAT_R8G8B8A8_UNORM) {
        auto info = Typed<XrSwapchainCreateInfo>(XR_TYPE_SWAPCHAIN_CREATE_INFO);
        info.usageFlags = XR_SWAPCHAIN_USAGE_COLOR_ATTACHMENT_BIT;
        info.format = format;
        info.sampleCount = info.arraySize = info.mipCount = info.faceCount = 1;
        info.width = width;
        info.height = height;
        XrSwapchain swapchain = XR_NULL_HANDLE;
        EXPECT_EQ(XR_SUCCESS, Fn<PFN_xrCreateSwapchain>("xrCreateSwapchain")(session, &info, &swapchain));
        return swapchain;
    }

    XrResult Acquire(XrSwapchain swapchain, uint32_t& index) {
        return Fn<PFN_xrAcquireSwapchainImage>("xrAcquireSwapchainImage")(swapchain, nullptr, &index);
    }
    XrResult Wait(XrSwapchain swapchain) {
        auto info = Typed<XrSwapchainImageWaitInfo>(XR_TYPE_SWAPCHAIN_IMAGE_WAIT_INFO);
        info.timeout = XR_INFINITE_DURATION;
        return Fn<PFN_xrWaitSwapchainImage>("xrWaitSwapchainImage")(swapchain, &info);
    }
    XrResult Release(XrSwapchain swapchain) {
        return Fn<PFN_xrReleaseSwapchainImage>("xrReleaseSwapchainImage")(swapchain, nullptr);
    }

    // Acquires an image, fills it with `texels` (RGBA8 rows), waits and releases it.
    void Render(XrSwapchain swapchain, uint32_t width, const std::vector<uint32_t>& texels) {
        uint32_t index = 0;
        ASSERT_EQ(XR_SUCCESS, Acquire(swapchain, index));
        std::vector<XrSwapchainImageD3D11KHR> images(
            3, Typed<XrSwapchainImageD3D11KHR>(XR_TYPE_SWAPCHAIN_IMAGE_D3D11_KHR));
        uint32_t count = 0;
        ASSERT_EQ(XR_SUCCESS,
                  Fn<PFN_xrEnumerateSwapchainImages>("xrEnumerateSwapchainImages")(
                      swapchain, 3, &count, reinterpret_cast<XrSwapchainImageBaseHeader*>(images.data())));
        ASSERT_EQ(XR_SUCCESS, Wait(swapchain));
        context->UpdateSubresource(images[index].texture, 0, nullptr, texels.data(), width * 4, 0);
        ASSERT_EQ(XR_SUCCESS, Release(swapchain));
    }

    // An action set "play" with one action "act" of `type`, bound to `path` on the index
    // controller, and the set handed back.
    XrAction BoundAction(XrActionSet& set, XrActionType type, const char* path) {
        const auto toPath = Fn<PFN_xrStringToPath>("xrStringToPath");
        auto setInfo = Typed<XrActionSetCreateInfo>(XR_TYPE_ACTION_SET_CREATE_INFO);
        std::strcpy(setInfo.actionSetName, "play");
        std::strcpy(setInfo.localizedActionSetName, "Play");
        EXPECT_EQ(XR_SUCCESS, Fn<PFN_xrCreateActionSet>("xrCreateActionSet")(instance, &setInfo, &set));
        auto actionInfo = Typed<XrActionCreateInfo>(XR_TYPE_ACTION_CREATE_INFO);
        std::strcpy(actionInfo.actionName, "act");
        std::strcpy(actionInfo.localizedActionName, "Act");
        actionInfo.actionType = type;
        XrAction action = XR_NULL_HANDLE;
        EXPECT_EQ(XR_SUCCESS, Fn<PFN_xrCreateAction>("xrCreateAction")(set, &actionInfo, &action));
        XrPath binding = XR_NULL_PATH;
        XrPath profile = XR_NULL_PATH;
        EXPECT_EQ(XR_SUCCESS, toPath(instance, path, &binding));
        EXPECT_EQ(XR_SUCCESS, toPath(instance, "/interaction_profiles/valve/index_controller", &profile));
        const XrActionSuggestedBinding suggestion{action, binding};
        auto suggested =
            Typed<XrInteractionProfileSuggestedBinding>(XR_TYPE_INTERACTION_PROFILE_SUGGESTED_BINDING);
        suggested.interactionProfile = profile;
        suggested.countSuggestedBindings = 1;
        suggested.suggestedBindings = &suggestion;
        EXPECT_EQ(XR_SUCCESS, Fn<PFN_xrSuggestInteractionProfileBindings>(
                                  "xrSuggestInteractionProfileBindings")(instance, &suggested));
        return action;
    }

    XrResult LocateViews(XrTime time, XrSpace space, XrView (&views)[2]) {
        auto locate = Typed<XrViewLocateInfo>(XR_TYPE_VIEW_LOCATE_INFO);
        locate.viewConfigurationType = XR_VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO;
        locate.displayTime = time;
        locate.space = space;
        auto viewState = Typed<XrViewState>(XR_TYPE_VIEW_STATE);
        uint32_t count = 0;
        return Fn<PFN_xrLocateViews>("xrLocateViews")(session, &locate, &viewState, 2, &count, views);
    }

    void Attach(XrActionSet set) {
        auto attach = Typed<XrSessionActionSetsAttachInfo>(XR_TYPE_SESSION_ACTION_SETS_ATTACH_INFO);
        attach.countActionSets = 1;
        attach.actionSets = &set;
        EXPECT_EQ(XR_SUCCESS,
                  Fn<PFN_xrAttachSessionActionSets>("xrAttachSessionActionSets")(session, &attach));
    }

    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        const std::string text = ReadText(logPath);
        size_t start = 0;
        for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }

    // The log's rule lines, so a failure shows which rule broke.
    std::vector<std::string> RuleLines() const {
        std::vector<std::string> rules;
        for (const std::string& line : LogLines()) {
            if (line.rfind("rule broken: ", 0) == 0) {
                rules.push_back(line);
            }
        }
        return rules;
    }

    ::testing::AssertionResult Logged(const std::string& line) const {
        std::string all;
        for (const std::string& logged : LogLines()) {
            if (logged == line) {
                return ::testing::AssertionSuccess();
            }
            all += "  " + logged + "\n";
        }
        return ::testing::AssertionFailure() << "no log line \"" << line << "\" in:\n" << all;
    }

    static HMODULE runtime;
    static PFN_xrGetInstanceProcAddr getProcAddr;
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    std::wstring logPath;
    XrInstance instance = XR_NULL_HANDLE;
    XrSystemId system = XR_NULL_SYSTEM_ID;
    XrSession session = XR_NULL_HANDLE;
};

HMODULE XrSimTest::runtime = nullptr;
PFN_xrGetInstanceProcAddr XrSimTest::getProcAddr = nullptr;

struct NegotiationCase {
    const char* scenario;
    XrVersion minApi;
    XrVersion maxApi;
    XrResult result;
    XrVersion answeredApi; // when the result is XR_SUCCESS
};

TEST_F(XrSimTest, NegotiationAnswersInterfaceOneAndAnOneZeroApiInsideTheOffer) {
    const NegotiationCase cases[] = {
        {"", XR_MAKE_VERSION(1, 0, 0), XR_MAKE_VERSION(1, 1, 53), XR_SUCCESS, XR_MAKE_VERSION(1, 0, 20)},
        {"", XR_MAKE_VERSION(1, 0, 0), XR_MAKE_VERSION(1, 0, 3), XR_SUCCESS, XR_MAKE_VERSION(1, 0, 3)},
        {"", XR_MAKE_VERSION(1, 1, 0), XR_MAKE_VERSION(1, 1, 53), XR_ERROR_INITIALIZATION_FAILED, 0},
        {"negotiation refuse\n", XR_MAKE_VERSION(1, 0, 0), XR_MAKE_VERSION(1, 1, 53),
         XR_ERROR_INITIALIZATION_FAILED, 0},
    };
    for (const NegotiationCase& c : cases) {
        RunScenario(c.scenario);
        const LoaderInfo info = Offer(c.minApi, c.maxApi);
        RuntimeRequest request = FreshRequest();
        EXPECT_EQ(c.result, Negotiate()(&info, &request)) << c.scenario << c.maxApi;
        if (c.result == XR_SUCCESS) {
            EXPECT_EQ(1u, request.runtimeInterfaceVersion);
            EXPECT_EQ(c.answeredApi, request.runtimeApiVersion);
            EXPECT_EQ(getProcAddr, request.getInstanceProcAddr);
        }
    }
    EXPECT_TRUE(Logged("xrNegotiateLoaderRuntimeInterface frame=0 interface=1..1 api=1.0.0..1.1.53 -> "
                       "XR_ERROR_INITIALIZATION_FAILED"));
}

TEST_F(XrSimTest, ProcAddrServesGlobalsWithoutAnInstanceAndNothingUnknown) {
    RunScenario("");
    PFN_xrVoidFunction function = nullptr;
    EXPECT_EQ(XR_SUCCESS, getProcAddr(XR_NULL_HANDLE, "xrEnumerateInstanceExtensionProperties", &function));
    EXPECT_NE(nullptr, function);
    EXPECT_EQ(XR_ERROR_HANDLE_INVALID, getProcAddr(XR_NULL_HANDLE, "xrCreateSession", &function));
    EXPECT_EQ(nullptr, function);
    ASSERT_EQ(XR_SUCCESS, CreateInstance());
    function = reinterpret_cast<PFN_xrVoidFunction>(&BesideThisProgram);
    EXPECT_EQ(XR_ERROR_FUNCTION_UNSUPPORTED, getProcAddr(instance, "xrCreateHandTrackerEXT", &function));
    EXPECT_EQ(nullptr, function);
    EXPECT_EQ(1u, RuleLines().size());
}

TEST_F(XrSimTest, InstanceCreationHonoursTheScriptedRuntime) {
    struct Case {
        const char* scenario;
        const char* extension;
        XrResult result;
    };
    const Case cases[] = {
        {"", XR_KHR_D3D11_ENABLE_EXTENSION_NAME, XR_SUCCESS},
        {"", "XR_KHR_vulkan_enable", XR_ERROR_EXTENSION_NOT_PRESENT},
        {"extension_missing\n", XR_KHR_D3D11_ENABLE_EXTENSION_NAME, XR_ERROR_EXTENSION_NOT_PRESENT},
        {"runtime_installed no\n", XR_KHR_D3D11_ENABLE_EXTENSION_NAME, XR_ERROR_RUNTIME_UNAVAILABLE},
    };
    for (const Case& c : cases) {
        RunScenario(c.scenario);
        EXPECT_EQ(c.result, CreateInstance(c.extension)) << c.scenario << c.extension;
        if (instance != XR_NULL_HANDLE) {
            Fn<PFN_xrDestroyInstance>("xrDestroyInstance")(instance);
            instance = XR_NULL_HANDLE;
        }
    }
}

TEST_F(XrSimTest, SessionNeedsTheRequirementsCallAndADevice) {
    RunScenario("");
    ASSERT_EQ(XR_SUCCESS, CreateInstance());
    EXPECT_EQ(XR_ERROR_GRAPHICS_REQUIREMENTS_CALL_MISSING, CreateSession(false, device.Get()));
    EXPECT_EQ(XR_ERROR_GRAPHICS_DEVICE_INVALID, CreateSession(true, nullptr));
    EXPECT_EQ(XR_SUCCESS, CreateSession(true, device.Get()));
    EXPECT_EQ(2u, RuleLines().size());
}

TEST_F(XrSimTest, SessionStatesRunFromReadyToFocusedAndOutThroughStopping) {
    RunScenario("");
    ASSERT_EQ(XR_SUCCESS, CreateInstance());
    ASSERT_EQ(XR_SUCCESS, CreateSession(true, device.Get()));
    auto begin = Typed<XrSessionBeginInfo>(XR_TYPE_SESSION_BEGIN_INFO);
    begin.primaryViewConfigurationType = XR_VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO;
    const auto beginSession = Fn<PFN_xrBeginSession>("xrBeginSession");
    // A state is the session's once the client has been told: none yet.
    EXPECT_EQ(XR_ERROR_SESSION_NOT_READY, beginSession(session, &begin));
    EXPECT_EQ(
        (std::vector<std::string>{"rule broken: xrBeginSession frame=0: the session is UNKNOWN, not READY"}),
        RuleLines());
    EXPECT_EQ((std::vector<std::string>{"state 1", "state 2"}), PollAll());
    ASSERT_EQ(XR_SUCCESS, beginSession(session, &begin));

    XrFrameState frame;
    ASSERT_EQ(XR_SUCCESS, WaitFrame(frame));
    EXPECT_EQ(XR_FALSE, frame.shouldRender);
    ASSERT_EQ(XR_SUCCESS, BeginFrame());
    ASSERT_EQ(XR_SUCCESS, EndFrame(frame.predictedDisplayTime));
    EXPECT_EQ((std::vector<std::string>{"state 3", "state 4", "state 5"}), PollAll());
    ASSERT_EQ(XR_SUCCESS, WaitFrame(frame));
    EXPECT_EQ(XR_TRUE, frame.shouldRender);
    EXPECT_EQ(1'000'000'000 + 2 * 11'111'111, frame.predictedDisplayTime);
    ASSERT_EQ(XR_SUCCESS, BeginFrame());
    ASSERT_EQ(XR_SUCCESS, EndFrame(frame.predictedDisplayTime));

    const auto endSession = Fn<PFN_xrEndSession>("xrEndSession");
    EXPECT_EQ(XR_ERROR_SESSION_NOT_STOPPING, endSession(session));
    EXPECT_EQ(XR_SUCCESS, Fn<PFN_xrRequestExitSession>("xrRequestExitSession")(session));
    EXPECT_EQ((std::vector<std::string>{"state 6"}), PollAll());
    EXPECT_EQ(XR_SUCCESS, endSession(session));
    EXPECT_EQ((std::vector<std::string>{"state 1", "state 8"}), PollAll());
    EXPECT_EQ(2u, RuleLines().size());
    EXPECT_TRUE(Logged("xrPollEvent frame=2 -> XR_SUCCESS SESSION_STATE_CHANGED state=EXITING session=" +
                       Hex(session)));
}

TEST_F(XrSimTest, ScriptedExitRequestStopsARunningSession) {
    RunScenario("exit_request 2\n");
    StartRunning();
    EmptyFrame();
    EXPECT_EQ((std::vector<std::string>{"state 3", "state 4", "state 5"}), PollAll());
    EmptyFrame();
    EXPECT_EQ((std::vector<std::string>{"state 6"}), PollAll());
    EXPECT_EQ(XR_SUCCESS, Fn<PFN_xrEndSession>("xrEndSession")(session));
}

struct OrderCase {
    const char* name;
    std::vector<char>
        calls; // w = xrWaitFrame, b = xrBeginFrame, e = xrEndFrame, t = xrEndFrame with a foreign time
    XrResult lastResult;
    const char* rule; // the one rule line expected, or null for none
};

TEST_F(XrSimTest, FrameCallsFollowWaitBeginEnd) {
    const OrderCase cases[] = {
        {"in order", {'w', 'b', 'e', 'w', 'b', 'e'}, XR_SUCCESS, nullptr},
        {"begin without wait",
         {'b'},
         XR_ERROR_CALL_ORDER_INVALID,
         "rule broken: xrBeginFrame frame=0: no xrWaitFrame since the last xrBeginFrame"},
        {"second begin discards", {'w', 'b', 'w', 'b'}, XR_FRAME_DISCARDED, nullptr},
        {"end without begin",
         {'w', 'e'},
         XR_ERROR_CALL_ORDER_INVALID,
         "rule broken: xrEndFrame frame=1: no xrBeginFrame before this xrEndFrame"},
        {"end twice",
         {'w', 'b', 'e', 'e'},
         XR_ERROR_CALL_ORDER_INVALID,
         "rule broken: xrEndFrame frame=1: no xrBeginFrame before this xrEndFrame"},
        {"time never predicted",
         {'w', 'b', 't'},
         XR_ERROR_TIME_INVALID,
         "rule broken: xrEndFrame frame=1: display time 1011111112 was never predicted"},
    };
    for (const OrderCase& c : cases) {
        RunScenario("");
        StartRunning();
        auto frame = Typed<XrFrameState>(XR_TYPE_FRAME_STATE);
        XrResult result = XR_SUCCESS;
        for (char call : c.calls) {
            result = call == 'w'   ? WaitFrame(frame)
                     : call == 'b' ? BeginFrame()
                                   : EndFrame(frame.predictedDisplayTime + (call == 't' ? 1 : 0));
        }
        EXPECT_EQ(c.lastResult, result) << c.name;
        EXPECT_EQ(c.rule == nullptr ? std::vector<std::string>{} : std::vector<std::string>{c.rule},
                  RuleLines())
            << c.name;
        Fn<PFN_xrDestroyInstance>("xrDestroyInstance")(instance);
        instance = XR_NULL_HANDLE;
    }
}

TEST_F(XrSimTest, SwapchainImagesGoRoundAcquiredWaitedReleased) {
    RunScenario("");
    StartRunning();
    const XrSwapchain swapchain = Swapchain(16, 8);
    uint32_t indices[3] = {9, 9, 9};
    for (uint32_t& index : indices) {
        ASSERT_EQ(XR_SUCCESS, Acquire(swapchain, index));
    }
    EXPECT_EQ(0u, indices[0]);
    EXPECT_EQ(1u, indices[1]);
    EXPECT_EQ(2u, indices[2]);
    uint32_t fourth = 0;
    EXPECT_EQ(XR_ERROR_CALL_ORDER_INVALID, Acquire(swapchain, fourth));
    EXPECT_EQ(XR_ERROR_CALL_ORDER_INVALID, Release(swapchain)); // not waited
    EXPECT_EQ(XR_SUCCESS, Wait(swapchain));
    EXPECT_EQ(XR_SUCCESS, Release(swapchain));
    EXPECT_EQ(XR_SUCCESS, Acquire(swapchain, fourth));
    EXPECT_EQ(0u, fourth);
    const std::string handle = Hex(swapchain);
    EXPECT_EQ((std::vector<std::string>{
                  "rule broken: xrAcquireSwapchainImage frame=0: swapchain " + handle +
                      ": all 3 images are already acquired",
                  "rule broken: xrReleaseSwapchainImage frame=0: swapchain " + handle +
                      ": the oldest acquired image was not waited",
              }),
              RuleLines());
}

// A projection layer of two views on one swapchain each, with the views xrLocateViews gave.
struct Projection {
    XrCompositionLayerProjectionView views[2];
    XrCompositionLayerProjection layer =
        Typed<XrCompositionLayerProjection>(XR_TYPE_COMPOSITION_LAYER_PROJECTION);
};

void FillProjection(Projection& projection, XrSpace space, const XrView (&views)[2],
                    const XrSwapchain (&chains)[2], int32_t width, int32_t height) {
    for (int eye : {0, 1}) {
        XrCompositionLayerProjectionView& view = projection.views[eye];
        view = Typed<XrCompositionLayerProjectionView>(XR_TYPE_COMPOSITION_LAYER_PROJECTION_VIEW);
        view.pose = views[eye].pose;
        view.fov = views[eye].fov;
        view.subImage.swapchain = chains[eye];
        view.subImage.imageRect = {{0, 0}, {width, height}};
    }
    projection.layer.space = space;
    projection.layer.viewCount = 2;
    projection.layer.views = projection.views;
}

// As OpenXR has it for DXGI, images carry their family's typeless format: an application copies
// its own pictures in whichever member of the family it has.
TEST_F(XrSimTest, SwapchainImagesAreTypelessMembersOfTheAskedFormatsFamily) {
    RunScenario("");
    StartRunning();
    struct Case {
        int64_t asked;
        DXGI_FORMAT made;
    };
    const Case cases[] = {{29, static_cast<DXGI_FORMAT>(27)}, {28, static_cast<DXGI_FORMAT>(27)},
                          {91, static_cast<DXGI_FORMAT>(90)}, {87, static_cast<DXGI_FORMAT>(90)},
                          {24, static_cast<DXGI_FORMAT>(23)}, {10, static_cast<DXGI_FORMAT>(9)}};
    for (const Case& c : cases) {
        const XrSwapchain swapchain = Swapchain(8, 4, c.asked);
        XrSwapchainImageD3D11KHR images[3] = {
            Typed<XrSwapchainImageD3D11KHR>(XR_TYPE_SWAPCHAIN_IMAGE_D3D11_KHR),
            Typed<XrSwapchainImageD3D11KHR>(XR_TYPE_SWAPCHAIN_IMAGE_D3D11_KHR),
            Typed<XrSwapchainImageD3D11KHR>(XR_TYPE_SWAPCHAIN_IMAGE_D3D11_KHR)};
        uint32_t count = 0;
        ASSERT_EQ(XR_SUCCESS,
                  Fn<PFN_xrEnumerateSwapchainImages>("xrEnumerateSwapchainImages")(
                      swapchain, 3, &count, reinterpret_cast<XrSwapchainImageBaseHeader*>(images)));
        D3D11_TEXTURE2D_DESC desc{};
        images[0].texture->GetDesc(&desc);
        EXPECT_EQ(c.made, desc.Format) << "asked for " << c.asked;
        EXPECT_EQ(XR_SUCCESS, Fn<PFN_xrDestroySwapchain>("xrDestroySwapchain")(swapchain));
    }
}

TEST_F(XrSimTest, EndFrameRefusesALayerWhoseSwapchainWasNeverReleased) {
    RunScenario("");
    StartRunning();
    const XrSpace local = ReferenceSpace(XR_REFERENCE_SPACE_TYPE_LOCAL);
    const XrSwapchain chains[2] = {Swapchain(8, 8), Swapchain(8, 8)};
    Render(chains[0], 8, std::vector<uint32_t>(64, 0xFF00FF00u));
    XrFrameState frame;
    ASSERT_EQ(XR_SUCCESS, WaitFrame(frame));
    ASSERT_EQ(XR_SUCCESS, BeginFrame());
    XrView views[2] = {Typed<XrView>(XR_TYPE_VIEW), Typed<XrView>(XR_TYPE_VIEW)};
    for (XrView& view : views) {
        view.pose.orientation.w = 1.0f;
        view.fov = {-0.5f, 0.5f, 0.5f, -0.5f};
    }
    Projection projection;
    FillProjection(projection, local, views, chains, 8, 8);
    const XrCompositionLayerBaseHeader* layers[] = {
        reinterpret_cast<const XrCompositionLayerBaseHeader*>(&projection.layer)};
    EXPECT_EQ(XR_ERROR_LAYER_INVALID, EndFrame(frame.predictedDisplayTime, {layers[0]}));
    EXPECT_EQ((std::vector<std::string>{
                  "rule broken: xrEndFrame frame=1: layer 0 view 1 sub-image swapchain was never released"}),
              RuleLines());
}

TEST_F(XrSimTest, LocatedViewsAreTheScriptedHeadWithEachEyeOffset) {
    RunScenario("head key 0 0.5 1.7 -0.2 90 0 0\n"
                "head lost 3\n"
                "projection left -1 1 -0.5 2\n"
                "eye_to_head right 0.04\n");
    StartRunning();
    const XrSpace local = ReferenceSpace(XR_REFERENCE_SPACE_TYPE_LOCAL);
    XrFrameState frame;
    ASSERT_EQ(XR_SUCCESS, WaitFrame(frame));
    auto info = Typed<XrViewLocateInfo>(XR_TYPE_VIEW_LOCATE_INFO);
    info.viewConfigurationType = XR_VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO;
    info.displayTime = frame.predictedDisplayTime;
    info.space = local;
    auto state = Typed<XrViewState>(XR_TYPE_VIEW_STATE);
    XrView views[2] = {Typed<XrView>(XR_TYPE_VIEW), Typed<XrView>(XR_TYPE_VIEW)};
    uint32_t count = 0;
    const auto locate = Fn<PFN_xrLocateViews>("xrLocateViews");
    ASSERT_EQ(XR_SUCCESS, locate(session, &info, &state, 2, &count, views));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(0xFu, state.viewStateFlags);
    // Yaw 90 turns the eye's +x to -z: the left eye (x -0.0315) sits at z +0.0315 from the head.
    const float expectedZ[2] = {-0.2f + 0.0315f, -0.2f - 0.04f};
    for (int eye : {0, 1}) {
        EXPECT_NEAR(0.5f, views[eye].pose.position.x, 1e-6f);
        EXPECT_NEAR(1.7f, views[eye].pose.position.y, 1e-6f);
        EXPECT_NEAR(expectedZ[eye], views[eye].pose.position.z, 1e-6f);
        EXPECT_NEAR(0.0f, views[eye].pose.orientation.x, 1e-6f);
        EXPECT_NEAR(0.707107f, views[eye].pose.orientation.y, 1e-6f);
        EXPECT_NEAR(0.707107f, views[eye].pose.orientation.w, 1e-6f);
    }
    EXPECT_NEAR(-0.785398f, views[0].fov.angleLeft, 1e-6f);
    EXPECT_NEAR(0.785398f, views[0].fov.angleRight, 1e-6f);
    EXPECT_NEAR(-0.463648f, views[0].fov.angleDown, 1e-6f);
    EXPECT_NEAR(1.107149f, views[0].fov.angleUp, 1e-6f);
    EXPECT_NEAR(-0.896055f, views[1].fov.angleLeft, 1e-6f); // atan(-1.25), the default right eye
    EXPECT_NEAR(0.947152f, views[1].fov.angleRight, 1e-6f); // atan(1.39)
    EXPECT_NEAR(0.973434f, views[1].fov.angleUp, 1e-6f);    // atan(1.47)

    info.displayTime = frame.predictedDisplayTime + 2 * frame.predictedDisplayPeriod; // frame 3: lost
    ASSERT_EQ(XR_SUCCESS, locate(session, &info, &state, 2, &count, views));
    EXPECT_EQ(0u, state.viewStateFlags);
}

TEST_F(XrSimTest, ScriptedSessionLossEndsEverySessionCallButDestroy) {
    RunScenario("session_loss 2\n");
    StartRunning();
    EmptyFrame();
    PollAll();
    XrFrameState frame;
    EXPECT_EQ(XR_ERROR_SESSION_LOST, WaitFrame(frame));
    EXPECT_EQ((std::vector<std::string>{"state 7"}), PollAll());
    EXPECT_EQ(XR_ERROR_SESSION_LOST, BeginFrame());
    EXPECT_EQ(XR_SUCCESS, Fn<PFN_xrDestroySession>("xrDestroySession")(session));
    EXPECT_EQ(2u, FrameCount());
    EXPECT_TRUE(RuleLines().empty());
}

TEST_F(XrSimTest, ScriptedInstanceLossIsAnnouncedThenLastsUntilDestroyed) {
    RunScenario("instance_loss 1\n");
    StartRunning();
    XrFrameState frame;
    EXPECT_EQ(XR_ERROR_INSTANCE_LOST, WaitFrame(frame));
    EXPECT_EQ((std::vector<std::string>{"type " + std::to_string(XR_TYPE_EVENT_DATA_INSTANCE_LOSS_PENDING),
                                        "result " + std::to_string(XR_ERROR_INSTANCE_LOST)}),
              PollAll());
    EXPECT_EQ(XR_ERROR_INSTANCE_LOST, BeginFrame());
    ASSERT_EQ(XR_SUCCESS, Fn<PFN_xrDestroyInstance>("xrDestroyInstance")(instance));
    instance = XR_NULL_HANDLE;
    StartRunning();
    EXPECT_EQ(XR_SUCCESS, WaitFrame(frame));
    EXPECT_TRUE(RuleLines().empty());
}

TEST_F(XrSimTest, ScriptedFailureHitsItsFramesOnly) {
    RunScenario("fail xrEndFrame -1 2\n");
    StartRunning();
    EmptyFrame();
    XrFrameState frame;
    ASSERT_EQ(XR_SUCCESS, WaitFrame(frame));
    ASSERT_EQ(XR_SUCCESS, BeginFrame());
    EXPECT_EQ(XR_ERROR_VALIDATION_FAILURE, EndFrame(frame.predictedDisplayTime));
    EXPECT_TRUE(Logged("xrEndFrame frame=2 -> XR_ERROR_VALIDATION_FAILURE"));
    ASSERT_EQ(XR_SUCCESS, WaitFrame(frame));
    EXPECT_EQ(XR_FRAME_DISCARDED, BeginFrame());
    EXPECT_EQ(XR_SUCCESS, EndFrame(frame.predictedDisplayTime));
}

XrPath Path(PFN_xrStringToPath toPath, XrInstance instance, const char* text) {
    XrPath path = XR_NULL_PATH;
    EXPECT_EQ(XR_SUCCESS, toPath(instance, text, &path)) << text;
    return path;
}

TEST_F(XrSimTest, ThumbstickActionReadsTheScriptedValueWhileFocusedOnItsProfileOnly) {
    struct Case {
        const char* scenario;
        XrBool32 active;
        float x;
        float y;
    };
    const std::string stick = "controller right input /input/thumbstick 1.. 0.9 -0.25\n";
    const Case cases[] = {
        {"", XR_TRUE, 0.9f, -0.25f},
        {"controller right profile /interaction_profiles/oculus/touch_controller\n", XR_FALSE, 0.0f, 0.0f},
        {"controller right absent\n", XR_FALSE, 0.0f, 0.0f},
    };
    for (const Case& c : cases) {
        RunScenario(stick + c.scenario);
        ASSERT_EQ(XR_SUCCESS, CreateInstance());
        XrActionSet set = XR_NULL_HANDLE;
        const XrAction move =
            BoundAction(set, XR_ACTION_TYPE_VECTOR2F_INPUT, "/user/hand/right/input/thumbstick");
        ASSERT_EQ(XR_SUCCESS, CreateSession(true, device.Get()));
        Attach(set);
        PollAll();
        auto begin = Typed<XrSessionBeginInfo>(XR_TYPE_SESSION_BEGIN_INFO);
        begin.primaryViewConfigurationType = XR_VIEW_CONFIGURATION_TYPE_PRIMARY_STEREO;
        ASSERT_EQ(XR_SUCCESS, Fn<PFN_xrBeginSession>("xrBeginSession")(session, &begin));

        const XrActiveActionSet active{set, XR_NULL_PATH};
        auto sync = Typed<XrActionsSyncInfo>(XR_TYPE_ACTIONS_SYNC_INFO);
        sync.countActiveActionSets = 1;
        sync.activeActionSets = &active;
        const auto syncActions = Fn<PFN_xrSyncActions>("xrSyncActions");
        auto get = Typed<XrActionStateGetInfo>(XR_TYPE_ACTION_STATE_GET_INFO);
        get.action = move;
        auto state = Typed<XrActionStateVector2f>(XR_TYPE_ACTION_STATE_VECTOR2F);
        const auto read = Fn<PFN_xrGetActionStateVector2f>("xrGetActionStateVector2f");
        EXPECT_EQ(XR_SESSION_NOT_FOCUSED, syncActions(session, &sync));
        ASSERT_EQ(XR_SUCCESS, read(session, &get, &state));
        EXPECT_EQ(XR_FALSE, state.isActive) << "inputs before focus";

        EmptyFrame();
        PollAll();
        EXPECT_EQ(XR_SUCCESS, syncActions(session, &sync));
        ASSERT_EQ(XR_SUCCESS, read(session, &get, &state));
        EXPECT_EQ(c.active, state.isActive) << c.scenario;
        EXPECT_EQ(c.x, state.currentState.x) << c.scenario;
        EXPECT_EQ(c.y, state.currentState.y) << c.scenario;
        EXPECT_TRUE(RuleLines().empty());
        Fn<PFN_xrDestroyInstance>("xrDestroyInstance")(instance);
        instance = XR_NULL_HANDLE;
    }
}

TEST_F(XrSimTest, BindingsNameOnlyPathsOfTheirProfile) {
    RunScenario("");
    ASSERT_EQ(XR_SUCCESS, CreateInstance());
    const auto toPath = Fn<PFN_xrStringToPath>("xrStringToPath");
    auto setInfo = Typed<XrActionSetCreateInfo>(XR_TYPE_ACTION_SET_CREATE_INFO);
    std::strcpy(setInfo.actionSetName, "play");
    std::strcpy(setInfo.localizedActionSetName, "Play");
    XrActionSet set = XR_NULL_HANDLE;
    ASSERT_EQ(XR_SUCCESS, Fn<PFN_xrCreateActionSet>("xrCreateActionSet")(instance, &setInfo, &set));
    auto actionInfo = Typed<XrActionCreateInfo>(XR_TYPE_ACTION_CREATE_INFO);
    std::strcpy(actionInfo.actionName, "jump");
    std::strcpy(actionInfo.localizedActionName, "Jump");
    actionInfo.actionType = XR_ACTION_TYPE_BOOLEAN_INPUT;
    XrAction jump = XR_NULL_HANDLE;
    ASSERT_EQ(XR_SUCCESS, Fn<PFN_xrCreateAction>("xrCreateAction")(set, &actionInfo, &jump));
    const auto suggest = Fn<PFN_xrSuggestInteractionProfileBindings>("xrSuggestInteractionProfileBindings");
    struct Case {
        const char* profile;
        const char* path;
        XrResult result;
    };
    const Case cases[] = {
        {"/interaction_profiles/oculus/touch_controller", "/user/hand/left/input/x/click", XR_SUCCESS},
        {"/interaction_profiles/oculus/touch_controller", "/user/hand/right/input/x/click",
         XR_ERROR_PATH_UNSUPPORTED},
        {"/interaction_profiles/valve/index_controller", "/user/hand/left/input/thumbstick",
         XR_ERROR_PATH_UNSUPPORTED},
        {"/interaction_profiles/valve/index_controller", "/user/hand/left/input/trigger/value", XR_SUCCESS},
    };
    for (const Case& c : cases) {
        const XrActionSuggestedBinding binding{jump, Path(toPath, instance, c.path)};
        auto suggested =
            Typed<XrInteractionProfileSuggestedBinding>(XR_TYPE_INTERACTION_PROFILE_SUGGESTED_BINDING);
        suggested.interactionProfile = Path(toPath, instance, c.profile);
        suggested.countSuggestedBindings = 1;
        suggested.suggestedBindings = &binding;
        EXPECT_EQ(c.result, suggest(instance, &suggested)) << c.path;
    }
    EXPECT_EQ(2u, RuleLines().size());
}

constexpr uint32_t kGreen = 0xFF00FF00u;   // RGBA bytes 0 255 0 255
constexpr uint32_t kMagenta = 0xFFFF00FFu; // 255 0 255 255
constexpr uint32_t kRed = 0xFF0000FFu;     // 255 0 0 255

// A captured picture beside the test as RGBA rows; empty when it cannot be read.
std::vector<uint8_t> ReadPicture(const wchar_t* name, int& width, int& height) {
    std::FILE* file = _wfopen(BesideThisProgram(name).c_str(), L"rb");
    if (file == nullptr) {
        return {};
    }
    int channels = 0;
    stbi_uc* decoded = stbi_load_from_file(file, &width, &height, &channels, 4);
    std::fclose(file);
    if (decoded == nullptr) {
        return {};
    }
    const std::vector<uint8_t> pixels(decoded, decoded + static_cast<size_t>(width) * height * 4);
    stbi_image_free(decoded);
    return pixels;
}

std::array<uint8_t, 3> PixelAt(const std::vector<uint8_t>& rgba, int width, int x, int y) {
    const size_t at = (static_cast<size_t>(y) * width + x) * 4;
    return {rgba[at], rgba[at + 1], rgba[at + 2]};
}

// Both eyes on a field of tangents -1..1 at 10 pixels per tangent, so the view's pixel (i, j)
// shows the direction x = -1 + (i + 0.5) / 10, y = 1 - (j + 0.5) / 10 and the 20 x 20 eye image's
// texel (c, r) spans u = c / 20.. and v = r / 20...
TEST_F(XrSimTest, CapturedFrameComposesTheViewsAndTheQuadOnTheTangentGrid) {
    RunScenario("projection left -1 1 -1 1\n"
                "projection right -1 1 -1 1\n"
                "view_grid 10\n"
                "capture 2\n"
                "capture_folder xrsim_captures\n"
                "find marker 255 0 255 0\n");
    StartRunning();
    const XrSpace local = ReferenceSpace(XR_REFERENCE_SPACE_TYPE_LOCAL);
    const XrSpace view = ReferenceSpace(XR_REFERENCE_SPACE_TYPE_VIEW);
    const XrSwapchain chains[2] = {Swapchain(20, 20), Swapchain(20, 20)};
    const XrSwapchain quadChain = Swapchain(4, 4);
    EmptyFrame();
    PollAll();

    XrFrameState frame;
    ASSERT_EQ(XR_SUCCESS, WaitFrame(frame));
    ASSERT_EQ(XR_SUCCESS, BeginFrame());
    XrView views[2] = {Typed<XrView>(XR_TYPE_VIEW), Typed<XrView>(XR_TYPE_VIEW)};
    ASSERT_EQ(XR_SUCCESS, LocateViews(frame.predictedDisplayTime, local, views));
    // The marker: texels 15..16 by 4..5 of the left eye, centre u 0.8, v 0.25.
    std::vector<uint32_t> left(400, kGreen);
    for (int row : {4, 5}) {
        for (int column : {15, 16}) {
            left[row * 20 + column] = kMagenta;
        }
    }
    Render(chains[0], 20, left);
    Render(chains[1], 20, std::vector<uint32_t>(400, kGreen));
    Render(quadChain, 4, std::vector<uint32_t>(16, kRed));

    Projection projection;
    FillProjection(projection, local, views, chains, 20, 20);
    auto quad = Typed<XrCompositionLayerQuad>(XR_TYPE_COMPOSITION_LAYER_QUAD);
    quad.space = view;
    quad.eyeVisibility = XR_EYE_VISIBILITY_BOTH;
    quad.subImage.swapchain = quadChain;
    quad.subImage.imageRect = {{0, 0}, {4, 4}};
    quad.pose = {{0, 0, 0, 1}, {0, 0, -1}};
    quad.size = {0.4f, 0.4f};
    const std::vector<const XrCompositionLayerBaseHeader*> layers = {
        reinterpret_cast<const XrCompositionLayerBaseHeader*>(&projection.layer),
        reinterpret_cast<const XrCompositionLayerBaseHeader*>(&quad)};
    ASSERT_EQ(XR_SUCCESS, EndFrame(frame.predictedDisplayTime, layers));
    EXPECT_TRUE(RuleLines().empty());

    EXPECT_TRUE(Logged(
        "xrEndFrame frame=2 time=" + std::to_string(frame.predictedDisplayTime) +
        " layers=projection(space=LOCAL views=2),quad(space=VIEW size=0.400000 0.400000) -> XR_SUCCESS"));
    EXPECT_TRUE(Logged("capture frame=2 eye=0 file=frame_000002_left.png"));
    // u 0.8 -> x = -1 + 0.8 * 2; v 0.25 -> y = 1 - 0.25 * 2; the box spans u 0.75..0.85, v 0.2..0.3.
    EXPECT_TRUE(Logged("find frame=2 eye=0 name=marker texels=4 tan=0.600000 0.500000 "
                       "box=0.500000 0.400000 0.700000 0.600000"));
    EXPECT_TRUE(Logged("find frame=2 eye=1 name=marker texels=0"));
    EXPECT_TRUE(
        Logged("quad frame=2 pose=1.000000 0.000000 0.000000 0.000000 0.000000 1.000000 0.000000 1.600000 "
               "0.000000 0.000000 1.000000 -1.000000 size=0.400000 0.400000"));
    EXPECT_TRUE(
        Logged("view frame=2 eye=0 grid=-1.000000 1.000000 -1.000000 1.000000 10.000000 size=20 20 column=0 "
               "pose_source=layer pose=1.000000 0.000000 0.000000 -0.031500 0.000000 1.000000 0.000000 "
               "1.600000 0.000000 0.000000 1.000000 0.000000 file=frame_000002_view.png"));
    EXPECT_TRUE(
        Logged("view frame=2 eye=1 grid=-1.000000 1.000000 -1.000000 1.000000 10.000000 size=20 20 column=24 "
               "pose_source=layer pose=1.000000 0.000000 0.000000 0.031500 0.000000 1.000000 0.000000 "
               "1.600000 0.000000 0.000000 1.000000 0.000000 file=frame_000002_view.png"));

    int width = 0, height = 0;
    const std::vector<uint8_t> pixels = ReadPicture(L"xrsim_captures\\frame_000002_view.png", width, height);
    ASSERT_EQ(44, width);
    ASSERT_EQ(20, height);
    using Rgb = std::array<uint8_t, 3>;
    // x 0.65, y 0.45: u 0.825, v 0.275, the marker's texel (16, 5).
    EXPECT_EQ((Rgb{255, 0, 255}), PixelAt(pixels, width, 16, 5));
    // x 0.05, y 0.05 from the left eye (0.0315 left of the head) meets the quad 1 m ahead at
    // x 0.0185, inside its +-0.2; x 0.35 meets its plane at 0.3185, outside, on the green eye image.
    EXPECT_EQ((Rgb{255, 0, 0}), PixelAt(pixels, width, 10, 9));
    EXPECT_EQ((Rgb{0, 255, 0}), PixelAt(pixels, width, 13, 9));
    EXPECT_EQ((Rgb{255, 0, 0}), PixelAt(pixels, width, 24 + 10, 9));
    EXPECT_EQ((Rgb{0, 0, 0}), PixelAt(pixels, width, 21, 9)); // the gap between the halves
}

constexpr uint32_t kSurround = 0xFF141414u; // 20 20 20 255
constexpr uint32_t kHole = 0x00000000u;     // 0 0 0 0

// The cinema screen's frame: the screen as a quad first, then a projection with source alpha whose
// eyes hold a surround, a hole (texels 8..11 both ways, directions -0.2..0.2) and, in the left eye
// only, a hand in the hole's column 11. Pixel i of the grid shows eye texel i, as above.
TEST_F(XrSimTest, CapturedScreenShowsThroughTheBlendedProjectionsHole) {
    RunScenario("projection left -1 1 -1 1\n"
                "projection right -1 1 -1 1\n"
                "view_grid 10\n"
                "capture 2\n"
                "capture_folder xrsim_captures\n"
                "find_view screen 255 0 0 0\n"
                "find_view hand 255 0 255 0\n");
    StartRunning();
    const XrSpace local = ReferenceSpace(XR_REFERENCE_SPACE_TYPE_LOCAL);
    const XrSpace view = ReferenceSpace(XR_REFERENCE_SPACE_TYPE_VIEW);
    const XrSwapchain chains[2] = {Swapchain(20, 20), Swapchain(20, 20)};
    const XrSwapchain screenChain = Swapchain(4, 4);
    EmptyFrame();
    PollAll();

    XrFrameState frame;
    ASSERT_EQ(XR_SUCCESS, WaitFrame(frame));
    ASSERT_EQ(XR_SUCCESS, BeginFrame());
    XrView views[2] = {Typed<XrView>(XR_TYPE_VIEW), Typed<XrView>(XR_TYPE_VIEW)};
    ASSERT_EQ(XR_SUCCESS, LocateViews(frame.predictedDisplayTime, local, views));
    std::vector<uint32_t> eyes[2] = {std::vector<uint32_t>(400, kSurround),
                                     std::vector<uint32_t>(400, kSurround)};
    for (int row = 8; row <= 11; ++row) {
        for (int column = 8; column <= 11; ++column) {
            eyes[0][row * 20 + column] = eyes[1][row * 20 + column] = kHole;
        }
        eyes[0][row * 20 + 11] = kMagenta;
    }
    Render(chains[0], 20, eyes[0]);
    Render(chains[1], 20, eyes[1]);
    Render(screenChain, 4, std::vector<uint32_t>(16, kRed));

    auto screen = Typed<XrCompositionLayerQuad>(XR_TYPE_COMPOSITION_LAYER_QUAD);
    screen.space = view;
    screen.eyeVisibility = XR_EYE_VISIBILITY_BOTH;
    screen.subImage.swapchain = screenChain;
    screen.subImage.imageRect = {{0, 0}, {4, 4}};
    screen.pose = {{0, 0, 0, 1}, {0, 0, -1}};
    screen.size = {0.6f, 0.6f};
    Projection projection;
    FillProjection(projection, local, views, chains, 20, 20);
    projection.layer.layerFlags = XR_COMPOSITION_LAYER_BLEND_TEXTURE_SOURCE_ALPHA_BIT;
    const std::vector<const XrCompositionLayerBaseHeader*> layers = {
        reinterpret_cast<const XrCompositionLayerBaseHeader*>(&screen),
        reinterpret_cast<const XrCompositionLayerBaseHeader*>(&projection.layer)};
    ASSERT_EQ(XR_SUCCESS, EndFrame(frame.predictedDisplayTime, layers));
    EXPECT_TRUE(RuleLines().empty());

    EXPECT_TRUE(Logged(
        "xrEndFrame frame=2 time=" + std::to_string(frame.predictedDisplayTime) +
        " layers=quad(space=VIEW size=0.600000 0.600000),projection(space=LOCAL views=2) -> XR_SUCCESS"));
    EXPECT_TRUE(
        Logged("view frame=2 eye=0 grid=-1.000000 1.000000 -1.000000 1.000000 10.000000 size=20 20 column=0 "
               "pose_source=layer pose=1.000000 0.000000 0.000000 -0.031500 0.000000 1.000000 0.000000 "
               "1.600000 0.000000 0.000000 1.000000 0.000000 file=frame_000002_view.png"));
    // The screen spans +-0.3 m 1 m ahead of the head: x -0.2685..0.3315 from the left eye, pixels
    // 7..12 both ways, of which the surround covers 7 and 12 and the hand column 11: the screen
    // shows in columns 8..10, rows 8..11, mean pixel (9, 9.5). From the right eye it spans
    // -0.3315..0.2685, the hole exactly, mean pixel (9.5, 9.5).
    EXPECT_TRUE(Logged("find_view frame=2 eye=0 name=screen pixels=12 tan=-0.050000 0.000000 "
                       "box=-0.200000 -0.200000 0.100000 0.200000"));
    EXPECT_TRUE(Logged("find_view frame=2 eye=1 name=screen pixels=16 tan=0.000000 0.000000 "
                       "box=-0.200000 -0.200000 0.200000 0.200000"));
    EXPECT_TRUE(Logged("find_view frame=2 eye=0 name=hand pixels=4 tan=0.150000 0.000000 "
                       "box=0.100000 -0.200000 0.200000 0.200000"));
    EXPECT_TRUE(Logged("find_view frame=2 eye=1 name=hand pixels=0"));

    int width = 0, height = 0;
    const std::vector<uint8_t> pixels = ReadPicture(L"xrsim_captures\\frame_000002_view.png", width, height);
    ASSERT_EQ(44, width);
    ASSERT_EQ(20, height);
    using Rgb = std::array<uint8_t, 3>;
    EXPECT_EQ((Rgb{255, 0, 0}), PixelAt(pixels, width, 9, 9));
    EXPECT_EQ((Rgb{255, 0, 255}), PixelAt(pixels, width, 11, 9));
    EXPECT_EQ((Rgb{20, 20, 20}), PixelAt(pixels, width, 7, 9)); // the surround over the screen
    EXPECT_EQ((Rgb{255, 0, 0}), PixelAt(pixels, width, 24 + 11, 9));
}

} // namespace
