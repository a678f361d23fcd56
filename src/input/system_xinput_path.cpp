#include "input/system_xinput_path.h"

namespace corvane {
namespace {

constexpr uint32_t kLongestDirectory = kSystemPathCapacity - 1;
// The file name below is 13 characters; the full path must still fit the buffer.
constexpr uint32_t kLongestDirectoryForFile = 246;
const wchar_t* const kXInputFileName = L"xinput1_3.dll";

} // namespace

SystemXInputPath BuildSystemXInputPath(const wchar_t* directory, uint32_t length) {
    SystemXInputPath result;
    if (directory == nullptr || length == 0 || length > kLongestDirectory) {
        result.failure = "GetSystemDirectoryW failed; real XInput is unavailable.";
        return result;
    }
    std::wstring path(directory, length);
    if (path.back() != L'\\' && path.back() != L'/') {
        if (path.size() == kLongestDirectory) {
            result.failure = "System32 path is too long; real XInput is unavailable.";
            return result;
        }
        path.push_back(L'\\');
    }
    if (path.size() > kLongestDirectoryForFile) {
        result.failure = "System32 XInput path is too long; real XInput is unavailable.";
        return result;
    }
    result.path = path + kXInputFileName;
    return result;
}

} // namespace corvane
