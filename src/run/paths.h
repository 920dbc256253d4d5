/*
 * Paths in UTF-16 and as the ANSI functions open them: the own path,
 * TEMP, the folder's NT path and the installer's path (paths.cpp).
 */
#ifndef RUN_PATHS_H
#define RUN_PATHS_H

#include <windows.h>

#include "../payload/container.h"

/* Room for the extraction folder's name alone, NUL included. */
#define FOLDER_NAME_SIZE (sizeof(EXTRACT_FOLDER_NAME) - 2)

/* The extraction folder's name in UTF-16, without the backslashes around
 * it, in wszName (FOLDER_NAME_SIZE characters). */
void GetFolderName(WCHAR *wszName);

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

/* The NT path of TEMP (as GetAnsiTemp last read it), for NtCreateFile;
 * FALSE when it does not fit cchNtPath characters. */
BOOL GetTempNtPath(WCHAR *wszNtPath, DWORD cchNtPath);

/* An installer that is an ANSI program finds its own folder from the
 * path on its command line, in the code page: where the code page cannot
 * hold the path wszPath (cchPath characters), it becomes its short form,
 * which names the same file; else it stays as it is. */
void UseShortFormWhereUnnameable(WCHAR *wszPath, DWORD cchPath);

/* Whether a full path names, for CreateProcessW and every Win32 call,
 * what it says: GetFullPathNameW gives it back exactly, and no component
 * ends in a dot or a blank (Win32 trims them, naming another file). */
BOOL IsRoundTripPath(const WCHAR *pwszPath);

/* SNF is the path the launcher was started by.  Where that path does not
 * name the held own file hOwnFile by its final path (a link or junction
 * on the way, which can be pointed elsewhere while the installer runs),
 * SNF becomes the file's final path, as the ANSI functions open it.
 * Shows the error itself: FALSE when that path cannot be named. */
BOOL PublishHeldOwnPath(HANDLE hOwnFile, const char *pszModulePath);

#endif /* RUN_PATHS_H */
