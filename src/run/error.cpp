/*
 * The one place where a failure becomes a message box.  Every error text
 * is formatted into a fixed buffer and cut, never overrun, when a path or
 * name makes it longer than the buffer.
 */
#include <windows.h>
#include <stdarg.h>
#include <stdio.h>

#include "launcher.h"

void ShowError(const char *pszFormat, ...)
{
    char szText[MESSAGE_TEXT_SIZE];
    va_list args;

    va_start(args, pszFormat);
    _vsnprintf_s(szText, sizeof(szText), _TRUNCATE, pszFormat, args);
    va_end(args);
    MessageBoxA(NULL, szText, "Error", MB_ICONERROR);
}
