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
#include "folder.h"
#include "../run/launcher.h"
#include "../run/links.h"
#include "../run/paths.h"

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

/* How the launcher holds its folder: listed, judged and, when it is done,
 * deleted through this handle.  Others may read and write in it, but not
 * rename or delete it while the handle is open, and no link is followed
 * in its place. */
#define FOLDER_ACCESS (FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES \
                       | READ_CONTROL | DELETE)
#define FOLDER_OPTIONS (FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT)

/* Makes the folder with the launcher's descriptor and opens it in the
 * same call, so the handle is the folder this call made: nobody can swap
 * it between the making and the holding.  Returns the system error. */
static DWORD CreateHeldFolder(const WCHAR *pwszNtFolder, const char *pszOwner, HANDLE *phFolder)
{
    char szSddl[FOLDER_SDDL_SIZE];
    PSECURITY_DESCRIPTOR pSD = NULL;
    OPEN_REQUEST request = { FOLDER_ACCESS, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
                             FOLDER_OPTIONS, NULL };
    DWORD dwError;

    *phFolder = NULL;
    FormatFolderSddl(szSddl, sizeof(szSddl), pszOwner);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(szSddl, SDDL_REVISION_1, &pSD, NULL))
        return GetLastError();
    request.pSecurityDescriptor = pSD;
    dwError = OpenByName(NULL, pwszNtFolder, &request, phFolder);
    LocalFree(pSD);
    return dwError;
}

/* Opens the existing folder itself, never what a link in its place leads
 * to.  While a concurrent run holds it (with DELETE access, no delete
 * sharing) this run shares it without DELETE access: that run's handle
 * keeps it in place, and this one leaves its removal to that run. */
static DWORD OpenExistingFolder(const WCHAR *pwszNtFolder, HANDLE *phFolder)
{
    OPEN_REQUEST request = { FOLDER_ACCESS, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                             FOLDER_OPTIONS, NULL };
    DWORD dwError = OpenByName(NULL, pwszNtFolder, &request, phFolder);

    if (dwError == ERROR_SHARING_VIOLATION)
    {
        request.dwAccess &= ~DELETE;
        request.dwShare |= FILE_SHARE_DELETE;
        dwError = OpenByName(NULL, pwszNtFolder, &request, phFolder);
    }
    return dwError;
}

void CloseHeldFolder(HANDLE *phFolder)
{
    if (!*phFolder)
        return;
    CloseHandle(*phFolder);
    *phFolder = NULL;
}

void RemoveHeldFolder(HANDLE *phFolder)
{
    if (*phFolder)
        DeleteByHandle(*phFolder);  /* fails, silently, for a folder not empty */
    CloseHeldFolder(phFolder);
}

/* Whether the open folder is a link: a reparse point, or (where the
 * system can tell both paths) a folder whose final path is not TEMP's
 * final path plus its name, which is how a link that the open followed
 * shows. */
static BOOL IsLinkedFolder(HANDLE hFolder, const WCHAR *pwszFinalFolder)
{
    BY_HANDLE_FILE_INFORMATION info;
    WCHAR wszFinalTemp[FINAL_PATH_SIZE];
    WCHAR wszName[FOLDER_NAME_SIZE];

    if (GetFileInformationByHandle(hFolder, &info)
        && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return TRUE;
    GetFolderName(wszName);
    GetTempFinalPath(wszFinalTemp, FINAL_PATH_SIZE);
    return IsFinalPathElsewhere(pwszFinalFolder, wszFinalTemp, wszName);
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

/* Whether the folder's volume can keep its descriptor from other
 * programs: one that keeps permissions (not FAT or exFAT) and is local
 * (on a share or a redirected drive the server judges the user's own
 * credentials, whatever the launcher asked for). */
static BOOL IsProtectingVolume(HANDLE hFolder)
{
    typedef LONG (NTAPI *NtQueryVolumeInformationFileFn)(HANDLE, PVOID, PVOID, ULONG, ULONG);
    struct { ULONG ulType; ULONG ulCharacteristics; } device;  /* FILE_FS_DEVICE_INFORMATION */
    ULONG_PTR rgulIoStatus[2];
    NtQueryVolumeInformationFileFn pfnQuery;
    DWORD dwFlags = 0;

    if (!GetVolumeInformationByHandleW(hFolder, NULL, 0, NULL, NULL, &dwFlags, NULL, 0)
        || !(dwFlags & FILE_PERSISTENT_ACLS))
        return FALSE;
    pfnQuery = (NtQueryVolumeInformationFileFn)(void *)GetNtdllFunction("NtQueryVolumeInformationFile");
    if (!pfnQuery || pfnQuery(hFolder, rgulIoStatus, &device, sizeof(device),
                              4 /* FileFsDeviceInformation */) < 0)
        return FALSE;
    return !(device.ulCharacteristics & 0x10 /* FILE_REMOTE_DEVICE */);
}

/* Opens the folder that is already there, checks that it is no link, and
 * reuses it if an elevated run made it; one somebody else made is cleared
 * and removed, leaving *phFolder NULL.  Shows the error itself. */
static BOOL TakeExistingFolder(const char *pszFolder, const WCHAR *pwszNtFolder,
                               const char *pszOwner, WCHAR *wszFinalFolder, HANDLE *phFolder)
{
    char szStayed[MAX_PATH];
    BOOL fRemoved = FALSE;

    if (OpenExistingFolder(pwszNtFolder, phFolder) != ERROR_SUCCESS)
    {
        ShowError(TEXT_OPEN_REFUSED, pszFolder);
        return FALSE;
    }
    GetHandleFinalPath(*phFolder, wszFinalFolder, FINAL_PATH_SIZE);
    if (IsLinkedFolder(*phFolder, wszFinalFolder))
    {
        ShowError("Unable to extract files!\nThe folder %s is a link.", pszFolder);
        CloseHeldFolder(phFolder);
        return FALSE;
    }
    if (IsOwnFolder(*phFolder, pszOwner))
        return TRUE;

    /* Cleared by the cleanup's rules, then removed through its handle. */
    if (!ClearHeldFolder(*phFolder, wszFinalFolder, pszFolder, szStayed))
        ShowError(TEXT_OPEN_REFUSED, szStayed);
    else if (!DeleteByHandle(*phFolder))
        ShowError(TEXT_OPEN_REFUSED, pszFolder);
    else
        fRemoved = TRUE;
    CloseHeldFolder(phFolder);
    return fRemoved;
}

/* The checks a held folder must pass before anything is written into it:
 * its volume can protect it, and its final path is known, which the
 * installer is started by.  Shows the error itself. */
static BOOL CheckHeldFolder(const char *pszFolder, HANDLE hFolder, WCHAR *wszFinalFolder)
{
    if (!IsProtectingVolume(hFolder))
    {
        ShowError("Unable to extract files!\nThe folder %s is on a volume that cannot protect "
                  "its files. Set TEMP to a folder on a local NTFS volume.", pszFolder);
        return FALSE;
    }
    GetHandleFinalPath(hFolder, wszFinalFolder, FINAL_PATH_SIZE);
    if (wszFinalFolder[0] == L'\0')
    {
        ShowError("Unable to extract files!\nThe system cannot tell where the folder %s is. "
                  "Set TEMP to a folder on a local NTFS volume.", pszFolder);
        return FALSE;
    }
    return TRUE;
}

BOOL OpenExtractionFolder(const char *pszFolder, const WCHAR *pwszNtFolder,
                          WCHAR *wszFinalFolder, HANDLE *phFolder, int *pnFolderErrno)
{
    char szOwner[FOLDER_SDDL_SIZE];
    BOOL fMade = TRUE;
    DWORD dwError;

    *phFolder = NULL;
    *pnFolderErrno = 0;
    wszFinalFolder[0] = L'\0';
    if (!GetFolderOwner(szOwner, sizeof(szOwner)))
    {
        ShowError("Unable to extract files!\nThe owner for the folder %s could not be found.", pszFolder);
        return FALSE;
    }

    dwError = CreateHeldFolder(pwszNtFolder, szOwner, phFolder);
    if (dwError == ERROR_ALREADY_EXISTS || dwError == ERROR_FILE_EXISTS)
    {
        fMade = FALSE;
        if (!TakeExistingFolder(pszFolder, pwszNtFolder, szOwner, wszFinalFolder, phFolder))
            return FALSE;
        if (!*phFolder)
        {
            /* A foreign folder went: made afresh, unless somebody else
             * made one again in between. */
            fMade = TRUE;
            dwError = CreateHeldFolder(pwszNtFolder, szOwner, phFolder);
            if (dwError != ERROR_SUCCESS)
            {
                ShowError(TEXT_OPEN_REFUSED, pszFolder);
                return FALSE;
            }
        }
    }
    else if (dwError != ERROR_SUCCESS)
    {
        /* TEMP missing or not writable: nothing can be written, and the
         * first record's file reports it with its path. */
        *pnFolderErrno = ErrnoFromSystemError(dwError);
        return TRUE;
    }

    if (!CheckHeldFolder(pszFolder, *phFolder, wszFinalFolder))
    {
        if (fMade)
            RemoveHeldFolder(phFolder);
        else
            CloseHeldFolder(phFolder);
        return FALSE;
    }
    return TRUE;
}
