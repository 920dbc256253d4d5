/*
 * The run record shared by the launcher's two threads, the private window
 * messages the extraction worker sends to the progress dialog, and the
 * launcher's routines.
 *
 * No locks: the worker is created suspended and resumed only after the
 * dialog has stored hDlg; its messages are sent synchronously; and the main
 * thread reads what the worker wrote only after waiting for its end.
 */
#ifndef RUN_LAUNCHER_H
#define RUN_LAUNCHER_H

#include <windows.h>
#include <stddef.h>

#include "../payload/container.h"

#define MESSAGE_TEXT_SIZE 1000          /* capacity of every error text */

/* What a file or folder the launcher cannot create or clear shows: a file
 * held open by a running instance's installer is the common cause. */
#define TEXT_OPEN_REFUSED "Unable to open file: %s\nPlease make sure you have necessary " \
                          "permissions and that another instance of setup is not running."

#define WM_EXTRACT_SETPOS  (WM_USER + 1) /* wParam: position 0..100 */
#define WM_EXTRACT_SETTEXT (WM_USER + 2) /* lParam: status text */

typedef struct ExtractContext
{
    HWND   hDlg;                    /* progress dialog, set by WM_INITDIALOG */
    HANDLE hThread;                 /* the extraction worker */
    char   szModulePath[MAX_PATH];  /* the launcher's own file */
    char   szLaunchPath[MAX_PATH];  /* first extracted file, or empty */
    HANDLE hFolder;                 /* the extraction folder, held open by the
                                     * worker from its making or check on, so
                                     * it cannot be renamed or replaced;
                                     * closed by the cleanup (or by the worker
                                     * when no first file was recorded); NULL
                                     * when not open */
    HANDLE hOwnFile;                /* the launcher's own file, held without
                                     * write or delete sharing until the
                                     * cleanup has ended, so the path in SNF
                                     * names it while the installer runs;
                                     * NULL when not open */
    WCHAR  wszLaunchName[RECORD_NAME_SIZE]; /* the first record's name as the
                                     * file system got it, or empty */
} ExtractContext;

/* The extraction worker: unpacks the payload, returns 0 or (DWORD)-1. */
DWORD WINAPI ExtractThreadProc(LPVOID lpParameter);

/* The progress dialog's procedure. */
INT_PTR CALLBACK ProgressDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);

/* Runs the first extracted file after a successful extraction, with the
 * error mode the launcher itself started with, then removes the
 * extraction folder. */
void LaunchAndCleanup(ExtractContext *pContext, DWORD dwExitCode, const WCHAR *pwszArguments,
                      UINT uInstallerErrorMode);

/* The argument string of a command line: what follows the program-name
 * token and the blanks after it. */
const char *SkipProgramName(const char *pszCmdLine);

/* The same for a command line in UTF-16, which holds the caller's
 * arguments exactly (the ANSI one has them in best-fit look-alikes). */
const WCHAR *SkipProgramNameW(const WCHAR *pwszCmdLine);

/* Shows an error box ("Error", error icon, no owner) with a formatted text. */
void ShowError(const char *pszFormat, ...);

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

/* Capacity of the extraction folder's descriptor in SDDL. */
#define FOLDER_SDDL_SIZE 512

/* Who owns the extraction folder: "BA" (the administrators) when the
 * launcher runs elevated, else the SID of its user.  FALSE on failure. */
BOOL GetFolderOwner(char *szOwner, size_t cchOwner);

/* The descriptor the extraction folder is created with, in SDDL: owned by
 * pszOwner, a DACL not inherited from TEMP that gives full control to
 * SYSTEM and the owner only, inherited by everything in the folder. */
void FormatFolderSddl(char *szSddl, size_t cchSddl, const char *pszOwner);

/* Whether a folder's descriptor is protected the way the launcher makes
 * it: owner pszOwner, a protected DACL that allows nobody but SYSTEM and
 * the owner.  Only such a folder was made by an elevated run. */
BOOL IsOwnFolderDescriptor(PSECURITY_DESCRIPTOR pSD, const char *pszOwner);

/* Makes the extraction folder pszFolder (its NT path pwszNtFolder) with
 * the launcher's descriptor and holds it open in *phFolder, or reuses one
 * an elevated run made (a folder somebody else made is cleared and made
 * afresh), its final path in wszFinalFolder.  Shows the error itself and
 * returns FALSE when it cannot.  When the folder cannot be made at all
 * (TEMP missing), returns TRUE with *phFolder NULL and the reason in
 * *pnFolderErrno, for the first record's file to report. */
BOOL OpenExtractionFolder(const char *pszFolder, const WCHAR *pwszNtFolder,
                          WCHAR *wszFinalFolder, HANDLE *phFolder, int *pnFolderErrno);

/* Removes the held folder through its handle (when empty and held with
 * DELETE access) and closes it. */
void RemoveHeldFolder(HANDLE *phFolder);

/* The C runtime's errno for a system error of creating a file. */
int ErrnoFromSystemError(DWORD dwError);

/* The launcher's own path in szPath (MAX_PATH bytes) as the ANSI
 * functions open it: the path itself where the system's code page holds
 * it, else its short form.  Shows the error itself: FALSE when neither
 * names the file in the code page, or neither fits. */
BOOL GetOwnAnsiPath(char *szPath);

/* TEMP in szTemp (cbTemp bytes), the same way; an empty string when TEMP
 * is not set or empty.  A TEMP longer than the buffer comes back cut,
 * whole characters only: too long for any path, it is only shown.  Shows
 * the error itself: FALSE when TEMP cannot be named in the code page. */
BOOL GetAnsiTemp(char *szTemp, int cbTemp);

/* The NT path of TEMP (as GetAnsiTemp last read it) followed by the
 * extraction folder's name, for NtCreateFile; FALSE when it does not fit
 * cchNtPath characters. */
BOOL GetFolderNtPath(WCHAR *wszNtPath, DWORD cchNtPath);

/* An installer that is an ANSI program finds its own folder from the
 * path on its command line, in the code page: where the code page cannot
 * hold the path wszPath (cchPath characters), it becomes its short form,
 * which names the same file; else it stays as it is. */
void UseShortFormWhereUnnameable(WCHAR *wszPath, DWORD cchPath);

/* The final path of TEMP, or an empty string where it cannot be had. */
void GetTempFinalPath(WCHAR *wszFinal, DWORD cchFinal);

#endif /* RUN_LAUNCHER_H */
