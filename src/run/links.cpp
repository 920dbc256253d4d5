/*
 * What the elevated launcher knows about entries it did not make.  The
 * extraction folder lies under the user's TEMP, where any unelevated
 * program of the user can plant a junction, a symbolic link or a hard link
 * in advance, to make the launcher write or delete some other file.
 */
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "launcher.h"

/* The normalised full path, without the "\\?\" that the system puts in
 * front; an empty string if it cannot be had (not every file system or
 * redirector can tell). */
void GetHandleFinalPath(HANDLE hFile, char *szPath, DWORD cchPath)
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

void GetFolderFinalPath(const char *pszFolder, char *szFinal, DWORD cchFinal)
{
    HANDLE hFolder = CreateFileA(pszFolder, FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);

    szFinal[0] = '\0';
    if (hFolder == INVALID_HANDLE_VALUE)
        return;
    GetHandleFinalPath(hFolder, szFinal, cchFinal);
    CloseHandle(hFolder);
}

BOOL InspectEntry(const char *pszPath, const char *pszFinalFolder, const char *pszName,
                  BOOL *pfElsewhere, DWORD *pcLinks)
{
    char szFinal[FINAL_PATH_SIZE];
    char szExpected[FINAL_PATH_SIZE];
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE hFile;

    *pfElsewhere = FALSE;
    *pcLinks = 1;
    /* Attributes only: no data access, so no sharing mode stands in the
     * way, and a reparse point is opened itself, not followed. */
    hFile = CreateFileA(pszPath, FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return FALSE;

    if (GetFileInformationByHandle(hFile, &info))
        *pcLinks = info.nNumberOfLinks;

    /* Where the system can tell both paths, an entry that leads anywhere
     * but to the name in the folder is a link in disguise (Wine shows a
     * symbolic link to a file as a plain file). */
    GetHandleFinalPath(hFile, szFinal, sizeof(szFinal));
    if (szFinal[0] != '\0' && pszFinalFolder[0] != '\0'
        && strlen(pszFinalFolder) + 1 + strlen(pszName) < sizeof(szExpected))
    {
        sprintf_s(szExpected, sizeof(szExpected), "%s\\%s", pszFinalFolder, pszName);
        *pfElsewhere = CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, szFinal, -1,
                                      szExpected, -1) != CSTR_EQUAL;
    }
    CloseHandle(hFile);
    return TRUE;
}

BOOL DeletePlainFiles(const char *pszFolder, const char *pszFinalFolder, char *szStayed)
{
    char szPattern[MAX_PATH];
    char szFile[MAX_PATH];
    WIN32_FIND_DATAA fd;
    HANDLE hFind;
    BOOL fElsewhere;
    DWORD cLinks;
    BOOL fAllGone = TRUE;

    if (strlen(pszFolder) + sizeof("\\*.*") > MAX_PATH)
        return TRUE;    /* no entry of it can be named either */
    sprintf_s(szPattern, MAX_PATH, "%s\\*.*", pszFolder);
    ZeroMemory(&fd, sizeof(fd));
    hFind = FindFirstFileA(szPattern, &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return TRUE;
    do
    {
        BOOL fGone = FALSE;

        if (strcmp(fd.cFileName, ".") == 0 || strcmp(fd.cFileName, "..") == 0)
            continue;
        /* A name that does not fit would name some other file. */
        if (strlen(pszFolder) + 1 + strlen(fd.cFileName) >= MAX_PATH)
            continue;
        sprintf_s(szFile, MAX_PATH, "%s\\%s", pszFolder, fd.cFileName);
        if (!(fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            && !(InspectEntry(szFile, pszFinalFolder, fd.cFileName, &fElsewhere, &cLinks)
                 && fElsewhere))
            fGone = DeleteFileA(szFile);
        if (!fGone && fAllGone && szStayed)
            strcpy_s(szStayed, MAX_PATH, szFile);
        fAllGone = fAllGone && fGone;
    } while (FindNextFileA(hFind, &fd));
    FindClose(hFind);
    return fAllGone;
}
