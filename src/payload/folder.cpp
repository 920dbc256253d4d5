/*
 * The extraction folder's protection.  The elevated launcher unpacks and
 * runs files in a folder of a fixed name under TEMP, which unelevated
 * programs of the user (or, under C:\Windows\Temp, any local user) can
 * write to and may have made first.  So the folder is created with a
 * descriptor of the launcher's own, an existing folder is reused only when
 * it carries that descriptor (an earlier or concurrent elevated run made
 * it), and any other is cleared, removed and made afresh.  From its check
 * on, the folder is held open without delete sharing, so that nobody can
 * rename it or put a link in its place while the launcher works in it.
 */
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "container.h"
#include "../run/launcher.h"

BOOL GetFolderOwner(char *szOwner, size_t cchOwner)
{
    BYTE rgbAdmins[SECURITY_MAX_SID_SIZE];
    DWORD cbAdmins = sizeof(rgbAdmins);
    DWORD rgdwUser[(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE) / sizeof(DWORD) + 1];
    DWORD cbUser;
    BOOL fAdmin = FALSE;
    HANDLE hToken = NULL;
    char *pszSid = NULL;
    BOOL fOk = FALSE;

    /* The group counts only where it is enabled: in the elevated token,
     * not in the filtered one that UAC gives the same user. */
    if (CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, rgbAdmins, &cbAdmins)
        && CheckTokenMembership(NULL, rgbAdmins, &fAdmin) && fAdmin)
    {
        strcpy_s(szOwner, cchOwner, "BA");
        return TRUE;
    }
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken))
        return FALSE;
    if (GetTokenInformation(hToken, TokenUser, rgdwUser, sizeof(rgdwUser), &cbUser)
        && ConvertSidToStringSidA(((TOKEN_USER *)rgdwUser)->User.Sid, &pszSid))
    {
        fOk = strlen(pszSid) < cchOwner;
        if (fOk)
            strcpy_s(szOwner, cchOwner, pszSid);
        LocalFree(pszSid);
    }
    CloseHandle(hToken);
    return fOk;
}

void FormatFolderSddl(char *szSddl, size_t cchSddl, const char *pszOwner)
{
    /* P: not inherited from TEMP; OICI: inherited by files and folders. */
    sprintf_s(szSddl, cchSddl, "O:%sD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;%s)", pszOwner, pszOwner);
}

BOOL IsOwnFolderDescriptor(PSECURITY_DESCRIPTOR pSD, const char *pszOwner)
{
    BYTE rgbSystem[SECURITY_MAX_SID_SIZE];
    DWORD cbSystem = sizeof(rgbSystem);
    PSID pExpected = NULL;
    PSID pOwner = NULL;
    PACL pDacl = NULL;
    SECURITY_DESCRIPTOR_CONTROL wControl = 0;
    DWORD dwRevision;
    BOOL fDefaulted;
    BOOL fPresent = FALSE;
    BOOL fOwn;
    DWORD i;

    if (!ConvertStringSidToSidA(pszOwner, &pExpected))
        return FALSE;
    fOwn = CreateWellKnownSid(WinLocalSystemSid, NULL, rgbSystem, &cbSystem)
        && GetSecurityDescriptorControl(pSD, &wControl, &dwRevision)
        && (wControl & SE_DACL_PROTECTED)
        && GetSecurityDescriptorOwner(pSD, &pOwner, &fDefaulted) && pOwner
        && EqualSid(pOwner, pExpected)
        && GetSecurityDescriptorDacl(pSD, &fPresent, &pDacl, &fDefaulted)
        && fPresent && pDacl;   /* a null DACL lets everybody in */

    /* Every entry must allow, and only SYSTEM or the owner. */
    for (i = 0; fOwn && i < pDacl->AceCount; i++)
    {
        ACE_HEADER *pAce = NULL;
        PSID pSid;

        if (!GetAce(pDacl, i, (LPVOID *)&pAce) || pAce->AceType != ACCESS_ALLOWED_ACE_TYPE)
        {
            fOwn = FALSE;
            break;
        }
        pSid = (PSID)&((ACCESS_ALLOWED_ACE *)pAce)->SidStart;
        fOwn = EqualSid(pSid, rgbSystem) || EqualSid(pSid, pExpected);
    }
    LocalFree(pExpected);
    return fOwn;
}

/* The C runtime's number for a system error of creating a file or folder,
 * for the texts that show errno. */
int ErrnoFromSystemError(DWORD dwError)
{
    switch (dwError)
    {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_CURRENT_DIRECTORY:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_DISK_FULL:
        return ENOSPC;
    }
    return EINVAL;
}

/* Creates the folder with the launcher's descriptor; the system's error
 * stays for the caller. */
static BOOL CreateProtectedFolder(const char *pszFolder, const char *pszOwner)
{
    char szSddl[FOLDER_SDDL_SIZE];
    PSECURITY_DESCRIPTOR pSD = NULL;
    SECURITY_ATTRIBUTES sa;
    BOOL fMade;
    DWORD dwError;

    FormatFolderSddl(szSddl, sizeof(szSddl), pszOwner);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(szSddl, SDDL_REVISION_1, &pSD, NULL))
        return FALSE;
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = pSD;
    sa.bInheritHandle = FALSE;
    fMade = CreateDirectoryA(pszFolder, &sa);
    dwError = GetLastError();
    LocalFree(pSD);
    SetLastError(dwError);
    return fMade;
}

/* Opens the folder itself, never what a link in its place leads to, for
 * its attributes, descriptor and final path.  Others may read and write
 * in it, but not rename or delete it while the handle is open: sharing
 * binds only opens with data access, hence FILE_LIST_DIRECTORY.  Not
 * inheritable: the installer gets no handle of the launcher's. */
static HANDLE OpenFolderHandle(const char *pszFolder)
{
    return CreateFileA(pszFolder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
}

/* Whether the open folder is a link: a reparse point, or (where the
 * system can tell both paths) an entry whose final path is not its
 * parent's final path plus its name, which is how a link that the open
 * followed shows.  Leaves the folder's final path in wszFinalFolder. */
static BOOL IsLinkedFolder(HANDLE hFolder, const char *pszFolder, WCHAR *wszFinalFolder)
{
    BY_HANDLE_FILE_INFORMATION info;
    char szParent[MAX_PATH];
    WCHAR wszFinalParent[FINAL_PATH_SIZE];
    const char *pszName;
    size_t cchParent;

    GetHandleFinalPath(hFolder, wszFinalFolder, FINAL_PATH_SIZE);
    if (GetFileInformationByHandle(hFolder, &info)
        && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return TRUE;

    pszName = strrchr(pszFolder, '\\');
    if (!pszName)
        return FALSE;
    cchParent = (size_t)(pszName - pszFolder) + 1;     /* with its backslash */
    memcpy(szParent, pszFolder, cchParent);
    szParent[cchParent] = '\0';
    GetFolderFinalPath(szParent, wszFinalParent, FINAL_PATH_SIZE);
    return IsFinalPathElsewhere(wszFinalFolder, wszFinalParent, pszName + 1);
}

/* Whether the open folder carries the descriptor the launcher gives it. */
static BOOL IsOwnFolder(HANDLE hFolder, const char *pszOwner)
{
    PSECURITY_DESCRIPTOR pSD = NULL;
    BOOL fOwn;

    if (GetSecurityInfo(hFolder, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        NULL, NULL, NULL, NULL, &pSD) != ERROR_SUCCESS)
        return FALSE;
    fOwn = IsOwnFolderDescriptor(pSD, pszOwner);
    LocalFree(pSD);
    return fOwn;
}

/* Opens the folder just made or found and checks that it is no link;
 * shows the error itself. */
static HANDLE OpenCheckedFolder(const char *pszFolder, WCHAR *wszFinalFolder)
{
    HANDLE hFolder = OpenFolderHandle(pszFolder);

    if (hFolder == INVALID_HANDLE_VALUE)
    {
        ShowError(TEXT_OPEN_REFUSED, pszFolder);
        return NULL;
    }
    if (IsLinkedFolder(hFolder, pszFolder, wszFinalFolder))
    {
        ShowError("Unable to extract files!\nThe folder %s is a link.", pszFolder);
        CloseHandle(hFolder);
        return NULL;
    }
    return hFolder;
}

/* Clears a folder somebody else made by the cleanup's rules and removes
 * it; shows the error itself, naming the entry that stays. */
static BOOL RemoveForeignFolder(HANDLE hFolder, const char *pszFolder, const WCHAR *pwszFinalFolder)
{
    char szStayed[MAX_PATH];
    BOOL fCleared = DeletePlainFiles(pszFolder, pwszFinalFolder, szStayed);

    CloseHandle(hFolder);
    if (!fCleared)
    {
        ShowError(TEXT_OPEN_REFUSED, szStayed);
        return FALSE;
    }
    if (!RemoveDirectoryA(pszFolder))
    {
        ShowError(TEXT_OPEN_REFUSED, pszFolder);
        return FALSE;
    }
    return TRUE;
}

BOOL OpenExtractionFolder(const char *pszFolder, WCHAR *wszFinalFolder, HANDLE *phFolder,
                          int *pnFolderErrno)
{
    char szOwner[FOLDER_SDDL_SIZE];
    HANDLE hFolder;
    DWORD dwError;

    *phFolder = NULL;
    *pnFolderErrno = 0;
    wszFinalFolder[0] = L'\0';
    if (!GetFolderOwner(szOwner, sizeof(szOwner)))
    {
        ShowError("Unable to extract files!\nThe owner for the folder %s could not be found.", pszFolder);
        return FALSE;
    }

    if (!CreateProtectedFolder(pszFolder, szOwner))
    {
        dwError = GetLastError();
        if (dwError != ERROR_ALREADY_EXISTS)
        {
            /* TEMP missing or not writable: nothing can be written, and
             * the first record's file reports it with its path. */
            *pnFolderErrno = ErrnoFromSystemError(dwError);
            return TRUE;
        }
        hFolder = OpenCheckedFolder(pszFolder, wszFinalFolder);
        if (!hFolder)
            return FALSE;
        if (IsOwnFolder(hFolder, szOwner))
        {
            *phFolder = hFolder;
            return TRUE;
        }
        if (!RemoveForeignFolder(hFolder, pszFolder, wszFinalFolder))
            return FALSE;
        if (!CreateProtectedFolder(pszFolder, szOwner))
        {
            /* Made again by somebody else in between. */
            ShowError(TEXT_OPEN_REFUSED, pszFolder);
            return FALSE;
        }
    }
    *phFolder = OpenCheckedFolder(pszFolder, wszFinalFolder);
    return *phFolder != NULL;
}
