/* Runs one program and times it from the Windows side.
 *
 *   timer.exe REPORT TIMEOUT_MS EXE [--set NAME=VALUE]...
 *
 * The program is started with the command line "EXE" (quoted), after the
 * variables given with --set are put into the environment it inherits.
 * REPORT gets, in Windows FILETIME ticks (100 ns since 1601, the same clock
 * as the launched program's mark):
 *   begin T       just before CreateProcess
 *   end T         when the wait for the process returned
 *   exit CODE     or "timeout" (the process is then killed)
 *   peakws BYTES  the peak working set Windows reports for the process
 */
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <string.h>

typedef VOID (WINAPI *PreciseTimeFn)(LPFILETIME);

static unsigned long long Now(void)
{
    static PreciseTimeFn pfn;
    static int fLooked;
    FILETIME ft;
    if (!fLooked) {
        pfn = (PreciseTimeFn)GetProcAddress(GetModuleHandleA("kernel32.dll"),
                                            "GetSystemTimePreciseAsFileTime");
        fLooked = 1;
    }
    if (pfn)
        pfn(&ft);
    else
        GetSystemTimeAsFileTime(&ft);
    return ((unsigned long long)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: timer.exe REPORT TIMEOUT_MS EXE [--set NAME=VALUE]...\n");
        return 2;
    }
    const char *pszReport = argv[1];
    DWORD dwTimeout = (DWORD)strtoul(argv[2], NULL, 10);
    const char *pszExe = argv[3];
    for (int i = 4; i < argc; i++) {
        if (strcmp(argv[i], "--set") == 0 && i + 1 < argc) {
            char *pszPair = argv[++i];
            char *pszEq = strchr(pszPair, '=');
            if (!pszEq)
                return 2;
            *pszEq = '\0';
            SetEnvironmentVariableA(pszPair, pszEq + 1);
        } else {
            fprintf(stderr, "timer.exe: unknown argument %s\n", argv[i]);
            return 2;
        }
    }

    char szCmd[MAX_PATH + 3];
    snprintf(szCmd, sizeof(szCmd), "\"%s\"", pszExe);
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    memset(&si, 0, sizeof(si));
    si.cb = sizeof(si);

    unsigned long long tBegin = Now();
    if (!CreateProcessA(pszExe, szCmd, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
        fprintf(stderr, "timer.exe: CreateProcess failed: %lu\n", GetLastError());
        return 1;
    }
    DWORD dwWait = WaitForSingleObject(pi.hProcess, dwTimeout);
    unsigned long long tEnd = Now();
    DWORD dwCode = 0;
    if (dwWait == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &dwCode);
    else
        TerminateProcess(pi.hProcess, 1);

    PROCESS_MEMORY_COUNTERS pmc;
    memset(&pmc, 0, sizeof(pmc));
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(pi.hProcess, &pmc, sizeof(pmc));

    FILE *f = fopen(pszReport, "wb");
    if (!f)
        return 1;
    fprintf(f, "begin %llu\nend %llu\n", tBegin, tEnd);
    if (dwWait == WAIT_OBJECT_0)
        fprintf(f, "exit %lu\n", dwCode);
    else
        fprintf(f, "timeout\n");
    fprintf(f, "peakws %lu\n", (unsigned long)pmc.PeakWorkingSetSize);
    fclose(f);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}
