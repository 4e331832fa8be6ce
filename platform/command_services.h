#pragma once
// What the ondrel command asks of the system beyond the library's layer:
// terminals, the file its output goes to, the cores, and folder listings
// with names as the rules take them (8-bit text of the ANSI code page). Not
// in the library: built into the command's platform library alone.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace ondrel::platform {

bool StandardErrorIsTerminal() noexcept;

// The volume and index of the regular file standard output writes to;
// nothing when it writes to anything else (a pipe, a terminal).
struct FileKey {
    std::uint64_t volume = 0;  // 0 when the system does not tell it for an inherited handle (Wine)
    std::uint64_t index = 0;
    bool SameFile(const FileKey& other) const noexcept {
        return index == other.index && (volume == other.volume || volume == 0 || other.volume == 0);
    }
};
std::optional<FileKey> StandardOutputFile() noexcept;
// The full name of that file, 8-bit text with no link among its folders;
// nothing when standard output writes to no regular file or the system does
// not tell (no /proc, a name the code page cannot hold).
std::optional<std::string> StandardOutputPath();
// Whether the system says that file has one name alone (one link): false
// when it has more, or when that cannot be known.
bool StandardOutputHasOneName() noexcept;
// The same for a name (nothing when it leads to no regular file).
std::optional<FileKey> FileKeyOf(const std::string& name);
// The same for a folder, links followed (nothing when the name leads to no folder).
std::optional<FileKey> FolderKeyOf(const std::string& name);

// The threads to use when none are asked for: one per core.
unsigned Cores() noexcept;

// One entry of a folder, not followed further.
struct FolderEntry {
    enum class Kind { File, Folder, LinkToFolder, DanglingLink, Other, Unnamable };
    std::string name;  // 8-bit text; for Unnamable the name with "?" for what the code page lacks
    Kind kind = Kind::Other;
};
// The entries of a folder, sorted by name (byte order), and why the listing
// failed when it did: a listing that fails part way keeps the entries read
// before, so that nothing the system gave is lost.
struct FolderListing {
    std::vector<FolderEntry> entries;
    std::optional<Reason> failed;
};
FolderListing ListFolder(const std::string& folder);

// Whether a name leads to a folder.
bool IsFolder(const std::string& name);

// Makes the folder the process's current one (the name is 8-bit text, as
// above), so that relative names are taken from there; why not when it
// cannot be entered.
Outcome ChangeCurrentFolder(const std::string& folder);

}  // namespace ondrel::platform
