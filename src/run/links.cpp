/*
 * What the elevated launcher knows about entries it did not make, and how
 * it reaches them.  The extraction folder lies under the user's TEMP,
 * where any unelevated program of the user can plant a junction, a
 * symbolic link or a hard link, or swap one name for another between two
 * of the launcher's calls.  So after its check the launcher never goes
 * back to a path: every entry is opened relative to the folder handle it
 * holds, by its one name as the folder lists it in UTF-16, judged through
 * that handle and deleted through it.
 */
#include <windows.h>
#include <winternl.h>
#include <stdio.h>
#include <string.h>

#include "links.h"

#ifndef STATUS_FILE_IS_A_DIRECTORY
#define STATUS_FILE_IS_A_DIRECTORY ((NTSTATUS)0xC00000BAL)
#endif

typedef NTSTATUS (NTAPI *NtCreateFileFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                         PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG,
                                         ULONG, ULONG, PVOID, ULONG);
typedef ULONG (NTAPI *RtlNtStatusToDosErrorFn)(NTSTATUS);

/* ntdll's functions are looked up when used, like NtAreMappedFilesTheSame:
 * the launcher's import table names kernel32's documented ones only. */
FARPROC GetNtdllFunction(const char *pszName)
{
    HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
    return hNtdll ? GetProcAddress(hNtdll, pszName) : NULL;
}

/* The system error code for an NTSTATUS.  A file that turns out to be a
 * folder is refused the way CreateFile refuses it: access denied. */
static DWORD SystemErrorFromStatus(NTSTATUS nStatus)
{
    RtlNtStatusToDosErrorFn pfnToDos;

    if (nStatus == STATUS_FILE_IS_A_DIRECTORY)
        return ERROR_ACCESS_DENIED;
    pfnToDos = (RtlNtStatusToDosErrorFn)(void *)GetNtdllFunction("RtlNtStatusToDosError");
    return pfnToDos ? pfnToDos(nStatus) : ERROR_GEN_FAILURE;
}

DWORD OpenByName(HANDLE hRoot, const WCHAR *pwszName, const OPEN_REQUEST *pRequest,
                 HANDLE *phFile)
{
    NtCreateFileFn pfnCreate = (NtCreateFileFn)(void *)GetNtdllFunction("NtCreateFile");
    size_t cbName = wcslen(pwszName) * sizeof(WCHAR);
    UNICODE_STRING usName;
    OBJECT_ATTRIBUTES oa;
    IO_STATUS_BLOCK iosb;
    NTSTATUS nStatus;

    *phFile = NULL;
    if (!pfnCreate)
        return ERROR_PROC_NOT_FOUND;
    if (cbName > 0xFFFE)
        return ERROR_FILENAME_EXCED_RANGE;
    usName.Buffer = (PWSTR)pwszName;
    usName.Length = (USHORT)cbName;
    usName.MaximumLength = (USHORT)cbName;
    /* Case-insensitive like every Win32 open; not inheritable. */
    InitializeObjectAttributes(&oa, &usName, OBJ_CASE_INSENSITIVE, hRoot,
                               pRequest->pSecurityDescriptor);
    nStatus = pfnCreate(phFile, pRequest->dwAccess | SYNCHRONIZE, &oa, &iosb, NULL,
                        FILE_ATTRIBUTE_NORMAL, pRequest->dwShare, pRequest->dwDisposition,
                        pRequest->dwOptions | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (NT_SUCCESS(nStatus))
        return ERROR_SUCCESS;
    *phFile = NULL;
    return SystemErrorFromStatus(nStatus);
}

BOOL DeleteByHandle(HANDLE hFile)
{
    FILE_DISPOSITION_INFO info;

    info.DeleteFile = TRUE;
    return SetFileInformationByHandle(hFile, FileDispositionInfo, &info, sizeof(info));
}

BOOL GetFileIdentity(HANDLE hFile, FILE_IDENTITY *pIdentity)
{
    BY_HANDLE_FILE_INFORMATION info;

    if (!GetFileInformationByHandle(hFile, &info))
        return FALSE;
    pIdentity->dwVolumeSerial = info.dwVolumeSerialNumber;
    pIdentity->dwIndexHigh = info.nFileIndexHigh;
    pIdentity->dwIndexLow = info.nFileIndexLow;
    return TRUE;
}

BOOL IsSameFile(const FILE_IDENTITY *pOne, const FILE_IDENTITY *pOther)
{
    return pOne->dwVolumeSerial == pOther->dwVolumeSerial
        && pOne->dwIndexHigh == pOther->dwIndexHigh && pOne->dwIndexLow == pOther->dwIndexLow;
}

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
    if (wcsncmp(wszPath, L"\\\\?\\UNC\\", 8) == 0)
    {
        /* "\\?\UNC\server\share" is "\\server\share" */
        memmove(wszPath + 2, wszPath + 8, (cch - 8 + 1) * sizeof(WCHAR));
    }
    else if (wcsncmp(wszPath, L"\\\\?\\", 4) == 0)
        memmove(wszPath, wszPath + 4, (cch - 4 + 1) * sizeof(WCHAR));
}

BOOL IsFinalPathElsewhere(const WCHAR *pwszFinal, const WCHAR *pwszFinalFolder, const WCHAR *pwszName)
{
    WCHAR wszExpected[FINAL_PATH_SIZE];
    size_t cchFolder = wcslen(pwszFinalFolder);

    if (pwszFinal[0] == L'\0' || cchFolder == 0
        || cchFolder + 1 + wcslen(pwszName) >= FINAL_PATH_SIZE)
        return FALSE;
    wcscpy_s(wszExpected, FINAL_PATH_SIZE, pwszFinalFolder);
    if (wszExpected[cchFolder - 1] != L'\\')    /* a drive's root ends in one */
        wcscat_s(wszExpected, FINAL_PATH_SIZE, L"\\");
    wcscat_s(wszExpected, FINAL_PATH_SIZE, pwszName);
    /* Ordinal, as the file system compares names: a linguistic comparison
     * takes some different names for equal. */
    return CompareStringOrdinal(pwszFinal, -1, wszExpected, -1, TRUE) != CSTR_EQUAL;
}

int JudgeEntry(HANDLE hFolder, const WCHAR *pwszFinalFolder, const WCHAR *pwszName,
               HANDLE *phEntry)
{
    /* Attributes and DELETE only: no data access, so no sharing mode of a
     * writer stands in the way; a reparse point is opened itself. */
    static const OPEN_REQUEST request = {
        DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        FILE_OPEN, FILE_OPEN_REPARSE_POINT, NULL };
    WCHAR wszFinal[FINAL_PATH_SIZE];
    BY_HANDLE_FILE_INFORMATION info;
    DWORD dwError = OpenByName(hFolder, pwszName, &request, phEntry);

    if (dwError == ERROR_FILE_NOT_FOUND)
        return ENTRY_ABSENT;
    if (dwError != ERROR_SUCCESS)
        return ENTRY_UNOPENABLE;
    if (!GetFileInformationByHandle(*phEntry, &info))
        return ENTRY_UNOPENABLE;
    /* A link of any kind loses its name only, never its target. */
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nNumberOfLinks > 1)
        return ENTRY_EXTRA_NAME;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return ENTRY_DIRECTORY;
    /* Where the system can tell both paths, an entry that leads anywhere
     * but to the name in the folder is a link in disguise (Wine shows a
     * symbolic link to a file as a plain file, and its handle is the
     * target's). */
    GetHandleFinalPath(*phEntry, wszFinal, FINAL_PATH_SIZE);
    if (IsFinalPathElsewhere(wszFinal, pwszFinalFolder, pwszName))
        return ENTRY_ELSEWHERE;
    return ENTRY_PLAIN;
}

/* Deletes one entry of the folder if it is a plain file or a link's name;
 * FALSE when it stays. */
static BOOL DeleteEntry(HANDLE hFolder, const WCHAR *pwszFinalFolder, const WCHAR *pwszName)
{
    HANDLE hEntry = NULL;
    int nKind = JudgeEntry(hFolder, pwszFinalFolder, pwszName, &hEntry);
    BOOL fGone = nKind == ENTRY_ABSENT;

    if (nKind == ENTRY_PLAIN || nKind == ENTRY_EXTRA_NAME)
        fGone = DeleteByHandle(hEntry);
    if (hEntry)
        CloseHandle(hEntry);
    return fGone;
}

/* The path of an entry for a message: the folder's path, a backslash and
 * the name in the code page (a look-alike there only shows, never opens). */
static void FormatEntryPath(char *szPath, const char *pszFolder, const WCHAR *pwszName)
{
    char szName[MAX_PATH];

    if (!WideCharToMultiByte(CP_ACP, 0, pwszName, -1, szName, MAX_PATH, NULL, NULL))
        strcpy_s(szName, MAX_PATH, "?");
    _snprintf_s(szPath, MAX_PATH, _TRUNCATE, "%s\\%s", pszFolder, szName);
}

/* Goes through one batch of directory entries; FALSE once one stays. */
static BOOL DeleteEntryBatch(HANDLE hFolder, const WCHAR *pwszFinalFolder, const char *pszFolder,
                             const BYTE *pbBatch, char *szStayed, BOOL fAllGone)
{
    const FILE_ID_BOTH_DIR_INFO *pEntry = (const FILE_ID_BOTH_DIR_INFO *)pbBatch;
    WCHAR wszName[MAX_PATH];

    for (;;)
    {
        size_t cchName = pEntry->FileNameLength / sizeof(WCHAR);

        /* A longer name than the launcher can hold cannot be opened by
         * it: the entry stays, and so a folder holding it is not clear. */
        if (cchName >= MAX_PATH)
        {
            if (fAllGone && szStayed)
                strcpy_s(szStayed, MAX_PATH, pszFolder);
            fAllGone = FALSE;
        }
        else
        {
            memcpy(wszName, pEntry->FileName, cchName * sizeof(WCHAR));
            wszName[cchName] = L'\0';
            if (wcscmp(wszName, L".") != 0 && wcscmp(wszName, L"..") != 0
                && !DeleteEntry(hFolder, pwszFinalFolder, wszName))
            {
                if (fAllGone && szStayed)
                    FormatEntryPath(szStayed, pszFolder, wszName);
                fAllGone = FALSE;
            }
        }
        if (pEntry->NextEntryOffset == 0)
            return fAllGone;
        pEntry = (const FILE_ID_BOTH_DIR_INFO *)((const BYTE *)pEntry + pEntry->NextEntryOffset);
    }
}

BOOL ClearHeldFolder(HANDLE hFolder, const WCHAR *pwszFinalFolder, const char *pszFolder,
                     char *szStayed)
{
    /* The entries hold 8-byte fields and are aligned to 8 bytes within
     * the batch, so the batch itself is too. */
    ULONGLONG rgullBatch[2048];
    FILE_INFO_BY_HANDLE_CLASS nClass = FileIdBothDirectoryRestartInfo;
    BOOL fAllGone = TRUE;
    DWORD dwError;

    while (GetFileInformationByHandleEx(hFolder, nClass, rgullBatch, sizeof(rgullBatch)))
    {
        fAllGone = DeleteEntryBatch(hFolder, pwszFinalFolder, pszFolder, (const BYTE *)rgullBatch,
                                    szStayed, fAllGone);
        nClass = FileIdBothDirectoryInfo;
    }
    /* Anything but the end of the list leaves entries unseen. */
    dwError = GetLastError();
    if (dwError != ERROR_NO_MORE_FILES && dwError != ERROR_FILE_NOT_FOUND && fAllGone)
    {
        if (szStayed)
            strcpy_s(szStayed, MAX_PATH, pszFolder);
        fAllGone = FALSE;
    }
    return fAllGone;
}
