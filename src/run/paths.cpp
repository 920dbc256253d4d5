/*
 * Paths as the ANSI functions can open them.  The system holds paths as
 * UTF-16; the ANSI functions see them in the system's code page, where a
 * character the code page lacks becomes a best-fit look-alike ("Ł" turns
 * into "L"), so the path names another file or folder, perhaps one an
 * unelevated program made.  The own path and TEMP are therefore read with
 * the wide functions; a path the code page cannot hold is replaced by its
 * short form, which is ASCII where the volume makes short names and names
 * the same file; where even that cannot be named, the run ends with a
 * text that says so, never with a look-alike.
 */
#include <windows.h>
#include <errno.h>
#include <string.h>

#include "launcher.h"
#include "links.h"
#include "paths.h"

/* What a wide path becomes in the code page. */
#define ANSI_PATH_OK          0     /* the exact path, in the buffer */
#define ANSI_PATH_TOO_LONG    1     /* exact, but longer than the buffer */
#define ANSI_PATH_UNNAMEABLE  2     /* a character the code page lacks */

/* The longest value an environment variable can have, NUL included. */
#define ENV_VALUE_SIZE 32768

/* TEMP in UTF-16; only the extraction worker reads it. */
static WCHAR g_wszTemp[ENV_VALUE_SIZE];

/* Converts cchWide characters of pszWide (-1: up to and including its
 * NUL) into szAnsi (cbAnsi bytes) without best-fit look-alikes.  Returns
 * the number of bytes written, 0 with *pnResult set where it fails. */
static int ConvertExact(const WCHAR *pszWide, int cchWide, char *szAnsi, int cbAnsi, int *pnResult)
{
    /* The UTF-8 code page holds every character but takes neither the
     * best-fit flag nor a default character; it refuses only a lone
     * surrogate, which it cannot hold either. */
    const BOOL fUtf8 = GetACP() == CP_UTF8;
    const DWORD dwFlags = fUtf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL fUsedDefault = FALSE;
    int cb;

    cb = WideCharToMultiByte(CP_ACP, dwFlags, pszWide, cchWide, NULL, 0, NULL,
                             fUtf8 ? NULL : &fUsedDefault);
    if (cb == 0 || fUsedDefault)
    {
        *pnResult = ANSI_PATH_UNNAMEABLE;
        return 0;
    }
    if (cb > cbAnsi)
    {
        *pnResult = ANSI_PATH_TOO_LONG;
        return 0;
    }
    cb = WideCharToMultiByte(CP_ACP, dwFlags, pszWide, cchWide, szAnsi, cbAnsi, NULL, NULL);
    *pnResult = cb != 0 ? ANSI_PATH_OK : ANSI_PATH_UNNAMEABLE;
    return cb;
}

/* The path pszWide in szAnsi (cbAnsi bytes, NUL included), as the ANSI
 * functions open it: the path itself where the code page holds it, else
 * its short form.  With fShortWhenLong the short form is also taken for a
 * path too long for the buffer.  Returns one of the ANSI_PATH_ values. */
static int GetAnsiPath(const WCHAR *pszWide, char *szAnsi, int cbAnsi, BOOL fShortWhenLong)
{
    WCHAR wszShort[MAX_PATH];
    DWORD cchShort;
    int nResult;

    szAnsi[0] = '\0';
    if (ConvertExact(pszWide, -1, szAnsi, cbAnsi, &nResult) != 0)
        return ANSI_PATH_OK;
    if (nResult == ANSI_PATH_TOO_LONG && !fShortWhenLong)
        return nResult;

    /* A volume without short names gives the long path back, or fails. */
    cchShort = GetShortPathNameW(pszWide, wszShort, MAX_PATH);
    if (cchShort == 0)
        return nResult;
    if (cchShort >= MAX_PATH)
        return ANSI_PATH_TOO_LONG;
    if (ConvertExact(wszShort, -1, szAnsi, cbAnsi, &nResult) != 0)
        return ANSI_PATH_OK;
    szAnsi[0] = '\0';
    return nResult;
}

/* Shows why the own path cannot be used, for a GetAnsiPath result;
 * TRUE when it can. */
static BOOL IsOwnPathNamed(int nResult)
{
    if (nResult == ANSI_PATH_UNNAMEABLE)
    {
        ShowError("Unable to extract files!\nThe launcher's path cannot be named in the system's code page.");
        return FALSE;
    }
    if (nResult == ANSI_PATH_TOO_LONG)
    {
        ShowError("Unable to extract files!\nThe launcher's path is too long.");
        return FALSE;
    }
    return TRUE;
}

BOOL GetOwnAnsiPath(char *szPath)
{
    WCHAR wszPath[MAX_PATH];
    DWORD cch = GetModuleFileNameW(NULL, wszPath, MAX_PATH);
    int nResult;

    /* A path cut at MAX_PATH names no file: too long as it stands, but
     * its short form may still fit. */
    if (cch == 0 || cch >= MAX_PATH)
    {
        szPath[0] = '\0';
        nResult = ANSI_PATH_TOO_LONG;
    }
    else
        nResult = GetAnsiPath(wszPath, szPath, MAX_PATH, TRUE);

    if (!IsOwnPathNamed(nResult))
        return FALSE;
    return TRUE;
}

BOOL GetAnsiTemp(char *szTemp, int cbTemp)
{
    DWORD cch = GetEnvironmentVariableW(L"TEMP", g_wszTemp, ENV_VALUE_SIZE);
    CPINFO cpInfo;
    int cchPrefix;
    int cb;
    int nResult;

    szTemp[0] = '\0';
    if (cch == 0)
        return TRUE;    /* not set or empty: the caller says so */
    if (cch >= ENV_VALUE_SIZE)
        return TRUE;    /* the system keeps no longer values */

    nResult = GetAnsiPath(g_wszTemp, szTemp, cbTemp, FALSE);
    if (nResult == ANSI_PATH_UNNAMEABLE)
    {
        ShowError("Unable to extract files!\nThe TEMP folder cannot be named in the system's code page.");
        return FALSE;
    }
    if (nResult == ANSI_PATH_TOO_LONG)
    {
        /* Exact but longer than the buffer: keep as much of its start as
         * surely fits, whole characters only, for the caller's message. */
        if (!GetCPInfo(CP_ACP, &cpInfo) || cpInfo.MaxCharSize == 0)
            cpInfo.MaxCharSize = 4;
        cchPrefix = (cbTemp - 1) / (int)cpInfo.MaxCharSize;
        if (cchPrefix > 0 && IS_HIGH_SURROGATE(g_wszTemp[cchPrefix - 1]))
            cchPrefix--;
        cb = cchPrefix > 0 ? ConvertExact(g_wszTemp, cchPrefix, szTemp, cbTemp - 1, &nResult) : 0;
        szTemp[cb] = '\0';
    }
    return TRUE;
}

void GetFolderName(WCHAR *wszName)
{
    /* ASCII, so every byte is one UTF-16 unit; without the backslashes
     * around it. */
    const char *pchName = EXTRACT_FOLDER_NAME + 1;
    size_t i;

    for (i = 0; i + 1 < FOLDER_NAME_SIZE; i++)
        wszName[i] = (WCHAR)(unsigned char)pchName[i];
    wszName[i] = L'\0';
}

BOOL GetTempNtPath(WCHAR *wszNtPath, DWORD cchNtPath)
{
    static WCHAR wszFull[ENV_VALUE_SIZE];     /* only the worker calls this */
    const WCHAR *pwszRest = wszFull;
    const WCHAR *pwszPrefix = L"\\??\\";
    DWORD cchFull = GetFullPathNameW(g_wszTemp, ENV_VALUE_SIZE, wszFull, NULL);

    if (cchFull == 0 || cchFull >= ENV_VALUE_SIZE)
        return FALSE;
    /* A folder's name, not a path into it: only a drive's root keeps its
     * backslash. */
    if (cchFull > 1 && wszFull[cchFull - 1] == L'\\' && wszFull[cchFull - 2] != L':')
        wszFull[cchFull - 1] = L'\0';

    /* The Win32 forms of a full path, as the NT object manager names them. */
    if (wcsncmp(wszFull, L"\\\\?\\", 4) == 0 || wcsncmp(wszFull, L"\\\\.\\", 4) == 0)
        pwszRest = wszFull + 4;
    else if (wcsncmp(wszFull, L"\\\\", 2) == 0)
    {
        pwszPrefix = L"\\??\\UNC\\";
        pwszRest = wszFull + 2;
    }
    if (wcslen(pwszPrefix) + wcslen(pwszRest) >= cchNtPath)
        return FALSE;
    wcscpy_s(wszNtPath, cchNtPath, pwszPrefix);
    wcscat_s(wszNtPath, cchNtPath, pwszRest);
    return TRUE;
}

void UseShortFormWhereUnnameable(WCHAR *wszPath, DWORD cchPath)
{
    char szAnsi[4 * FINAL_PATH_SIZE];
    WCHAR wszShort[FINAL_PATH_SIZE];
    DWORD cchShort;
    int nResult;

    if (ConvertExact(wszPath, -1, szAnsi, sizeof(szAnsi), &nResult) != 0
        || nResult != ANSI_PATH_UNNAMEABLE)
        return;
    cchShort = GetShortPathNameW(wszPath, wszShort, FINAL_PATH_SIZE);
    if (cchShort > 0 && cchShort < FINAL_PATH_SIZE && cchShort < cchPath)
        wcscpy_s(wszPath, cchPath, wszShort);
}

BOOL IsRoundTripPath(const WCHAR *pwszPath)
{
    WCHAR wszFull[FINAL_PATH_SIZE];
    DWORD cch = GetFullPathNameW(pwszPath, FINAL_PATH_SIZE, wszFull, NULL);
    const WCHAR *pch;

    if (cch == 0 || cch >= FINAL_PATH_SIZE || wcscmp(wszFull, pwszPath) != 0)
        return FALSE;
    for (pch = pwszPath; *pch; pch++)
    {
        if ((*pch == L'.' || *pch == L' ') && (pch[1] == L'\\' || pch[1] == L'\0'))
            return FALSE;
    }
    return TRUE;
}

BOOL PublishHeldOwnPath(HANDLE hOwnFile, const char *pszModulePath)
{
    WCHAR wszModule[MAX_PATH];
    WCHAR wszFinal[FINAL_PATH_SIZE];
    char szFinal[MAX_PATH];
    DWORD cch = GetModuleFileNameW(NULL, wszModule, MAX_PATH);
    int nResult;

    /* Where the system cannot tell, the started path is all there is. */
    GetHandleFinalPath(hOwnFile, wszFinal, FINAL_PATH_SIZE);
    if (wszFinal[0] == L'\0' || cch == 0 || cch >= MAX_PATH
        || CompareStringOrdinal(wszModule, -1, wszFinal, -1, TRUE) == CSTR_EQUAL)
        return TRUE;
    if (!IsRoundTripPath(wszFinal))
    {
        ShowError("Unable to open file: %s\nError number: %d", pszModulePath, ENOENT);
        return FALSE;
    }
    nResult = GetAnsiPath(wszFinal, szFinal, MAX_PATH, TRUE);
    if (!IsOwnPathNamed(nResult))
        return FALSE;
    SetEnvironmentVariableA("SNF", szFinal);
    return TRUE;
}
