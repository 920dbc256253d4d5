// The probe installer: stored as the first record of a test container, it
// records what the launcher handed it and exits with a chosen code.
// Controlled through its (inherited) environment:
//   SFX_PROBE_REPORT   where to write the report (required)
//   SFX_PROBE_STARTED  create this file as soon as it runs
//   SFX_PROBE_SLEEP_MS sleep this long before writing the report
//   SFX_PROBE_WAIT_FOR wait (120 s at most) until this file exists before
//                      writing the report
//   SFX_PROBE_SNF_FILE report "snf-file <size>\t<crc32>" of the file SNF names
//   SFX_PROBE_WRITE    create this file, 5 bytes, in its own folder
//   SFX_PROBE_MKDIR    create this subfolder, with one file in it
//   SFX_PROBE_EXIT     exit code (default 0)
//   SFX_PROBE_RENAME   try to rename this folder (and back): "rename 0|1"
//   SFX_PROBE_HANDLES  report "handle <path>" for every file or folder
//                      handle it inherited
// Report lines: cmdline, wcmdline (in UTF-8), snf, cwd, self, then how
// opening its folder went, as installers open it ("list", "enter", "open":
// 0 or the system's error code), then "file <name>\t<size>\t<crc32>" for
// every plain file of its folder (itself included), "dir <name>" for
// subfolders.  The report is written under a temporary name and renamed,
// so it appears whole or not at all.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

#include "report.h"

namespace {

std::string Env(const char *name)
{
    char sz[32768];
    DWORD n = GetEnvironmentVariableA(name, sz, sizeof(sz));
    return (n > 0 && n < sizeof(sz)) ? std::string(sz, n) : std::string();
}

unsigned long Crc32OfFile(const std::string &path, unsigned long *pcb)
{
    unsigned long crc = 0xFFFFFFFFul;
    *pcb = 0;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return 0;
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
        *pcb += (unsigned long)n;
        for (size_t i = 0; i < n; ++i) {
            crc ^= buf[i];
            for (int k = 0; k < 8; ++k)
                crc = (crc >> 1) ^ (0xEDB88320ul & (0ul - (crc & 1)));
        }
    }
    fclose(f);
    return crc ^ 0xFFFFFFFFul;
}

void WriteSmallFile(const std::string &path)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return;
    DWORD cb;
    WriteFile(h, "probe", 5, &cb, NULL);
    CloseHandle(h);
}

struct Entry {
    std::string name;   // in the ANSI code page
    bool fDirectory;
};

// The entries of a folder, listed as installers list them; *pdwError
// gets 0 or why the listing failed.
std::vector<Entry> ListFolder(const std::string &folder, DWORD *pdwError)
{
    std::vector<Entry> entries;
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA((folder + "\\*").c_str(), &data);
    *pdwError = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (h == INVALID_HANDLE_VALUE)
        return entries;
    do {
        std::string name = data.cFileName;
        if (name != "." && name != "..")
            entries.push_back({name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileA(h, &data));
    FindClose(h);
    return entries;
}

// Enters the folder and opens it the usual way, sharing read and write;
// the report lines for both.
std::string EnterAndOpenFolder(const std::string &folder)
{
    char sz[64];
    DWORD dwEnter = SetCurrentDirectoryA(folder.c_str()) ? 0 : GetLastError();
    HANDLE h = CreateFileA(folder.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    DWORD dwOpen = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    sprintf(sz, "enter %lu\nopen %lu", dwEnter, dwOpen);
    return sz;
}

}  // namespace

int main()
{
    std::string report = Env("SFX_PROBE_REPORT");
    if (report.empty())
        return 90;

    if (!Env("SFX_PROBE_STARTED").empty())
        WriteSmallFile(Env("SFX_PROBE_STARTED"));

    char szSelf[MAX_PATH] = "";
    GetModuleFileNameA(NULL, szSelf, MAX_PATH);
    // Its folder as the launcher named it: the program path on the command
    // line.  (Wine gives the module's long path, whose characters the code
    // page may lack, where the launcher used the short one.)
    std::string started = GetCommandLineA();
    if (!started.empty() && started[0] == '"')
        started = started.substr(1, started.find('"', 1) - 1);
    else
        started = started.substr(0, started.find(' '));
    // The last backslash, walking by characters: in a double-byte code
    // page a trail byte can be 0x5C too.
    size_t cchFolder = 0;
    for (const char *pch = started.c_str(); *pch; pch = CharNextA(pch))
        if (*pch == '\\')
            cchFolder = (size_t)(pch - started.c_str());
    std::string folder(started, 0, cchFolder);

    if (!Env("SFX_PROBE_WRITE").empty())
        WriteSmallFile(folder + "\\" + Env("SFX_PROBE_WRITE"));
    if (!Env("SFX_PROBE_MKDIR").empty()) {
        std::string sub = folder + "\\" + Env("SFX_PROBE_MKDIR");
        CreateDirectoryA(sub.c_str(), NULL);
        WriteSmallFile(sub + "\\inner.txt");
    }
    if (!Env("SFX_PROBE_SLEEP_MS").empty())
        Sleep(strtoul(Env("SFX_PROBE_SLEEP_MS").c_str(), NULL, 10));
    std::string waitFor = Env("SFX_PROBE_WAIT_FOR");
    for (int i = 0; !waitFor.empty() && i < 2400 &&
                    GetFileAttributesA(waitFor.c_str()) == INVALID_FILE_ATTRIBUTES; i++)
        Sleep(50);

    std::string snfFile;
    if (!Env("SFX_PROBE_SNF_FILE").empty()) {
        unsigned long cb = 0, crc = Crc32OfFile(Env("SNF"), &cb);
        char sz[64];
        sprintf(sz, "snf-file %lu\t%08lx", cb, crc);
        snfFile = sz;
    }

    std::string renamed;
    if (!Env("SFX_PROBE_RENAME").empty()) {
        std::string from = Env("SFX_PROBE_RENAME"), to = from + ".renamed";
        BOOL fMoved = MoveFileA(from.c_str(), to.c_str());
        if (fMoved)
            MoveFileA(to.c_str(), from.c_str());
        renamed = fMoved ? "1" : "0";
    }
    // Inherited handles keep their values in the child: look at the
    // small values a process's first handles take.
    std::string handles;
    if (!Env("SFX_PROBE_HANDLES").empty()) {
        for (ULONG_PTR value = 4; value < 4096; value += 4) {
            char szPath[MAX_PATH * 2];
            if (GetFinalPathNameByHandleA((HANDLE)value, szPath, sizeof(szPath), 0) - 1 <
                sizeof(szPath) - 1)
                handles += "handle " + Escape(szPath) + "\n";
        }
    }

    char szCwd[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, szCwd);

    std::string tmp = report + ".part";
    DeleteFileA(tmp.c_str());
    AppendLine(tmp.c_str(), "cmdline " + Escape(GetCommandLineA()));
    // The command line as the system holds it, in UTF-8.
    const WCHAR *pwszCmd = GetCommandLineW();
    std::string wide(WideCharToMultiByte(CP_UTF8, 0, pwszCmd, -1, NULL, 0, NULL, NULL), '\0');
    WideCharToMultiByte(CP_UTF8, 0, pwszCmd, -1, &wide[0], (int)wide.size(), NULL, NULL);
    AppendLine(tmp.c_str(), "wcmdline " + Escape(wide.c_str()));
    AppendLine(tmp.c_str(), "snf " + Escape(Env("SNF").c_str()));
    AppendLine(tmp.c_str(), "cwd " + Escape(szCwd));
    AppendLine(tmp.c_str(), "self " + Escape(szSelf));
    if (!renamed.empty())
        AppendLine(tmp.c_str(), "rename " + renamed);
    if (!snfFile.empty())
        AppendLine(tmp.c_str(), snfFile);
    if (!handles.empty()) {
        handles.pop_back();
        AppendLine(tmp.c_str(), handles);
    }

    // After the current directory is reported: entering changes it.
    AppendLine(tmp.c_str(), EnterAndOpenFolder(folder));
    DWORD dwList;
    std::vector<Entry> entries = ListFolder(folder, &dwList);
    AppendLine(tmp.c_str(), "list " + std::to_string(dwList));
    for (const Entry &entry : entries) {
        if (entry.fDirectory) {
            AppendLine(tmp.c_str(), "dir " + Escape(entry.name.c_str()));
            continue;
        }
        unsigned long cb = 0;
        unsigned long crc = Crc32OfFile(folder + "\\" + entry.name, &cb);
        char sz[64];
        sprintf(sz, "\t%lu\t%08lx", cb, crc);
        AppendLine(tmp.c_str(), "file " + Escape(entry.name.c_str()) + sz);
    }
    MoveFileExA(tmp.c_str(), report.c_str(), MOVEFILE_REPLACE_EXISTING);
    return (int)strtol(Env("SFX_PROBE_EXIT").c_str(), NULL, 10);
}
