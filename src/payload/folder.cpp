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

/* Whether one entry of the folder's DACL is one the launcher gives it:
 * full control for SYSTEM or the owner, inherited by files and folders
 * alike; *pnSeen gets 1 for SYSTEM's, 2 for the owner's. */
static BOOL IsOwnFolderAce(const ACE_HEADER *pAce, PSID pSystem, PSID pOwner, int *pnSeen)
{
    const ACCESS_ALLOWED_ACE *pAllowed = (const ACCESS_ALLOWED_ACE *)pAce;
    PSID pSid = (PSID)&pAllowed->SidStart;

    if (pAce->AceType != ACCESS_ALLOWED_ACE_TYPE
        || pAce->AceFlags != (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)
        || pAllowed->Mask != FILE_ALL_ACCESS)
        return FALSE;
    if (EqualSid(pSid, pSystem))
        *pnSeen |= 1;
    else if (EqualSid(pSid, pOwner))
        *pnSeen |= 2;
    else
        return FALSE;
    return TRUE;
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
    int nSeen = 0;
    DWORD i;

    if (!ConvertStringSidToSidA(pszOwner, &pExpected))
        return FALSE;
    fOwn = CreateWellKnownSid(WinLocalSystemSid, NULL, rgbSystem, &cbSystem)
        && GetSecurityDescriptorControl(pSD, &wControl, &dwRevision)
        && (wControl & SE_DACL_PROTECTED)
        && GetSecurityDescriptorOwner(pSD, &pOwner, &fDefaulted) && pOwner
        && EqualSid(pOwner, pExpected)
        && GetSecurityDescriptorDacl(pSD, &fPresent, &pDacl, &fDefaulted)
        && fPresent && pDacl    /* a null DACL lets everybody in */
        && pDacl->AceCount == 2;

    /* Exactly the two entries the launcher writes, nothing more or less:
     * an empty DACL, or entries that files made in the folder do not
     * inherit, are another program's doing. */
    for (i = 0; fOwn && i < pDacl->AceCount; i++)
    {
        ACE_HEADER *pAce = NULL;

        fOwn = GetAce(pDacl, i, (LPVOID *)&pAce)
            && IsOwnFolderAce(pAce, rgbSystem, pExpected, &nSeen);
    }
    LocalFree(pExpected);
    return fOwn && nSeen == 3;
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

/* How the launcher holds its folder from its making or check on: it can
 * list and judge it, and others may list, enter, read and write in it
 * (an installer opens its own folder so), but nobody may rename or
 * delete it, which takes DELETE access and so delete sharing.  The hold
 * itself has no DELETE access: a handle with it would refuse every open
 * that does not share delete, and most opens of a folder do not. */
#define FOLDER_HOLD_ACCESS (FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES \
                            | READ_CONTROL)
#define FOLDER_HOLD_SHARE (FILE_SHARE_READ | FILE_SHARE_WRITE)
#define FOLDER_OPTIONS (FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT)

/* Opens TEMP, which the folder is made in and reopened from by its one
 * name; TEMP itself may be a link the user made, and is followed. */
static DWORD OpenTempFolder(const WCHAR *pwszNtTemp, HANDLE *phTemp)
{
    static const OPEN_REQUEST request = {
        FILE_TRAVERSE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        FILE_OPEN, FILE_DIRECTORY_FILE, NULL };

    DWORD dwError = OpenByName(NULL, pwszNtTemp, &request, phTemp);

    /* A TEMP that is a file is a path with no folder, as for the making. */
    return dwError == ERROR_DIRECTORY ? ERROR_PATH_NOT_FOUND : dwError;
}

/* Opens the extraction folder in TEMP by its one name, never what a link
 * in its place leads to, or makes it (dwDisposition FILE_CREATE). */
static DWORD OpenFolderInTemp(HANDLE hTemp, DWORD dwAccess, DWORD dwShare, DWORD dwDisposition,
                              PSECURITY_DESCRIPTOR pSD, HANDLE *phFolder)
{
    OPEN_REQUEST request = { dwAccess, dwShare, dwDisposition, FOLDER_OPTIONS, NULL };
    WCHAR wszName[FOLDER_NAME_SIZE];

    request.pSecurityDescriptor = pSD;
    GetFolderName(wszName);
    return OpenByName(hTemp, wszName, &request, phFolder);
}

/* Makes the folder with the launcher's descriptor and holds it in the
 * same call, so the handle is the folder this call made: nobody can swap
 * it between the making and the holding.  Returns the system error. */
static DWORD CreateHeldFolder(HANDLE hTemp, const char *pszOwner, HANDLE *phFolder)
{
    char szSddl[FOLDER_SDDL_SIZE];
    PSECURITY_DESCRIPTOR pSD = NULL;
    DWORD dwError;

    *phFolder = NULL;
    FormatFolderSddl(szSddl, sizeof(szSddl), pszOwner);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(szSddl, SDDL_REVISION_1, &pSD, NULL))
        return GetLastError();
    dwError = OpenFolderInTemp(hTemp, FOLDER_HOLD_ACCESS, FOLDER_HOLD_SHARE, FILE_CREATE, pSD,
                               phFolder);
    LocalFree(pSD);
    return dwError;
}

void CloseHeldFolder(HANDLE *phFolder)
{
    if (!*phFolder)
        return;
    CloseHandle(*phFolder);
    *phFolder = NULL;
}

void RemoveHeldFolder(ExtractContext *pContext)
{
    HANDLE hFolder = NULL;
    FILE_IDENTITY identity;

    /* No handle with DELETE access can be had while the hold is open, so
     * the hold goes first.  What lies under the folder's name then is
     * deleted only if it is still the folder held (an empty one: a
     * folder that is not fails, silently); a folder somebody put there
     * meanwhile is left alone. */
    CloseHeldFolder(&pContext->hFolder);
    if (pContext->hFolderParent
        && OpenFolderInTemp(pContext->hFolderParent, DELETE | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                            NULL, &hFolder) == ERROR_SUCCESS)
    {
        if (GetFileIdentity(hFolder, &identity) && IsSameFile(&identity, &pContext->folderId))
            DeleteByHandle(hFolder);
        CloseHandle(hFolder);
    }
    CloseHeldFolder(&pContext->hFolderParent);
}

/* Whether the open folder is a link: a reparse point, or (where the
 * system can tell both paths) a folder whose final path is not TEMP's
 * final path plus its name, which is how a link that the open followed
 * shows. */
static BOOL IsLinkedFolder(HANDLE hTemp, HANDLE hFolder, const WCHAR *pwszFinalFolder)
{
    BY_HANDLE_FILE_INFORMATION info;
    WCHAR wszFinalTemp[FINAL_PATH_SIZE];
    WCHAR wszName[FOLDER_NAME_SIZE];

    if (GetFileInformationByHandle(hFolder, &info)
        && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return TRUE;
    GetFolderName(wszName);
    GetHandleFinalPath(hTemp, wszFinalTemp, FINAL_PATH_SIZE);
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

/* Holds the own folder that hCheck (with DELETE access) has been judged
 * through: the check's handle goes, as no hold can be opened beside it,
 * and the folder is opened again by its name, to be held only if it is
 * still the folder judged.  Shows the error itself. */
static BOOL HoldCheckedFolder(ExtractContext *pContext, const char *pszFolder, HANDLE hCheck)
{
    FILE_IDENTITY identity;
    BOOL fSame;

    fSame = GetFileIdentity(hCheck, &pContext->folderId);
    CloseHandle(hCheck);
    fSame = fSame
        && OpenFolderInTemp(pContext->hFolderParent, FOLDER_HOLD_ACCESS, FOLDER_HOLD_SHARE,
                            FILE_OPEN, NULL, &pContext->hFolder) == ERROR_SUCCESS
        && GetFileIdentity(pContext->hFolder, &identity)
        && IsSameFile(&identity, &pContext->folderId);
    if (!fSame)
    {
        CloseHeldFolder(&pContext->hFolder);
        ShowError(TEXT_OPEN_REFUSED, pszFolder);
    }
    return fSame;
}

/* Opens the folder that is already there, checks that it is no link, and
 * reuses it if an elevated run made it; one somebody else made is cleared
 * and removed, leaving the hold NULL.  It is opened with DELETE access,
 * without sharing delete: that fails while another run holds it (such a
 * run's hold shares no delete), and then this run stops before it writes
 * or deletes anything.  Shows the error itself. */
static BOOL TakeExistingFolder(ExtractContext *pContext, const char *pszFolder,
                               const char *pszOwner, WCHAR *wszFinalFolder)
{
    char szStayed[MAX_PATH];
    HANDLE hCheck = NULL;
    BOOL fRemoved = FALSE;

    if (OpenFolderInTemp(pContext->hFolderParent, FOLDER_HOLD_ACCESS | DELETE, FOLDER_HOLD_SHARE,
                         FILE_OPEN, NULL, &hCheck) != ERROR_SUCCESS)
    {
        ShowError(TEXT_OPEN_REFUSED, pszFolder);
        return FALSE;
    }
    GetHandleFinalPath(hCheck, wszFinalFolder, FINAL_PATH_SIZE);
    if (IsLinkedFolder(pContext->hFolderParent, hCheck, wszFinalFolder))
    {
        ShowError("Unable to extract files!\nThe folder %s is a link.", pszFolder);
        CloseHandle(hCheck);
        return FALSE;
    }
    if (IsOwnFolder(hCheck, pszOwner))
        return HoldCheckedFolder(pContext, pszFolder, hCheck);

    /* Cleared by the cleanup's rules, then removed through its handle. */
    if (!ClearHeldFolder(hCheck, wszFinalFolder, pszFolder, szStayed))
        ShowError(TEXT_OPEN_REFUSED, szStayed);
    else if (!DeleteByHandle(hCheck))
        ShowError(TEXT_OPEN_REFUSED, pszFolder);
    else
        fRemoved = TRUE;
    CloseHandle(hCheck);
    return fRemoved;
}

/* The checks a held folder must pass before anything is written into it:
 * its volume can protect it, and its final path and identity are known:
 * the installer is started by the one, the folder removed by the other.
 * Shows the error itself. */
static BOOL CheckHeldFolder(ExtractContext *pContext, const char *pszFolder, WCHAR *wszFinalFolder)
{
    /* First: a folder this run made and cannot keep goes by it. */
    BOOL fKnown = GetFileIdentity(pContext->hFolder, &pContext->folderId);

    if (!IsProtectingVolume(pContext->hFolder))
    {
        ShowError("Unable to extract files!\nThe folder %s is on a volume that cannot protect "
                  "its files. Set TEMP to a folder on a local NTFS volume.", pszFolder);
        return FALSE;
    }
    GetHandleFinalPath(pContext->hFolder, wszFinalFolder, FINAL_PATH_SIZE);
    if (wszFinalFolder[0] == L'\0' || !fKnown)
    {
        ShowError("Unable to extract files!\nThe system cannot tell where the folder %s is. "
                  "Set TEMP to a folder on a local NTFS volume.", pszFolder);
        return FALSE;
    }
    return TRUE;
}

/* Makes the folder, or takes the one already there; *pfMade tells which.
 * Returns the system error of the making, ERROR_SUCCESS once the folder
 * is held, or ERROR_CANCELLED when an error has been shown. */
static DWORD MakeOrTakeFolder(ExtractContext *pContext, const char *pszFolder, const char *pszOwner,
                              WCHAR *wszFinalFolder, BOOL *pfMade)
{
    DWORD dwError = CreateHeldFolder(pContext->hFolderParent, pszOwner, &pContext->hFolder);

    *pfMade = TRUE;
    if (dwError != ERROR_ALREADY_EXISTS && dwError != ERROR_FILE_EXISTS)
        return dwError;
    *pfMade = FALSE;
    if (!TakeExistingFolder(pContext, pszFolder, pszOwner, wszFinalFolder))
        return ERROR_CANCELLED;
    if (pContext->hFolder)
        return ERROR_SUCCESS;

    /* A foreign folder went: made afresh, unless somebody else made one
     * again in between. */
    *pfMade = TRUE;
    if (CreateHeldFolder(pContext->hFolderParent, pszOwner, &pContext->hFolder) != ERROR_SUCCESS)
    {
        ShowError(TEXT_OPEN_REFUSED, pszFolder);
        return ERROR_CANCELLED;
    }
    return ERROR_SUCCESS;
}

BOOL OpenExtractionFolder(ExtractContext *pContext, const char *pszFolder, const WCHAR *pwszNtTemp,
                          WCHAR *wszFinalFolder, int *pnFolderErrno)
{
    char szOwner[FOLDER_SDDL_SIZE];
    BOOL fMade = FALSE;
    DWORD dwError;

    pContext->hFolder = NULL;
    *pnFolderErrno = 0;
    wszFinalFolder[0] = L'\0';
    if (!GetFolderOwner(szOwner, sizeof(szOwner)))
    {
        ShowError("Unable to extract files!\nThe owner for the folder %s could not be found.", pszFolder);
        return FALSE;
    }

    dwError = OpenTempFolder(pwszNtTemp, &pContext->hFolderParent);
    if (dwError == ERROR_SUCCESS)
        dwError = MakeOrTakeFolder(pContext, pszFolder, szOwner, wszFinalFolder, &fMade);
    if (dwError == ERROR_CANCELLED)
    {
        CloseHeldFolder(&pContext->hFolderParent);
        return FALSE;
    }
    if (dwError != ERROR_SUCCESS)
    {
        /* TEMP missing or not writable: nothing can be written, and the
         * first record's file reports it with its path. */
        CloseHeldFolder(&pContext->hFolderParent);
        *pnFolderErrno = ErrnoFromSystemError(dwError);
        return TRUE;
    }

    if (!CheckHeldFolder(pContext, pszFolder, wszFinalFolder))
    {
        if (fMade)
            RemoveHeldFolder(pContext);
        CloseHeldFolder(&pContext->hFolder);
        CloseHeldFolder(&pContext->hFolderParent);
        return FALSE;
    }
    return TRUE;
}
