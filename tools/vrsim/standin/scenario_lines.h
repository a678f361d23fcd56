// Reading a stand-in runtime's scenario text: one setting per line, words separated by blanks,
// '#' to the end of a line a comment. Each runtime keeps its own keywords and what they mean;
// this holds the words, numbers and frame ranges every line is made of, and the per-line
// error handling. Platform-free and header-only, so a parser's source builds on its own.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace standin {

inline constexpr uint32_t kLastFrame = 0xFFFFFFFFu;

// Inclusive frame span; `last` is kLastFrame for "this frame and every later one".
struct FrameRange {
    uint32_t first = 0;
    uint32_t last = kLastFrame;
    [[nodiscard]] bool Contains(uint32_t frame) const { return frame >= first && frame <= last; }
};

[[nodiscard]] inline bool AnyContains(const std::vector<FrameRange>& ranges, uint32_t frame) {
    return std::any_of(ranges.begin(), ranges.end(),
                       [frame](const FrameRange& range) { return range.Contains(frame); });
}

// Raised for an unreadable line; caught per line so the rest of the file still applies.
struct LineError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// How unsigned numbers are written: the OpenVR stand-in's button masks read best in hex, and
// it takes hex for every unsigned word; the OpenXR stand-in takes decimal only.
enum class UnsignedForm { Decimal, DecimalOrHex };

// The words of one line, taken in order; each reader names what it expected for the message.
class LineWords {
public:
    explicit LineWords(std::string_view line, UnsignedForm form = UnsignedForm::Decimal)
        : line_(line), form_(form) {
        size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
                ++i;
            }
            size_t start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
                ++i;
            }
            if (i > start) {
                words_.emplace_back(line.substr(start, i - start));
                starts_.push_back(start);
            }
        }
    }
    [[nodiscard]] bool Empty() const { return words_.empty(); }
    [[nodiscard]] bool AtEnd() const { return next_ >= words_.size(); }
    [[nodiscard]] std::string Text(const char* what) {
        if (AtEnd()) {
            throw LineError(std::string("missing ") + what);
        }
        return words_[next_++];
    }
    // Everything from the next word to the end of the line, inner blanks kept (for paths).
    [[nodiscard]] std::string Rest(const char* what) {
        if (AtEnd()) {
            throw LineError(std::string("missing ") + what);
        }
        std::string rest = line_.substr(starts_[next_]);
        rest.erase(rest.find_last_not_of(" \t\r") + 1);
        next_ = words_.size();
        return rest;
    }
    [[nodiscard]] float Float(const char* what) {
        std::string word = Text(what);
        char* end = nullptr;
        float value = std::strtof(word.c_str(), &end);
        if (end == word.c_str() || *end != '\0') {
            throw LineError(std::string("bad ") + what + " '" + word + "'");
        }
        return value;
    }
    [[nodiscard]] uint64_t Unsigned(const char* what) {
        std::string word = Text(what);
        if (word.empty() || word[0] == '-') {
            throw LineError(std::string("bad ") + what + " '" + word + "'");
        }
        errno = 0;
        char* end = nullptr;
        // A leading zero does not mean octal here.
        bool hex = form_ == UnsignedForm::DecimalOrHex && word.size() > 2 && word[0] == '0' &&
                   (word[1] == 'x' || word[1] == 'X');
        unsigned long long value = std::strtoull(word.c_str(), &end, hex ? 16 : 10);
        if (end == word.c_str() || *end != '\0' || errno == ERANGE) {
            throw LineError(std::string("bad ") + what + " '" + word + "'");
        }
        return value;
    }
    [[nodiscard]] uint32_t Unsigned32(const char* what, uint64_t limit = 0xFFFFFFFFull) {
        uint64_t value = Unsigned(what);
        if (value > limit) {
            throw LineError(std::string(what) + " out of range");
        }
        return static_cast<uint32_t>(value);
    }
    [[nodiscard]] int32_t Signed32(const char* what) {
        std::string word = Text(what);
        errno = 0;
        char* end = nullptr;
        long long value = std::strtoll(word.c_str(), &end, 10);
        if (end == word.c_str() || *end != '\0' || errno == ERANGE || value < INT32_MIN ||
            value > INT32_MAX) {
            throw LineError(std::string("bad ") + what + " '" + word + "'");
        }
        return static_cast<int32_t>(value);
    }
    // `N`, `A..B` or `A..` (from A on); frames are plain decimal in either form.
    [[nodiscard]] FrameRange Range() {
        std::string word = Text("range");
        FrameRange range;
        size_t dots = word.find("..");
        try {
            if (dots == std::string::npos) {
                range.first = range.last = ParseFrame(word);
            } else {
                range.first = ParseFrame(word.substr(0, dots));
                std::string rest = word.substr(dots + 2);
                range.last = rest.empty() ? kLastFrame : ParseFrame(rest);
            }
        } catch (const LineError&) {
            throw LineError("bad range '" + word + "'");
        }
        if (range.last < range.first) {
            throw LineError("empty range '" + word + "'");
        }
        return range;
    }
    // Every word must have been read: a line with words left over is refused whole.
    void Finish() const {
        if (!AtEnd()) {
            throw LineError("unexpected '" + words_[next_] + "'");
        }
    }

private:
    static uint32_t ParseFrame(const std::string& word) {
        if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos || word.size() > 9) {
            throw LineError("bad frame");
        }
        return static_cast<uint32_t>(std::strtoul(word.c_str(), nullptr, 10));
    }

    std::string line_;
    UnsignedForm form_;
    std::vector<std::string> words_;
    std::vector<size_t> starts_; // where each word begins in line_
    size_t next_ = 0;
};

// `on` or `off` (or whichever pair of words the setting uses).
[[nodiscard]] inline bool OnOff(const std::string& word, const char* on, const char* off) {
    if (word == on) {
        return true;
    }
    if (word == off) {
        return false;
    }
    throw LineError("expected '" + std::string(on) + "' or '" + off + "', not '" + word + "'");
}

struct LineProblem {
    int line = 0; // counted from 1
    std::string message;
};

// Calls `apply(record, words)` for every line of `text` that holds a word, in order, so later
// lines override earlier ones. A line that raises LineError is reported and leaves `record` as
// it was before that line.
template <typename Record, typename Apply>
[[nodiscard]] std::vector<LineProblem> ApplyLines(std::string_view text, Record& record, UnsignedForm form,
                                                  Apply apply) {
    std::vector<LineProblem> problems;
    int lineNumber = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        ++lineNumber;
        std::string_view line = text.substr(start, end - start);
        line = line.substr(0, line.find('#'));
        LineWords words(line, form);
        if (!words.Empty()) {
            // Apply to a copy so a line that fails half-way leaves nothing behind.
            Record candidate = record;
            try {
                apply(candidate, words);
                record = std::move(candidate);
            } catch (const LineError& error) {
                problems.push_back({lineNumber, error.what()});
            }
        }
        start = end + 1;
    }
    return problems;
}

} // namespace standin
