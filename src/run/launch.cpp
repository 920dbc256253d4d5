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

BOOL IsLink(const char *pszPath)
{
    DWORD dwAttributes = GetFileAttributesA(pszPath);

    return dwAttributes != INVALID_FILE_ATTRIBUTES
        && (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

/* Starts "\"path\" arguments" and waits until that program has ended. */
static void LaunchInstaller(const char *pszLaunchPath, const char *pszArguments)
{
    /* Two quotes, one blank and the terminating NUL. */
    size_t cbCmdLine = strlen(pszLaunchPath) + strlen(pszArguments) + 4;
    char *pszCmdLine = (char *)calloc(1, cbCmdLine);
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;

    if (!pszCmdLine)
    {
        ShowError("Unable to launch %s\nOut of memory.", pszLaunchPath);
        return;
    }
    sprintf_s(pszCmdLine, cbCmdLine, "\"%s\" %s", pszLaunchPath, pszArguments);

    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    ZeroMemory(&pi, sizeof(pi));
    if (CreateProcessA(NULL, pszCmdLine, NULL, NULL, TRUE, NORMAL_PRIORITY_CLASS,
                       NULL, NULL, &si, &pi))
    {
        WaitForSingleObject(pi.hProcess, INFINITE);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    else
    {
        ShowError("Unable to launch %s\nError number %d", pszLaunchPath, (int)GetLastError());
    }
    free(pszCmdLine);
}

/* Deletes every plain file in the folder of the first extracted file and
 * removes the folder.  Failures are silent: a file still in use stays, and
 * so does the folder.  szLaunchPath is cut down and extended in place. */
static void RemoveExtractedFiles(char *szLaunchPath)
{
    char szFolder[MAX_PATH];
    char szFile[MAX_PATH];
    WIN32_FIND_DATAA fd;
    HANDLE hFind;

    PathRemoveFileSpecA(szLaunchPath);
    strcpy_s(szFolder, MAX_PATH, szLaunchPath);

    /* A link planted in place of the folder would aim the deletions
     * elsewhere: touch nothing through it. */
    if (IsLink(szFolder))
        return;

    if (strlen(szLaunchPath) + sizeof("\\*.*") <= MAX_PATH)
    {
        strcat_s(szLaunchPath, MAX_PATH, "\\*.*");
        ZeroMemory(&fd, sizeof(fd));
        hFind = FindFirstFileA(szLaunchPath, &fd);
        if (hFind != INVALID_HANDLE_VALUE)
        {
            do
            {
                if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    continue;
                /* A name that does not fit would delete some other file. */
                if (strlen(szFolder) + 1 + strlen(fd.cFileName) >= MAX_PATH)
                    continue;
                sprintf_s(szFile, MAX_PATH, "%s\\%s", szFolder, fd.cFileName);
                DeleteFileA(szFile);
            } while (FindNextFileA(hFind, &fd));
            FindClose(hFind);
        }
    }
    RemoveDirectoryA(szFolder);
}

void LaunchAndCleanup(ExtractContext *pContext, DWORD dwExitCode, const char *pszArguments)
{
    if (dwExitCode == 0)
        LaunchInstaller(pContext->szLaunchPath, pszArguments);

    /* Without a recorded first file there is no folder this run can vouch
     * for, so nothing is touched. */
    if (pContext->szLaunchPath[0] != '\0')
        RemoveExtractedFiles(pContext->szLaunchPath);
}
