// Library attach and detach: the digest caches live as long as the library.
#ifdef _WIN32
#include <windows.h>
#endif

#include "checks/caches.h"

#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            try {
                ondrel::CreateCaches();
            } catch (...) {
                // Out of memory: the caches are created on first use instead.
            }
            break;
        case DLL_PROCESS_DETACH:
            // Unloaded by FreeLibrary: give the memory back. At process exit
            // (reserved not null) nothing needs doing.
            if (!reserved) ondrel::DestroyCaches();
            break;
        default:  // thread attach and detach do nothing
            break;
    }
    return TRUE;
}
#else
__attribute__((constructor)) static void OndrelAttach() {
    try {
        ondrel::CreateCaches();
    } catch (...) {
    }
}
__attribute__((destructor)) static void OndrelDetach() { ondrel::DestroyCaches(); }
#endif
