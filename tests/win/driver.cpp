// The test driver: starts the launcher with an exact command line, watches
// it, answers its message boxes and reports what it saw.
//
//   driver.exe --exe PATH --cmdline-file FILE --report FILE
//              [--hook HOOK.DLL --hook-log FILE] [--timeout MS]
//              [--set NAME=VALUE]... [--unset NAME]... [--close-dialog]
//
// The command line is read from a file so that every byte (quotes, tabs,
// non-ASCII) reaches the launcher unchanged.  Report lines:
//   hook ok | hook failed <error>
//   dialog <caption>\t<style hex>\t<exstyle hex>\t<status text>\t<bar class>
//   box <caption>\t<text>\t<icon yes|no>
//   exit <code> | timeout
// Every box is dismissed with its OK button, so no case can hang on one;
// a launcher still running at the time limit is killed.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <set>
#include <string>
#include <vector>

#include "report.h"

namespace {

struct Options {
    std::string exe, cmdlineFile, report, hook, hookLog;
    DWORD timeoutMs = 60000;
    bool closeDialog = false;
};

struct Watch {
    DWORD pid;
    const Options *opt;
    std::set<HWND> seenBoxes;
    bool sawDialog = false;
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
    if (!w->sawDialog) {
        w->sawDialog = true;
        char szLine[64];
        char szBarClass[64] = "";
        GetClassNameA(GetDlgItem(hDlg, 1000), szBarClass, sizeof(szBarClass));
        char szStatus[1024] = "";
        GetDlgItemTextA(hDlg, -1, szStatus, sizeof(szStatus));
        sprintf(szLine, "\t%08lX\t%08lX\t", (unsigned long)GetWindowLongA(hDlg, GWL_STYLE),
                (unsigned long)GetWindowLongA(hDlg, GWL_EXSTYLE));
        AppendLine(w->opt->report.c_str(), "dialog " + Escape(WindowText(hDlg).c_str()) + szLine +
                                               Escape(szStatus) + "\t" + szBarClass);
    }
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
    if (WindowText(h) == "Error" || GetDlgItem(h, 1000) == NULL)
        HandleBox(h, w);
    else
        HandleDialog(h, w);
    return TRUE;
}

bool ParseArgs(int argc, char **argv, Options *opt)
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
        else if (a == "--set") {
            if (!next(&v)) return false;
            size_t eq = v.find('=');
            if (eq == std::string::npos) return false;
            SetEnvironmentVariableA(v.substr(0, eq).c_str(), v.substr(eq + 1).c_str());
        } else if (a == "--unset") {
            if (!next(&v)) return false;
            SetEnvironmentVariableA(v.c_str(), NULL);
        } else {
            return false;
        }
    }
    return !opt->exe.empty() && !opt->report.empty();
}

}  // namespace

int main(int argc, char **argv)
{
    Options opt;
    if (!ParseArgs(argc, argv, &opt)) {
        fprintf(stderr, "driver: bad arguments\n");
        return 2;
    }
    DeleteFileA(opt.report.c_str());
    std::string cmdline = opt.cmdlineFile.empty() ? "\"" + opt.exe + "\""
                                                  : ReadFileBytes(opt.cmdlineFile);
    if (!opt.hookLog.empty()) {
        DeleteFileA(opt.hookLog.c_str());
        SetEnvironmentVariableA("SFX_HOOK_LOG", opt.hookLog.c_str());
    }

    std::vector<char> buf(cmdline.begin(), cmdline.end());
    buf.push_back('\0');
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof(pi));
    if (!CreateProcessA(opt.exe.c_str(), buf.data(), NULL, NULL, FALSE, CREATE_SUSPENDED, NULL,
                        NULL, &si, &pi)) {
        char sz[64];
        sprintf(sz, "start-failed %lu", GetLastError());
        AppendLine(opt.report.c_str(), sz);
        return 1;
    }

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
