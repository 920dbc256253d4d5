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
 * so does the folder.  szLaunchPath is cut down and extended in place.
 * Entries the launcher never makes are skipped: reparse points, and files
 * whose final path leads out of the folder (a link that shows as a plain
 * file, which some platforms' DeleteFile would follow to its target). */
static void RemoveExtractedFiles(char *szLaunchPath)
{
    char szFolder[MAX_PATH];
    char szFinalFolder[FINAL_PATH_SIZE];
    char szFile[MAX_PATH];
    WIN32_FIND_DATAA fd;
    HANDLE hFind;
    BOOL fElsewhere;
    DWORD cLinks;

    PathRemoveFileSpecA(szLaunchPath);
    strcpy_s(szFolder, MAX_PATH, szLaunchPath);

    /* A link planted in place of the folder would aim the deletions
     * elsewhere: touch nothing through it. */
    if (IsLink(szFolder))
        return;
    GetFolderFinalPath(szFolder, szFinalFolder, sizeof(szFinalFolder));

    if (strlen(szLaunchPath) + sizeof("\\*.*") <= MAX_PATH)
    {
        strcat_s(szLaunchPath, MAX_PATH, "\\*.*");
        ZeroMemory(&fd, sizeof(fd));
        hFind = FindFirstFileA(szLaunchPath, &fd);
        if (hFind != INVALID_HANDLE_VALUE)
        {
            do
            {
                if (fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
                    continue;
                /* A name that does not fit would name some other file. */
                if (strlen(szFolder) + 1 + strlen(fd.cFileName) >= MAX_PATH)
                    continue;
                sprintf_s(szFile, MAX_PATH, "%s\\%s", szFolder, fd.cFileName);
                if (InspectEntry(szFile, szFinalFolder, fd.cFileName, &fElsewhere, &cLinks)
                    && fElsewhere)
                    continue;
                DeleteFileA(szFile);
            } while (FindNextFileA(hFind, &fd));
            FindClose(hFind);
        }
    }
    RemoveDirectoryA(szFolder);
}

void LaunchAndCleanup(ExtractContext *pContext, DWORD dwExitCode, const char *pszArguments,
                      UINT uInstallerErrorMode)
{
    if (dwExitCode == 0)
        LaunchInstaller(pContext->szLaunchPath, pszArguments, uInstallerErrorMode);

    /* Without a recorded first file there is no folder this run can vouch
     * for, so nothing is touched. */
    if (pContext->szLaunchPath[0] != '\0')
        RemoveExtractedFiles(pContext->szLaunchPath);
}
