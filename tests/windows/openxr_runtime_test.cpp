// The active OpenXR runtime found, loaded and negotiated with as the loader does it: through
// XR_RUNTIME_JSON and through the registry value a runtime installer writes, in front of a
// runtime library that only negotiates (beside this program) and of manifests that are missing,
// broken or point nowhere.
#include "vr/openxr_runtime_win32.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <string>

namespace corvane {
namespace {

constexpr wchar_t kKhronosKey[] = L"SOFTWARE\\Khronos\\OpenXR\\1";

std::string Narrow(const std::wstring& wide) {
    return std::string(wide.begin(), wide.end()); // the test folders are ASCII
}

// This program's folder, whole.
std::wstring WideFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

std::string Folder() {
    return Narrow(WideFolder());
}

std::string WriteManifest(const std::string& name, const std::string& text) {
    const std::string path = Folder() + "\\" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string Manifest(const std::string& libraryPath) {
    std::string escaped;
    for (const char c : libraryPath) {
        escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    return R"({"file_format_version": "1.0.0", "runtime": {"name": "Negotiation only", "library_path": ")" +
           escaped + "\"}}";
}

bool SetActiveRuntime(const std::wstring& value, DWORD type) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKhronosKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG result =
        RegSetValueExW(key, L"ActiveRuntime", 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

void ClearActiveRuntime() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKhronosKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key) ==
        ERROR_SUCCESS) {
        RegDeleteValueW(key, L"ActiveRuntime");
        RegCloseKey(key);
    }
}

class OpenXrRuntimeTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        SetEnvironmentVariableW(L"XR_RUNTIME_JSON", nullptr);
        SetEnvironmentVariableW(L"XR_TEST_NEGOTIATION", nullptr);
        ClearActiveRuntime();
    }
    static bool RuntimeModuleLoaded() { return GetModuleHandleW(L"xr_test_runtime.dll") != nullptr; }
};

TEST_F(OpenXrRuntimeTest, TheEnvironmentsManifestNamesALibraryBesideIt) {
    const std::string manifest = WriteManifest("env_runtime.json", Manifest("xr_test_runtime.dll"));
    SetEnvironmentVariableW(L"XR_RUNTIME_JSON", std::wstring(manifest.begin(), manifest.end()).c_str());
    OpenXrRuntimeLibrary runtime;
    std::string reason;
    ASSERT_TRUE(runtime.Load(ReadOpenXrRuntimeSources(), reason)) << reason;
    EXPECT_STREQ("XR_RUNTIME_JSON", runtime.Location().source);
    EXPECT_EQ(Folder() + "\\xr_test_runtime.dll", runtime.Location().libraryPath);
    EXPECT_EQ("Negotiation only", runtime.Location().name);
    EXPECT_EQ((uint64_t{1} << 48) | 53, runtime.ApiVersion());
    // The procedure address is the runtime's own.
    ASSERT_NE(nullptr, runtime.GetInstanceProcAddr());
    void (*function)() = reinterpret_cast<void (*)()>(&Reset);
    EXPECT_EQ(-7, runtime.GetInstanceProcAddr()(nullptr, "xrCreateInstance", &function));
    EXPECT_EQ(nullptr, function);
    EXPECT_TRUE(RuntimeModuleLoaded());
    runtime.Unload();
    EXPECT_FALSE(RuntimeModuleLoaded());
}

TEST_F(OpenXrRuntimeTest, TheRegistryNamesTheRuntimeAsAnInstallerRegistersIt) {
    const std::string manifest =
        WriteManifest("registry_runtime.json", Manifest(Folder() + "\\xr_test_runtime.dll"));
    ASSERT_TRUE(SetActiveRuntime(std::wstring(manifest.begin(), manifest.end()), REG_SZ));
    OpenXrRuntimeLibrary runtime;
    std::string reason;
    ASSERT_TRUE(runtime.Load(ReadOpenXrRuntimeSources(), reason)) << reason;
    EXPECT_STREQ("the registry's ActiveRuntime", runtime.Location().source);
    EXPECT_EQ(manifest, runtime.Location().manifestPath);

    // A value with a variable in it is expanded.
    SetEnvironmentVariableW(L"CORVANE_XR_FOLDER", WideFolder().c_str());
    ASSERT_TRUE(SetActiveRuntime(L"%CORVANE_XR_FOLDER%\\registry_runtime.json", REG_EXPAND_SZ));
    const RuntimeLookupSources sources = ReadOpenXrRuntimeSources();
    ASSERT_TRUE(sources.registryManifest.has_value());
    EXPECT_EQ(manifest, *sources.registryManifest);

    // XR_RUNTIME_JSON comes first, even when it leads nowhere.
    SetEnvironmentVariableW(L"XR_RUNTIME_JSON", L"C:\\nowhere\\runtime.json");
    EXPECT_FALSE(runtime.Load(ReadOpenXrRuntimeSources(), reason));
    EXPECT_EQ("The OpenXR runtime manifest C:\\nowhere\\runtime.json (from XR_RUNTIME_JSON) cannot be read",
              reason);
    EXPECT_FALSE(runtime.Loaded());
}

TEST_F(OpenXrRuntimeTest, EveryRuntimeThatCannotBeUsedIsNamedAndNothingStaysLoaded) {
    const std::string good = WriteManifest("good.json", Manifest("xr_test_runtime.dll"));
    const std::string broken = WriteManifest(
        "broken.json", R"({"file_format_version": "1.0.0", "runtime": {"library_path": "x.dll")");
    const std::string nowhere = WriteManifest("nowhere.json", Manifest("missing_runtime.dll"));
    const std::string noExport =
        WriteManifest("no_export.json", Manifest("C:\\windows\\system32\\kernel32.dll"));
    const std::string library = Folder() + "\\xr_test_runtime.dll";
    const struct {
        const std::string* manifest;
        const wchar_t* negotiation;
        std::string reason;
    } cases[] = {
        {nullptr, nullptr,
         "No OpenXR runtime is registered (no ActiveRuntime in the registry, no XR_RUNTIME_JSON)"},
        {&broken, nullptr,
         "The OpenXR runtime manifest " + broken + " (from XR_RUNTIME_JSON) is not valid JSON"},
        {&nowhere, nullptr,
         "The OpenXR runtime library " + Folder() + "\\missing_runtime.dll named by " + nowhere +
             " cannot be loaded (error 126)"},
        {&noExport, nullptr,
         "The OpenXR runtime C:\\windows\\system32\\kernel32.dll has no xrNegotiateLoaderRuntimeInterface"},
        {&good, L"refuse", "The OpenXR runtime " + library + " refused the loader negotiation (result -6)"},
        {&good, L"interface2",
         "The OpenXR runtime " + library + " answered loader interface version 2, not 1"},
        {&good, L"api2", "The OpenXR runtime " + library + " answered API version 2.0.0, not 1.x"},
        {&good, L"no-proc", "The OpenXR runtime " + library + " answered no xrGetInstanceProcAddr"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        Reset();
        if (c.manifest != nullptr) {
            SetEnvironmentVariableW(L"XR_RUNTIME_JSON",
                                    std::wstring(c.manifest->begin(), c.manifest->end()).c_str());
        }
        SetEnvironmentVariableW(L"XR_TEST_NEGOTIATION", c.negotiation);
        OpenXrRuntimeLibrary runtime;
        std::string reason;
        EXPECT_FALSE(runtime.Load(ReadOpenXrRuntimeSources(), reason));
        EXPECT_EQ(c.reason, reason);
        EXPECT_FALSE(runtime.Loaded());
        EXPECT_FALSE(RuntimeModuleLoaded()) << "a refused runtime is unloaded";
    }
}

} // namespace
} // namespace corvane
