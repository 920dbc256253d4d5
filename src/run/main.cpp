/*
 * Entry point and progress dialog.  WinMain prepares the run record,
 * starts the extraction worker suspended and runs the modal progress
 * dialog, which resumes the worker once its window exists and ends when
 * the worker sends WM_CLOSE.  Then it hands over to launch and cleanup.
 */
#include <windows.h>
#include <commctrl.h>
#include <stdlib.h>
#include <string.h>

#include "launcher.h"
#include "paths.h"
#include "../../res/resource.h"

/* Set when the dialog initialises, used by its later messages; only the
 * main thread touches them. */
static ExtractContext *g_pContext;
static HWND g_hProgress;

/* Test builds replace the template id to prove that a dialog which cannot
 * be created ends the run in order. */
#ifndef LAUNCHER_DIALOG_ID
#define LAUNCHER_DIALOG_ID IDD_PROGRESS
#endif

typedef BOOL (WINAPI *SetDefaultDllDirectoriesFn)(DWORD);

/* What a system without the DLL search restriction shows. */
#define TEXT_NO_DLL_SEARCH_RESTRICTION "Unable to extract files!\nThis version of Windows cannot " \
    "restrict where the launcher loads its DLLs from. Install the Windows update KB2533623 " \
    "and run setup again."
typedef void (WINAPI *InitCommonControlsFn)(void);

/* The launcher runs elevated from a download folder, where anybody may
 * have left a DLL beside it: load DLLs from the system folder only.
 * SetDefaultDllDirectories exists from Windows 8 (and 7 or Vista with
 * KB2533623); without it the launcher's own folder stays in the search,
 * so the run stops before anything else is loaded.  Shows the error
 * itself. */
static BOOL RestrictDllSearch(void)
{
    HMODULE hKernel = GetModuleHandleA("kernel32.dll");
    SetDefaultDllDirectoriesFn pfnSetDefault = NULL;

    SetDllDirectoryA("");
    if (hKernel)
        pfnSetDefault = (SetDefaultDllDirectoriesFn)(void *)GetProcAddress(hKernel, "SetDefaultDllDirectories");
    if (pfnSetDefault && pfnSetDefault(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return TRUE;
    ShowError(TEXT_NO_DLL_SEARCH_RESTRICTION);
    return FALSE;
}

/* Makes the progress bar class available.  comctl32 is not one of the
 * system's known DLLs, so it is loaded by its full path in the system
 * folder instead of being imported: a static import would be resolved
 * from the launcher's own folder first. */
static void InitCommonControlsFromSystem(void)
{
#ifdef LAUNCHER_STATIC_COMCTL32
    InitCommonControls();   /* test build only: shows what the import risks */
#else
    char szPath[MAX_PATH];
    UINT cch = GetSystemDirectoryA(szPath, MAX_PATH);
    HMODULE hComctl;
    InitCommonControlsFn pfnInit;

    if (cch == 0 || cch + sizeof("\\comctl32.dll") > MAX_PATH)
        return;
    strcat_s(szPath, MAX_PATH, "\\comctl32.dll");
    hComctl = LoadLibraryA(szPath);
    if (!hComctl)
        return;     /* the dialog then fails to create and says so */
    pfnInit = (InitCommonControlsFn)(void *)GetProcAddress(hComctl, "InitCommonControls");
    if (pfnInit)
        pfnInit();
    /* Stays loaded: the progress bar's window procedure lives in it. */
#endif
}

INT_PTR CALLBACK ProgressDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg)
    {
    case WM_INITDIALOG:
        g_pContext = (ExtractContext *)lParam;
        g_pContext->hDlg = hDlg;
        g_hProgress = GetDlgItem(hDlg, IDC_PROGRESS);
        SendMessageA(g_hProgress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        SendMessageA(g_hProgress, PBM_SETPOS, 0, 0);
        /* Last: from here on the worker may send its messages. */
        ResumeThread(g_pContext->hThread);
        return FALSE;

    case WM_CLOSE:
        EndDialog(hDlg, 100);
        return TRUE;

    case WM_EXTRACT_SETPOS:
        SendMessageA(g_hProgress, PBM_SETPOS, wParam, 0);
        return TRUE;

    case WM_EXTRACT_SETTEXT:
        SendDlgItemMessageA(hDlg, IDC_STATUS, WM_SETTEXT, 0, lParam);
        return TRUE;
    }
    return FALSE;
}

/* Runs the modal progress dialog, which resumes the suspended worker once
 * its window exists, then waits for the worker however the dialog ended,
 * closes its handle and returns its exit code ((DWORD)-1 if unread). */
static DWORD RunProgressDialog(HINSTANCE hInstance, ExtractContext *pContext)
{
    DWORD dwExitCode = (DWORD)-1;

    InitCommonControlsFromSystem();
    DialogBoxParamA(hInstance, MAKEINTRESOURCEA(LAUNCHER_DIALOG_ID), NULL, ProgressDlgProc, (LPARAM)pContext);
    if (pContext->hDlg == NULL)
    {
        /* The dialog never initialised, so the worker was never resumed
         * and has run no code: end it instead of waiting for ever. */
        ShowError("Unable to extract files!\nThe progress window could not be created.");
        TerminateThread(pContext->hThread, (DWORD)-1);
    }
    WaitForSingleObject(pContext->hThread, INFINITE);
    GetExitCodeThread(pContext->hThread, &dwExitCode);
    CloseHandle(pContext->hThread);
    return dwExitCode;
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nShowCmd)
{
    char szModulePath[MAX_PATH];
    const WCHAR *pwszArguments;
    ExtractContext *pContext;
    DWORD dwThreadId;
    DWORD dwExitCode;
    UINT uStartErrorMode;

    (void)hPrevInstance;
    (void)lpCmdLine;
    (void)nShowCmd;

    if (!RestrictDllSearch())
        return 0;
    /* The launcher's own error boxes are the only ones a user should see:
     * no system box for a drive that is not ready.  The installer gets
     * back the mode the launcher started with. */
    uStartErrorMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

    /* Start-up codes differ in how they split off the program name, so the
     * argument string is taken from the command line itself, in UTF-16:
     * the ANSI one holds best-fit look-alikes of what the caller passed
     * (a fullwidth quotation mark becomes a quote that ends an argument). */
    pwszArguments = SkipProgramNameW(GetCommandLineW());

    /* Never a look-alike of the own path: the box has been shown. */
    if (!GetOwnAnsiPath(szModulePath))
        return 0;
    SetEnvironmentVariableA("SNF", szModulePath);

    pContext = (ExtractContext *)calloc(1, sizeof(ExtractContext));
    if (!pContext)
    {
        ShowError("Unable to extract files!\nOut of memory.");
        return 0;
    }
    pContext->hDlg = NULL;
    strcpy_s(pContext->szModulePath, MAX_PATH, szModulePath);

    pContext->hThread = CreateThread(NULL, 0, ExtractThreadProc, pContext, CREATE_SUSPENDED, &dwThreadId);
    if (!pContext->hThread)
    {
        ShowError("Unable to extract files!\nThread creation failed!");
        free(pContext);
        return 0;
    }

    dwExitCode = RunProgressDialog(hInstance, pContext);
    LaunchAndCleanup(pContext, dwExitCode, pwszArguments, uStartErrorMode);
    if (pContext->hOwnFile)
        CloseHandle(pContext->hOwnFile);

    free(pContext);
    return 0;
}
