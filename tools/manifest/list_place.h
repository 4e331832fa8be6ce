#pragma once
// Where the manifest make --manifest writes lies, when it lies in the tree
// it lists: known before the walk, so that the root line can say so first,
// and the manifest itself left out when the walk meets it.
#include <optional>
#include <string>

#include "platform/command_services.h"
#include "tools/manifest/tree_walk.h"

namespace ondrel::tool {

struct ListPlace {
    std::string relative;  // from the root, "/" between names: "x.list", "sub/x.list"
    std::string up;        // from the list's folder back to the root: ".", "..", "../.."
};

// The place under the folder dir of the file named full (a full name with no
// link among its folders): full's folders are gone up until one is dir, the
// same folder by its key however dir is named (relative, through a link).
// Nothing when none is. The file itself is not looked at.
std::optional<ListPlace> PlaceUnder(const std::string& dir, const std::string& full);

// The place under dir of the file standard output writes to, when the system
// tells its name and that name under dir leads to it; nothing otherwise.
std::optional<ListPlace> WhereTheListGoes(const std::string& dir);

// The manifest as the walk of dir may meet it: at its place, or under a name
// of its own when it has more than one or its name could not be known. Where
// the system does not tell the name, the place is the first name of it a walk
// meets, searched for before the walk.
class OwnList {
public:
    explicit OwnList(const std::string& dir);

    const std::optional<ListPlace>& Place() const noexcept { return place_; }
    // Whether the file is the manifest being written (never to be read).
    bool Is(const WalkedFile& file) const;

private:
    std::optional<platform::FileKey> output_;
    std::optional<ListPlace> place_;
    bool askEveryFile_ = false;  // another name of it may be anywhere in the tree
};

}  // namespace ondrel::tool
