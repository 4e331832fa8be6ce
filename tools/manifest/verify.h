#pragma once
// ondrel verify: one file checked against the check list of its manifest
// line. This is all the work of one file; the pool that runs many of them
// and the output are apart from it.
#include <string>

#include "tools/batch/file_batch.h"

namespace ondrel::tool {

enum class Verdict { Held, Failed, Missing };

struct FileVerdict {
    Verdict verdict = Verdict::Held;
    std::string failedEntry;  // the entry that failed or threw first
    std::string computed;
    std::string reason;       // why it threw, why the file is missing, or that the keyword is unknown
};

// The list is evaluated with the library's engine (no digest caches); a
// path that leads to no regular file once the rules ran is Missing whatever
// its list (an empty list, FILESIZE=0 and FLAGIFNOFILE= hold on nothing).
// With a read of the file (a FileBatch's), its CRC32 and MD5 entries answer
// from it, and the file, read in full as a regular file, is not missing.
FileVerdict VerifyFile(const std::string& path, const std::string& checkList, const FileRead* read = nullptr);

}  // namespace ondrel::tool
