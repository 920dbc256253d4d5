/*
 * The argument string of a command line, split off the way the Windows C
 * runtime's start-up does it for WinMain.  Kept here because not every
 * start-up code follows that rule (some only look for a leading quote).
 */
#include <windows.h>

#include "launcher.h"

const char *SkipProgramName(const char *pszCmdLine)
{
    const unsigned char *pch = (const unsigned char *)pszCmdLine;
    BOOL fInQuotes = FALSE;

    /* The program-name token ends at a blank or control character outside
     * quotes; every quote toggles quoting, wherever it stands. */
    while (*pch != '\0' && (*pch > ' ' || fInQuotes))
    {
        if (*pch == '"')
            fInQuotes = !fInQuotes;
        else if (IsDBCSLeadByte(*pch) && pch[1] != '\0')
            pch++;  /* the trail byte belongs to the character */
        pch++;
    }
    while (*pch != '\0' && *pch <= ' ')
        pch++;
    return (const char *)pch;
}

const WCHAR *SkipProgramNameW(const WCHAR *pwszCmdLine)
{
    const WCHAR *pch = pwszCmdLine;
    BOOL fInQuotes = FALSE;

    /* The same rule; UTF-16 has no lead bytes, and a surrogate is never
     * a quote or a blank. */
    while (*pch != L'\0' && (*pch > L' ' || fInQuotes))
    {
        if (*pch == L'"')
            fInQuotes = !fInQuotes;
        pch++;
    }
    while (*pch != L'\0' && *pch <= L' ')
        pch++;
    return pch;
}
