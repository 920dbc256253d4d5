/*
 * Launch and cleanup, the last stage of the run on the main thread after
 * the worker has ended: run the first extracted file with the launcher's
 * own argument string and wait for it, then delete the plain files of the
 * extraction folder and remove the folder.
 */
#include <windows.h>
#include <shlwapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "launcher.h"
#include "links.h"
#include "paths.h"
#include "../payload/folder.h"

/* The installer's path: the held folder's final path, as the system
 * resolves the handle now, and the first record's name, in wszProgram
 * (FINAL_PATH_SIZE characters).  FALSE when the system cannot tell it. */
static BOOL GetProgramPath(const ExtractContext *pContext, WCHAR *wszProgram)
{
    GetHandleFinalPath(pContext->hFolder, wszProgram, FINAL_PATH_SIZE);
    if (wszProgram[0] == L'\0')
        return FALSE;
    /* The name came from the code page; only the folder's path may need
     * its short form. */
    UseShortFormWhereUnnameable(wszProgram, FINAL_PATH_SIZE);
    if (wcslen(wszProgram) + 1 + wcslen(pContext->wszLaunchName) >= FINAL_PATH_SIZE)
        return FALSE;
    wcscat_s(wszProgram, FINAL_PATH_SIZE, L"\\");
    wcscat_s(wszProgram, FINAL_PATH_SIZE, pContext->wszLaunchName);
    return TRUE;
}

/* Starts "\"path\" arguments" and waits until that program has ended.
 * The path is the held folder's final path and the first record's name,
 * as the system resolves the handle now: no link on the way to TEMP is
 * walked again, so the program started is the file the launcher wrote.
 * The arguments are the launcher's own in UTF-16, character for
 * character.  A child inherits the error mode: the installer gets the one
 * the launcher started with, not the launcher's own. */
static void LaunchInstaller(const ExtractContext *pContext, const WCHAR *pwszArguments,
                            UINT uInstallerErrorMode)
{
    WCHAR wszProgram[FINAL_PATH_SIZE];
    size_t cchCmdLine;
    WCHAR *pwszCmdLine;
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    UINT uOwnErrorMode;
    BOOL fStarted;
    DWORD dwError;

    if (!GetProgramPath(pContext, wszProgram))
    {
        ShowError("Unable to launch %s\nError number %d", pContext->szLaunchPath,
                  (int)ERROR_PATH_NOT_FOUND);
        return;
    }
    /* Two quotes, one blank and the terminating NUL. */
    cchCmdLine = wcslen(wszProgram) + wcslen(pwszArguments) + 4;
    pwszCmdLine = (WCHAR *)calloc(cchCmdLine, sizeof(WCHAR));
    if (!pwszCmdLine)
    {
        ShowError("Unable to launch %s\nOut of memory.", pContext->szLaunchPath);
        return;
    }
    swprintf_s(pwszCmdLine, cchCmdLine, L"\"%s\" %s", wszProgram, pwszArguments);

    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    ZeroMemory(&pi, sizeof(pi));
    uOwnErrorMode = SetErrorMode(uInstallerErrorMode);
    fStarted = CreateProcessW(NULL, pwszCmdLine, NULL, NULL, TRUE, NORMAL_PRIORITY_CLASS,
                              NULL, NULL, &si, &pi);
    dwError = GetLastError();
    SetErrorMode(uOwnErrorMode);
    if (fStarted)
    {
        WaitForSingleObject(pi.hProcess, INFINITE);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    else
    {
        ShowError("Unable to launch %s\nError number %d", pContext->szLaunchPath, (int)dwError);
    }
    free(pwszCmdLine);
}

/* Deletes every plain file in the extraction folder through the handle
 * held since the worker made or checked it, then removes the folder if
 * what its name in TEMP holds is still that folder: nothing outside the
 * folder is touched, whatever became of the path to it.  Failures are silent: a file still in use stays, and so
 * does the folder.  szLaunchPath is cut down to the folder in place. */
static void RemoveExtractedFiles(ExtractContext *pContext)
{
    WCHAR wszFinalFolder[FINAL_PATH_SIZE];

    PathRemoveFileSpecA(pContext->szLaunchPath);
    GetHandleFinalPath(pContext->hFolder, wszFinalFolder, FINAL_PATH_SIZE);
    ClearHeldFolder(pContext->hFolder, wszFinalFolder, pContext->szLaunchPath, NULL);
    RemoveHeldFolder(pContext);
}

void LaunchAndCleanup(ExtractContext *pContext, DWORD dwExitCode, const WCHAR *pwszArguments,
                      UINT uInstallerErrorMode)
{
    if (dwExitCode == 0)
        LaunchInstaller(pContext, pwszArguments, uInstallerErrorMode);

    /* Without a recorded first file there is no folder this run can vouch
     * for, and without the folder open nothing was written into it. */
    if (pContext->szLaunchPath[0] != '\0' && pContext->hFolder)
        RemoveExtractedFiles(pContext);
    CloseHeldFolder(&pContext->hFolder);
    CloseHeldFolder(&pContext->hFolderParent);
}
