// The library's start-up on Windows. The tool keeps no per-thread state, so
// per-thread attach and detach notifications are switched off.

#if defined(_WIN32)
#include <windows.h>

BOOL APIENTRY DllMain(HMODULE module, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(module);
    }
    return TRUE;
}
#endif
