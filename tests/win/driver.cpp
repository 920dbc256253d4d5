// The test driver: starts the launcher with an exact command line, watches
// it, answers its message boxes and reports what it saw.
//
//   driver.exe --exe PATH --cmdline-file FILE --report FILE
//              [--hook HOOK.DLL --hook-log FILE] [--timeout MS]
//              [--set NAME=VALUE]... [--unset NAME]... [--close-dialog] [--utf8]
//              [--early-hook]
//   driver.exe --batch FILE
//
// The command line is read from a file so that every byte (quotes, tabs,
// non-ASCII) reaches the launcher unchanged.  A batch file holds one run
// per line, its options separated by tabs; the runs go one after the
// other in this one process, which spares a Wine start per run, and each
// run's --set and --unset apply to that run only.  With --utf8 the
// launcher's path, the --set values and the command line are UTF-8 and the
// launcher is started with the wide functions, so they may hold characters
// the ANSI code page lacks (a batch line keeps its bytes; the driver's own
// command line would be cut down to the code page).  Report lines:
//   hook ok | hook failed <error>
//   box <caption>\t<text>\t<icon yes|no>
//   exit <code> | timeout
// With --early-hook the hook DLL is also loaded into the launcher before its
// WinMain runs (an APC queued to its suspended first thread runs once the
// loader is done), so the hook can act on what happens before any window.
// Every box is dismissed with its OK button, so no case can hang on one;
// a launcher still running at the time limit is killed.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "report.h"

namespace {

struct Options {
    std::string exe, cmdlineFile, report, hook, hookLog;
    DWORD timeoutMs = 60000;
    bool closeDialog = false;
    bool utf8 = false;
    bool earlyHook = false;
    // Environment changes for the launcher: name, then (set?, value).
    using Env = std::vector<std::pair<std::string, std::pair<bool, std::string>>>;
    Env env;
};

struct Watch {
    DWORD pid;
    const Options *opt;
    std::set<HWND> seenBoxes;
    bool closedDialog = false;
};

std::string ReadFileBytes(const std::string &path)
{
    std::string data;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return data;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        data.append(buf, n);
    fclose(f);
    return data;
}

bool EnvIsSet(const std::string &name)
{
    char c;
    return GetEnvironmentVariableA(name.c_str(), &c, 1) > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

std::string EnvValue(const std::string &name)
{
    std::vector<char> buf(32768);
    DWORD n = GetEnvironmentVariableA(name.c_str(), buf.data(), (DWORD)buf.size());
    return n > 0 && n < buf.size() ? std::string(buf.data(), n) : std::string();
}

std::wstring Wide(const std::string &utf8)
{
    std::wstring out(utf8.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &out[0], (int)out.size());
    out.resize(n > 0 ? n - 1 : 0);
    return out;
}

std::string Utf8(const std::wstring &wide)
{
    std::string out(wide.size() * 3 + 1, '\0');
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &out[0], (int)out.size(), NULL, NULL);
    out.resize(n > 0 ? n - 1 : 0);
    return out;
}

bool EnvIsSetW(const std::string &name)
{
    WCHAR c;
    return GetEnvironmentVariableW(Wide(name).c_str(), &c, 1) > 0 ||
           GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

std::string EnvValueW(const std::string &name)
{
    std::vector<WCHAR> buf(32768);
    DWORD n = GetEnvironmentVariableW(Wide(name).c_str(), buf.data(), (DWORD)buf.size());
    return n > 0 && n < buf.size() ? Utf8(std::wstring(buf.data(), n)) : std::string();
}

std::string WindowText(HWND h)
{
    char sz[2048] = "";
    GetWindowTextA(h, sz, sizeof(sz));
    return sz;
}

struct BoxParts {
    std::string text;
    bool icon = false;
};

BOOL CALLBACK CollectBoxPart(HWND hChild, LPARAM lParam)
{
    BoxParts *parts = (BoxParts *)lParam;
    char szClass[64] = "";
    GetClassNameA(hChild, szClass, sizeof(szClass));
    if (lstrcmpiA(szClass, "Static") != 0)
        return TRUE;
    LONG style = GetWindowLongA(hChild, GWL_STYLE);
    if ((style & SS_TYPEMASK) == SS_ICON) {
        parts->icon = true;
        return TRUE;
    }
    std::string text = WindowText(hChild);
    if (text.size() > parts->text.size())
        parts->text = text;
    return TRUE;
}

void HandleBox(HWND hBox, Watch *w)
{
    if (w->seenBoxes.count(hBox))
        return;
    w->seenBoxes.insert(hBox);
    BoxParts parts;
    EnumChildWindows(hBox, CollectBoxPart, (LPARAM)&parts);
    AppendLine(w->opt->report.c_str(), "box " + Escape(WindowText(hBox).c_str()) + "\t" +
                                           Escape(parts.text.c_str()) + "\t" +
                                           (parts.icon ? "yes" : "no"));
    HWND hOk = GetDlgItem(hBox, IDOK);
    PostMessageA(hBox, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)hOk);
}

void HandleDialog(HWND hDlg, Watch *w)
{
    if (w->opt->closeDialog && !w->closedDialog) {
        w->closedDialog = true;
        PostMessageA(hDlg, WM_CLOSE, 0, 0);
    }
}

BOOL CALLBACK InspectWindow(HWND h, LPARAM lParam)
{
    Watch *w = (Watch *)lParam;
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (pid != w->pid || !IsWindowVisible(h))
        return TRUE;
    char szClass[64] = "";
    GetClassNameA(h, szClass, sizeof(szClass));
    if (lstrcmpA(szClass, "#32770") != 0)
        return TRUE;
    // The progress dialog loses its controls while it is destroyed: a box
    // is told apart by its OK button, not by the missing progress bar.
    if (WindowText(h) == "Error" || (GetDlgItem(h, 1000) == NULL && GetDlgItem(h, IDOK) != NULL))
        HandleBox(h, w);
    else
        HandleDialog(h, w);
    return TRUE;
}

bool ParseArgs(int argc, const char *const *argv, Options *opt)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](std::string *out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--exe") { if (!next(&opt->exe)) return false; }
        else if (a == "--cmdline-file") { if (!next(&opt->cmdlineFile)) return false; }
        else if (a == "--report") { if (!next(&opt->report)) return false; }
        else if (a == "--hook") { if (!next(&opt->hook)) return false; }
        else if (a == "--hook-log") { if (!next(&opt->hookLog)) return false; }
        else if (a == "--timeout") { if (!next(&v)) return false; opt->timeoutMs = strtoul(v.c_str(), 0, 10); }
        else if (a == "--close-dialog") opt->closeDialog = true;
        else if (a == "--utf8") opt->utf8 = true;
        else if (a == "--early-hook") opt->earlyHook = true;
        else if (a == "--set") {
            if (!next(&v)) return false;
            size_t eq = v.find('=');
            if (eq == std::string::npos) return false;
            opt->env.push_back({v.substr(0, eq), {true, v.substr(eq + 1)}});
        } else if (a == "--unset") {
            if (!next(&v)) return false;
            opt->env.push_back({v, {false, std::string()}});
        } else {
            return false;
        }
    }
    return !opt->exe.empty() && !opt->report.empty();
}

// Sets the run's environment and returns what it replaced; with UTF8 the
// names and values are UTF-8.
Options::Env ApplyEnv(const Options::Env &changes, bool utf8)
{
    Options::Env saved;
    for (const auto &change : changes) {
        const std::string &name = change.first;
        if (utf8) {
            saved.push_back({name, {EnvIsSetW(name), EnvValueW(name)}});
            SetEnvironmentVariableW(Wide(name).c_str(), change.second.first
                                                            ? Wide(change.second.second).c_str()
                                                            : NULL);
            continue;
        }
        std::string old = EnvValue(name);
        saved.push_back({name, {EnvIsSet(name), old}});
        SetEnvironmentVariableA(name.c_str(), change.second.first ? change.second.second.c_str()
                                                                  : NULL);
    }
    return saved;
}

// Makes the suspended launcher's first thread load the hook DLL before its
// WinMain: the DLL's path is written into the launcher, and LoadLibraryA
// (kernel32 lies at the same address in every process) queued as an APC.
bool QueueHookLoad(HANDLE hProcess, HANDLE hThread, const std::string &hook)
{
    void *pvRemote = VirtualAllocEx(hProcess, NULL, hook.size() + 1, MEM_COMMIT | MEM_RESERVE,
                                    PAGE_READWRITE);
    FARPROC pfnLoad = GetProcAddress(GetModuleHandleA("kernel32.dll"), "LoadLibraryA");
    return pvRemote && pfnLoad &&
           WriteProcessMemory(hProcess, pvRemote, hook.c_str(), hook.size() + 1, NULL) &&
           QueueUserAPC((PAPCFUNC)(void *)pfnLoad, hThread, (ULONG_PTR)pvRemote);
}

// Runs the launcher once as OPT says; returns 3 on a timeout, 1 if it
// could not be started, else 0.
int RunCase(const Options &opt)
{
    DeleteFileA(opt.report.c_str());
    Options::Env saved = ApplyEnv(opt.env, opt.utf8);
    std::string cmdline = opt.cmdlineFile.empty() ? "\"" + opt.exe + "\""
                                                  : ReadFileBytes(opt.cmdlineFile);
    if (!opt.hookLog.empty()) {
        DeleteFileA(opt.hookLog.c_str());
        saved.push_back({"SFX_HOOK_LOG", {EnvIsSet("SFX_HOOK_LOG"), EnvValue("SFX_HOOK_LOG")}});
        SetEnvironmentVariableA("SFX_HOOK_LOG", opt.hookLog.c_str());
    }

    std::vector<char> buf(cmdline.begin(), cmdline.end());
    buf.push_back('\0');
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof(pi));
    BOOL started;
    if (opt.utf8) {
        std::wstring wideCmdline = Wide(cmdline);
        std::vector<WCHAR> wbuf(wideCmdline.begin(), wideCmdline.end());
        wbuf.push_back(L'\0');
        STARTUPINFOW siW;
        ZeroMemory(&siW, sizeof(siW));
        siW.cb = sizeof(siW);
        started = CreateProcessW(Wide(opt.exe).c_str(), wbuf.data(), NULL, NULL, FALSE,
                                 CREATE_SUSPENDED, NULL, NULL, &siW, &pi);
    } else {
        started = CreateProcessA(opt.exe.c_str(), buf.data(), NULL, NULL, FALSE,
                                 CREATE_SUSPENDED, NULL, NULL, &si, &pi);
    }
    DWORD startError = GetLastError();
    std::reverse(saved.begin(), saved.end());
    ApplyEnv(saved, opt.utf8);
    if (!started) {
        char sz[64];
        sprintf(sz, "start-failed %lu", startError);
        AppendLine(opt.report.c_str(), sz);
        return 1;
    }

    if (opt.earlyHook && !QueueHookLoad(pi.hProcess, pi.hThread, opt.hook))
        AppendLine(opt.report.c_str(), "early-hook failed");
    HHOOK hHook = NULL;
    if (!opt.hook.empty()) {
        HMODULE hDll = LoadLibraryA(opt.hook.c_str());
        HOOKPROC proc = hDll ? (HOOKPROC)(void *)GetProcAddress(hDll, "CallWndProc@12") : NULL;
        if (hDll && !proc)
            proc = (HOOKPROC)(void *)GetProcAddress(hDll, "CallWndProc");
        if (proc)
            hHook = SetWindowsHookExA(WH_CALLWNDPROC, proc, hDll, pi.dwThreadId);
        char sz[64];
        if (hHook)
            sprintf(sz, "hook ok");
        else
            sprintf(sz, "hook failed %lu", GetLastError());
        AppendLine(opt.report.c_str(), sz);
    }
    ResumeThread(pi.hThread);

    Watch watch;
    watch.pid = pi.dwProcessId;
    watch.opt = &opt;
    DWORD start = GetTickCount();
    bool timedOut = false;
    for (;;) {
        EnumWindows(InspectWindow, (LPARAM)&watch);
        if (WaitForSingleObject(pi.hProcess, 10) == WAIT_OBJECT_0)
            break;
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        if (GetTickCount() - start > opt.timeoutMs) {
            timedOut = true;
            TerminateProcess(pi.hProcess, 99);
            WaitForSingleObject(pi.hProcess, 5000);
            break;
        }
    }
    if (hHook)
        UnhookWindowsHookEx(hHook);

    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    char sz[64];
    if (timedOut)
        sprintf(sz, "timeout");
    else
        sprintf(sz, "exit %lu", code);
    AppendLine(opt.report.c_str(), sz);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return timedOut ? 3 : 0;
}

// Runs every line of a batch file; the status is the worst of the runs'.
int RunBatch(const std::string &path)
{
    std::istringstream lines(ReadFileBytes(path));
    std::string line;
    int worst = 0;
    while (std::getline(lines, line)) {
        if (line.empty())
            continue;
        std::istringstream tabs(line);
        std::vector<std::string> fields;
        for (std::string field; std::getline(tabs, field, '\t');)
            fields.push_back(field);
        std::vector<const char *> argv(1, "driver");
        for (const std::string &f : fields)
            argv.push_back(f.c_str());
        Options opt;
        if (!ParseArgs((int)argv.size(), argv.data(), &opt)) {
            fprintf(stderr, "driver: bad batch line: %s\n", line.c_str());
            return 2;
        }
        worst = std::max(worst, RunCase(opt));
    }
    return worst;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "--batch")
        return RunBatch(argv[2]);
    Options opt;
    if (!ParseArgs(argc, argv, &opt)) {
        fprintf(stderr, "driver: bad arguments\n");
        return 2;
    }
    return RunCase(opt);
}
