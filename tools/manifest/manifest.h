#pragma once
// Manifests: one line per file, its check list, a TAB, its path.
//
// In both fields a backslash, TAB, line feed and carriage return are written
// \\ \t \n \r; every other byte stands for itself. Paths are written with
// "/" between folders on every system (the Windows build also reads "\").
// Lines ended by CR LF and a UTF-8 byte-order mark at the start are read as
// well. Blank lines and lines starting (after blanks) with "#" are skipped,
// except the two lines that say where relative paths start:
//   "#root" TAB DIR            DIR from the current folder (or absolute)
//   "#root-from-list" TAB DIR  DIR from the manifest's own folder
// Each holds for the lines after it. Without either, relative paths start
// at the current folder, as with md5sum -c.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/prefault.h"
#include "tools/manifest/text_file.h"

namespace ondrel::tool {

std::string EscapeField(std::string_view text);
std::optional<std::string> UnescapeField(std::string_view text);

// Where the relative paths of a line start.
struct ManifestRoot {
    enum class From { CurrentFolder, ListFolder } from = From::CurrentFolder;
    std::string dir;  // empty: the current folder itself
};

struct ManifestLine {
    std::size_t number = 0;   // from 1
    std::string checkList;
    std::string path;         // as written, unescaped
    ManifestRoot root;
    std::string damage;       // empty for a sound line
};

// The lines of a manifest one at a time: the root each line's paths start
// from, and why a line is damaged.
class ManifestReader {
public:
    // The manifest line of a text line, in `line`: a file line or a
    // damaged one. False for a line that is neither (blank, a comment, a
    // root line, which sets the root of the lines after it).
    bool Read(const TextLine& text, ManifestLine& line);
    // Whether a root line was read so far.
    bool RootSeen() const noexcept { return rootSeen_; }

private:
    ManifestRoot root_;
    bool rootSeen_ = false;
};

// The file lines (and damaged lines) of a manifest.
using ManifestLines = platform::BulkVector<ManifestLine>;
ManifestLines ParseManifest(std::string_view text);

// The lines of a text file as manifests and catalogues read them (see
// LineReader), all at once.
platform::BulkVector<TextLine> SplitLines(std::string_view text);

// The first line make writes, and the line naming the root.
std::string ManifestHeader();
std::string RootLine(const ManifestRoot& root);

// A path with "/" between folders, as manifests hold it (on Windows "\"
// becomes "/"; elsewhere the path is unchanged).
std::string PortablePath(const std::string& path);

// The file a line names, as the checks open it: the line's path after its
// root, unless the path is absolute; with rootOverride (verify --root) the
// path is taken from there instead. listFolder is the folder of the
// manifest (empty for standard input: the current folder). The text is
// joined, never tidied, so the system resolves ".." and links itself.
std::string PathToCheck(const ManifestLine& line, const std::string& listFolder,
                        const std::optional<std::string>& rootOverride);

// The folder the relative paths of a line start from, as PathToCheck
// takes it (empty: the current folder).
std::string RootToCheck(const ManifestRoot& root, const std::string& listFolder,
                        const std::optional<std::string>& rootOverride);

// The folder part of a file name ("lists/" of "lists/tree.list"); empty
// for a name without one.
std::string FolderOf(const std::string& fileName);

}  // namespace ondrel::tool
