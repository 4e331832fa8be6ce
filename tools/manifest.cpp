// Manifests: one line per file, its check list, a TAB, its path.
#include "tools/tool.h"

namespace ondrel::tool {

std::string EscapeField(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default: out += c;
        }
    }
    return out;
}

std::optional<std::string> UnescapeField(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return std::nullopt;
        switch (text[i]) {
            case '\\': out += '\\'; break;
            case 't': out += '\t'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            default: return std::nullopt;
        }
    }
    return out;
}

std::vector<ManifestLine> ParseManifest(std::string_view text) {
    std::vector<ManifestLine> lines;
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // a line ended CR LF
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') continue;

        ManifestLine parsed;
        parsed.number = number;
        const std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos) {
            parsed.damage = "no TAB between the check list and the path";
        } else {
            std::optional<std::string> list = UnescapeField(line.substr(0, tab));
            std::optional<std::string> path = UnescapeField(line.substr(tab + 1));
            if (!list || !path) parsed.damage = "a backslash that starts none of \\\\ \\t \\n \\r";
            else if (path->empty()) parsed.damage = "no path after the TAB";
            else if (path->find('\0') != std::string::npos || list->find('\0') != std::string::npos)
                parsed.damage = "a zero byte";
            else {
                parsed.checkList = std::move(*list);
                parsed.path = std::move(*path);
            }
        }
        lines.push_back(std::move(parsed));
    }
    return lines;
}

namespace {
#ifdef _WIN32
bool IsSeparator(char c) { return c == '\\' || c == '/'; }
bool IsAbsolute(const std::string& p) {
    return (!p.empty() && IsSeparator(p[0])) || (p.size() >= 2 && p[1] == ':');
}
constexpr char kSeparator = '\\';
#else
bool IsSeparator(char c) { return c == '/'; }
bool IsAbsolute(const std::string& p) { return !p.empty() && p[0] == '/'; }
constexpr char kSeparator = '/';
#endif
}  // namespace

std::string ResolveManifestPath(const std::string& manifestName, const std::string& path) {
    if (IsAbsolute(path)) return path;
    std::size_t cut = manifestName.size();
    while (cut > 0 && !IsSeparator(manifestName[cut - 1])) --cut;
#ifdef _WIN32
    if (cut == 0 && manifestName.size() >= 2 && manifestName[1] == ':') cut = 2;  // "C:list"
#endif
    if (cut == 0) return path;  // the manifest lies in the current folder
    std::string folder = manifestName.substr(0, cut);
    if (!IsSeparator(folder.back())) folder += kSeparator;
    return folder + path;
}

}  // namespace ondrel::tool
