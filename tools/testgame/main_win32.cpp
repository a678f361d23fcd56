// The stand-in game's entry: options, the window, the frame loop with its timeline, and the
// per-frame trace. Everything runs on the main thread.
#include "game_world.h"
#include "markers.h"
#include "options.h"
#include "renderer_win32.h"
#include "routines.h"
#include "self_check.h"
#include "timeline.h"
#include "variants_win32.h"

#include <windows.h>
#include <psapi.h>
#include <xinput.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_ACTIVATEAPP) {
        XInputEnable(wParam != 0); // the pad goes quiet while another program has the focus
    }
    if (message == WM_CLOSE) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND MakeWindow(const wchar_t* title, int width, int height) {
    static bool registered = false;
    if (!registered) {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.lpszClassName = L"CorvaneTestGame";
        RegisterClassW(&windowClass);
        registered = true;
    }
    RECT rect{0, 0, width, height};
    AdjustWindowRect(&rect, WS_OVERLAPPEDWINDOW, FALSE);
    HWND window = CreateWindowExW(0, L"CorvaneTestGame", title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, rect.right - rect.left, rect.bottom - rect.top, nullptr,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
    if (window != nullptr) {
        ShowWindow(window, SW_SHOW);
    }
    return window;
}

bool PumpMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            return false;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return true;
}

float Axis(SHORT value, SHORT deadZone) {
    if (value > -deadZone && value < deadZone) {
        return 0.0f;
    }
    return std::max(-1.0f, static_cast<float>(value) / 32767.0f);
}

bool ReadFile(const std::string& path, std::string& text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    text = contents.str();
    return true;
}

CameraUpload UploadKind(const std::string& name) {
    if (name == "update") {
        return CameraUpload::Update;
    }
    return name == "deferred" ? CameraUpload::Deferred : CameraUpload::Map;
}

void FormatVector(char* out, size_t size, bool present, const Vec3& v) {
    if (present) {
        std::snprintf(out, size, "%.4f,%.4f,%.4f", v.x, v.y, v.z);
    } else {
        std::snprintf(out, size, "none");
    }
}

struct TraceInputs {
    int frame;
    const FrameOutcome* outcome;
    DWORD xinputResult;
    StickInput stick;
    WORD buttons;
    BYTE leftTrigger;
    BYTE rightTrigger;
    bool foreground;
    int devices;
    HRESULT present;
};

// Formats the frame's line into the game's own per-frame memory.
void WriteTraceLine(std::FILE* trace, const TraceInputs& in, size_t scratchSize) {
    const FrameOutcome& out = *in.outcome;
    const ReceivedCamera& camera = LastCamera();
    const ReceivedProjection& projection = LastProjection();
    char eye[64], target[64];
    FormatVector(eye, sizeof(eye), out.cameraCalled, camera.eye);
    FormatVector(target, sizeof(target), out.cameraCalled, camera.target);
    char projectionText[96] = "proj_angle=none proj_deg=none aspect=none";
    if (out.projectionCalled) {
        std::snprintf(projectionText, sizeof(projectionText), "proj_angle=%d proj_deg=%.3f aspect=%.6f",
                      projection.angle,
                      AngleUnitsToRadians(projection.angle) * 180.0 / 3.14159265358979323846,
                      projection.aspect);
    }
    char sentEye[64], sentTarget[64], sentProjection[64] = "sent_angle=none sent_aspect=none";
    FormatVector(sentEye, sizeof(sentEye), out.cameraSent, out.sentEye);
    FormatVector(sentTarget, sizeof(sentTarget), out.cameraSent, out.sentTarget);
    if (out.projectionSent) {
        std::snprintf(sentProjection, sizeof(sentProjection), "sent_angle=%d sent_aspect=%.6f", out.sentAngle,
                      static_cast<double>(out.sentAspect));
    }
    // The markers stand still, but each line carries them, so a test needs only its frame's line.
    char markers[160] = "";
    if (!FormatMarkerPositions(markers, sizeof(markers))) {
        markers[0] = '\0'; // no half-written key
    }
    char fallback[kFrameScratchSize];
    char* line = out.scratch != nullptr ? out.scratch : fallback;
    const size_t size = out.scratch != nullptr ? scratchSize : sizeof(fallback);
    const ActorRecord* actor = actor_registry != nullptr && actor_registry->activeSlot != nullptr
                                   ? *actor_registry->activeSlot
                                   : nullptr;
    std::snprintf(
        line, size,
        "frame=%d phase=%s sent_eye=%s sent_target=%s %s eye=%s target=%s camera_flags=%u %s sim_hz=%d "
        "delta=%.6f limiter=%u request=%u,%u,%u camera_state=%u camera_control=%u control_block=%u "
        "composite_kind=%u player=0x%llx body=%.2f,0x%02x xinput=%lu stick=%.3f,%.3f turn=%.3f ped_steps=%u "
        "alloc=%s "
        "alloc_blocks=%llu cleanups=%u fp_record=%u,%u foreground=%d devices=%d present=0x%08lx "
        "ped_distance=%.4f buttons=0x%04x triggers=%u,%u%s\n",
        in.frame, PhaseName(out.phase), sentEye, sentTarget, sentProjection, eye, target,
        out.cameraCalled ? camera.flags : 0u, projectionText, out.simulationHz,
        static_cast<double>(out.delta), out.limiter, static_cast<unsigned>(request_byte_a),
        static_cast<unsigned>(request_byte_b), static_cast<unsigned>(request_byte_c),
        static_cast<unsigned>(camera_state), static_cast<unsigned>(camera_control_word),
        static_cast<unsigned>(control_block), static_cast<unsigned>(composite_kind),
        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(player_object)),
        actor != nullptr ? static_cast<double>(actor->bodyVisibility) : 0.0,
        actor != nullptr ? actor->renderFlags : 0, static_cast<unsigned long>(in.xinputResult),
        static_cast<double>(in.stick.leftX), static_cast<double>(in.stick.leftY),
        static_cast<double>(in.stick.rightX), out.pedestrianSteps, out.allocatorHealthy ? "ok" : "bad",
        static_cast<unsigned long long>(out.allocatorBlocks), static_cast<unsigned>(state17_cleanups),
        static_cast<unsigned>(first_person_record[0]), static_cast<unsigned>(first_person_record[1]),
        in.foreground ? 1 : 0, in.devices, static_cast<unsigned long>(in.present),
        static_cast<double>(out.pedestrianDistance), static_cast<unsigned>(in.buttons),
        static_cast<unsigned>(in.leftTrigger), static_cast<unsigned>(in.rightTrigger), markers);
    std::fputs(line, trace);
}

// A short-lived second device and swap chain in a window of its own, one frame presented.
bool RunSecondDevice(const RendererOptions& options, int& devices) {
    HWND window = MakeWindow(L"Corvane test game (second device)", options.width, options.height);
    if (window == nullptr) {
        return false;
    }
    Renderer second;
    char error[256] = {};
    bool ok = second.Create(window, options, error, sizeof(error));
    if (ok) {
        ++devices;
        FrameScene scene;
        ok = SUCCEEDED(second.RenderFrame(scene));
    }
    second.Destroy();
    DestroyWindow(window);
    return ok;
}

// Frame times, memory and what outlives the game's Direct3D objects, for benchmarks and soaks.
class StatsFile {
public:
    bool Open(const std::string& path) {
        file_ = std::fopen(path.c_str(), "wb");
        // A module built to count its heap allocations says so through this export.
        if (HMODULE xinput = GetModuleHandleW(L"XINPUT1_3.dll")) {
            allocations_ = reinterpret_cast<AllocationCount>(
                reinterpret_cast<void*>(GetProcAddress(xinput, "HeapAllocationCount")));
        }
        last_ = std::chrono::steady_clock::now();
        return file_ != nullptr;
    }
    ~StatsFile() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }
    // Right after the frame's Present: the time since the previous one.
    void Frame(int frame) {
        if (file_ == nullptr) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        const double ms = std::chrono::duration<double, std::milli>(now - last_).count();
        last_ = now;
        // The memory query is not free; a sample every 50 frames is enough for a trend.
        if (frame % 50 == 0) {
            PROCESS_MEMORY_COUNTERS_EX counters{};
            counters.cb = sizeof(counters);
            if (K32GetProcessMemoryInfo(GetCurrentProcess(),
                                        reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                        sizeof(counters))) {
                // Windows fills both with the commit charge; some implementations only the older field.
                privateKb_ =
                    (counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage) / 1024;
            }
        }
        SYSTEMTIME time;
        GetLocalTime(&time);
        char allocations[32] = "none";
        if (allocations_ != nullptr) {
            std::snprintf(allocations, sizeof(allocations), "%llu",
                          static_cast<unsigned long long>(allocations_()));
        }
        std::fprintf(file_, "frame=%d ms=%.3f time=%02u:%02u:%02u.%03u private_kb=%llu dll_allocations=%s\n",
                     frame, ms, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds,
                     static_cast<unsigned long long>(privateKb_), allocations);
    }
    void Teardown(int frame, const TeardownReferences& left) {
        if (file_ != nullptr && left.hadDevice) {
            std::fprintf(file_, "teardown frame=%d swap_chain=%lu device=%lu context=%lu\n", frame,
                         left.swapChain, left.device, left.context);
        }
    }

private:
    using AllocationCount = unsigned long long(__cdecl*)();
    std::FILE* file_ = nullptr;
    AllocationCount allocations_ = nullptr;
    std::chrono::steady_clock::time_point last_;
    SIZE_T privateKb_ = 0;
};

// A fault the game does not handle ends it with a message and a distinct exit code rather
// than waiting for a debugger.
LONG WINAPI ReportUnhandled(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "testgame: unhandled exception 0x%08lX at %p\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
                 info->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    ExitProcess(3);
}

} // namespace

int main(int argc, char** argv) {
    SetUnhandledExceptionFilter(ReportUnhandled);
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "testgame: %s\n%s", error.c_str(), OptionsHelp());
        return 64;
    }
    if (options.help) {
        std::printf("%svariants:\n%s", OptionsHelp(), VariantList().c_str());
        return 0;
    }
    if (options.printTimeline) {
        std::fputs(DefaultTimeline(), stdout);
        return 0;
    }
    CallVariants calls;
    if (!ApplyVariant(options.variant, calls, error)) {
        std::fprintf(stderr, "testgame: %s\n", error.c_str());
        return 64;
    }
    if (options.selfCheck) {
        return RunSelfCheck() == 0 ? 0 : 1;
    }

    std::string timelineText = DefaultTimeline();
    if (!options.timelinePath.empty() && !ReadFile(options.timelinePath, timelineText)) {
        std::fprintf(stderr, "testgame: cannot read timeline %s\n", options.timelinePath.c_str());
        return 66;
    }
    std::vector<TimelineEvent> events;
    if (!ParseTimeline(timelineText, events, error)) {
        std::fprintf(stderr, "testgame: %s\n", error.c_str());
        return 65;
    }
    std::FILE* trace = nullptr;
    if (!options.tracePath.empty() && (trace = std::fopen(options.tracePath.c_str(), "wb")) == nullptr) {
        std::fprintf(stderr, "testgame: cannot write trace %s\n", options.tracePath.c_str());
        return 73;
    }

    StatsFile stats;
    if (!options.statsPath.empty() && !stats.Open(options.statsPath)) {
        std::fprintf(stderr, "testgame: cannot write stats %s\n", options.statsPath.c_str());
        return 73;
    }

    HWND window = MakeWindow(L"Corvane test game", options.width, options.height);
    HWND focusThief = MakeWindow(L"Corvane test game (other window)", 160, 120);
    if (window == nullptr || focusThief == nullptr) {
        std::fprintf(stderr, "testgame: cannot create the window\n");
        return 70;
    }
    ShowWindow(focusThief, SW_HIDE);
    SetForegroundWindow(window);

    RendererOptions rendererOptions;
    rendererOptions.width = options.width;
    rendererOptions.height = options.height;
    rendererOptions.msaa = options.msaa;
    rendererOptions.vsync = options.vsync;
    rendererOptions.upload = UploadKind(options.upload);
    Renderer renderer;
    char rendererError[512] = {};
    if (!renderer.Create(window, rendererOptions, rendererError, sizeof(rendererError))) {
        std::fprintf(stderr, "testgame: %s\n", rendererError);
        return 70;
    }
    int devices = 1;
    std::printf("testgame: HUD vertex shader %s\n", renderer.HudShaderIdentified()
                                                        ? "created from the 1072-byte container"
                                                        : "created as compiled");
    XINPUT_CAPABILITIES capabilities{};
    const DWORD capabilitiesResult = XInputGetCapabilities(0, XINPUT_FLAG_GAMEPAD, &capabilities);
    std::printf("testgame: pad 0 capabilities result %lu\n", static_cast<unsigned long>(capabilitiesResult));

    GameWorld world;
    if (!world.Init(options.width, options.height, calls)) {
        std::fprintf(stderr, "testgame: cannot allocate the world\n");
        return 70;
    }

    int presented = 0, unhealthy = 0, failures = 0;
    size_t nextEvent = 0;
    for (int frame = 0; frame < options.frames; ++frame) {
        // The cap holds the frame's end back, whichever way the loop body leaves.
        struct FrameCap {
            std::chrono::steady_clock::time_point end;
            ~FrameCap() { std::this_thread::sleep_until(end); }
        } cap{std::chrono::steady_clock::now() + std::chrono::milliseconds(options.minFrameMs)};
        if (!PumpMessages()) {
            break;
        }
        for (; nextEvent < events.size() && events[nextEvent].frame <= frame; ++nextEvent) {
            const TimelineEvent& event = events[nextEvent];
            switch (event.kind) {
            case EventKind::FocusLoss:
                ShowWindow(focusThief, SW_SHOW);
                SetForegroundWindow(focusThief);
                break;
            case EventKind::FocusGain:
                ShowWindow(focusThief, SW_HIDE);
                SetForegroundWindow(window);
                break;
            case EventKind::RecreateDevice:
                stats.Teardown(frame, renderer.Destroy());
                if (renderer.Create(window, rendererOptions, rendererError, sizeof(rendererError))) {
                    ++devices;
                } else {
                    std::fprintf(stderr, "testgame: frame %d: %s\n", frame, rendererError);
                    ++failures;
                }
                break;
            case EventKind::SecondDevice:
                if (!RunSecondDevice(rendererOptions, devices)) {
                    std::fprintf(stderr, "testgame: frame %d: the second device failed\n", frame);
                    ++failures;
                }
                break;
            default:
                world.Apply(event);
                break;
            }
            // Cutscenes rumble the pad until play resumes.
            if (event.kind == EventKind::Cutscene || event.kind == EventKind::Gameplay) {
                XINPUT_VIBRATION vibration{};
                vibration.wLeftMotorSpeed = event.kind == EventKind::Cutscene ? 20000 : 0;
                vibration.wRightMotorSpeed = vibration.wLeftMotorSpeed;
                XInputSetState(0, &vibration);
            }
        }
        PumpMessages();

        XINPUT_STATE pad{};
        const DWORD xinputResult = XInputGetState(0, &pad);
        StickInput stick;
        if (xinputResult == ERROR_SUCCESS) {
            stick.leftX = Axis(pad.Gamepad.sThumbLX, XINPUT_GAMEPAD_LEFT_THUMB_DEADZONE);
            stick.leftY = Axis(pad.Gamepad.sThumbLY, XINPUT_GAMEPAD_LEFT_THUMB_DEADZONE);
            stick.rightX = Axis(pad.Gamepad.sThumbRX, XINPUT_GAMEPAD_RIGHT_THUMB_DEADZONE);
        }

        const FrameOutcome outcome = world.Step(stick);
        char dumpPath[MAX_PATH] = {};
        const bool dump = std::find(options.dumpFrames.begin(), options.dumpFrames.end(), frame) !=
                          options.dumpFrames.end();
        if (dump) {
            std::snprintf(dumpPath, sizeof(dumpPath), "%s/frame_%05d.png", options.dumpFolder.c_str(), frame);
        }
        bool dumped = false;
        // A slow frame, as a loading hitch makes one, between the camera and the Present.
        for (size_t e = 0; e < nextEvent; ++e) {
            if (events[e].frame == frame && events[e].kind == EventKind::Hitch) {
                Sleep(events[e].args[0]);
            }
        }
        const HRESULT present = renderer.RenderFrame(outcome.scene, dump ? dumpPath : nullptr, &dumped);
        if (dump && !dumped) {
            std::fprintf(stderr, "testgame: frame %d: could not write %s\n", frame, dumpPath);
            ++failures;
        }
        stats.Frame(frame);
        presented += present == S_OK ? 1 : 0;
        unhealthy += outcome.allocatorHealthy ? 0 : 1;
        if (trace != nullptr) {
            WriteTraceLine(trace,
                           {frame, &outcome, xinputResult, stick, pad.Gamepad.wButtons,
                            pad.Gamepad.bLeftTrigger, pad.Gamepad.bRightTrigger,
                            GetForegroundWindow() == window, devices, present},
                           kFrameScratchSize);
        }
    }
    if (trace != nullptr) {
        std::fclose(trace);
    }
    stats.Teardown(options.frames, renderer.Destroy());
    std::printf("testgame: %d frames, %d presented, %d with an unhealthy allocator, %d failed events\n",
                options.frames, presented, unhealthy, failures);
    return presented == options.frames && unhealthy == 0 && failures == 0 ? 0 : 2;
}
