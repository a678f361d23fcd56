// Where a stand-in runtime finds its files: the path an environment variable names, else a
// file beside the runtime's own DLL; the scenario text read from there, and the folder the
// captured pictures go to.
#pragma once

#include "call_log.h"
#include "scenario_lines.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace standin {

// The path `variable` names, or `file` in the folder of the DLL this library is linked into.
[[nodiscard]] std::wstring RuntimeFilePath(const wchar_t* variable, const wchar_t* file);

// The scenario text from the file `variable` names, else from `file` beside the DLL, with a
// log line naming it. Without one to read: a "scenario default" line (after an error line when
// the variable named it, rather than run a silent default) and no text.
[[nodiscard]] std::optional<std::string> ReadScenarioText(CallLog& log, const wchar_t* variable,
                                                          const wchar_t* file);

// One log line per unreadable scenario line.
void LogScenarioProblems(CallLog& log, const std::vector<LineProblem>& problems);

// The scenario from ReadScenarioText's file as `parse` reads it (a record of `scenario` and
// `problems`, each problem logged), or `fallback()` without a file.
template <typename Parse, typename Fallback>
[[nodiscard]] auto LoadScenario(CallLog& log, const wchar_t* variable, const wchar_t* file, Parse parse,
                                Fallback fallback) -> decltype(fallback()) {
    std::optional<std::string> text = ReadScenarioText(log, variable, file);
    if (!text) {
        return fallback();
    }
    auto parsed = parse(*text);
    LogScenarioProblems(log, parsed.problems);
    return std::move(parsed.scenario);
}

// The capture folder with a trailing separator: as the scenario names it (UTF-8), relative
// ones from the log's folder, "captures" beside the log when the scenario names none.
[[nodiscard]] std::wstring CaptureFolder(const std::string& named, const std::wstring& logPath);

// UTF-8 for the log.
[[nodiscard]] std::string Narrow(const std::wstring& text);

} // namespace standin
