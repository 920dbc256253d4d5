/*
 * The extraction worker.  It reads the payload from the launcher's own
 * file and writes every stored file into the extraction folder under TEMP,
 * telling the progress dialog what it does.  Every failure is shown where
 * it happens; on every way out the dialog is sent WM_CLOSE exactly once.
 */
#include <windows.h>
#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "container.h"
#include "folder.h"
#include "../run/launcher.h"
#include "../run/links.h"
#include "../run/paths.h"

#define EXTRACT_OK      0
#define EXTRACT_FAILED  ((DWORD)-1)

/* How long opening the own file is retried while another process (a virus
 * scanner looking at the fresh download) holds it without sharing. */
#define OPEN_RETRY_STEP_MS  100
#define OPEN_RETRY_STEPS    15

/* Room for TEMP's NT path: "\\??\\UNC\\" and a TEMP that fits the ANSI
 * paths' MAX_PATH bytes, with room to spare for its full form. */
#define NT_TEMP_PATH_SIZE (2 * MAX_PATH)

static int CurrentErrno(void)
{
    int nErr = 0;
    _get_errno(&nErr);
    return nErr;
}

/* The lead-byte test of the system's ANSI code page, in which record names
 * are read. */
static int IsAnsiLeadByte(unsigned char ch)
{
    return IsDBCSLeadByte(ch) != 0;
}

/* The record name pszName as the file system gets it, in wszName
 * (RECORD_NAME_SIZE characters: the text has no more UTF-16 units than
 * the name has bytes), or FALSE when it is no text of the system's ANSI
 * code page or names a device.  A byte pair the code page has no
 * character for (a lead byte before a byte that is not one of its trail
 * bytes) would be dropped or replaced, giving the file another name, or
 * one with a separator in it.  Devices are judged on the text the file
 * system gets: "COM" A9 F6 in code page 949 (C2 B9 in UTF-8) is "COM" and
 * the superscript one, a serial port. */
static BOOL GetRecordText(const char *pszName, WCHAR *wszName)
{
    int cchName = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pszName, -1,
                                      wszName, RECORD_NAME_SIZE);

    if (cchName == 0)
        return FALSE;
    return !IsDeviceNameText((const unsigned short *)wszName, (size_t)cchName - 1);
}

typedef LONG (NTAPI *NtAreMappedFilesTheSameFn)(PVOID pvImage, PVOID pvView);

/* Whether the open file is the very file the launcher's image was mapped
 * from, the one the user consented to run: a program of the user's can
 * rename the running container and put another at its path. */
static BOOL IsOwnImageFile(HANDLE hFile)
{
    NtAreMappedFilesTheSameFn pfnSame =
        (NtAreMappedFilesTheSameFn)(void *)GetNtdllFunction("NtAreMappedFilesTheSame");
    HANDLE hMapping;
    LPVOID pvView;
    BOOL fSame = FALSE;

    if (!pfnSame)
        return FALSE;
    hMapping = CreateFileMappingA(hFile, NULL, PAGE_READONLY, 0, 0, NULL);
    if (!hMapping)
        return FALSE;
    pvView = MapViewOfFile(hMapping, FILE_MAP_READ, 0, 0, 1);
    if (pvView)
    {
        fSame = pfnSame(GetModuleHandleA(NULL), pvView) == 0;     /* STATUS_SUCCESS */
        UnmapViewOfFile(pvView);
    }
    CloseHandle(hMapping);
    return fSame;
}

/* Opens the launcher's own file for reading; shows the error itself.
 * Others may go on reading it, but nobody may write, rename or delete it
 * while the launcher runs, and the handle is not inheritable.  *phHeld
 * gets a second handle of the same open, which outlives the descriptor. */
static int OpenOwnFile(const char *pszModulePath, HANDLE *phHeld)
{
    HANDLE hFile = INVALID_HANDLE_VALUE;
    DWORD dwError = ERROR_SUCCESS;
    int nStep;
    int fd;

    for (nStep = 0; nStep <= OPEN_RETRY_STEPS; nStep++)
    {
        hFile = CreateFileA(pszModulePath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
        if (hFile != INVALID_HANDLE_VALUE)
            break;
        dwError = GetLastError();
        if (dwError != ERROR_SHARING_VIOLATION || nStep == OPEN_RETRY_STEPS)
            break;
        Sleep(OPEN_RETRY_STEP_MS);
    }
    if (hFile == INVALID_HANDLE_VALUE)
    {
        ShowError("Unable to open file: %s\nError number: %d", pszModulePath,
                  ErrnoFromSystemError(dwError));
        return -1;
    }
    if (!IsOwnImageFile(hFile))
    {
        /* The file the user started is no longer at this path. */
        CloseHandle(hFile);
        ShowError("Unable to open file: %s\nError number: %d", pszModulePath, ENOENT);
        return -1;
    }
    /* A second handle of the same open keeps it, and its sharing, until
     * the cleanup has ended: the installer finds the container at SNF. */
    if (!DuplicateHandle(GetCurrentProcess(), hFile, GetCurrentProcess(), phHeld, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
    {
        *phHeld = NULL;
        ShowError("Unable to open file: %s\nError number: %d", pszModulePath,
                  ErrnoFromSystemError(GetLastError()));
        CloseHandle(hFile);
        return -1;
    }
    fd = _open_osfhandle((intptr_t)hFile, _O_RDONLY | _O_BINARY);
    if (fd < 0)
    {
        CloseHandle(hFile);
        ShowError("Unable to open file: %s\nError number: %d", pszModulePath, CurrentErrno());
    }
    return fd;
}

/* Makes the extraction folder TEMP + EXTRACT_FOLDER_NAME (without its
 * trailing backslash), leaves its path in szFolder, its final path in
 * wszFinalFolder (empty where the system cannot tell) and holds it open in
 * the run record.  Shows the error itself. */
static BOOL PrepareFolder(ExtractContext *pContext, char *szFolder, WCHAR *wszFinalFolder,
                          int *pnFolderErrno)
{
    char szTemp[MESSAGE_TEXT_SIZE];
    WCHAR wszNtTemp[NT_TEMP_PATH_SIZE];
    const char *pszTemp = szTemp;
    size_t cchTemp;

    if (!GetAnsiTemp(szTemp, sizeof(szTemp)))
        return FALSE;
    if (!*pszTemp)
    {
        ShowError("Unable to extract files!\nTEMP is not set.");
        return FALSE;
    }
    cchTemp = strlen(pszTemp);
    if (cchTemp + sizeof(EXTRACT_FOLDER_NAME) - 1 >= MAX_PATH)
    {
        ShowError("Unable to open file: %s%s\nThe path is too long.", pszTemp, EXTRACT_FOLDER_NAME);
        return FALSE;
    }
    strcpy_s(szFolder, MAX_PATH, pszTemp);
    strcat_s(szFolder, MAX_PATH, EXTRACT_FOLDER_NAME);
    szFolder[strlen(szFolder) - 1] = '\0';
    if (!GetTempNtPath(wszNtTemp, NT_TEMP_PATH_SIZE))
    {
        ShowError("Unable to open file: %s\nThe path is too long.", szFolder);
        return FALSE;
    }
    return OpenExtractionFolder(pContext, szFolder, wszNtTemp, wszFinalFolder, pnFolderErrno);
}

/* An entry that already carries the record's name may have been planted
 * to make the elevated launcher overwrite some other file.  Looks at it
 * through a handle opened relative to the folder, without writing: a
 * hard link or a reparse point loses its name here, so the data goes into
 * a new file and the other file keeps its content; an entry that leads
 * out of the folder (a link the platform shows as a plain file) is left
 * alone and refused.  A plain file with one name is rewritten as usual,
 * and a folder or an entry that cannot be opened makes the create fail
 * and say so.  A link's name that cannot be removed is refused. */
static BOOL ClearPlantedEntry(HANDLE hFolder, const WCHAR *pwszFinalFolder, const WCHAR *pwszName)
{
    HANDLE hEntry = NULL;
    int nKind = JudgeEntry(hFolder, pwszFinalFolder, pwszName, &hEntry);
    BOOL fClear = nKind != ENTRY_ELSEWHERE;

    if (nKind == ENTRY_EXTRA_NAME)
        fClear = DeleteByHandle(hEntry);
    if (hEntry)
        CloseHandle(hEntry);
    return fClear;
}

/* Creates, or empties, the record's file in the held folder, relative to
 * its handle: readable and writable, others may read and write it, not
 * inheritable.  Returns a descriptor, or -1 with the errno to show. */
static int CreateRecordFile(HANDLE hFolder, const WCHAR *pwszFinalFolder, const WCHAR *pwszName,
                            BOOL fFirst, int *pnErr)
{
    /* The first record is the program to launch: nobody else may write it
     * from its creation on. */
    OPEN_REQUEST request = {
        FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
        FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, NULL };
    HANDLE hFile;
    DWORD dwError;
    int fd;

    /* A planted entry that leads elsewhere is refused like a file that
     * cannot be opened for writing. */
    *pnErr = EACCES;
    if (fFirst)
        request.dwShare = FILE_SHARE_READ;
    if (!ClearPlantedEntry(hFolder, pwszFinalFolder, pwszName))
        return -1;
    dwError = OpenByName(hFolder, pwszName, &request, &hFile);
    if (dwError != ERROR_SUCCESS)
    {
        *pnErr = ErrnoFromSystemError(dwError);
        return -1;
    }
    fd = _open_osfhandle((intptr_t)hFile, _O_BINARY);
    if (fd < 0)
    {
        *pnErr = CurrentErrno();
        CloseHandle(hFile);
    }
    return fd;
}

/* Keeps the first record's file, written through fdOut, open in the run
 * record once its writer is closed: read access only, so the installer's
 * image can be mapped from it, and sharing read only, so nobody can write
 * it until the installer has started.  A handle without write access
 * cannot be had while the writer is open except one that shares writing,
 * so that one bridges to the last; a writer that came in between makes
 * the last open fail.  Closes fdOut.  Returns 0 or the system error. */
static DWORD HoldLaunchFile(ExtractContext *pContext, int fdOut)
{
    HANDLE hBridge = ReOpenFile((HANDLE)_get_osfhandle(fdOut), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    DWORD dwError = ERROR_SUCCESS;

    _close(fdOut);
    if (hBridge == INVALID_HANDLE_VALUE)
        return GetLastError();
    pContext->hLaunchFile = ReOpenFile(hBridge, GENERIC_READ, FILE_SHARE_READ, 0);
    if (pContext->hLaunchFile == INVALID_HANDLE_VALUE)
    {
        dwError = GetLastError();
        pContext->hLaunchFile = NULL;
    }
    CloseHandle(hBridge);
    return dwError;
}

/* A later record of the first record's name (as the file system compares
 * names, ignoring case) replaces the program to launch: the held file is
 * let go so it can be written, and held again once it has been. */
static BOOL ReplacesLaunchFile(ExtractContext *pContext, const WCHAR *pwszName)
{
    if (!pContext->hLaunchFile
        || CompareStringOrdinal(pwszName, -1, pContext->wszLaunchName, -1, TRUE) != CSTR_EQUAL)
        return FALSE;
    CloseHandle(pContext->hLaunchFile);
    pContext->hLaunchFile = NULL;
    return TRUE;
}

/* Copies nSize bytes of record data from fdIn to fdOut, sending the
 * progress position before each chunk.  Shows the error itself. */
static BOOL CopyRecordData(ExtractContext *pContext, int fdIn, int fdOut, int nSize,
                           char *pbBuffer, const char *pszOutPath)
{
    const float fSize = (float)nSize;
    int nRemaining = nSize;

    while (nRemaining != 0)
    {
        int cbChunk = nRemaining < COPY_CHUNK_SIZE ? nRemaining : COPY_CHUNK_SIZE;

        SendMessageA(pContext->hDlg, WM_EXTRACT_SETPOS, (WPARAM)ProgressPosition(nRemaining, fSize), 0);
        if (_read(fdIn, pbBuffer, (unsigned)cbChunk) != cbChunk)
        {
            ShowError("Unable to read file: %s", pContext->szModulePath);
            return FALSE;
        }
        if (_write(fdOut, pbBuffer, (unsigned)cbChunk) != cbChunk)
        {
            ShowError("Unable to write to file: %s", pszOutPath);
            return FALSE;
        }
        nRemaining -= cbChunk;
    }
    return TRUE;
}

/* Checks the record's length and name and makes its path in szOutPath
 * (MAX_PATH bytes) and its name as the file system gets it in wszName
 * (RECORD_NAME_SIZE characters).  Shows the error itself. */
static BOOL CheckRecord(ExtractContext *pContext, const PayloadRecordHeader *pHeader,
                        const char *pszFolder, char *szOutPath, WCHAR *wszName)
{
    if (pHeader->nSize < 0)
    {
        /* Not a valid length: the data cannot be read. */
        ShowError("Unable to read file: %s", pContext->szModulePath);
        return FALSE;
    }
    if (!IsPlainFileName(pHeader->szName, RECORD_NAME_SIZE, IsAnsiLeadByte)
        || !GetRecordText(pHeader->szName, wszName))
    {
        ShowError("Invalid file name in payload: %.*s", RECORD_NAME_SIZE, pHeader->szName);
        return FALSE;
    }
    if (strlen(pszFolder) + 1 + strlen(pHeader->szName) >= MAX_PATH)
    {
        ShowError("Unable to open file: %s\\%s\nThe path is too long.", pszFolder, pHeader->szName);
        return FALSE;
    }
    strcpy_s(szOutPath, MAX_PATH, pszFolder);
    strcat_s(szOutPath, MAX_PATH, "\\");
    strcat_s(szOutPath, MAX_PATH, pHeader->szName);
    return TRUE;
}

/* Writes one record, whose header is at the start of pbBuffer, into the
 * folder.  The header's name is used before the data overwrites it. */
static BOOL ExtractRecord(ExtractContext *pContext, int fdIn, const char *pszFolder,
                          const WCHAR *pwszFinalFolder, int nFolderErrno, char *pbBuffer)
{
    const PayloadRecordHeader *pHeader = (const PayloadRecordHeader *)pbBuffer;
    const int nSize = pHeader->nSize;
    char szOutPath[MAX_PATH];
    char szStatus[MESSAGE_TEXT_SIZE];
    WCHAR wszName[RECORD_NAME_SIZE];
    int fdOut = -1;
    int nErr = nFolderErrno;    /* the folder could not be made */
    DWORD dwError;
    BOOL fFirst;
    BOOL fCopied;

    if (!CheckRecord(pContext, pHeader, pszFolder, szOutPath, wszName))
        return FALSE;

    /* The first record is the program to launch; its path is kept even if
     * its file cannot be created, so the cleanup still finds the folder. */
    fFirst = pContext->szLaunchPath[0] == '\0';
    if (fFirst)
    {
        strcpy_s(pContext->szLaunchPath, MAX_PATH, szOutPath);
        wcscpy_s(pContext->wszLaunchName, RECORD_NAME_SIZE, wszName);
    }
    else if (ReplacesLaunchFile(pContext, wszName))
        fFirst = TRUE;

    if (pContext->hFolder)
        fdOut = CreateRecordFile(pContext->hFolder, pwszFinalFolder, wszName, fFirst, &nErr);
    if (fdOut < 0)
    {
        /* Access denied and sharing violations, what a file held open by a
         * running instance yields, both arrive as EACCES. */
        if (nErr == EACCES || nErr == EEXIST)
            ShowError(TEXT_OPEN_REFUSED, szOutPath);
        else
            ShowError("Unable to open file: %s\nError number: %d", szOutPath, nErr);
        return FALSE;
    }

    _snprintf_s(szStatus, sizeof(szStatus), _TRUNCATE, "Extracting: %s", pHeader->szName);
    SendMessageA(pContext->hDlg, WM_EXTRACT_SETTEXT, 0, (LPARAM)szStatus);

    fCopied = CopyRecordData(pContext, fdIn, fdOut, nSize, pbBuffer, szOutPath);
    if (!fFirst || !fCopied)
        _close(fdOut);
    else if ((dwError = HoldLaunchFile(pContext, fdOut)) != ERROR_SUCCESS)
    {
        ShowError("Unable to open file: %s\nError number: %d", szOutPath,
                  ErrnoFromSystemError(dwError));
        fCopied = FALSE;
    }
    return fCopied;
}

/* Reads records until the end record or a short header read, which both
 * end the payload normally. */
static DWORD ExtractPayload(ExtractContext *pContext, int fdIn)
{
    char rgbBuffer[COPY_CHUNK_SIZE];
    char szFolder[MAX_PATH];
    WCHAR wszFinalFolder[FINAL_PATH_SIZE];
    DWORD dwResult = EXTRACT_OK;
    int nFolderErrno = 0;

    if (!PrepareFolder(pContext, szFolder, wszFinalFolder, &nFolderErrno))
        return EXTRACT_FAILED;

    for (;;)
    {
        const PayloadRecordHeader *pHeader = (const PayloadRecordHeader *)rgbBuffer;

        if (_read(fdIn, rgbBuffer, RECORD_HEADER_SIZE) != RECORD_HEADER_SIZE)
            break;
        if (pHeader->nSize == END_RECORD_SIZE)
            break;
        if (!ExtractRecord(pContext, fdIn, szFolder, wszFinalFolder, nFolderErrno, rgbBuffer))
        {
            dwResult = EXTRACT_FAILED;
            break;
        }
    }

    /* Without a first file nothing was written: leave no folder behind
     * that this run made.  Only an empty folder goes, through its handle. */
    if (pContext->szLaunchPath[0] == '\0')
        RemoveHeldFolder(pContext);
    return dwResult;
}

DWORD WINAPI ExtractThreadProc(LPVOID lpParameter)
{
    ExtractContext *pContext = (ExtractContext *)lpParameter;
    DWORD dwResult = EXTRACT_FAILED;
    int fdIn;

    fdIn = OpenOwnFile(pContext->szModulePath, &pContext->hOwnFile);
    if (fdIn >= 0)
    {
        if (!PublishHeldOwnPath(pContext->hOwnFile, pContext->szModulePath))
            ;   /* the box has been shown */
        else if (_lseek(fdIn, PAYLOAD_OFFSET, SEEK_SET) != PAYLOAD_OFFSET)
            ShowError("Unable to seek into file: %s", pContext->szModulePath);
        else
            dwResult = ExtractPayload(pContext, fdIn);
        _close(fdIn);
    }
    SendMessageA(pContext->hDlg, WM_CLOSE, 0, 0);
    return dwResult;
}
