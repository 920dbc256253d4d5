/*
 * How the launcher reaches what lies in the extraction folder: opens
 * relative to a handle it holds, final paths, what an entry is, and the
 * clearing of the held folder (links.cpp).
 */
#ifndef RUN_LINKS_H
#define RUN_LINKS_H

#include <windows.h>

#include "launcher.h"

/* Capacity of a final path: the system may name a folder by a longer path
 * than the one it was opened with. */
#define FINAL_PATH_SIZE (2 * MAX_PATH)

/* A function of ntdll, looked up when it is used; NULL if missing. */
FARPROC GetNtdllFunction(const char *pszName);

/* What an open by name asks for: access (SYNCHRONIZE is added), sharing,
 * the NtCreateFile disposition and options (synchronous I/O is added),
 * and the descriptor of a new file or folder (NULL: inherited). */
typedef struct OPEN_REQUEST
{
    DWORD dwAccess;
    DWORD dwShare;
    DWORD dwDisposition;
    DWORD dwOptions;
    PSECURITY_DESCRIPTOR pSecurityDescriptor;
} OPEN_REQUEST;

/* Opens pwszName relative to the folder hRoot (one name of that folder),
 * or an NT path when hRoot is NULL, in one NtCreateFile call; the handle
 * is not inheritable.  Returns ERROR_SUCCESS or the system error code. */
DWORD OpenByName(HANDLE hRoot, const WCHAR *pwszName, const OPEN_REQUEST *pRequest,
                 HANDLE *phFile);

/* Deletes the file or folder an open handle (with DELETE access) names:
 * this name only, at the handle's last close; a folder must be empty. */
BOOL DeleteByHandle(HANDLE hFile);

/* The identity (launcher.h) of the file or folder hFile names; FALSE on
 * failure. */
BOOL GetFileIdentity(HANDLE hFile, FILE_IDENTITY *pIdentity);

/* Whether two identities name the same file. */
BOOL IsSameFile(const FILE_IDENTITY *pOne, const FILE_IDENTITY *pOther);

/* The final path of an open file or folder, or an empty string. */
void GetHandleFinalPath(HANDLE hFile, WCHAR *wszFinal, DWORD cchFinal);

/* Whether an entry's final path is known to be another than its folder's
 * final path plus its name. */
BOOL IsFinalPathElsewhere(const WCHAR *pwszFinal, const WCHAR *pwszFinalFolder, const WCHAR *pwszName);

/* What an existing name in the extraction folder is, judged through a
 * handle opened relative to the folder without following a link. */
#define ENTRY_ABSENT      0     /* no such entry */
#define ENTRY_PLAIN       1     /* a file with this one name */
#define ENTRY_EXTRA_NAME  2     /* a reparse point, or a file of more names */
#define ENTRY_DIRECTORY   3     /* a real folder */
#define ENTRY_ELSEWHERE   4     /* leads out of the folder */
#define ENTRY_UNOPENABLE  5     /* cannot be opened to be looked at */

/* Opens the entry pwszName of hFolder (final path pwszFinalFolder, may be
 * empty) for a look and for deletion, and says what it is; *phEntry is
 * the handle (DELETE access) or NULL, for the caller to close. */
int JudgeEntry(HANDLE hFolder, const WCHAR *pwszFinalFolder, const WCHAR *pwszName,
               HANDLE *phEntry);

/* Deletes the plain files and the links' names of the held folder,
 * listed and opened through its handle; folders, entries that lead
 * elsewhere and entries that cannot be opened stay.  Goes on past them;
 * returns FALSE when one stays, and its path (pszFolder, backslash, name)
 * in szStayed (MAX_PATH bytes, may be NULL) for the first one. */
BOOL ClearHeldFolder(HANDLE hFolder, const WCHAR *pwszFinalFolder, const char *pszFolder,
                     char *szStayed);

#endif /* RUN_LINKS_H */
