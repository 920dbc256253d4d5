/*
 * The run record shared by the launcher's two threads, the private window
 * messages the extraction worker sends to the progress dialog, and the
 * launcher's routines.  The folder's protection (../payload/folder.h), the
 * relative opens and link checks (links.h) and the paths (paths.h) have
 * headers of their own.
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

/* Which file an open handle names: its volume and its file id, as the
 * file system reports them (NTFS keeps the id for the file's life). */
typedef struct FILE_IDENTITY
{
    DWORD dwVolumeSerial;
    DWORD dwIndexHigh;
    DWORD dwIndexLow;
} FILE_IDENTITY;

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
                                     * when not open.  Held without DELETE
                                     * access, so the installer can open it */
    HANDLE hFolderParent;           /* TEMP, the folder was made or found in
                                     * and is reopened from by its name for
                                     * its removal; NULL when not open */
    FILE_IDENTITY folderId;         /* the held folder's volume and file id */
    HANDLE hOwnFile;                /* the launcher's own file, held without
                                     * write or delete sharing until the
                                     * cleanup has ended, so the path in SNF
                                     * names it while the installer runs;
                                     * NULL when not open */
    WCHAR  wszLaunchName[RECORD_NAME_SIZE]; /* the first record's name as the
                                     * file system got it, or empty */
    HANDLE hLaunchFile;             /* the first record's file, held from its
                                     * creation (read access, sharing read
                                     * only, so the image can be mapped but
                                     * not changed) until the installer has
                                     * started; NULL when not open */
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

#endif /* RUN_LAUNCHER_H */
