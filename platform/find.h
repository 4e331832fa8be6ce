#pragma once
// Directory search: the first entry that a name (wildcards allowed in its
// last component) finds.
#include <cstdint>
#include <optional>
#include <string>

namespace ondrel::platform {

struct DirectoryEntry {
    std::uint32_t sizeLow = 0;   // low 32 bits of the entry's size
    bool isDirectory = false;
    bool hasDosTime = false;     // last-write time, in local time, is a valid MS-DOS date and time
};

// FindFirstFileA and FindClose on Windows. On POSIX: a name without "*" or
// "?" in its last component is looked up directly; otherwise that component
// is matched against the entries of its directory, in the order the
// directory lists them, as FindFirstFileA matches: letter case ignored
// (Windows-1252, as SameTextIgnoringCase), "*" any run of characters, "?"
// any one character, where a run of "?" at a "." of the name or at its end
// may match nothing, and a "." before "*" or "?" or at the pattern's end may
// match the end of the name ("noext.*", "*.*" and "noext?" find noext).
// Running out of memory throws; nothing else does.
std::optional<DirectoryEntry> FindFirstEntry(const std::string& fileName);

}  // namespace ondrel::platform
