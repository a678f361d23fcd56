// Call log on a file opened by wide (Windows) path.
#include "call_log.h"

#include <cstdarg>

namespace standin {

void CallLog::Restart(const std::wstring& path) {
    Close();
    file_ = _wfopen(path.c_str(), L"wb");
}

void CallLog::Close() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

void CallLog::Line(const char* format, ...) {
    if (file_ == nullptr) {
        return;
    }
    std::va_list args;
    va_start(args, format);
    std::vfprintf(file_, format, args);
    va_end(args);
    std::fputc('\n', file_);
    std::fflush(file_);
}

} // namespace standin
