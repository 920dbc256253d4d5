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
                                     * worker from its check on, so it cannot
                                     * be renamed or replaced; closed by the
                                     * cleanup (or by the worker when no first
                                     * file was recorded); NULL when not open */
} ExtractContext;

/* The extraction worker: unpacks the payload, returns 0 or (DWORD)-1. */
DWORD WINAPI ExtractThreadProc(LPVOID lpParameter);

/* The progress dialog's procedure. */
INT_PTR CALLBACK ProgressDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);

/* Runs the first extracted file after a successful extraction, with the
 * error mode the launcher itself started with, then removes the
 * extraction folder. */
void LaunchAndCleanup(ExtractContext *pContext, DWORD dwExitCode, const char *pszArguments,
                      UINT uInstallerErrorMode);

/* The argument string of a command line: what follows the program-name
 * token and the blanks after it. */
const char *SkipProgramName(const char *pszCmdLine);

/* Shows an error box ("Error", error icon, no owner) with a formatted text. */
void ShowError(const char *pszFormat, ...);

/* Capacity of a final path: the system may name a folder by a longer path
 * than the one it was opened with. */
#define FINAL_PATH_SIZE (2 * MAX_PATH)

/* The final path of a folder as the system resolves it, or an empty
 * string where it cannot tell. */
void GetFolderFinalPath(const char *pszFolder, WCHAR *wszFinal, DWORD cchFinal);

/* The final path of an open file or folder, or an empty string. */
void GetHandleFinalPath(HANDLE hFile, WCHAR *wszFinal, DWORD cchFinal);

/* Whether an entry's final path is known to be another than its folder's
 * final path plus its ANSI name. */
BOOL IsFinalPathElsewhere(const WCHAR *pwszFinal, const WCHAR *pwszFinalFolder, const char *pszName);

/* Deletes the plain files of a folder by the cleanup's rules: reparse
 * points, subfolders and files whose final path leads out of the folder
 * (pwszFinalFolder, may be empty) are never deleted or followed.  Goes on
 * past failures; returns FALSE when an entry stays, and its path in
 * szStayed (MAX_PATH bytes, may be NULL) for the first one. */
BOOL DeletePlainFiles(const char *pszFolder, const WCHAR *pwszFinalFolder, char *szStayed);

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

/* Looks at the existing entry pszPath, the name pszName in a folder whose
 * final path is pwszFinalFolder (may be empty), without writing to it and
 * without following a link.  *pfElsewhere tells whether its final path is
 * known to be another than the folder's plus the name; *pcLinks is its
 * number of names.  FALSE when the entry cannot be opened. */
BOOL InspectEntry(const char *pszPath, const WCHAR *pwszFinalFolder, const char *pszName,
                  BOOL *pfElsewhere, DWORD *pcLinks);

/* Makes sure the extraction folder pszFolder exists with the launcher's
 * descriptor (a folder somebody else made is cleared and made afresh) and
 * holds it open in *phFolder, its final path in wszFinalFolder.  Shows the
 * error itself and returns FALSE when it cannot.  When the folder cannot
 * be made at all (TEMP missing), returns TRUE with *phFolder NULL and the
 * reason in *pnFolderErrno, for the first record's file to report. */
BOOL OpenExtractionFolder(const char *pszFolder, WCHAR *wszFinalFolder, HANDLE *phFolder,
                          int *pnFolderErrno);

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

#endif /* RUN_LAUNCHER_H */
