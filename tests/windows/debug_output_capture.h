// Records what the program sends to the debugger output: OutputDebugStringA raises
// DBG_PRINTEXCEPTION_C, which a vectored handler sees before anyone else.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>

namespace corvane::testing_support {

class DebugOutputCapture {
public:
    DebugOutputCapture() { handler_ = AddVectoredExceptionHandler(1, &DebugOutputCapture::OnException); }
    ~DebugOutputCapture() { RemoveVectoredExceptionHandler(handler_); }
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    static std::string Text() {
        std::lock_guard<std::mutex> lock(Mutex());
        return Captured();
    }
    static void Clear() {
        std::lock_guard<std::mutex> lock(Mutex());
        Captured().clear();
    }

private:
    static LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
        const EXCEPTION_RECORD* record = info->ExceptionRecord;
        if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
            const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
            const size_t length = static_cast<size_t>(record->ExceptionInformation[0]);
            std::lock_guard<std::mutex> lock(Mutex());
            // The length counts the terminator.
            Captured().append(text, length > 0 ? length - 1 : 0);
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }
    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::string& Captured() {
        static std::string captured;
        return captured;
    }

    void* handler_ = nullptr;
};

} // namespace corvane::testing_support
