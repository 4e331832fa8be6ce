// Many check lists against one file, each rule's text computed once.
#include "tools/catalog/one_file.h"

#include "checks/rules.h"

namespace ondrel::tool {

bool ListsOfOneFile::Holds(const std::string& checkList, EvaluationObserver* observer) {
    return Evaluate(fileName_.c_str(), checkList.c_str(), LibraryKeywords(), nullptr, observer, nullptr, &texts_);
}

}  // namespace ondrel::tool
