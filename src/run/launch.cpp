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

/* The normalised full path of an open file or folder, without the "\\?\"
 * that the system puts in front; an empty string if it cannot be had. */
static void GetFinalPath(HANDLE hFile, char *szPath, DWORD cchPath)
{
    DWORD cch = GetFinalPathNameByHandleA(hFile, szPath, cchPath, FILE_NAME_NORMALIZED);

    if (cch == 0 || cch >= cchPath)
    {
        szPath[0] = '\0';
        return;
    }
    if (strncmp(szPath, "\\\\?\\", 4) == 0)
        memmove(szPath, szPath + 4, cch - 4 + 1);
}

/* Deletes one file of the folder through a handle, and only when that
 * handle leads to the very file named in the folder.  A link planted in
 * its place leads elsewhere, and not every platform deletes the link
 * rather than its target; the handle also keeps the file from being
 * swapped between the check and the deletion. */
static void DeleteFileInFolder(const char *pszFile, const char *pszFinalFolder, const char *pszName)
{
    char szFinal[2 * MAX_PATH];
    char szExpected[2 * MAX_PATH];
    FILE_DISPOSITION_INFO info;
    HANDLE hFile;

    if (strlen(pszFinalFolder) + 1 + strlen(pszName) >= sizeof(szExpected))
        return;
    sprintf_s(szExpected, sizeof(szExpected), "%s\\%s", pszFinalFolder, pszName);

    hFile = CreateFileA(pszFile, DELETE | FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return;     /* in use, read-only or gone: it stays */
    GetFinalPath(hFile, szFinal, sizeof(szFinal));
    if (szFinal[0] != '\0' && _stricmp(szFinal, szExpected) == 0)
    {
        info.DeleteFile = TRUE;
        SetFileInformationByHandle(hFile, FileDispositionInfo, &info, sizeof(info));
    }
    CloseHandle(hFile);
}

/* Deletes every plain file in the folder of the first extracted file and
 * removes the folder.  Failures are silent: a file still in use stays, and
 * so does the folder.  szLaunchPath is cut down and extended in place. */
static void RemoveExtractedFiles(char *szLaunchPath)
{
    char szFolder[MAX_PATH];
    char szFinalFolder[2 * MAX_PATH];
    char szFile[MAX_PATH];
    WIN32_FIND_DATAA fd;
    HANDLE hFind;
    HANDLE hFolder;

    PathRemoveFileSpecA(szLaunchPath);
    strcpy_s(szFolder, MAX_PATH, szLaunchPath);

    /* A link planted in place of the folder would aim the deletions
     * elsewhere: touch nothing through it. */
    if (IsLink(szFolder))
        return;

    hFolder = CreateFileA(szFolder, FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (hFolder == INVALID_HANDLE_VALUE)
        return;     /* no folder, nothing to remove */
    GetFinalPath(hFolder, szFinalFolder, sizeof(szFinalFolder));
    CloseHandle(hFolder);

    if (szFinalFolder[0] != '\0' && strlen(szLaunchPath) + sizeof("\\*.*") <= MAX_PATH)
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
                /* A name that does not fit would name some other file. */
                if (strlen(szFolder) + 1 + strlen(fd.cFileName) >= MAX_PATH)
                    continue;
                sprintf_s(szFile, MAX_PATH, "%s\\%s", szFolder, fd.cFileName);
                DeleteFileInFolder(szFile, szFinalFolder, fd.cFileName);
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
