// The parts of the command's services written once: folder listings through
// std::filesystem, with names converted by the side of each system.
#include "platform/command_services.h"

#include <algorithm>
#include <system_error>
#include <thread>

#include "platform/command_names.h"
#include "platform/file.h"

namespace ondrel::platform {

namespace fs = std::filesystem;

namespace {

std::string WhyText(const std::error_code& e) {
    if (e == std::errc::permission_denied) return "access denied";
    if (e == std::errc::no_such_file_or_directory) return "not found";
    if (e == std::errc::not_a_directory) return "not a folder";
    return e.message();
}

// The kind the folder listing gave, where it gave one, without a status
// call of its own; a link's target is asked for.
FolderEntry::Kind KindOf(const fs::directory_entry& entry) {
    std::error_code e;
    const bool link = entry.is_symlink(e);
    if (e) return FolderEntry::Kind::DanglingLink;
    if (!link) {
        if (entry.is_directory(e)) return FolderEntry::Kind::Folder;
        if (e) return FolderEntry::Kind::DanglingLink;
        return entry.is_regular_file(e) && !e ? FolderEntry::Kind::File : FolderEntry::Kind::Other;
    }
    const fs::file_status target = entry.status(e);
    if (e || !fs::exists(target)) return FolderEntry::Kind::DanglingLink;
    if (fs::is_directory(target)) return FolderEntry::Kind::LinkToFolder;
    return fs::is_regular_file(target) ? FolderEntry::Kind::File : FolderEntry::Kind::Other;
}

}  // namespace

std::optional<FileKey> FileKeyOf(const std::string& name) {
    std::optional<FileIdentity> id = IdentityOf(name);
    if (!id) return std::nullopt;
    return FileKey{id->volume, id->index};
}

unsigned Cores() noexcept { return std::max(1u, std::thread::hardware_concurrency()); }

bool IsFolder(const std::string& name) {
    std::error_code e;
    return fs::is_directory(PathOfAnsi(name), e);
}

FolderListing ListFolder(const std::string& folder) {
    FolderListing listing;
    std::vector<FolderEntry>& entries = listing.entries;
    std::error_code e;
    fs::directory_iterator it(PathOfAnsi(folder), e);
    for (; !e && it != fs::directory_iterator(); it.increment(e)) {
        FolderEntry entry;
        const bool named = AnsiNameOf(it->path(), entry.name);
        entry.kind = named ? KindOf(*it) : FolderEntry::Kind::Unnamable;
        entries.push_back(std::move(entry));
    }
    if (e) listing.failed = Reason{WhyText(e)};
    std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    return listing;
}

}  // namespace ondrel::platform
