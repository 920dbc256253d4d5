// A planted comctl32.dll: what an attacker would leave beside a download.
// When loaded it records the fact in the file named by SFX_PLANTED_LOG.
// It exports InitCommonControls so that a launcher importing it loads.
#include <windows.h>

#include "report.h"

extern "C" __declspec(dllexport) void WINAPI InitCommonControls(void) {}

BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID)
{
    if (dwReason == DLL_PROCESS_ATTACH) {
        char szPath[MAX_PATH] = "";
        char szExe[MAX_PATH] = "";
        GetEnvironmentVariableA("SFX_PLANTED_LOG", szPath, MAX_PATH);
        GetModuleFileNameA(NULL, szExe, MAX_PATH);
        AppendLine(szPath, std::string("loaded-by ") + Escape(szExe));
    }
    return TRUE;
}
