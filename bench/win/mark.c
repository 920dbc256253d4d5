/* The launched program of the benchmark containers.  It writes the time it
 * started (Windows FILETIME ticks, 100 ns since 1601) into the file that
 * BENCH_MARK names, then exits at once.  Without BENCH_MARK it just exits. */
#include <windows.h>
#include <stdio.h>

typedef VOID (WINAPI *PreciseTimeFn)(LPFILETIME);

static unsigned long long Now(void)
{
    FILETIME ft;
    PreciseTimeFn pfn = (PreciseTimeFn)GetProcAddress(GetModuleHandleA("kernel32.dll"),
                                                      "GetSystemTimePreciseAsFileTime");
    if (pfn)
        pfn(&ft);
    else
        GetSystemTimeAsFileTime(&ft);
    return ((unsigned long long)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

int main(void)
{
    unsigned long long t = Now();
    char szPath[MAX_PATH];
    DWORD cch = GetEnvironmentVariableA("BENCH_MARK", szPath, sizeof(szPath));
    if (cch == 0 || cch >= sizeof(szPath))
        return 0;
    FILE *f = fopen(szPath, "wb");
    if (!f)
        return 1;
    fprintf(f, "start %llu\n", t);
    fclose(f);
    return 0;
}
