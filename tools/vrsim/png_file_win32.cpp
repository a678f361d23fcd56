// The one home of the PNG encoder (stb's image writer); output goes through a file opened by
// wide path so folders with non-ASCII names work.
#include "png_file_win32.h"

#include <windows.h>

#include <cstdio>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#include <stb/stb_image_write.h>

namespace vrsim {
namespace {

struct PngSink {
    std::FILE* file = nullptr;
    bool failed = false;
};

void WriteToSink(void* context, void* data, int size) {
    auto* sink = static_cast<PngSink*>(context);
    if (!sink->failed &&
        std::fwrite(data, 1, static_cast<size_t>(size), sink->file) != static_cast<size_t>(size)) {
        sink->failed = true;
    }
}

bool IsFolder(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace

bool EnsureFolder(const std::wstring& folder) {
    std::wstring path = folder;
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) {
        path.pop_back();
    }
    if (path.empty() || IsFolder(path)) {
        return !path.empty();
    }
    const size_t parentEnd = path.find_last_of(L"\\/");
    if (parentEnd != std::wstring::npos && parentEnd > 0 && path[parentEnd - 1] != L':') {
        if (!EnsureFolder(path.substr(0, parentEnd))) {
            return false;
        }
    }
    return CreateDirectoryW(path.c_str(), nullptr) || IsFolder(path);
}

bool WritePng(const std::wstring& path, const RgbaImage& image) {
    if (image.Empty()) {
        return false;
    }
    PngSink sink;
    sink.file = _wfopen(path.c_str(), L"wb");
    if (sink.file == nullptr) {
        return false;
    }
    const int written = stbi_write_png_to_func(&WriteToSink, &sink, static_cast<int>(image.width),
                                               static_cast<int>(image.height), 4, image.pixels.data(),
                                               static_cast<int>(image.width * 4));
    const bool closed = std::fclose(sink.file) == 0;
    if (written == 0 || sink.failed || !closed) {
        DeleteFileW(path.c_str()); // no half-written picture left for a test to read
        return false;
    }
    return true;
}

} // namespace vrsim
