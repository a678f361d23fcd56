// The stand-in game judged from its own side: its self-check against the supported build's
// contracts, the variants that each change one contract, and its built-in and file timelines
// run for real under Wine with Wine's own XInput, read back through the per-frame trace.
#include <gtest/gtest.h>

#include <windows.h>
// The GUIDs of the imaging component are defined here rather than taken from an import library.
#include <initguid.h>
#include <wincodec.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace {

std::wstring Folder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

struct GameRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output; // stdout and stderr together
};

std::string ReadText(const std::string& name);

// Runs testgame.exe from this test's folder with the given arguments and waits for it (two
// minutes at most; a game still running then is ended and reported as exit code 0xDEAD).
GameRun RunGame(const std::string& arguments) {
    GameRun run;
    const std::wstring folder = Folder();
    // A file of its own per run and test process, so no other run's handle can stand in the way.
    static int runs = 0;
    const std::string outputName =
        "game_output_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++runs) + ".txt";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE output =
        CreateFileW((folder + Widen(outputName)).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
        return run;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring command = L"\"" + folder + L"testgame.exe\" " + Widen(arguments);
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        folder.c_str(), &startup, &process);
    CloseHandle(output);
    if (!started) {
        return run;
    }
    if (WaitForSingleObject(process.hProcess, 120000) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 0xDEAD);
        WaitForSingleObject(process.hProcess, 10000);
    }
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    run.output = ReadText(outputName);
    return run;
}

std::string ReadText(const std::string& name) {
    std::string text;
    std::FILE* file = _wfopen((Folder() + Widen(name)).c_str(), L"rb");
    if (file == nullptr) {
        return text;
    }
    char chunk[4096];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) {
        text.append(chunk, got);
    }
    std::fclose(file);
    return text;
}

void WriteText(const std::string& name, const std::string& text) {
    std::FILE* file = _wfopen((Folder() + Widen(name)).c_str(), L"wb");
    ASSERT_NE(nullptr, file);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

using TraceLine = std::map<std::string, std::string>;

std::vector<TraceLine> ReadTrace(const std::string& name) {
    std::vector<TraceLine> lines;
    const std::string text = ReadText(name);
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        TraceLine fields;
        size_t pos = 0;
        while (pos < line.size()) {
            const size_t space = line.find(' ', pos);
            const std::string field = line.substr(pos, space - pos);
            const size_t equals = field.find('=');
            if (equals != std::string::npos) {
                fields[field.substr(0, equals)] = field.substr(equals + 1);
            }
            pos = space == std::string::npos ? line.size() : space + 1;
        }
        lines.push_back(fields);
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

// Every key the trace promises, in every line.
const char* const kTraceKeys[] = {
    "frame",         "phase",          "sent_eye",     "sent_target", "sent_angle",   "sent_aspect",
    "eye",           "target",         "camera_flags", "proj_angle",  "proj_deg",     "aspect",
    "sim_hz",        "delta",          "limiter",      "request",     "camera_state", "camera_control",
    "control_block", "composite_kind", "player",       "body",        "xinput",       "stick",
    "ped_steps",     "alloc",          "alloc_blocks", "cleanups",    "fp_record",    "foreground",
    "devices",       "present",        "ped_distance", "buttons",     "triggers",     "marker_far",
    "marker_near",   "marker_side"};

// The markers' world centres as the trace writes them.
constexpr char kMarkerFar[] = "-5.2500,6.0000,-97.0000";
constexpr char kMarkerNear[] = "0.0000,1.4500,5.3750";
constexpr char kMarkerSide[] = "5.2500,2.4000,-0.7500";

struct Picture {
    UINT width = 0;
    UINT height = 0;
    std::vector<uint8_t> rgba;
};

// Decodes one of the game's PNG dumps through the system's imaging component.
Picture ReadPicture(const std::string& name) {
    Picture picture;
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IWICImagingFactory* factory = nullptr;
    IWICBitmapDecoder* decoder = nullptr;
    IWICBitmapFrameDecode* frame = nullptr;
    IWICFormatConverter* converter = nullptr;
    const std::wstring path = Folder() + Widen(name);
    bool ok = SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_PPV_ARGS(&factory))) &&
              SUCCEEDED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                           WICDecodeMetadataCacheOnDemand, &decoder)) &&
              SUCCEEDED(decoder->GetFrame(0, &frame)) &&
              SUCCEEDED(factory->CreateFormatConverter(&converter)) &&
              SUCCEEDED(converter->Initialize(frame, GUID_WICPixelFormat32bppRGBA, WICBitmapDitherTypeNone,
                                              nullptr, 0, WICBitmapPaletteTypeCustom)) &&
              SUCCEEDED(converter->GetSize(&picture.width, &picture.height));
    if (ok) {
        picture.rgba.resize(size_t(picture.width) * picture.height * 4);
        ok = SUCCEEDED(converter->CopyPixels(nullptr, picture.width * 4,
                                             static_cast<UINT>(picture.rgba.size()), picture.rgba.data()));
    }
    for (IUnknown* object : std::initializer_list<IUnknown*>{converter, frame, decoder, factory}) {
        if (object != nullptr) {
            object->Release();
        }
    }
    if (SUCCEEDED(init)) {
        CoUninitialize();
    }
    if (!ok) {
        ADD_FAILURE() << "cannot decode " << name;
        picture = {};
    }
    return picture;
}

// Where the texels of exactly one colour lie: their count, bounding box and centroid (pixel
// centres at +0.5).
struct ColourRegion {
    size_t count = 0;
    UINT left = 0, top = 0, right = 0, bottom = 0; // inclusive
    double x = 0, y = 0;
};

ColourRegion FindColour(const Picture& picture, uint8_t r, uint8_t g, uint8_t b) {
    ColourRegion region;
    double sumX = 0, sumY = 0;
    for (UINT y = 0; y < picture.height; ++y) {
        for (UINT x = 0; x < picture.width; ++x) {
            const uint8_t* texel = &picture.rgba[(size_t(y) * picture.width + x) * 4];
            if (texel[0] != r || texel[1] != g || texel[2] != b) {
                continue;
            }
            if (region.count == 0) {
                region.left = region.right = x;
                region.top = region.bottom = y;
            }
            region.left = std::min(region.left, x);
            region.right = std::max(region.right, x);
            region.top = std::min(region.top, y);
            region.bottom = std::max(region.bottom, y);
            sumX += x + 0.5;
            sumY += y + 0.5;
            ++region.count;
        }
    }
    if (region.count > 0) {
        region.x = sumX / double(region.count);
        region.y = sumY / double(region.count);
    }
    return region;
}

TEST(TestGameSelfCheck, PassesOnTheBuiltImage) {
    const GameRun run = RunGame("--self-check");
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("self-check passed (0 failures)")) << run.output;
}

// Each variant changes one contract, and the self-check names exactly that one.
TEST(TestGameSelfCheck, EachVariantFailsExactlyItsOwnCheck) {
    const struct {
        const char* variant;
        const char* failure;
    } cases[] = {
        {"limiter-compare", "limiter signature and store at RVA 0x24C169"},
        {"gate-xor", "pedestrian gate at RVA 0x13FF50"},
        {"camera-entry", "final camera entry at RVA 0x24D7D0"},
        {"projection-entry", "projection entry at RVA 0x24F980"},
        {"allocator-entry", "allocator entry at RVA 0x290BA0"},
        {"time-date-stamp", "TimeDateStamp 0x5BE4DE30"},
        {"size-of-image", "SizeOfImage 0x0A01B000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variant);
        const GameRun run = RunGame(std::string("--variant ") + c.variant + " --self-check");
        EXPECT_EQ(1u, run.exitCode) << run.output;
        EXPECT_NE(std::string::npos, run.output.find(std::string("self-check FAILED: ") + c.failure))
            << run.output;
        EXPECT_NE(std::string::npos, run.output.find("self-check failed (1 failure)")) << run.output;
    }
}

TEST(TestGameOptions, RefusesABadTimelineAndAnUnknownVariant) {
    WriteText("bad_timeline.txt", "0 gameplay\n5 cutscene 14 2 1\n");
    GameRun run = RunGame("--timeline bad_timeline.txt --frames 2");
    EXPECT_EQ(65u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("timeline line 2")) << run.output;
    run = RunGame("--variant no-such-variant --frames 2");
    EXPECT_EQ(64u, run.exitCode) << run.output;
}

// The built-in timeline: gameplay, a cutscene closed by writer 2 with kind 2 and reopened by
// writer 1, gameplay, the menu without the gameplay camera, gameplay again. Nothing asks
// for 60 Hz, so the game runs at 30 Hz throughout.
TEST(TestGameRun, DefaultTimelineShowsTheScriptedScenesAt30Hz) {
    const GameRun run = RunGame("--trace default_trace.txt");
    ASSERT_EQ(0u, run.exitCode) << run.output;
    // Wine takes the HUD shader in the game's container (it does not check the checksum).
    EXPECT_NE(std::string::npos, run.output.find("HUD vertex shader created from the 1072-byte container"))
        << run.output;
    const std::vector<TraceLine> trace = ReadTrace("default_trace.txt");
    ASSERT_EQ(200u, trace.size());
    // The marker keys come last, after every older key, in this order.
    const std::string text = ReadText("default_trace.txt");
    const std::string first = text.substr(0, text.find('\n'));
    const std::string tail = std::string(" marker_far=") + kMarkerFar + " marker_near=" + kMarkerNear +
                             " marker_side=" + kMarkerSide;
    ASSERT_GT(first.size(), tail.size());
    EXPECT_EQ(tail, first.substr(first.size() - tail.size())) << first;
    EXPECT_NE(std::string::npos, first.find(" triggers=0,0 marker_far=")) << first;
    uint64_t previousSteps = 0;
    double previousDistance = 0;
    for (size_t frame = 0; frame < trace.size(); ++frame) {
        const TraceLine& line = trace[frame];
        SCOPED_TRACE(frame);
        for (const char* key : kTraceKeys) {
            ASSERT_EQ(1u, line.count(key)) << key;
        }
        EXPECT_EQ(std::to_string(frame), line.at("frame"));
        EXPECT_EQ("0x00000000", line.at("present"));
        EXPECT_EQ("30", line.at("sim_hz"));
        EXPECT_EQ("0.033333", line.at("delta"));
        EXPECT_EQ("0,0,0", line.at("request"));
        EXPECT_EQ("ok", line.at("alloc"));
        EXPECT_EQ("3", line.at("alloc_blocks"));
        EXPECT_EQ("1", line.at("devices"));
        // The markers stand still and are written on every line, menu frames included.
        EXPECT_EQ(kMarkerFar, line.at("marker_far"));
        EXPECT_EQ(kMarkerNear, line.at("marker_near"));
        EXPECT_EQ(kMarkerSide, line.at("marker_side"));
        const std::string xinput = line.at("xinput");
        EXPECT_TRUE(xinput == "0" || xinput == "1167") << xinput; // Wine's XInput: a pad or none

        const char* phase = frame < 60    ? "gameplay"
                            : frame < 100 ? "cutscene"
                            : frame < 130 ? "gameplay"
                            : frame < 160 ? "menu"
                                          : "gameplay";
        EXPECT_EQ(phase, line.at("phase"));
        EXPECT_EQ(frame >= 60 && frame < 90 ? "1" : "0", line.at("control_block"));
        EXPECT_EQ(frame >= 60 ? "2" : "0", line.at("composite_kind"));
        EXPECT_EQ(frame >= 60 && frame < 100 ? "5" : "0", line.at("camera_state"));
        const std::string p = line.at("phase");
        if (p == "gameplay") {
            // Third person behind the player standing at (0, 0, 8), looking down -z.
            EXPECT_EQ("0.0000,3.0000,14.0000", line.at("eye"));
            EXPECT_EQ(line.at("sent_eye"), line.at("eye")); // nothing stands between game and function
            EXPECT_EQ(line.at("sent_target"), line.at("target"));
            EXPECT_EQ(line.at("sent_angle"), line.at("proj_angle"));
            EXPECT_EQ(line.at("sent_aspect"), line.at("aspect"));
            EXPECT_EQ("0.0000,1.5000,6.0000", line.at("target"));
            EXPECT_EQ("10923", line.at("proj_angle"));
            EXPECT_EQ("1.777778", line.at("aspect"));
            EXPECT_EQ("1", line.at("camera_flags"));
        } else if (p == "cutscene") {
            EXPECT_EQ("0.0000,1.0000,0.0000", line.at("target"));
            EXPECT_EQ("none", line.at("proj_angle")); // the cutscene builds its own projection
            EXPECT_EQ("2", line.at("camera_flags"));
        } else {
            EXPECT_EQ("none", line.at("eye"));
            EXPECT_EQ("none", line.at("sent_eye"));
            EXPECT_EQ("none", line.at("proj_angle"));
        }
        // Eight pedestrians step once a frame, except behind the menu.
        const uint64_t steps = std::strtoull(line.at("ped_steps").c_str(), nullptr, 10);
        EXPECT_EQ(previousSteps + (p == "menu" ? 0 : 8), steps);
        previousSteps = steps;
        // Their speed factors 0.8, 0.9, 1.0, 1.1 twice over, 0.04 units a step each at 30 Hz.
        const double distance = std::strtod(line.at("ped_distance").c_str(), nullptr);
        EXPECT_NEAR(previousDistance + (p == "menu" ? 0.0 : 0.304), distance, 0.0005);
        previousDistance = distance;
    }
}

// The same short run unchanged and with each variant: the game behaves the same.
TEST(TestGameRun, VariantsBehaveLikeTheUnchangedGame) {
    ASSERT_EQ(0u, RunGame("--frames 8 --trace variant_base.txt").exitCode);
    const std::string base = ReadText("variant_base.txt");
    ASSERT_FALSE(base.empty());
    for (const char* variant :
         {"limiter-compare", "gate-xor", "camera-entry", "projection-entry", "allocator-entry",
          "camera-call-site", "projection-call-site", "time-date-stamp", "size-of-image"}) {
        SCOPED_TRACE(variant);
        const GameRun run = RunGame(std::string("--frames 8 --trace variant_run.txt --variant ") + variant);
        EXPECT_EQ(0u, run.exitCode) << run.output;
        EXPECT_EQ(base, ReadText("variant_run.txt"));
    }
}

// The test events of a timeline file, each seen from the game's side in the trace.
TEST(TestGameRun, TimelineFileEventsReachTheGame) {
    WriteText("events_timeline.txt", "# test events\n"
                                     "0 gameplay\n"
                                     "3 camera-state 17\n"
                                     "5 camera-state 0\n"
                                     "6 player-replace\n"
                                     "8 player-clear\n"
                                     "10 player-restore\n"
                                     "12 recreate-device\n"
                                     "14 second-device\n"
                                     "16 focus-loss\n"
                                     "18 focus-gain\n"
                                     "20 request-60\n"
                                     "22 cutscene 13 3 9\n"
                                     "24 reopen 11\n"
                                     "26 gameplay\n");
    const GameRun run = RunGame("--timeline events_timeline.txt --frames 28 --trace events_trace.txt");
    ASSERT_EQ(0u, run.exitCode) << run.output;
    const std::vector<TraceLine> t = ReadTrace("events_trace.txt");
    ASSERT_EQ(28u, t.size());
    for (const TraceLine& line : t) {
        EXPECT_EQ("0x00000000", line.at("present")) << line.at("frame");
        EXPECT_EQ("30", line.at("sim_hz")) << line.at("frame");
        EXPECT_EQ("ok", line.at("alloc")) << line.at("frame");
    }
    // The game's own first-person camera: eye at head height, body hidden by the game.
    EXPECT_EQ("17", t[3].at("camera_state"));
    EXPECT_EQ("0.0000,1.7000,8.0000", t[3].at("eye"));
    EXPECT_EQ("0.00,0x01", t[3].at("body"));
    EXPECT_EQ("17,2", t[4].at("fp_record"));
    EXPECT_EQ("1.00,0x05", t[5].at("body"));
    // Player object replaced, cleared and restored.
    EXPECT_NE(t[5].at("player"), t[6].at("player"));
    EXPECT_NE("0x0", t[6].at("player"));
    EXPECT_EQ("0x0", t[8].at("player"));
    EXPECT_EQ("0x0", t[9].at("player"));
    EXPECT_EQ(t[7].at("player"), t[10].at("player"));
    // A re-created device, then a second one beside it.
    EXPECT_EQ("1", t[11].at("devices"));
    EXPECT_EQ("2", t[12].at("devices"));
    EXPECT_EQ("3", t[14].at("devices"));
    // Focus lost to another window and taken back.
    EXPECT_EQ("1", t[15].at("foreground"));
    EXPECT_EQ("0", t[16].at("foreground"));
    EXPECT_EQ("1", t[18].at("foreground"));
    // The game's own 60 Hz request is dropped by the limiter store before the rate is chosen.
    EXPECT_EQ("2", t[20].at("limiter"));
    EXPECT_EQ("0,1,0", t[20].at("request"));
    EXPECT_EQ("0.033333", t[20].at("delta"));
    EXPECT_EQ("1", t[21].at("limiter"));
    // Writer 13 (EBP) closes the control block with 9 under kind 3; writer 11 (EDX) reopens it.
    EXPECT_EQ("cutscene", t[22].at("phase"));
    EXPECT_EQ("9", t[22].at("control_block"));
    EXPECT_EQ("3", t[22].at("composite_kind"));
    EXPECT_EQ("9", t[23].at("control_block"));
    EXPECT_EQ("0", t[24].at("control_block"));
    EXPECT_EQ("gameplay", t[26].at("phase"));
    EXPECT_EQ("0", t[26].at("camera_state"));
}

// The game's own first-person view at the spawn, without and with MSAA: each marker is one solid
// rectangle of its exact colour (nothing else has it), centred where the camera's projection
// puts the marker's centre. Centres and sizes in pixels of the 640 x 360 picture worked out by
// hand from the eye (0, 1.7, 8) looking down -z, a 60-degree vertical field and aspect 16:9.
TEST(TestGameRun, TimelineFileFirstPersonSpawnShowsEachMarkerInItsColour) {
    WriteText("spawn_timeline.txt", "0 gameplay\n0 camera-state 17\n");
    const struct {
        const char* name;
        uint8_t r, g, b;
        double x, y, size;
    } markers[] = {
        {"far", 255, 0, 255, 304.41, 167.23, 15.59},
        {"near", 0, 255, 255, 320.00, 209.69, 20.78},
        {"side", 255, 255, 0, 507.06, 155.06, 24.94},
    };
    for (const char* msaa : {"1", "4"}) {
        SCOPED_TRACE(std::string("msaa ") + msaa);
        const std::string folder = std::string("spawn_msaa") + msaa;
        CreateDirectoryW((Folder() + Widen(folder)).c_str(), nullptr);
        const GameRun run = RunGame(std::string("--timeline spawn_timeline.txt --frames 3 --dump 2 --msaa ") +
                                    msaa + " --trace " + folder + "/trace.txt --dump-folder " + folder);
        ASSERT_EQ(0u, run.exitCode) << run.output;
        const std::vector<TraceLine> trace = ReadTrace(folder + "/trace.txt");
        ASSERT_EQ(3u, trace.size());
        ASSERT_EQ("0.0000,1.7000,8.0000", trace[2].at("eye"));
        ASSERT_EQ("0.0000,1.7000,-2.0000", trace[2].at("target"));
        const Picture picture = ReadPicture(folder + "/frame_00002.png");
        ASSERT_EQ(640u, picture.width);
        ASSERT_EQ(360u, picture.height);
        for (const auto& m : markers) {
            SCOPED_TRACE(m.name);
            const ColourRegion region = FindColour(picture, m.r, m.g, m.b);
            ASSERT_GT(region.count, 0u);
            const UINT width = region.right - region.left + 1, height = region.bottom - region.top + 1;
            EXPECT_EQ(size_t(width) * height, region.count); // one solid rectangle, no stray texels
            EXPECT_NEAR(m.size, width, 2.0);
            EXPECT_NEAR(m.size, height, 2.0);
            EXPECT_NEAR(m.x, region.x, 0.75);
            EXPECT_NEAR(m.y, region.y, 0.75);
        }
    }
}

// The three camera-buffer upload paths draw the same picture; MSAA presents and resolves.
TEST(TestGameRun, UploadPathsDrawTheSamePicture) {
    std::string pictures[3];
    const char* uploads[3] = {"map", "update", "deferred"};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(uploads[i]);
        const std::string folder = std::string("upload_") + uploads[i];
        CreateDirectoryW((Folder() + Widen(folder)).c_str(), nullptr);
        const GameRun run =
            RunGame(std::string("--frames 4 --dump 3 --upload ") + uploads[i] + " --dump-folder " + folder);
        EXPECT_EQ(0u, run.exitCode) << run.output;
        pictures[i] = ReadText(folder + "/frame_00003.png");
        EXPECT_GT(pictures[i].size(), 1000u);
    }
    EXPECT_EQ(pictures[0], pictures[1]);
    EXPECT_EQ(pictures[0], pictures[2]);

    CreateDirectoryW((Folder() + L"msaa").c_str(), nullptr);
    const GameRun run =
        RunGame("--frames 4 --dump 3 --msaa 4 --vsync --width 320 --height 200 --dump-folder msaa");
    EXPECT_EQ(0u, run.exitCode) << run.output;
    const std::string picture = ReadText("msaa/frame_00003.png");
    ASSERT_GT(picture.size(), 24u);
    // PNG header: width and height, big-endian, at bytes 16 and 20.
    EXPECT_EQ(std::string("\x00\x00\x01\x40\x00\x00\x00\xC8", 8), picture.substr(16, 8));
}

} // namespace
