// A window hook that the test driver installs on the launcher's main
// thread.  It logs every message the progress dialog and its bar receive
// that matters to the tests, in order, to the file named by SFX_HOOK_LOG:
//   init <status text>     WM_INITDIALOG, with the status line's text
//   settext <text> <from>  WM_USER+2 to the dialog; <from> is "sent" when
//                          another thread is waiting in SendMessage
//   setpos <n> <from>      WM_USER+1 to the dialog
//   close <from>           WM_CLOSE to the dialog
//   bar-range <lo> <hi>    PBM_SETRANGE to the bar
//   bar-pos <n>            PBM_SETPOS to the bar
//   status-before <text>   the status line's text before the first settext
//   snf <value>            the launcher's SNF variable when the dialog starts
//   error-mode <hex>       the launcher's error mode then
// Before the dialog procedure sees WM_INITDIALOG (and so before the worker
// runs), the hook can plant a fault named by its environment:
//   SFX_HOOK_INIT_MOVE=1     rename the launcher's own file away
//   SFX_HOOK_INIT_HOLD_MS=N  hold the launcher's own file open without
//                            sharing for N milliseconds
//   SFX_HOOK_NO_FINAL_PATH=1 make the launcher's GetFinalPathNameByHandleW
//                            fail, as on file systems that cannot tell
//   SFX_HOOK_NO_SHORT_NAMES=1 make the launcher's GetShortPathNameW give
//                            the long path back, as on a volume that
//                            keeps no short names
//   SFX_HOOK_INIT_REPLACE=P  rename the launcher's own file away and copy
//                            the container P to its path
//   SFX_HOOK_FOLDER_OURS=1   make the launcher's GetSecurityInfo report the
//                            descriptor an elevated run gives its folder, as
//                            Windows does for a folder such a run made (Wine
//                            reports one made from the Unix mode bits)
//   SFX_HOOK_MKDIR_SD=1      log the descriptor the launcher creates folders
//                            with: "mkdir-sd <SDDL>"
//   SFX_HOOK_NO_FINAL_PATH=entries  as =1, but only for handles other than
//                            the extraction folder's
//   SFX_HOOK_VOLUME=no-acls  make the volume look like one that keeps no
//                   remote   permissions (FAT), or like a network drive
// A patch of the launcher's imports that finds no such import logs
// "missing-import <name>", and the test fails.
//   SFX_HOOK_FOLDER_PARENT=P make the launcher's GetFinalPathNameByHandleW
//                            name whatever lies in the extraction folder
//                            as if the folder were in P (a folder name the
//                            Win32 rules read as another, e.g. "x.")
//   SFX_HOOK_START_OTHER=P   make the launcher's CreateProcessW start the
//                            program P instead of the one it names
// Loaded before the launcher's WinMain (the driver's --early-hook):
//   SFX_HOOK_DLL_DIRECTORIES=missing|fails  the launcher's lookup of
//                            SetDefaultDllDirectories finds nothing, or a
//                            function that fails
// An attacker's move between two of the launcher's calls, once, at the
// moment SFX_HOOK_WAIT_AT names; the launcher's thread logs "waited <at>":
//   SFX_HOOK_WAIT_AT=made    right after the extraction folder is made
//                    delete  just before the launcher's first deletion
//                    launch  just before the installer is started
//                    reopen  just before the folder, let go of, is opened
//                            again by its name for its removal
//   SFX_HOOK_MOVES=A>B|C>D   renames made then, through Windows (so the
//                            sharing of the launcher's handles applies),
//                            logged "moves ok" or "moves failed <n> <error>"
//   SFX_HOOK_WAIT_READY=F, SFX_HOOK_WAIT_GO=G  then the hook creates F and
//                            waits (60 s at most) until the test has made
//                            its own move and created G (Wine's renames
//                            follow symbolic links; the test's do not)
// For a still picture of the dialog at work (the demo's screenshot):
//   SFX_HOOK_PAUSE_AT=N      at the first position of N or more (below 100)
//   SFX_HOOK_RESUME=FILE     the dialog is painted, "paused <left> <top>
//                            <right> <bottom>" (its place on the screen) is
//                            logged, and the dialog thread, and with it the
//                            worker waiting in SendMessage, holds until FILE
//                            exists (60 s at most)
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

#include <winternl.h>

#include "report.h"
#include "../../src/payload/container.h"

static bool g_fSawText;
static bool g_fShown;
static bool g_fPaused;

static void Log(const std::string &line)
{
    char szPath[MAX_PATH];
    if (GetEnvironmentVariableA("SFX_HOOK_LOG", szPath, MAX_PATH) - 1 < MAX_PATH - 1)
        AppendLine(szPath, line);
}

static const char *From()
{
    return (InSendMessageEx(NULL) & ISMEX_SEND) ? "sent" : "local";
}

static std::string StatusText(HWND hDlg)
{
    char szText[1024] = "";
    GetDlgItemTextA(hDlg, -1, szText, sizeof(szText));
    return Escape(szText);
}

// How the progress dialog looks: caption, style, extended style and the
// bar's class, separated by tabs.
static std::string DialogLook(HWND hDlg)
{
    char szCaption[256] = "";
    char szBarClass[64] = "";
    char szStyles[32];
    GetWindowTextA(hDlg, szCaption, sizeof(szCaption));
    GetClassNameA(GetDlgItem(hDlg, 1000), szBarClass, sizeof(szBarClass));
    sprintf(szStyles, "\t%08lX\t%08lX\t", (unsigned long)GetWindowLongA(hDlg, GWL_STYLE),
            (unsigned long)GetWindowLongA(hDlg, GWL_EXSTYLE));
    return Escape(szCaption) + szStyles + szBarClass;
}

static DWORD WINAPI HoldOwnFile(LPVOID pv)
{
    HANDLE h = (HANDLE)pv;
    char sz[32] = "";
    GetEnvironmentVariableA("SFX_HOOK_INIT_HOLD_MS", sz, sizeof(sz));
    Sleep(strtoul(sz, NULL, 10));
    CloseHandle(h);
    return 0;
}

static DWORD WINAPI FailingGetFinalPath(HANDLE, LPWSTR, DWORD, DWORD)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
}

// The extraction folder's name, without the backslashes around it.
static std::wstring FolderName()
{
    std::string name(EXTRACT_FOLDER_NAME + 1, sizeof(EXTRACT_FOLDER_NAME) - 3);
    return std::wstring(name.begin(), name.end());
}

static std::wstring EnvW(const wchar_t *pszName)
{
    static wchar_t sz[32768];
    DWORD n = GetEnvironmentVariableW(pszName, sz, 32768);
    return n > 0 && n < 32768 ? std::wstring(sz, n) : std::wstring();
}

// Final paths in the extraction folder, as if the folder lay in
// SFX_HOOK_FOLDER_PARENT.
static DWORD WINAPI ReparentedGetFinalPath(HANDLE h, LPWSTR psz, DWORD cch, DWORD dwFlags)
{
    DWORD n = GetFinalPathNameByHandleW(h, psz, cch, dwFlags);
    std::wstring path(psz, n < cch ? n : 0);
    size_t at = path.find(L"\\" + FolderName());
    if (at == std::wstring::npos)
        return n;
    path = L"\\\\?\\" + EnvW(L"SFX_HOOK_FOLDER_PARENT") + path.substr(at);
    if (path.size() >= cch)
        return (DWORD)path.size() + 1;
    lstrcpyW(psz, path.c_str());
    return (DWORD)path.size();
}

static DWORD WINAPI EntriesFailingGetFinalPath(HANDLE h, LPWSTR psz, DWORD cch, DWORD dwFlags)
{
    DWORD n = GetFinalPathNameByHandleW(h, psz, cch, dwFlags);
    std::wstring name = L"\\" + FolderName();
    if (n > 0 && n < cch && n >= name.size() && std::wstring(psz + n - name.size()) == name)
        return n;
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
}

static bool EnvIs(const char *pszName, const char *pszValue)
{
    char sz[64] = "";
    GetEnvironmentVariableA(pszName, sz, sizeof(sz));
    return lstrcmpA(sz, pszValue) == 0;
}

// Renames each "A>B" of a "|"-separated list, in order.
static void MakeMoves(const std::string &moves)
{
    int n = 0;
    for (size_t start = 0; start <= moves.size(); n++) {
        size_t end = moves.find('|', start);
        if (end == std::string::npos)
            end = moves.size();
        std::string move = moves.substr(start, end - start);
        size_t gt = move.find('>');
        if (!MoveFileA(move.substr(0, gt).c_str(), move.substr(gt + 1).c_str())) {
            char szLine[64];
            sprintf(szLine, "moves failed %d %lu", n, GetLastError());
            Log(szLine);
            return;
        }
        start = end + 1;
    }
    Log("moves ok");
}

// Makes the attacker's move, once, if this is its moment.
static void WaitForTest(const char *pszAt)
{
    static bool s_fDone;
    char szMoves[4096] = "", szReady[MAX_PATH] = "", szGo[MAX_PATH] = "";
    if (s_fDone || !EnvIs("SFX_HOOK_WAIT_AT", pszAt))
        return;
    s_fDone = true;
    Log(std::string("waited ") + pszAt);
    if (GetEnvironmentVariableA("SFX_HOOK_MOVES", szMoves, sizeof(szMoves)) - 1 < sizeof(szMoves) - 1)
        MakeMoves(szMoves);
    if (GetEnvironmentVariableA("SFX_HOOK_WAIT_READY", szReady, MAX_PATH) - 1 >= MAX_PATH - 1 ||
        GetEnvironmentVariableA("SFX_HOOK_WAIT_GO", szGo, MAX_PATH) - 1 >= MAX_PATH - 1)
        return;
    AppendLine(szReady, "ready");
    for (int i = 0; i < 1200 && GetFileAttributesA(szGo) == INVALID_FILE_ATTRIBUTES; i++)
        Sleep(50);
}

static void LogDescriptor(PSECURITY_DESCRIPTOR pSD)
{
    LPSTR pszSddl = NULL;
    if (pSD && ConvertSecurityDescriptorToStringSecurityDescriptorA(
            pSD, SDDL_REVISION_1,
            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            &pszSddl, NULL)) {
        Log(std::string("mkdir-sd ") + pszSddl);
        LocalFree(pszSddl);
    } else {
        Log("mkdir-sd none");
    }
}

typedef NTSTATUS (NTAPI *NtCreateFileFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                         PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG,
                                         ULONG, ULONG, PVOID, ULONG);
typedef NTSTATUS (NTAPI *NtQueryVolumeFn)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
static NtCreateFileFn g_pfnNtCreateFile;
static NtQueryVolumeFn g_pfnNtQueryVolume;

static NTSTATUS NTAPI WatchedNtCreateFile(PHANDLE ph, ACCESS_MASK access, POBJECT_ATTRIBUTES poa,
                                          PIO_STATUS_BLOCK piosb, PLARGE_INTEGER pSize,
                                          ULONG attributes, ULONG share, ULONG disposition,
                                          ULONG options, PVOID pEa, ULONG cbEa)
{
    bool fFolder = disposition == FILE_CREATE && (options & FILE_DIRECTORY_FILE);
    if (fFolder && EnvIs("SFX_HOOK_MKDIR_SD", "1"))
        LogDescriptor(poa->SecurityDescriptor);
    // The folder opened by its name in TEMP with DELETE access: in a fresh
    // run, first for its removal.
    if ((access & DELETE) && disposition == FILE_OPEN && (options & FILE_DIRECTORY_FILE) &&
        poa->RootDirectory && poa->ObjectName &&
        std::wstring(poa->ObjectName->Buffer, poa->ObjectName->Length / sizeof(WCHAR)) == FolderName())
        WaitForTest("reopen");
    NTSTATUS status = g_pfnNtCreateFile(ph, access, poa, piosb, pSize, attributes, share,
                                        disposition, options, pEa, cbEa);
    if (fFolder && NT_SUCCESS(status))
        WaitForTest("made");
    return status;
}

static NTSTATUS NTAPI RemoteNtQueryVolume(HANDLE h, PIO_STATUS_BLOCK piosb, PVOID pv, ULONG cb,
                                          ULONG infoClass)
{
    NTSTATUS status = g_pfnNtQueryVolume(h, piosb, pv, cb, infoClass);
    if (NT_SUCCESS(status) && infoClass == 4 /* FileFsDeviceInformation */)
        ((ULONG *)pv)[1] |= 0x10;   // FILE_REMOTE_DEVICE
    return status;
}

static FARPROC WINAPI WatchedGetProcAddress(HMODULE hModule, LPCSTR pszName)
{
    FARPROC pfn = GetProcAddress(hModule, pszName);
    if (!pfn || !HIWORD(pszName))
        return pfn;
    if (lstrcmpA(pszName, "NtCreateFile") == 0) {
        g_pfnNtCreateFile = (NtCreateFileFn)(void *)pfn;
        return (FARPROC)(void *)WatchedNtCreateFile;
    }
    if (lstrcmpA(pszName, "NtQueryVolumeInformationFile") == 0 && EnvIs("SFX_HOOK_VOLUME", "remote")) {
        g_pfnNtQueryVolume = (NtQueryVolumeFn)(void *)pfn;
        return (FARPROC)(void *)RemoteNtQueryVolume;
    }
    return pfn;
}

static BOOL WINAPI NoAclsVolumeInformation(HANDLE h, LPWSTR pszName, DWORD cchName, LPDWORD pSerial,
                                           LPDWORD pcchComponent, LPDWORD pFlags, LPWSTR pszFs,
                                           DWORD cchFs)
{
    BOOL f = GetVolumeInformationByHandleW(h, pszName, cchName, pSerial, pcchComponent, pFlags,
                                           pszFs, cchFs);
    if (f && pFlags)
        *pFlags &= ~(DWORD)FILE_PERSISTENT_ACLS;
    return f;
}

static BOOL WINAPI WatchedSetFileInformation(HANDLE h, FILE_INFO_BY_HANDLE_CLASS infoClass,
                                             LPVOID pv, DWORD cb)
{
    if (infoClass == FileDispositionInfo)
        WaitForTest("delete");
    return SetFileInformationByHandle(h, infoClass, pv, cb);
}

static BOOL WINAPI WatchedCreateProcessW(LPCWSTR pszApp, LPWSTR pszCmd, LPSECURITY_ATTRIBUTES psaP,
                                         LPSECURITY_ATTRIBUTES psaT, BOOL fInherit, DWORD dwFlags,
                                         LPVOID pvEnv, LPCWSTR pszDir, LPSTARTUPINFOW psi,
                                         LPPROCESS_INFORMATION ppi)
{
    WaitForTest("launch");
    std::wstring other = EnvW(L"SFX_HOOK_START_OTHER");
    if (!other.empty() && pszCmd[0] == L'"') {
        // The same command line, with another program's path first.
        std::wstring cmd = L"\"" + other + (wcschr(pszCmd + 1, L'"') ?: L"\"");
        std::vector<wchar_t> buf(cmd.begin(), cmd.end());
        buf.push_back(L'\0');
        return CreateProcessW(pszApp, buf.data(), psaP, psaT, fInherit, dwFlags, pvEnv, pszDir,
                              psi, ppi);
    }
    return CreateProcessW(pszApp, pszCmd, psaP, psaT, fInherit, dwFlags, pvEnv, pszDir, psi, ppi);
}

static DWORD WINAPI LongPathAsShort(LPCWSTR pszLong, LPWSTR pszShort, DWORD cchShort)
{
    DWORD cch = (DWORD)lstrlenW(pszLong);
    if (cch >= cchShort)
        return cch + 1;
    lstrcpyW(pszShort, pszLong);
    return cch;
}

static DWORD WINAPI OwnFolderSecurityInfo(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION,
                                           PSID *ppOwner, PSID *ppGroup, PACL *ppDacl,
                                           PACL *ppSacl, PSECURITY_DESCRIPTOR *ppSD)
{
    PSECURITY_DESCRIPTOR pSD = NULL;
    BOOL fPresent, fDefaulted;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1, &pSD, NULL))
        return GetLastError();
    if (ppOwner)
        GetSecurityDescriptorOwner(pSD, ppOwner, &fDefaulted);
    if (ppGroup)
        *ppGroup = NULL;
    if (ppDacl)
        GetSecurityDescriptorDacl(pSD, &fPresent, ppDacl, &fDefaulted);
    if (ppSacl)
        *ppSacl = NULL;
    *ppSD = pSD;
    return ERROR_SUCCESS;
}

// Points the launcher's import of a function at another.  Returns whether
// the import was found; where it is not, logs "missing-import <name>",
// which fails the test: a patch that finds nothing would let the case
// pass without the fault it is meant to plant.
static bool FindAndReplaceImport(const char *pszFunction, DWORD_PTR pfnReplacement)
{
    BYTE *pbBase = (BYTE *)GetModuleHandleA(NULL);
    IMAGE_NT_HEADERS *pNt = (IMAGE_NT_HEADERS *)(pbBase + ((IMAGE_DOS_HEADER *)pbBase)->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (IMAGE_IMPORT_DESCRIPTOR *pDesc = (IMAGE_IMPORT_DESCRIPTOR *)(pbBase + dir.VirtualAddress);
         dir.VirtualAddress && pDesc->Name; pDesc++) {
        IMAGE_THUNK_DATA *pName = (IMAGE_THUNK_DATA *)(pbBase + pDesc->OriginalFirstThunk);
        IMAGE_THUNK_DATA *pSlot = (IMAGE_THUNK_DATA *)(pbBase + pDesc->FirstThunk);
        for (; pName->u1.AddressOfData; pName++, pSlot++) {
            if (IMAGE_SNAP_BY_ORDINAL(pName->u1.Ordinal))
                continue;
            const char *pszName = (const char *)((IMAGE_IMPORT_BY_NAME *)(pbBase + pName->u1.AddressOfData))->Name;
            if (lstrcmpA(pszName, pszFunction) != 0)
                continue;
            DWORD dwOld;
            VirtualProtect(&pSlot->u1.Function, sizeof(pSlot->u1.Function), PAGE_READWRITE, &dwOld);
            pSlot->u1.Function = pfnReplacement;
            VirtualProtect(&pSlot->u1.Function, sizeof(pSlot->u1.Function), dwOld, &dwOld);
            return true;
        }
    }
    return false;
}

static bool ReplaceImport(const char *pszFunction, DWORD_PTR pfnReplacement)
{
    if (FindAndReplaceImport(pszFunction, pfnReplacement))
        return true;
    Log(std::string("missing-import ") + pszFunction);
    return false;
}

static void PlantFault()
{
    char szSelf[MAX_PATH] = "";
    char sz[32] = "";
    GetModuleFileNameA(NULL, szSelf, MAX_PATH);
    if (GetEnvironmentVariableA("SFX_HOOK_INIT_MOVE", sz, sizeof(sz))) {
        std::string moved = std::string(szSelf) + ".moved";
        Log(MoveFileA(szSelf, moved.c_str()) ? "fault moved" : "fault move-failed");
    }
    char szReplacement[MAX_PATH] = "";
    if (GetEnvironmentVariableA("SFX_HOOK_INIT_REPLACE", szReplacement, MAX_PATH)) {
        std::string moved = std::string(szSelf) + ".consented";
        Log(MoveFileA(szSelf, moved.c_str()) && CopyFileA(szReplacement, szSelf, FALSE)
                ? "fault replaced" : "fault replace-failed");
    }
    if (GetEnvironmentVariableA("SFX_HOOK_NO_FINAL_PATH", sz, sizeof(sz)))
        if (ReplaceImport("GetFinalPathNameByHandleW",
                          EnvIs("SFX_HOOK_NO_FINAL_PATH", "entries")
                              ? (DWORD_PTR)EntriesFailingGetFinalPath : (DWORD_PTR)FailingGetFinalPath))
            Log("fault no-final-path");
    if (GetEnvironmentVariableA("SFX_HOOK_FOLDER_PARENT", sz, sizeof(sz)))
        if (ReplaceImport("GetFinalPathNameByHandleW", (DWORD_PTR)ReparentedGetFinalPath))
            Log("fault folder-parent");
    if (GetEnvironmentVariableA("SFX_HOOK_NO_SHORT_NAMES", sz, sizeof(sz)))
        if (ReplaceImport("GetShortPathNameW", (DWORD_PTR)LongPathAsShort))
            Log("fault no-short-names");
    // Silent when it works: most runs set it, and their logs stay as they were.
    if (GetEnvironmentVariableA("SFX_HOOK_FOLDER_OURS", sz, sizeof(sz)))
        ReplaceImport("GetSecurityInfo", (DWORD_PTR)OwnFolderSecurityInfo);
    if (EnvIs("SFX_HOOK_VOLUME", "no-acls"))
        if (ReplaceImport("GetVolumeInformationByHandleW", (DWORD_PTR)NoAclsVolumeInformation))
            Log("fault no-acls");
    // ntdll is reached through GetProcAddress; the folder is made there.
    ReplaceImport("GetProcAddress", (DWORD_PTR)WatchedGetProcAddress);
    ReplaceImport("SetFileInformationByHandle", (DWORD_PTR)WatchedSetFileInformation);
    ReplaceImport("CreateProcessW", (DWORD_PTR)WatchedCreateProcessW);
    if (GetEnvironmentVariableA("SFX_HOOK_INIT_HOLD_MS", sz, sizeof(sz))) {
        HANDLE h = CreateFileA(szSelf, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (h == INVALID_HANDLE_VALUE) {
            Log("fault hold-failed");
        } else {
            Log("fault held");
            CloseHandle(CreateThread(NULL, 0, HoldOwnFile, h, 0, NULL));
        }
    }
}

static void PauseForPicture(HWND hDlg, unsigned uPos)
{
    char szAt[16] = "";
    char szResume[MAX_PATH] = "";
    if (g_fPaused || uPos >= 100 || !GetEnvironmentVariableA("SFX_HOOK_PAUSE_AT", szAt, sizeof(szAt)) ||
        uPos < strtoul(szAt, NULL, 10) ||
        GetEnvironmentVariableA("SFX_HOOK_RESUME", szResume, MAX_PATH) - 1 >= MAX_PATH - 1)
        return;
    g_fPaused = true;
    RedrawWindow(hDlg, NULL, NULL, RDW_INVALIDATE | RDW_FRAME | RDW_UPDATENOW | RDW_ALLCHILDREN);
    GdiFlush();
    RECT rc;
    GetWindowRect(hDlg, &rc);
    char szLine[80];
    sprintf(szLine, "paused %ld %ld %ld %ld", rc.left, rc.top, rc.right, rc.bottom);
    Log(szLine);
    // Waiting for messages (none are taken) lets Wine hand the painted
    // window to the X server meanwhile.
    for (int i = 0; i < 1200 && GetFileAttributesA(szResume) == INVALID_FILE_ATTRIBUTES; i++)
        MsgWaitForMultipleObjects(0, NULL, FALSE, 50, 0);
}

extern "C" __declspec(dllexport) LRESULT CALLBACK CallWndProc(int nCode, WPARAM wParam, LPARAM lParam)
{
    if (nCode == HC_ACTION) {
        const CWPSTRUCT *p = (const CWPSTRUCT *)lParam;
        char szClass[64] = "";
        char szLine[64];
        GetClassNameA(p->hwnd, szClass, sizeof(szClass));

        if (lstrcmpA(szClass, "#32770") == 0) {
            switch (p->message) {
            case WM_INITDIALOG:
                if (GetDlgItem(p->hwnd, 1000) == NULL)
                    break;  /* a message box, not the progress dialog */
                {
                    char szSnf[MAX_PATH + 1] = "";
                    GetEnvironmentVariableA("SNF", szSnf, sizeof(szSnf));
                    Log("init " + StatusText(p->hwnd));
                    Log("snf " + Escape(szSnf));
                    char szMode[32];
                    sprintf(szMode, "error-mode %X", GetErrorMode());
                    Log(szMode);
                }
                PlantFault();
                break;
            case WM_USER + 1:
                sprintf(szLine, "setpos %u %s", (unsigned)p->wParam, From());
                Log(szLine);
                PauseForPicture(p->hwnd, (unsigned)p->wParam);
                break;
            case WM_USER + 2:
                if (!g_fSawText) {
                    g_fSawText = true;
                    Log("status-before " + StatusText(p->hwnd));
                }
                Log("settext " + Escape((const char *)p->lParam) + " " + From());
                break;
            case WM_CLOSE:
                Log(std::string("close ") + From());
                break;
            case WM_WINDOWPOSCHANGED:
                // Read in the moment the dialog appears: a look from another
                // process can miss the dialog of a short run altogether.
                if (!g_fShown && (((const WINDOWPOS *)p->lParam)->flags & SWP_SHOWWINDOW) &&
                    GetDlgItem(p->hwnd, 1000) != NULL) {
                    g_fShown = true;
                    Log("shown " + DialogLook(p->hwnd));
                }
                break;
            }
        } else if (lstrcmpiA(szClass, PROGRESS_CLASSA) == 0) {
            if (p->message == PBM_SETRANGE) {
                sprintf(szLine, "bar-range %u %u", LOWORD(p->lParam), HIWORD(p->lParam));
                Log(szLine);
            } else if (p->message == PBM_SETPOS) {
                sprintf(szLine, "bar-pos %u", (unsigned)p->wParam);
                Log(szLine);
            }
        }
    }
    return CallNextHookEx(NULL, nCode, wParam, lParam);
}

static BOOL WINAPI FailingSetDefaultDllDirectories(DWORD)
{
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// What the launcher finds when it looks up SetDefaultDllDirectories.
static FARPROC WINAPI DllDirectoriesGetProcAddress(HMODULE hModule, LPCSTR pszName)
{
    if (HIWORD(pszName) && lstrcmpA(pszName, "SetDefaultDllDirectories") == 0) {
        Log(std::string("fault dll-directories-") + (EnvIs("SFX_HOOK_DLL_DIRECTORIES", "fails")
                                                        ? "fails" : "missing"));
        if (EnvIs("SFX_HOOK_DLL_DIRECTORIES", "fails"))
            return (FARPROC)(void *)FailingSetDefaultDllDirectories;
        SetLastError(ERROR_PROC_NOT_FOUND);
        return NULL;
    }
    return GetProcAddress(hModule, pszName);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID)
{
    char sz[16];
    if (dwReason == DLL_PROCESS_ATTACH &&
        GetEnvironmentVariableA("SFX_HOOK_DLL_DIRECTORIES", sz, sizeof(sz)))
        ReplaceImport("GetProcAddress", (DWORD_PTR)DllDirectoriesGetProcAddress);
    return TRUE;
}
