#pragma once
// The command's output: standard output written through one place that
// notices a failed write, warnings on standard error, JSON written as it is
// produced, and the exit statuses.
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace ondrel::tool {

constexpr int kHolds = 0;  // the check holds; every file held; everything was made
constexpr int kFails = 1;  // it does not; a file failed, is missing, or could not be made
constexpr int kUsage = 2;  // a usage error, a list that cannot be read, a failed write

// A write to standard output failed (a full disk, a closed descriptor).
class WriteFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Standard output. Every write is checked; a failed one throws WriteFailed.
namespace out {
void Write(std::string_view text);
void Line(std::string_view text);
// Hands what is buffered to the system, so it is seen now.
void Flush();
}  // namespace out

// A file's name as report lines show it: "/" between folders, and escaped
// as manifests write it when it holds a backslash, TAB, line feed or
// carriage return, then marked with a leading backslash (as md5sum marks
// such lines), so that every line names exactly one file.
std::string ShownName(std::string_view path);

// One line on standard error: "ondrel SUBCOMMAND: text".
void Warn(std::string_view subcommand, std::string_view text);

// A line on standard error that tells how far long work has come: drawn
// only when standard error is a terminal and the caller wants it (never
// with --quiet or --json), first after a second of work, then at most ten
// times a second; erased before anything else is written through out:: or
// Warn, and at the end. Calls come from one thread.
class ProgressLine {
public:
    explicit ProgressLine(bool wanted);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    // text() is asked for only when the line is drawn.
    void Show(const std::function<std::string()>& text);
    void End();
    bool Enabled() const noexcept { return enabled_; }

private:
    bool enabled_;
    std::chrono::steady_clock::time_point start_, drawn_;
};

// A JSON value as text: texts that are no UTF-8 (8-bit names of the ANSI
// code page) keep their valid parts, the others become U+FFFD.
std::string JsonText(const nlohmann::json& value, int indent = 2);

// An object written member by member, with arrays whose elements are
// written one at a time, so that a long report is never held whole.
class JsonWriter {
public:
    JsonWriter();
    void Member(std::string_view key, const nlohmann::json& value);
    void BeginArray(std::string_view key);
    void Element(const nlohmann::json& value);
    void EndArray();
    void End();

private:
    void Key(std::string_view key);
    bool firstMember_ = true;
    bool firstElement_ = true;
};

}  // namespace ondrel::tool
