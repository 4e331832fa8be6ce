// Library attach: the digest caches live as long as the library. Their owner
// is a static object, so unloading the library (FreeLibrary, dlclose, or the
// end of the process) releases them; detach has nothing to do.
#ifdef _WIN32
#include <windows.h>
#endif

#include "checks/caches.h"

#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        try {
            ondrel::CreateCaches();
        } catch (...) {
            // Out of memory: the caches are created on first use instead.
        }
    }
    // Thread attach and detach, and process detach, do nothing.
    return TRUE;
}
#else
__attribute__((constructor)) static void OndrelAttach() {
    try {
        ondrel::CreateCaches();
    } catch (...) {
    }
}
#endif
