// Line-based reports written by the Windows-side test programs and read by
// the Python tests: "key value", with \\, \n, \r and \t escaped in value.
#ifndef TESTS_WIN_REPORT_H
#define TESTS_WIN_REPORT_H

#include <windows.h>
#include <string>

inline std::string Escape(const char *psz)
{
    std::string out;
    for (; *psz; ++psz) {
        switch (*psz) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: out += *psz;
        }
    }
    return out;
}

// Appends one line to the file; opened and closed per line so that a
// report survives whatever happens to the writer afterwards.
inline void AppendLine(const char *pszPath, const std::string &line)
{
    if (!pszPath || !*pszPath)
        return;
    HANDLE h = CreateFileA(pszPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return;
    std::string text = line + "\n";
    DWORD cb = 0;
    WriteFile(h, text.data(), (DWORD)text.size(), &cb, NULL);
    CloseHandle(h);
}

#endif
