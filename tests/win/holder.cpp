// Holds a file open without sharing, the way a running installer or a
// virus scanner does, until released.
//   holder.exe PATH READY_FILE RELEASE_FILE TIMEOUT_MS
// Creates READY_FILE once the file is held; lets go when RELEASE_FILE
// appears or after TIMEOUT_MS.  Exit 0, or 1 when PATH cannot be opened.
#include <windows.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 5)
        return 2;
    HANDLE h = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return 1;
    HANDLE hReady = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (hReady != INVALID_HANDLE_VALUE)
        CloseHandle(hReady);
    DWORD limit = strtoul(argv[4], NULL, 10);
    DWORD start = GetTickCount();
    while (GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES && GetTickCount() - start < limit)
        Sleep(20);
    CloseHandle(h);
    return 0;
}
