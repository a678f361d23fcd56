// Module entry of XINPUT1_3.dll. Runs under the loader lock: it only records the module
// handle, which the log and the INI need to find their files beside the DLL, points the
// game integration at the host process (plain pointer stores, nothing is loaded) and
// redirects the game's Direct3D 11 import (header reads and one pointer exchange), after
// handing the interception what its hooks call (plain stores). When the host frees the DLL
// while it keeps running, the system XInput library goes with it.
#include "game/game_host_win32.h"
#include "input/system_xinput_win32.h"
#include "interception/device_creation_win32.h"
#include "platform/win32/os_win32.h"
#include "program/program_wiring_win32.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        corvane::RecordOwnModule(instance);
        corvane::InstallGameHostWin32();
        corvane::InstallProgramWiring();
        static_cast<void>(corvane::InstallImportHook());
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // At process exit (reserved set) the system tears every module down itself, and
        // libraries may already be gone.
        corvane::ReleaseSystemXInput();
    }
    return TRUE;
}
