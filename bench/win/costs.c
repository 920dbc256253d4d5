/* Windows-side cost measurements for the benchmark, one per run:
 *
 *   costs.exe REPORT copy SRC DSTDIR    copy SRC into DSTDIR in 65,536-byte
 *                                       chunks with _read/_write, no messages
 *   costs.exe REPORT files LIST DSTDIR  the same for every file named in LIST
 *   costs.exe REPORT delete LIST DSTDIR copy them (not timed), then delete
 *                                       them and DSTDIR (timed)
 *   costs.exe REPORT cleanup LIST DSTDIR
 *                                       the same, deleted by the launcher's
 *                                       own cleanup (each entry opened
 *                                       relative to the held folder, judged
 *                                       and deleted through its handle)
 *   costs.exe REPORT msg N progress|fixed|bare
 *                                       a worker thread sends N synchronous
 *                                       messages to a window of the main
 *                                       thread: a dialog-like window whose
 *                                       handler sets a progress bar from
 *                                       0 to 100 (as the launcher's does), or
 *                                       the same with the position never
 *                                       changing (fixed), or a bare window
 *                                       whose handler does nothing
 *
 * REPORT gets "seconds S" for the timed part. */
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "launcher.h"
#include "links.h"

#define CHUNK 65536
#define WM_BENCH_SETPOS (WM_USER + 1)

static LARGE_INTEGER g_freq;
static double Seconds(void)
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart / (double)g_freq.QuadPart;
}

static char g_buffer[CHUNK];

static int CopyOne(const char *pszSrc, const char *pszDir)
{
    const char *pszBase = strrchr(pszSrc, '\\');
    char szOut[MAX_PATH];
    snprintf(szOut, sizeof(szOut), "%s\\%s", pszDir, pszBase ? pszBase + 1 : pszSrc);
    int fdIn = _open(pszSrc, _O_RDONLY | _O_BINARY);
    int fdOut = _open(szOut, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fdIn < 0 || fdOut < 0)
        return 0;
    int n;
    while ((n = _read(fdIn, g_buffer, CHUNK)) > 0)
        if (_write(fdOut, g_buffer, (unsigned)n) != n)
            return 0;
    _close(fdIn);
    _close(fdOut);
    return 1;
}

static int ForEachListed(const char *pszList, const char *pszDir, int fDelete)
{
    FILE *f = fopen(pszList, "r");
    char sz[MAX_PATH];
    if (!f)
        return 0;
    while (fgets(sz, sizeof(sz), f)) {
        sz[strcspn(sz, "\r\n")] = '\0';
        if (!sz[0])
            continue;
        if (fDelete) {
            const char *pszBase = strrchr(sz, '\\');
            char szOut[MAX_PATH];
            snprintf(szOut, sizeof(szOut), "%s\\%s", pszDir, pszBase ? pszBase + 1 : sz);
            if (!DeleteFileA(szOut))
                return 0;
        } else if (!CopyOne(sz, pszDir)) {
            return 0;
        }
    }
    fclose(f);
    return 1;
}

static HWND g_hWnd, g_hBar;
static int g_nMessages, g_fFixed;
static double g_seconds;

static LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_BENCH_SETPOS:
        if (g_hBar)
            SendMessageA(g_hBar, PBM_SETPOS, wParam, 0);
        return 0;
    case WM_CLOSE:
        DestroyWindow(hWnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

static DWORD WINAPI Worker(LPVOID p)
{
    (void)p;
    double t0 = Seconds();
    for (int i = 0; i < g_nMessages; i++)
        SendMessageA(g_hWnd, WM_BENCH_SETPOS, g_fFixed ? 50 : (WPARAM)((long long)i * 100 / g_nMessages), 0);
    g_seconds = Seconds() - t0;
    SendMessageA(g_hWnd, WM_CLOSE, 0, 0);
    return 0;
}

static int Messages(int n, int fProgress)
{
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    WNDCLASSA wc;
    memset(&wc, 0, sizeof(wc));
    wc.lpfnWndProc = WndProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = "BenchCosts";
    RegisterClassA(&wc);
    g_hWnd = CreateWindowA("BenchCosts", "Extracting", WS_POPUP | WS_CAPTION | WS_VISIBLE,
                           100, 100, 320, 120, NULL, NULL, wc.hInstance, NULL);
    if (fProgress) {
        g_hBar = CreateWindowA(PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, 10, 40, 290, 20,
                               g_hWnd, NULL, wc.hInstance, NULL);
        SendMessageA(g_hBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    }
    UpdateWindow(g_hWnd);
    g_nMessages = n;
    HANDLE hThread = CreateThread(NULL, 0, Worker, NULL, 0, NULL);
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    WaitForSingleObject(hThread, INFINITE);
    return 1;
}

int main(int argc, char **argv)
{
    QueryPerformanceFrequency(&g_freq);
    if (argc < 4)
        return 2;
    const char *pszMode = argv[2];
    int ok = 0;
    double t = 0;
    if (strcmp(pszMode, "copy") == 0 && argc == 5) {
        double t0 = Seconds();
        ok = CopyOne(argv[3], argv[4]);
        t = Seconds() - t0;
    } else if (strcmp(pszMode, "files") == 0 && argc == 5) {
        double t0 = Seconds();
        ok = ForEachListed(argv[3], argv[4], 0);
        t = Seconds() - t0;
    } else if (strcmp(pszMode, "delete") == 0 && argc == 5) {
        ok = ForEachListed(argv[3], argv[4], 0);
        double t0 = Seconds();
        ok = ok && ForEachListed(argv[3], argv[4], 1) && RemoveDirectoryA(argv[4]);
        t = Seconds() - t0;
    } else if (strcmp(pszMode, "cleanup") == 0 && argc == 5) {
        /* A failed extraction whose first file lay in DSTDIR: no launch,
         * only the cleanup of that folder. */
        static ExtractContext context;
        snprintf(context.szLaunchPath, MAX_PATH, "%s\\first", argv[4]);
        ok = ForEachListed(argv[3], argv[4], 0);
        /* Held as the worker holds it, with the folder above it (DSTDIR
         * carries the fixed folder's name) and the folder's identity. */
        char szParent[MAX_PATH];
        snprintf(szParent, MAX_PATH, "%s\\..", argv[4]);
        context.hFolderParent = CreateFileA(szParent, FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        context.hFolder = CreateFileA(argv[4], FILE_LIST_DIRECTORY | FILE_TRAVERSE |
                                      FILE_READ_ATTRIBUTES | READ_CONTROL,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        ok = ok && context.hFolder != INVALID_HANDLE_VALUE
            && context.hFolderParent != INVALID_HANDLE_VALUE
            && GetFileIdentity(context.hFolder, &context.folderId);
        double t0 = Seconds();
        LaunchAndCleanup(&context, (DWORD)-1, L"", 0);
        t = Seconds() - t0;
        ok = ok && GetFileAttributesA(argv[4]) == INVALID_FILE_ATTRIBUTES;
    } else if (strcmp(pszMode, "msg") == 0 && argc == 5) {
        g_fFixed = strcmp(argv[4], "fixed") == 0;
        ok = Messages(atoi(argv[3]), strcmp(argv[4], "bare") != 0);
        t = g_seconds;
    }
    if (!ok)
        return 1;
    FILE *f = fopen(argv[1], "w");
    if (!f)
        return 1;
    fprintf(f, "seconds %.6f\n", t);
    fclose(f);
    return 0;
}
