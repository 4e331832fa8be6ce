// Manifests: one line per file, its check list, a TAB, its path; and where
// relative paths start.
#include "tools/manifest/manifest.h"

#include <algorithm>

#include "checks/check_list.h"
#include "platform/path.h"
#include "platform/prefault.h"
#include "platform/result.h"

namespace ondrel::tool {

namespace {

constexpr std::string_view kRoot = "#root\t";
constexpr std::string_view kRootFromList = "#root-from-list\t";

using platform::IsPathSeparator;
using platform::kBackslashSeparates;
using platform::kPathSeparator;

bool IsAbsolute(const std::string& p) {
    if (!p.empty() && IsPathSeparator(p[0])) return true;
    return kBackslashSeparates && p.size() >= 2 && p[1] == ':';  // "C:\x", and "C:x" on that drive
}

// The path as the system takes it: "/" as "\" on Windows.
std::string NativePath(std::string path) {
    if (kBackslashSeparates)
        for (char& c : path)
            if (c == '/') c = '\\';
    return path;
}

std::string Join(const std::string& folder, const std::string& path) {
    if (path.empty()) return folder;
    if (folder.empty() || IsAbsolute(path)) return path;
    if (IsPathSeparator(folder.back()) || (kBackslashSeparates && folder.size() == 2 && folder[1] == ':'))
        return folder + path;
    return folder + kPathSeparator + path;
}

// The root a root line sets, or why it sets none; nothing for any other line.
std::optional<platform::Result<ManifestRoot, platform::Reason>> ReadRootLine(std::string_view line) {
    ManifestRoot::From from;
    if (line.substr(0, kRoot.size()) == kRoot) {
        from = ManifestRoot::From::CurrentFolder;
        line.remove_prefix(kRoot.size());
    } else if (line.substr(0, kRootFromList.size()) == kRootFromList) {
        from = ManifestRoot::From::ListFolder;
        line.remove_prefix(kRootFromList.size());
    } else {
        return std::nullopt;
    }
    std::optional<std::string> dir = UnescapeField(line);
    if (!dir) return platform::Reason{"a backslash that starts none of \\\\ \\t \\n \\r"};
    return ManifestRoot{from, std::move(*dir)};
}

ManifestLine ReadFileLine(std::string_view line) {
    ManifestLine parsed;
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) {
        parsed.damage = "no TAB between the check list and the path";
        return parsed;
    }
    std::optional<std::string> list = UnescapeField(line.substr(0, tab));
    std::optional<std::string> path = UnescapeField(line.substr(tab + 1));
    if (!list || !path) parsed.damage = "a backslash that starts none of \\\\ \\t \\n \\r";
    else if (path->empty()) parsed.damage = "no path after the TAB";
    else if (path->find('\0') != std::string::npos || list->find('\0') != std::string::npos) parsed.damage = "a zero byte";
    else if (!HasEntry(list->c_str())) parsed.damage = "no entry in the check list (it would hold for every file or for none)";
    else {
        parsed.checkList = std::move(*list);
        parsed.path = std::move(*path);
    }
    return parsed;
}

}  // namespace

std::string EscapeField(std::string_view text) {
    if (text.find_first_of("\\\t\n\r") == std::string_view::npos) return std::string(text);  // most fields
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
    std::size_t i = text.find('\\');
    std::string out(text.substr(0, i));  // most fields have no backslash at all
    if (i == std::string_view::npos) return out;
    out.reserve(text.size());
    for (; i < text.size(); ++i) {
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

platform::BulkVector<TextLine> SplitLines(std::string_view text) {
    platform::BulkVector<TextLine> lines;
    platform::ReservePresent(lines, static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
    LineReader reader(text);
    while (const std::optional<TextLine> line = reader.Next()) lines.push_back(*line);
    return lines;
}

bool ManifestReader::Read(const TextLine& text, ManifestLine& line) {
    const std::string_view content = text.text;
    if (const auto rootLine = ReadRootLine(content)) {
        if (*rootLine) {
            root_ = **rootLine;
            rootSeen_ = true;
            return false;
        }
        line = ManifestLine();
        line.damage = "root line: " + rootLine->failure().text;
    } else {
        const std::size_t first = content.find_first_not_of(" \t");
        if (first == std::string_view::npos || content[first] == '#') return false;
        line = ReadFileLine(content);
    }
    line.number = text.number;
    line.root = root_;
    return true;
}

ManifestLines ParseManifest(std::string_view text) {
    const platform::BulkVector<TextLine> textLines = SplitLines(text);
    ManifestLines lines;
    platform::ReservePresent(lines, textLines.size());
    ManifestReader reader;
    ManifestLine parsed;
    for (const TextLine& line : textLines)
        if (reader.Read(line, parsed)) lines.push_back(std::move(parsed));
    return lines;
}

std::string ManifestHeader() { return "# ondrel manifest: check list, TAB, path (see ondrel verify --help)"; }

std::string RootLine(const ManifestRoot& root) {
    const std::string_view key = root.from == ManifestRoot::From::ListFolder ? kRootFromList : kRoot;
    return std::string(key) + EscapeField(PortablePath(root.dir));
}

std::string PortablePath(const std::string& path) {
    std::string out = path;
    if (kBackslashSeparates)
        for (char& c : out)
            if (c == '\\') c = '/';
    return out;
}

std::string FolderOf(const std::string& fileName) {
    std::size_t cut = fileName.size();
    while (cut > 0 && !IsPathSeparator(fileName[cut - 1])) --cut;
    if (cut == 0 && kBackslashSeparates && fileName.size() >= 2 && fileName[1] == ':') cut = 2;  // "C:list"
    return fileName.substr(0, cut);
}

std::string PathToCheck(const ManifestLine& line, const std::string& listFolder,
                        const std::optional<std::string>& rootOverride) {
    const std::string path = NativePath(line.path);
    if (rootOverride) return Join(NativePath(*rootOverride), path);
    const std::string dir = NativePath(line.root.dir);
    if (line.root.from == ManifestRoot::From::CurrentFolder) return Join(dir, path);
    return Join(Join(listFolder, dir == "." ? std::string() : dir), path);  // "." is the list's folder itself
}

std::string RootToCheck(const ManifestRoot& root, const std::string& listFolder,
                        const std::optional<std::string>& rootOverride) {
    ManifestLine line;
    line.root = root;
    return PathToCheck(line, listFolder, rootOverride);  // an empty path joins as nothing
}

}  // namespace ondrel::tool
