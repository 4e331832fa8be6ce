// The library's one export.
#include "checks/caches.h"
#include "checks/engine.h"
#include "checks/rules.h"
#include "ondrel.h"

#ifdef _WIN32
#define ONDREL_EXPORT
#else
#define ONDREL_EXPORT __attribute__((visibility("default")))
#endif

extern "C" ONDREL_EXPORT ondrel_result ONDREL_CALL AdvancedCheck(const char* fileName, const char* checkList) {
    // Nothing leaves this function but the result: a failure outside the
    // per-entry handling (running out of memory) answers 0.
    try {
        return ondrel::Evaluate(fileName, checkList, ondrel::LibraryKeywords(), &ondrel::ProcessCaches()) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}
