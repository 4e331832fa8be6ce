#pragma once
// Many check lists against one file: the library's engine and rules, with
// what each rule computed from the file kept for the lists after it. A rule
// that computes a text and compares it with the entry's ("CRC32", "MD5",
// "SIZEMD5=0|63|...", "SSECMD5=.text-...") computes the same text for every
// list that gives it the same arguments; so each such text is computed once
// per file (ComputedTexts, checks/rule.h), however many lists ask for it,
// and a file is read once for all of them. The other rules (the size
// bounds, "INI", "FLAGIFNOFILE") are run as they are.
#include <cstddef>
#include <string>

#include "checks/engine.h"

namespace ondrel::tool {

class ListsOfOneFile {
public:
    explicit ListsOfOneFile(std::string fileName) : fileName_(std::move(fileName)) {}
    ListsOfOneFile(const ListsOfOneFile&) = delete;
    ListsOfOneFile& operator=(const ListsOfOneFile&) = delete;

    // Whether the list holds for the file: what Evaluate answers with the
    // library's keywords and no digest caches, for a file that does not
    // change meanwhile. Throws std::bad_alloc as Evaluate does.
    bool Holds(const std::string& checkList, EvaluationObserver* observer = nullptr);

    // The texts computed from the file so far (each rule and arguments once).
    std::size_t Computed() const noexcept { return texts_.Size(); }

private:
    std::string fileName_;
    ComputedTexts texts_;
};

}  // namespace ondrel::tool
