#include "platform/win32/names.h"

#include <array>

namespace ondrel::platform {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i])) return false;
    return true;
}

// The first component of text, up to a separator.
std::string_view Component(std::string_view text) {
    std::size_t end = 0;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    return text.substr(0, end);
}

bool IsPipeOrMailslot(std::string_view component) {
    return SameIgnoringAsciiCase(component, "pipe") || SameIgnoringAsciiCase(component, "mailslot");
}

// "\\server\share\...": the share of a UNC path.
bool UncShareIsDevice(std::string_view afterTwoSeparators) {
    const std::string_view server = Component(afterTwoSeparators);
    if (server.size() == afterTwoSeparators.size()) return false;
    return IsPipeOrMailslot(Component(afterTwoSeparators.substr(server.size() + 1)));
}

bool IsReservedDeviceName(std::string_view last) {
    // The base name ends at the first "." or ":"; blanks before it do not count.
    std::size_t end = 0;
    while (end < last.size() && last[end] != '.' && last[end] != ':') ++end;
    std::string_view base = last.substr(0, end);
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    static constexpr std::array<std::string_view, 6> kPlain{"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (std::string_view d : kPlain)
        if (SameIgnoringAsciiCase(base, d)) return true;
    if (base.size() == 4 && base[3] >= '1' && base[3] <= '9' &&
        (SameIgnoringAsciiCase(base.substr(0, 3), "COM") || SameIgnoringAsciiCase(base.substr(0, 3), "LPT")))
        return true;
    return false;
}

}  // namespace

bool IsDeviceName(std::string_view name) noexcept {
    if (name.size() >= 2 && IsSeparator(name[0]) && IsSeparator(name[1])) {
        const std::string_view rest = name.substr(2);
        if (rest.size() >= 2 && (rest[0] == '.' || rest[0] == '?') && IsSeparator(rest[1])) {
            const std::string_view path = rest.substr(2);
            const std::string_view first = Component(path);
            if (first.size() == 2 && first[1] == ':') return IsReservedDeviceName(path.substr(path.find_last_of("\\/:") + 1));
            if (SameIgnoringAsciiCase(first, "UNC") && first.size() < path.size())
                return UncShareIsDevice(path.substr(first.size() + 1));
            return true;  // the device namespace itself
        }
        if (UncShareIsDevice(rest)) return true;
    }
    const std::size_t cut = name.find_last_of("\\/:");
    return IsReservedDeviceName(cut == std::string_view::npos ? name : name.substr(cut + 1));
}

SplitName SplitImageName(const std::string& fileName) {
    std::size_t at = fileName.find_last_of("\\:");
    if (at == std::string::npos) return {std::string(), fileName};
    return {fileName.substr(0, at + 1), fileName.substr(at + 1)};
}

}  // namespace ondrel::platform
