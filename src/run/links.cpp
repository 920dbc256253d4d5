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
 * redirector can tell).  In UTF-16: the ANSI form would turn a character
 * the code page lacks into a look-alike, naming another path. */
void GetHandleFinalPath(HANDLE hFile, WCHAR *wszPath, DWORD cchPath)
{
    DWORD cch = GetFinalPathNameByHandleW(hFile, wszPath, cchPath, FILE_NAME_NORMALIZED);

    if (cch == 0 || cch >= cchPath)
    {
        wszPath[0] = L'\0';
        return;
    }
    if (wcsncmp(wszPath, L"\\\\?\\", 4) == 0)
        memmove(wszPath, wszPath + 4, (cch - 4 + 1) * sizeof(WCHAR));
}

/* Whether the final path of an entry is not the final path of its folder
 * followed by its name (an ANSI name); FALSE where that cannot be told. */
BOOL IsFinalPathElsewhere(const WCHAR *pwszFinal, const WCHAR *pwszFinalFolder, const char *pszName)
{
    WCHAR wszExpected[FINAL_PATH_SIZE];
    size_t cchFolder = wcslen(pwszFinalFolder);

    if (pwszFinal[0] == L'\0' || cchFolder == 0 || cchFolder + 2 >= FINAL_PATH_SIZE)
        return FALSE;
    wcscpy_s(wszExpected, FINAL_PATH_SIZE, pwszFinalFolder);
    if (wszExpected[cchFolder - 1] != L'\\')    /* a drive's root ends in one */
        wszExpected[cchFolder++] = L'\\';
    if (!MultiByteToWideChar(CP_ACP, 0, pszName, -1, wszExpected + cchFolder,
                             (int)(FINAL_PATH_SIZE - cchFolder)))
        return FALSE;
    return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, pwszFinal, -1,
                          wszExpected, -1) != CSTR_EQUAL;
}

void GetFolderFinalPath(const char *pszFolder, WCHAR *wszFinal, DWORD cchFinal)
{
    HANDLE hFolder = CreateFileA(pszFolder, FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);

    wszFinal[0] = L'\0';
    if (hFolder == INVALID_HANDLE_VALUE)
        return;
    GetHandleFinalPath(hFolder, wszFinal, cchFinal);
    CloseHandle(hFolder);
}

BOOL InspectEntry(const char *pszPath, const WCHAR *pwszFinalFolder, const char *pszName,
                  BOOL *pfElsewhere, DWORD *pcLinks)
{
    WCHAR wszFinal[FINAL_PATH_SIZE];
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
    GetHandleFinalPath(hFile, wszFinal, FINAL_PATH_SIZE);
    *pfElsewhere = IsFinalPathElsewhere(wszFinal, pwszFinalFolder, pszName);
    CloseHandle(hFile);
    return TRUE;
}

BOOL DeletePlainFiles(const char *pszFolder, const WCHAR *pwszFinalFolder, char *szStayed)
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
            && !(InspectEntry(szFile, pwszFinalFolder, fd.cFileName, &fElsewhere, &cLinks)
                 && fElsewhere))
            fGone = DeleteFileA(szFile);
        if (!fGone && fAllGone && szStayed)
            strcpy_s(szStayed, MAX_PATH, szFile);
        fAllGone = fAllGone && fGone;
    } while (FindNextFileA(hFind, &fd));
    FindClose(hFind);
    return fAllGone;
}
