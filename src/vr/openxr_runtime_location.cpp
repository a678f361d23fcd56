#include "vr/openxr_runtime_location.h"

#include <cstdint>

namespace corvane {
namespace {

// Deeper nesting than this is not a manifest, and would only spend the stack.
constexpr int kMaxDepth = 32;

// A strict reader of the JSON a manifest is written in. It keeps only the strings the
// manifest needs; everything else is checked for form and skipped.
class ManifestReader {
public:
    explicit ManifestReader(std::string_view text) : text_(text) {}

    bool Read(RuntimeManifest& manifest, std::string& reason) {
        SkipSpace();
        if (!Peek('{')) {
            return Fail(reason, "is not a JSON object");
        }
        bool sawRuntime = false;
        bool ok = ReadObject(0, [&](const std::string& key) {
            if (key == "file_format_version") {
                return ReadStringField(manifest.fileFormatVersion, "file_format_version is not a string");
            }
            if (key == "runtime") {
                sawRuntime = true;
                if (!Peek('{')) {
                    return Invalid("runtime is not an object");
                }
                return ReadObject(1, [&](const std::string& field) {
                    if (field == "library_path") {
                        return ReadStringField(manifest.libraryPath, "runtime.library_path is not a string");
                    }
                    if (field == "name") {
                        return ReadStringField(manifest.name, "runtime.name is not a string");
                    }
                    return SkipValue(2);
                });
            }
            return SkipValue(1);
        });
        if (ok) {
            SkipSpace();
            ok = at_ == text_.size() || Invalid("has text after its object");
        }
        if (!ok) {
            return Fail(reason, problem_.empty() ? "is not valid JSON" : problem_.c_str());
        }
        if (manifest.fileFormatVersion.empty()) {
            return Fail(reason, "has no file_format_version");
        }
        if (manifest.fileFormatVersion.rfind("1.", 0) != 0) {
            return Fail(reason,
                        ("has file_format_version " + manifest.fileFormatVersion + ", not 1.x").c_str());
        }
        if (!sawRuntime) {
            return Fail(reason, "has no runtime object");
        }
        if (manifest.libraryPath.empty()) {
            return Fail(reason, "names no runtime.library_path");
        }
        for (const char c : manifest.libraryPath) {
            if (static_cast<unsigned char>(c) < 0x20) {
                return Fail(reason, "has a control character in runtime.library_path");
            }
        }
        return true;
    }

private:
    static bool Fail(std::string& reason, const char* why) {
        reason = why;
        return false;
    }

    bool Invalid(const char* why) {
        if (problem_.empty()) {
            problem_ = why;
        }
        return false;
    }

    // A value that must be a string: another kind of value is named; a broken string is bad JSON.
    bool ReadStringField(std::string& out, const char* notAString) {
        if (!Peek('"')) {
            return SkipValue(1) && Invalid(notAString);
        }
        return ReadString(out);
    }

    void SkipSpace() {
        while (at_ < text_.size() &&
               (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
            ++at_;
        }
    }

    bool Peek(char c) {
        SkipSpace();
        return at_ < text_.size() && text_[at_] == c;
    }

    bool Take(char c) {
        if (!Peek(c)) {
            return false;
        }
        ++at_;
        return true;
    }

    // `onKey` reads (or skips) the value of each key; an object may repeat a key, the last wins.
    template <typename OnKey> bool ReadObject(int depth, OnKey&& onKey) {
        if (depth > kMaxDepth || !Take('{')) {
            return false;
        }
        if (Take('}')) {
            return true;
        }
        for (;;) {
            std::string key;
            if (!Peek('"') || !ReadString(key) || !Take(':') || !onKey(key)) {
                return false;
            }
            if (Take('}')) {
                return true;
            }
            if (!Take(',')) {
                return false;
            }
        }
    }

    bool SkipValue(int depth) {
        if (depth > kMaxDepth) {
            return Invalid("nests too deeply");
        }
        SkipSpace();
        if (at_ >= text_.size()) {
            return false;
        }
        const char c = text_[at_];
        if (c == '{') {
            return ReadObject(depth, [&](const std::string&) { return SkipValue(depth + 1); });
        }
        if (c == '[') {
            ++at_;
            if (Take(']')) {
                return true;
            }
            for (;;) {
                if (!SkipValue(depth + 1)) {
                    return false;
                }
                if (Take(']')) {
                    return true;
                }
                if (!Take(',')) {
                    return false;
                }
            }
        }
        if (c == '"') {
            std::string ignored;
            return ReadString(ignored);
        }
        for (const std::string_view word : {"true", "false", "null"}) {
            if (text_.substr(at_, word.size()) == word) {
                at_ += word.size();
                return true;
            }
        }
        return SkipNumber();
    }

    bool SkipNumber() {
        const size_t start = at_;
        if (at_ < text_.size() && text_[at_] == '-') {
            ++at_;
        }
        const size_t digits = at_;
        while (at_ < text_.size() && IsDigit(text_[at_])) {
            ++at_;
        }
        if (at_ == digits || (text_[digits] == '0' && at_ - digits > 1)) {
            return false;
        }
        if (at_ < text_.size() && text_[at_] == '.') {
            ++at_;
            const size_t fraction = at_;
            while (at_ < text_.size() && IsDigit(text_[at_])) {
                ++at_;
            }
            if (at_ == fraction) {
                return false;
            }
        }
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) {
                ++at_;
            }
            const size_t exponent = at_;
            while (at_ < text_.size() && IsDigit(text_[at_])) {
                ++at_;
            }
            if (at_ == exponent) {
                return false;
            }
        }
        return at_ > start;
    }

    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

    static int HexValue(char c) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    }

    bool ReadHex4(uint32_t& value) {
        if (text_.size() - at_ < 4) {
            return false;
        }
        value = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = HexValue(text_[at_++]);
            if (digit < 0) {
                return false;
            }
            value = value * 16 + static_cast<uint32_t>(digit);
        }
        return true;
    }

    static void AppendUtf8(std::string& out, uint32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    // A string with its escapes undone. Raw control characters are not JSON; escaped ones are
    // kept, for the caller to judge.
    bool ReadString(std::string& out) {
        out.clear();
        if (!Take('"')) {
            return false;
        }
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return false;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) {
                return false;
            }
            const char e = text_[at_++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                out += e;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                uint32_t code = 0;
                if (!ReadHex4(code) || (code >= 0xDC00 && code <= 0xDFFF)) {
                    return false;
                }
                if (code >= 0xD800 && code <= 0xDBFF) {
                    uint32_t low = 0;
                    if (text_.substr(at_, 2) != "\\u") {
                        return false;
                    }
                    at_ += 2;
                    if (!ReadHex4(low) || low < 0xDC00 || low > 0xDFFF) {
                        return false;
                    }
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                }
                AppendUtf8(out, code);
                break;
            }
            default:
                return false;
            }
        }
        return false;
    }

    std::string_view text_;
    size_t at_ = 0;
    std::string problem_;
};

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

bool IsAbsolute(std::string_view path) {
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        return true; // a UNC path or a device path
    }
    const bool drive = path.size() >= 3 &&
                       ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                       path[1] == ':' && IsSeparator(path[2]);
    return drive;
}

} // namespace

std::optional<RuntimeManifest> ParseRuntimeManifest(std::string_view text, std::string& reason) {
    if (text.size() > kMaxRuntimeManifestBytes) {
        reason = "is too large to be a manifest";
        return std::nullopt;
    }
    // A byte-order mark is allowed in front of the object, as editors write one.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    RuntimeManifest manifest;
    ManifestReader reader(text);
    if (!reader.Read(manifest, reason)) {
        return std::nullopt;
    }
    return manifest;
}

std::string ResolveRuntimeLibraryPath(std::string_view manifestPath, std::string_view libraryPath) {
    if (IsAbsolute(libraryPath)) {
        return std::string(libraryPath);
    }
    const size_t slash = manifestPath.find_last_of("\\/");
    if (slash == std::string_view::npos) {
        return std::string(libraryPath);
    }
    std::string resolved(manifestPath.substr(0, slash + 1));
    // "./name" and ".\name" are the manifest's folder itself.
    if (libraryPath.size() >= 2 && libraryPath[0] == '.' && IsSeparator(libraryPath[1])) {
        libraryPath.remove_prefix(2);
    }
    resolved += libraryPath;
    return resolved;
}

std::optional<RuntimeLocation> LocateOpenXrRuntime(const RuntimeLookupSources& sources, ReadManifestFile read,
                                                   std::string& reason) {
    RuntimeLocation location;
    if (sources.environmentManifest.has_value() && !sources.environmentManifest->empty()) {
        location.manifestPath = *sources.environmentManifest;
        location.source = "XR_RUNTIME_JSON";
    } else if (sources.registryManifest.has_value() && !sources.registryManifest->empty()) {
        location.manifestPath = *sources.registryManifest;
        location.source = "the registry's ActiveRuntime";
    } else {
        reason = "No OpenXR runtime is registered (no ActiveRuntime in the registry, no XR_RUNTIME_JSON)";
        return std::nullopt;
    }
    std::string text;
    if (read == nullptr || !read(location.manifestPath, kMaxRuntimeManifestBytes, text)) {
        reason = "The OpenXR runtime manifest " + location.manifestPath + " (from " + location.source +
                 ") cannot be read";
        return std::nullopt;
    }
    std::string why;
    const std::optional<RuntimeManifest> manifest = ParseRuntimeManifest(text, why);
    if (!manifest.has_value()) {
        reason =
            "The OpenXR runtime manifest " + location.manifestPath + " (from " + location.source + ") " + why;
        return std::nullopt;
    }
    location.libraryPath = ResolveRuntimeLibraryPath(location.manifestPath, manifest->libraryPath);
    location.name = manifest->name;
    return location;
}

} // namespace corvane
