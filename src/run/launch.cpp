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

/* Starts "\"path\" arguments" and waits until that program has ended.
 * A child inherits the error mode: the installer gets the one the
 * launcher started with, not the launcher's own. */
static void LaunchInstaller(const char *pszLaunchPath, const char *pszArguments,
                            UINT uInstallerErrorMode)
{
    /* Two quotes, one blank and the terminating NUL. */
    size_t cbCmdLine = strlen(pszLaunchPath) + strlen(pszArguments) + 4;
    char *pszCmdLine = (char *)calloc(1, cbCmdLine);
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    UINT uOwnErrorMode;
    BOOL fStarted;
    DWORD dwError;

    if (!pszCmdLine)
    {
        ShowError("Unable to launch %s\nOut of memory.", pszLaunchPath);
        return;
    }
    sprintf_s(pszCmdLine, cbCmdLine, "\"%s\" %s", pszLaunchPath, pszArguments);

    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    ZeroMemory(&pi, sizeof(pi));
    uOwnErrorMode = SetErrorMode(uInstallerErrorMode);
    fStarted = CreateProcessA(NULL, pszCmdLine, NULL, NULL, TRUE, NORMAL_PRIORITY_CLASS,
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
        ShowError("Unable to launch %s\nError number %d", pszLaunchPath, (int)dwError);
    }
    free(pszCmdLine);
}

/* Deletes every plain file in the folder of the first extracted file and
 * removes the folder.  Failures are silent: a file still in use stays, and
 * so does the folder.  szLaunchPath is cut down to the folder in place.
 * The folder was checked when the worker opened it, and the handle kept
 * since stopped anybody from renaming it or putting a link in its place;
 * it is let go just before the folder is removed. */
static void RemoveExtractedFiles(ExtractContext *pContext)
{
    WCHAR wszFinalFolder[FINAL_PATH_SIZE];

    PathRemoveFileSpecA(pContext->szLaunchPath);
    GetHandleFinalPath(pContext->hFolder, wszFinalFolder, FINAL_PATH_SIZE);
    DeletePlainFiles(pContext->szLaunchPath, wszFinalFolder, NULL);
    CloseHandle(pContext->hFolder);
    pContext->hFolder = NULL;
    RemoveDirectoryA(pContext->szLaunchPath);
}

void LaunchAndCleanup(ExtractContext *pContext, DWORD dwExitCode, const char *pszArguments,
                      UINT uInstallerErrorMode)
{
    if (dwExitCode == 0)
        LaunchInstaller(pContext->szLaunchPath, pszArguments, uInstallerErrorMode);

    /* Without a recorded first file there is no folder this run can vouch
     * for, and without the folder open nothing was written into it. */
    if (pContext->szLaunchPath[0] != '\0' && pContext->hFolder)
        RemoveExtractedFiles(pContext);
    if (pContext->hFolder)
    {
        CloseHandle(pContext->hFolder);
        pContext->hFolder = NULL;
    }
}
