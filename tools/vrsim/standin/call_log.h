// The call log tests read: one line per call, flushed at once. Owned by a stand-in runtime's
// state and written under its lock from whichever thread calls into the DLL.
#pragma once

#include <cstdio>
#include <string>

namespace standin {

class CallLog {
public:
    CallLog() = default;
    CallLog(const CallLog&) = delete;
    CallLog& operator=(const CallLog&) = delete;
    ~CallLog() { Close(); }

    // Empties the file at `path` and appends to it from then on; without a file, lines are dropped.
    void Restart(const std::wstring& path);
    void Close();

    // Writes one line; the format has no trailing newline.
    void Line(const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));

private:
    std::FILE* file_ = nullptr;
};

} // namespace standin
