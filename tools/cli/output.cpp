// The command's output.
#include "tools/cli/output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/command_services.h"
#include "tools/manifest/manifest.h"

namespace ondrel::tool {

namespace {

[[noreturn]] void Failed() {
    const int error = errno;
    throw WriteFailed(error ? std::strerror(error) : "write error");
}

// Each line of a JSON text after the first, indented by one more level.
std::string Indented(const std::string& text, std::string_view indent) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == '\n') out += indent;
    }
    return out;
}

bool g_progressShown = false;  // a progress line stands on standard error

void EraseProgress() {
    if (!g_progressShown) return;
    std::fputs("\r\033[K", stderr);
    g_progressShown = false;
}

}  // namespace

namespace out {

void Write(std::string_view text) {
    if (!text.empty()) EraseProgress();
    errno = 0;
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) Failed();
}

void Line(std::string_view text) {
    Write(text);
    Write("\n");
}

void Flush() {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) Failed();
}

}  // namespace out

std::string ShownName(std::string_view path) {
    const std::string portable = PortablePath(std::string(path));
    std::string escaped = EscapeField(portable);
    return escaped == portable ? escaped : "\\" + escaped;
}

void Warn(std::string_view subcommand, std::string_view text) {
    std::string line = "ondrel";
    if (!subcommand.empty()) (line += ' ') += subcommand;
    ((line += ": ") += text) += '\n';
    EraseProgress();
    std::fwrite(line.data(), 1, line.size(), stderr);
}

ProgressLine::ProgressLine(bool wanted)
    : enabled_(wanted && platform::StandardErrorIsTerminal()), start_(std::chrono::steady_clock::now()) {
    // For tests: ONDREL_PROGRESS_AFTER_MS=0 draws the line from the start.
    if (const char* after = std::getenv("ONDREL_PROGRESS_AFTER_MS"); after && *after)
        start_ -= std::chrono::seconds(1) - std::chrono::milliseconds(std::strtol(after, nullptr, 10));
}

ProgressLine::~ProgressLine() { End(); }

void ProgressLine::Show(const std::function<std::string()>& text) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - start_ < std::chrono::seconds(1) || now - drawn_ < std::chrono::milliseconds(100)) return;
    drawn_ = now;
    std::fputs(("\r" + text() + "\033[K").c_str(), stderr);
    std::fflush(stderr);
    g_progressShown = true;
}

void ProgressLine::End() {
    if (!enabled_) return;
    EraseProgress();
    std::fflush(stderr);
}

std::string JsonText(const nlohmann::json& value, int indent) {
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

JsonWriter::JsonWriter() { out::Write("{"); }

void JsonWriter::Key(std::string_view key) {
    out::Write(firstMember_ ? "\n  " : ",\n  ");
    firstMember_ = false;
    out::Write(JsonText(nlohmann::json(std::string(key))) + ": ");
}

void JsonWriter::Member(std::string_view key, const nlohmann::json& value) {
    Key(key);
    out::Write(Indented(JsonText(value), "  "));
}

void JsonWriter::BeginArray(std::string_view key) {
    Key(key);
    out::Write("[");
    firstElement_ = true;
}

void JsonWriter::Element(const nlohmann::json& value) {
    out::Write(firstElement_ ? "\n    " : ",\n    ");
    firstElement_ = false;
    out::Write(Indented(JsonText(value), "    "));
}

void JsonWriter::EndArray() { out::Write(firstElement_ ? "]" : "\n  ]"); }

void JsonWriter::End() { out::Write(firstMember_ ? "}\n" : "\n}\n"); }

}  // namespace ondrel::tool
