#pragma once
// Many check lists against one file: the library's engine and rule
// handlers, with what each rule computed from the file kept for the lists
// after it. A rule whose value is the text it computes ("CRC32", "MD5",
// "SECMD5", ...) or arguments and then that text ("SIZEMD5=0|63|...",
// "SSECMD5=.text-...") computes the same text for every list that gives it
// the same arguments; so each such text is computed once per file, however
// many lists ask for it, and a file is read once for all of them. The
// other rules (the size bounds, "INI", "FLAGIFNOFILE") are run as they are.
#include <cstddef>
#include <memory>
#include <string>

#include "checks/engine.h"

namespace ondrel::tool {

struct RuleMemo;  // one_file.cpp

class ListsOfOneFile {
public:
    explicit ListsOfOneFile(std::string fileName);
    ~ListsOfOneFile();
    ListsOfOneFile(const ListsOfOneFile&) = delete;
    ListsOfOneFile& operator=(const ListsOfOneFile&) = delete;

    // Whether the list holds for the file: what Evaluate answers with the
    // library's keywords and no digest caches, for a file that does not
    // change meanwhile. Throws std::bad_alloc as Evaluate does.
    bool Holds(const std::string& checkList, EvaluationObserver* observer = nullptr);

    // The texts computed from the file so far (each rule and arguments once).
    std::size_t Computed() const noexcept;

private:
    std::string fileName_;
    std::unique_ptr<RuleMemo> memo_;
};

}  // namespace ondrel::tool
