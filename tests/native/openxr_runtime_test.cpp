#include "vr/openxr_negotiation.h"
#include "vr/openxr_runtime_location.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace corvane {
namespace {

TEST(RuntimeManifestTest, TheLibraryPathAndNameAreReadFromValidManifests) {
    struct Case {
        const char* name;
        std::string text;
        const char* libraryPath;
        const char* runtimeName;
    };
    const Case cases[] = {
        {"minimal", R"({"file_format_version":"1.0.0","runtime":{"library_path":"rt.dll"}})", "rt.dll", ""},
        {"byte-order mark and spacing",
         "\xEF\xBB\xBF {\n\t\"file_format_version\" : \"1.0.0\" ,\r\n \"runtime\" : { \"library_path\" : "
         "\"bin/rt.dll\" , \"name\" : \"Stand-in\" } }\n",
         "bin/rt.dll", "Stand-in"},
        {"escaped separators",
         R"({"file_format_version":"1.0.0","runtime":{"library_path":"C:\\XR\\rt.dll"}})", "C:\\XR\\rt.dll",
         ""},
        {"unicode escapes",
         R"({"file_format_version":"1.0.0","runtime":{"library_path":"\u00e9\ud83d\ude00.dll"}})",
         "\xC3\xA9\xF0\x9F\x98\x80.dll", ""},
        {"other fields of every kind",
         R"({"file_format_version":"1.0.0","note":"a\nb","runtime":{"name":"A","library_path":"x.dll",)"
         R"("functions":{"xrNegotiateLoaderRuntimeInterface":"Neg"},"list":[1,-2.5e3,true,null,[],{}]},"n":0})",
         "x.dll", "A"},
        {"the last of a repeated key",
         R"({"file_format_version":"1.0.0","runtime":{"library_path":"a.dll",)"
         R"("library_path":"b.dll"}})",
         "b.dll", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string reason;
        const std::optional<RuntimeManifest> manifest = ParseRuntimeManifest(c.text, reason);
        ASSERT_TRUE(manifest.has_value()) << reason;
        EXPECT_EQ(c.libraryPath, manifest->libraryPath);
        EXPECT_EQ(c.runtimeName, manifest->name);
    }
}

TEST(RuntimeManifestTest, EachBrokenManifestSaysWhatIsWrong) {
    const std::string deep = std::string(100, '[') + std::string(100, ']');
    struct Case {
        std::string text;
        const char* reason;
    };
    const Case cases[] = {
        {"", "is not a JSON object"},
        {"[]", "is not a JSON object"},
        {R"({"runtime":{"library_path":"x.dll"}})", "has no file_format_version"},
        {R"({"file_format_version":"2.0.0","runtime":{"library_path":"x.dll"}})",
         "has file_format_version 2.0.0, not 1.x"},
        {R"({"file_format_version":1,"runtime":{"library_path":"x.dll"}})",
         "file_format_version is not a string"},
        {R"({"file_format_version":"1.0.0"})", "has no runtime object"},
        {R"({"file_format_version":"1.0.0","runtime":"x.dll"})", "runtime is not an object"},
        {R"({"file_format_version":"1.0.0","runtime":{"name":"x"}})", "names no runtime.library_path"},
        {R"({"file_format_version":"1.0.0","runtime":{"library_path":""}})", "names no runtime.library_path"},
        {R"({"file_format_version":"1.0.0","runtime":{"library_path":7}})",
         "runtime.library_path is not a string"},
        {R"({"file_format_version":"1.0.0","runtime":{"library_path":"a\u0000b.dll"}})",
         "has a control character in runtime.library_path"},
        {R"({"file_format_version":"1.0.0","runtime":{"library_path":"x.dll"}} {})",
         "has text after its object"},
        {R"({"file_format_version":"1.0.0","runtime":{"library_path":"x.dll)", "is not valid JSON"},
        {"{\"file_format_version\":\"1.0.0\",\"runtime\":{\"library_path\":\"x\n.dll\"}}",
         "is not valid JSON"},
        {R"({"file_format_version":"1.0.0","runtime":{"library_path":"\x.dll"}})", "is not valid JSON"},
        {R"({"file_format_version":"1.0.0","runtime":{"library_path":"\udc00.dll"}})", "is not valid JSON"},
        {R"({"file_format_version":"1.0.0","runtime":{"library_path":"x.dll"},"n":01})", "is not valid JSON"},
        {R"({"file_format_version":"1.0.0","runtime":{"library_path":"x.dll"},})", "is not valid JSON"},
        {R"({"file_format_version":"1.0.0","deep":)" + deep + "}", "nests too deeply"},
        {std::string(kMaxRuntimeManifestBytes + 1, ' '), "is too large to be a manifest"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        std::string reason;
        EXPECT_FALSE(ParseRuntimeManifest(c.text, reason).has_value());
        EXPECT_EQ(c.reason, reason);
    }
}

TEST(RuntimeManifestTest, RelativeLibraryPathsCountFromTheManifestsFolder) {
    const struct {
        const char* manifest;
        const char* library;
        const char* expected;
    } cases[] = {
        {"C:\\XR\\rt.json", "bin\\rt.dll", "C:\\XR\\bin\\rt.dll"},
        {"C:\\XR\\rt.json", ".\\rt.dll", "C:\\XR\\rt.dll"},
        {"C:/XR/rt.json", "./rt.dll", "C:/XR/rt.dll"},
        {"C:\\XR\\rt.json", "..\\other\\rt.dll", "C:\\XR\\..\\other\\rt.dll"},
        {"C:\\XR\\rt.json", "D:\\Runtime\\rt.dll", "D:\\Runtime\\rt.dll"},
        {"C:\\XR\\rt.json", "d:/runtime/rt.dll", "d:/runtime/rt.dll"},
        {"C:\\XR\\rt.json", "\\\\server\\share\\rt.dll", "\\\\server\\share\\rt.dll"},
        {"rt.json", "rt.dll", "rt.dll"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, ResolveRuntimeLibraryPath(c.manifest, c.library))
            << c.manifest << " + " << c.library;
    }
}

std::map<std::string, std::string>& Files() {
    static std::map<std::string, std::string> files;
    return files;
}

bool ReadFromFiles(const std::string& path, size_t maxBytes, std::string& text) {
    const auto found = Files().find(path);
    if (found == Files().end() || found->second.size() > maxBytes) {
        return false;
    }
    text = found->second;
    return true;
}

TEST(RuntimeManifestTest, TheEnvironmentComesBeforeTheRegistryAndEachFailureIsNamed) {
    Files() = {
        {"C:\\XR\\active.json",
         R"({"file_format_version":"1.0.0","runtime":{"library_path":"rt.dll","name":"A"}})"},
        {"C:\\Dev\\dev.json", R"({"file_format_version":"1.0.0","runtime":{"library_path":"D:\\dev.dll"}})"},
        {"C:\\XR\\broken.json", R"({"file_format_version":"1.0.0"})"},
    };
    std::string reason;
    RuntimeLookupSources sources;
    sources.registryManifest = "C:\\XR\\active.json";
    std::optional<RuntimeLocation> found = LocateOpenXrRuntime(sources, &ReadFromFiles, reason);
    ASSERT_TRUE(found.has_value()) << reason;
    EXPECT_EQ("C:\\XR\\rt.dll", found->libraryPath);
    EXPECT_EQ("A", found->name);
    EXPECT_STREQ("the registry's ActiveRuntime", found->source);

    sources.environmentManifest = "C:\\Dev\\dev.json";
    found = LocateOpenXrRuntime(sources, &ReadFromFiles, reason);
    ASSERT_TRUE(found.has_value()) << reason;
    EXPECT_EQ("D:\\dev.dll", found->libraryPath);
    EXPECT_STREQ("XR_RUNTIME_JSON", found->source);

    // An empty variable counts as unset.
    sources.environmentManifest = "";
    EXPECT_EQ("C:\\XR\\rt.dll", LocateOpenXrRuntime(sources, &ReadFromFiles, reason)->libraryPath);

    const struct {
        std::optional<std::string> registry;
        const char* reason;
    } failures[] = {
        {std::nullopt,
         "No OpenXR runtime is registered (no ActiveRuntime in the registry, no XR_RUNTIME_JSON)"},
        {std::string(),
         "No OpenXR runtime is registered (no ActiveRuntime in the registry, no XR_RUNTIME_JSON)"},
        {std::string("C:\\XR\\missing.json"), "The OpenXR runtime manifest C:\\XR\\missing.json (from the "
                                              "registry's ActiveRuntime) cannot be read"},
        {std::string("C:\\XR\\broken.json"), "The OpenXR runtime manifest C:\\XR\\broken.json (from the "
                                             "registry's ActiveRuntime) has no runtime object"},
    };
    for (const auto& f : failures) {
        RuntimeLookupSources only;
        only.registryManifest = f.registry;
        EXPECT_FALSE(LocateOpenXrRuntime(only, &ReadFromFiles, reason).has_value());
        EXPECT_EQ(f.reason, reason);
    }
}

// A runtime's side of the handshake, checking what it is offered and answering as told.
XrResultCode g_result = 0;
XrNegotiateRuntimeRequestRecord g_answer;
bool g_offerAsPublished = false;

XrResultCode ResolveNothing(void*, const char*, void (**function)()) {
    *function = nullptr;
    return -1;
}

XrResultCode ScriptedNegotiate(const XrNegotiateLoaderInfoRecord* offer,
                               XrNegotiateRuntimeRequestRecord* answer) {
    g_offerAsPublished = offer->structType == 1 && offer->structVersion == 1 && offer->structSize == 40 &&
                         offer->minInterfaceVersion == 1 && offer->maxInterfaceVersion == 1 &&
                         offer->minApiVersion == 0x0001000000000000ull &&
                         offer->maxApiVersion == 0x0001FFFFFFFFFFFFull && answer->structType == 3 &&
                         answer->structVersion == 1 && answer->structSize == 40;
    answer->runtimeInterfaceVersion = g_answer.runtimeInterfaceVersion;
    answer->runtimeApiVersion = g_answer.runtimeApiVersion;
    answer->getInstanceProcAddr = g_answer.getInstanceProcAddr;
    return g_result;
}

TEST(RuntimeNegotiationTest, OnlyAnInterface1ApiVersion1RuntimeWithAProcAddressIsAccepted) {
    const struct {
        const char* name;
        XrResultCode result;
        uint32_t interfaceVersion;
        XrVersionNumber apiVersion;
        bool procAddress;
        const char* reason; // null: accepted
    } cases[] = {
        {"1.0.34", 0, 1, 0x0001000000000022ull, true, nullptr},
        {"1.1.53", 0, 1, 0x0001000100000035ull, true, nullptr},
        {"refused", -2, 1, 0x0001000000000000ull, true, "refused the loader negotiation (result -2)"},
        {"interface 2", 0, 2, 0x0001000000000000ull, true, "answered loader interface version 2, not 1"},
        {"interface 0", 0, 0, 0x0001000000000000ull, true, "answered loader interface version 0, not 1"},
        {"API 2.0", 0, 1, 0x0002000000000000ull, true, "answered API version 2.0.0, not 1.x"},
        {"API 0.90", 0, 1, 0x0000005A00000000ull, true, "answered API version 0.90.0, not 1.x"},
        {"no proc address", 0, 1, 0x0001000000000000ull, false, "answered no xrGetInstanceProcAddr"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_result = c.result;
        g_answer = XrNegotiateRuntimeRequestRecord{};
        g_answer.runtimeInterfaceVersion = c.interfaceVersion;
        g_answer.runtimeApiVersion = c.apiVersion;
        g_answer.getInstanceProcAddr = c.procAddress ? &ResolveNothing : nullptr;
        g_offerAsPublished = false;
        XrNegotiateRuntimeRequestRecord answer;
        std::string reason;
        EXPECT_EQ(c.reason == nullptr, NegotiateWithRuntime(&ScriptedNegotiate, answer, reason));
        EXPECT_TRUE(g_offerAsPublished);
        if (c.reason != nullptr) {
            EXPECT_EQ(c.reason, reason);
        } else {
            EXPECT_EQ(&ResolveNothing, answer.getInstanceProcAddr);
        }
    }
    XrNegotiateRuntimeRequestRecord answer;
    std::string reason;
    EXPECT_FALSE(NegotiateWithRuntime(nullptr, answer, reason));
    EXPECT_EQ("has no xrNegotiateLoaderRuntimeInterface", reason);
}

} // namespace
} // namespace corvane
