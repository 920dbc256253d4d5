// Just enough of <windows.h> to compile the launcher's pure routines
// natively.  The lead-byte table stands in for the system's code page:
// tests set it to model a double-byte code page.
#ifndef TESTS_UNIT_SHIM_WINDOWS_H
#define TESTS_UNIT_SHIM_WINDOWS_H

#include <cstdint>

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef void *HANDLE;
typedef void *HWND;
typedef void *LPVOID;
typedef void *PSECURITY_DESCRIPTOR;
typedef uint16_t WCHAR;
typedef intptr_t INT_PTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
#define WINAPI
#define CALLBACK
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define WM_USER 0x0400

extern bool g_shimLeadBytes[256];
inline BOOL IsDBCSLeadByte(BYTE b) { return g_shimLeadBytes[b]; }

#endif
