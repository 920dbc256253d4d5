/*
 * Launch and cleanup, the last stage of the run on the main thread after
 * the worker has ended: run the first extracted file with the launcher's
 * own argument string and wait for it, then delete the plain files of the
 * extraction folder and remove the folder.
 */
#include <windows.h>
#include <shlwapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "launcher.h"
#include "links.h"
#include "paths.h"
#include "../payload/folder.h"

/* Closes a held file's handle, if open, and sets it to NULL. */
static void CloseHeldFile(HANDLE *phFile)
{
    if (*phFile)
        CloseHandle(*phFile);
    *phFile = NULL;
}

/* The installer's path: the held folder's final path, as the system
 * resolves the handle now, and the first record's name, in wszProgram
 * (FINAL_PATH_SIZE characters).  FALSE when the system cannot tell it. */
static BOOL GetProgramPath(const ExtractContext *pContext, WCHAR *wszProgram)
{
    GetHandleFinalPath(pContext->hFolder, wszProgram, FINAL_PATH_SIZE);
    if (wszProgram[0] == L'\0')
        return FALSE;
    /* The name came from the code page; only the folder's path may need
     * its short form. */
    UseShortFormWhereUnnameable(wszProgram, FINAL_PATH_SIZE);
    if (wcslen(wszProgram) + 1 + wcslen(pContext->wszLaunchName) >= FINAL_PATH_SIZE)
        return FALSE;
    wcscat_s(wszProgram, FINAL_PATH_SIZE, L"\\");
    wcscat_s(wszProgram, FINAL_PATH_SIZE, pContext->wszLaunchName);
    return TRUE;
}

/* The volume and file id of the file a path leads to now; FALSE when it
 * cannot be opened. */
static BOOL GetFileIdentity(const WCHAR *pwszPath, BY_HANDLE_FILE_INFORMATION *pInfo)
{
    HANDLE hFile = CreateFileW(pwszPath, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, 0, NULL);
    BOOL fKnown;

    if (hFile == INVALID_HANDLE_VALUE)
        return FALSE;
    fKnown = GetFileInformationByHandle(hFile, pInfo);
    CloseHandle(hFile);
    return fKnown;
}

/* Whether the first record is a batch file, which CreateProcessW runs with
 * the system's command interpreter as the image. */
static BOOL IsBatchFileName(const WCHAR *pwszName)
{
    size_t cch = wcslen(pwszName);

    return cch > 4 && (CompareStringOrdinal(pwszName + cch - 4, 4, L".cmd", 4, TRUE) == CSTR_EQUAL
                       || CompareStringOrdinal(pwszName + cch - 4, 4, L".bat", 4, TRUE) == CSTR_EQUAL);
}

/* Whether the suspended process hProcess runs what the held first file
 * pContext->hLaunchFile asks for: the file its image name leads to now
 * has that file's volume and file id, or, for a batch file, is the
 * system folder's cmd.exe (the script is then read by its checked path
 * while it is held).  Win32 path rules, a link or another program's move
 * can make a path start another file. */
static BOOL IsImageOfHeldFile(HANDLE hProcess, const ExtractContext *pContext)
{
    WCHAR wszImage[FINAL_PATH_SIZE];
    WCHAR wszShell[MAX_PATH];
    DWORD cchImage = FINAL_PATH_SIZE;
    UINT cchShell;
    BY_HANDLE_FILE_INFORMATION expected, image;

    if (!pContext->hLaunchFile
        || !QueryFullProcessImageNameW(hProcess, 0, wszImage, &cchImage)
        || !GetFileIdentity(wszImage, &image))
        return FALSE;
    if (IsBatchFileName(pContext->wszLaunchName))
    {
        cchShell = GetSystemDirectoryW(wszShell, MAX_PATH);
        if (cchShell == 0 || cchShell + sizeof("\\cmd.exe") > MAX_PATH)
            return FALSE;
        wcscat_s(wszShell, MAX_PATH, L"\\cmd.exe");
        if (!GetFileIdentity(wszShell, &expected))
            return FALSE;
    }
    else if (!GetFileInformationByHandle(pContext->hLaunchFile, &expected))
        return FALSE;
    return image.dwVolumeSerialNumber == expected.dwVolumeSerialNumber
           && image.nFileIndexHigh == expected.nFileIndexHigh
           && image.nFileIndexLow == expected.nFileIndexLow;
}

/* Starts the command line suspended, lets it run only when its image is
 * the held first file (which is then let go), and waits until it has
 * ended.  A child inherits the error mode: the installer gets the one the
 * launcher started with, not the launcher's own.  Returns 0 or the error
 * to show. */
static DWORD StartHeldProgram(ExtractContext *pContext, WCHAR *pwszCmdLine,
                              UINT uInstallerErrorMode)
{
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    UINT uOwnErrorMode;
    BOOL fStarted;
    DWORD dwError;

    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    ZeroMemory(&pi, sizeof(pi));
    uOwnErrorMode = SetErrorMode(uInstallerErrorMode);
    fStarted = CreateProcessW(NULL, pwszCmdLine, NULL, NULL, TRUE,
                              NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, NULL, NULL, &si, &pi);
    dwError = GetLastError();
    SetErrorMode(uOwnErrorMode);
    if (!fStarted)
        return dwError;
    dwError = ERROR_SUCCESS;
    if (IsImageOfHeldFile(pi.hProcess, pContext))
    {
        ResumeThread(pi.hThread);
        CloseHeldFile(&pContext->hLaunchFile);
    }
    else
    {
        /* Another program than the one written: it never ran a line. */
        TerminateProcess(pi.hProcess, (UINT)-1);
        dwError = ERROR_PATH_NOT_FOUND;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return dwError;
}

/* Starts "\"path\" arguments" and waits until that program has ended.
 * The path is the held folder's final path and the first record's name,
 * as the system resolves the handle now: no link on the way to TEMP is
 * walked again.  A path that Win32 would read as another one is refused
 * before anything starts, and the program started must be the file the
 * launcher wrote.  The arguments are the launcher's own in UTF-16,
 * character for character. */
static void LaunchInstaller(ExtractContext *pContext, const WCHAR *pwszArguments,
                            UINT uInstallerErrorMode)
{
    WCHAR wszProgram[FINAL_PATH_SIZE];
    size_t cchCmdLine;
    WCHAR *pwszCmdLine;
    DWORD dwError;

    if (!GetProgramPath(pContext, wszProgram) || !IsRoundTripPath(wszProgram))
    {
        ShowError("Unable to launch %s\nError number %d", pContext->szLaunchPath,
                  (int)ERROR_PATH_NOT_FOUND);
        return;
    }
    /* Two quotes, one blank and the terminating NUL. */
    cchCmdLine = wcslen(wszProgram) + wcslen(pwszArguments) + 4;
    pwszCmdLine = (WCHAR *)calloc(cchCmdLine, sizeof(WCHAR));
    if (!pwszCmdLine)
    {
        ShowError("Unable to launch %s\nOut of memory.", pContext->szLaunchPath);
        return;
    }
    swprintf_s(pwszCmdLine, cchCmdLine, L"\"%s\" %s", wszProgram, pwszArguments);
    dwError = StartHeldProgram(pContext, pwszCmdLine, uInstallerErrorMode);
    if (dwError != ERROR_SUCCESS)
        ShowError("Unable to launch %s\nError number %d", pContext->szLaunchPath, (int)dwError);
    free(pwszCmdLine);
}

/* Deletes every plain file in the extraction folder through the handle
 * held since the worker made or checked it, then removes the folder if
 * what its name in TEMP holds is still that folder: nothing outside the
 * folder is touched, whatever became of the path to it.  Failures are silent: a file still in use stays, and so
 * does the folder.  szLaunchPath is cut down to the folder in place. */
static void RemoveExtractedFiles(ExtractContext *pContext)
{
    WCHAR wszFinalFolder[FINAL_PATH_SIZE];

    PathRemoveFileSpecA(pContext->szLaunchPath);
    GetHandleFinalPath(pContext->hFolder, wszFinalFolder, FINAL_PATH_SIZE);
    ClearHeldFolder(pContext->hFolder, wszFinalFolder, pContext->szLaunchPath, NULL);
    RemoveHeldFolder(pContext);
}

void LaunchAndCleanup(ExtractContext *pContext, DWORD dwExitCode, const WCHAR *pwszArguments,
                      UINT uInstallerErrorMode)
{
    if (dwExitCode == 0)
        LaunchInstaller(pContext, pwszArguments, uInstallerErrorMode);
    /* The cleanup deletes it through a handle that needs delete sharing. */
    CloseHeldFile(&pContext->hLaunchFile);

    /* Without a recorded first file there is no folder this run can vouch
     * for, and without the folder open nothing was written into it. */
    if (pContext->szLaunchPath[0] != '\0' && pContext->hFolder)
        RemoveExtractedFiles(pContext);
    CloseHeldFolder(&pContext->hFolder);
    CloseHeldFolder(&pContext->hFolderParent);
}
