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

#define MESSAGE_TEXT_SIZE 1000          /* capacity of every error text */

#define WM_EXTRACT_SETPOS  (WM_USER + 1) /* wParam: position 0..100 */
#define WM_EXTRACT_SETTEXT (WM_USER + 2) /* lParam: status text */

typedef struct ExtractContext
{
    HWND   hDlg;                    /* progress dialog, set by WM_INITDIALOG */
    HANDLE hThread;                 /* the extraction worker */
    char   szModulePath[MAX_PATH];  /* the launcher's own file */
    char   szLaunchPath[MAX_PATH];  /* first extracted file, or empty */
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

/* Nonzero when the path names an existing junction or symbolic link. */
BOOL IsLink(const char *pszPath);

/* Capacity of a final path: the system may name a folder by a longer path
 * than the one it was opened with. */
#define FINAL_PATH_SIZE (2 * MAX_PATH)

/* The final path of a folder as the system resolves it, or an empty
 * string where it cannot tell. */
void GetFolderFinalPath(const char *pszFolder, char *szFinal, DWORD cchFinal);

/* Looks at the existing entry pszPath, the name pszName in a folder whose
 * final path is pszFinalFolder (may be empty), without writing to it and
 * without following a link.  *pfElsewhere tells whether its final path is
 * known to be another than the folder's plus the name; *pcLinks is its
 * number of names.  FALSE when the entry cannot be opened. */
BOOL InspectEntry(const char *pszPath, const char *pszFinalFolder, const char *pszName,
                  BOOL *pfElsewhere, DWORD *pcLinks);

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
